#include "logger.h"

#include <cstdio>
#include <cstring>

#include "platform/timing.h"
#include "session.h"

namespace {

// One session for each link that can be open: the run owns one at a time,
// and no heap is needed.
LoggerSession sessions[SerialLinksAtOnce];

// The session already on link (a run that starts afresh), else a free one.
LoggerSession* SessionFor(const SerialLink* link) {
  for (LoggerSession& session : sessions) {
    if (session.taken && session.link == link) return &session;
  }
  for (LoggerSession& session : sessions) {
    if (!session.taken) return &session;
  }
  return nullptr;
}

// Bytes that may come after a command without being a sign of another
// device: an echo of the command and the line end of the last reply.
constexpr unsigned long long EchoAllowanceBytes = CommandBufferSize + 2;

// True, with the session's stop set, when the user has asked to stop.
bool Interrupted(LoggerSession* s) {
  if (!StopRequested(s->stopFlag)) return false;
  s->stop = LoggerStop::UserStopped;
  return true;
}

void Report(const LoggerSession* s, LoggerEvent event, uint32_t address, int attempt) {
  if (s->report != nullptr) s->report(s->context, event, address, attempt);
}

// A failed read or write: pause, clear the port's error state, and tell whether
// to go on. Gives up once nothing but failures has come for LinkLostAfterMs.
bool RetryAfterFailure(LoggerSession* s) {
  const long long now = NowMs();
  if (s->failingSinceMs < 0) s->failingSinceMs = now;
  if (now - s->failingSinceMs >= LinkLostAfterMs) {
    s->stop = LoggerStop::LinkLost;
    return false;
  }
  SleepMs(FailurePauseMs);
  SerialClearError(s->link);
  return true;
}

// A failed read: the first of a streak is reported, then as RetryAfterFailure.
bool ReadFailed(LoggerSession* s, uint32_t address) {
  if (!s->readFailing) Report(s, LoggerEvent::ReadError, address, 0);
  s->readFailing = true;
  return RetryAfterFailure(s);
}

// The port answered, if only with a time-out: the give-up clock starts anew.
void LinkWorks(LoggerSession* s) {
  s->failingSinceMs = -1;
  s->readFailing = false;
}

bool IsRecordLine(const char* line, int length) {
  return length > 0 && line[0] == ':';
}

// How sending a text ended.
enum class Sending { Sent, PartUnknown, Stopped };

// Sends text until all of it has gone through. After a short write only the
// rest is sent: the logger must receive it once and whole. A write that failed
// outright may have sent any part of it; the caller decides what then.
Sending Send(LoggerSession* s, const char* text) {
  const size_t length = std::strlen(text);
  size_t sent = 0;
  for (;;) {
    if (Interrupted(s)) return Sending::Stopped;
    const size_t written = SerialWrite(s->link, text + sent);
    const bool unknown = SerialWriteFailedOutright(s->link);
    if (!unknown) sent += written;
    if (written > 0) s->failingSinceMs = -1;  // the port took bytes: it works
    if (!unknown && sent == length) return Sending::Sent;
    if (!RetryAfterFailure(s)) return Sending::Stopped;
    if (unknown) return Sending::PartUnknown;
  }
}

// Writes the command once and whole. When a write failed without saying how
// much went out, a line end first closes whatever part reached the logger (a
// line it ignores), and the whole command follows.
bool WriteCommand(LoggerSession* s) {
  for (;;) {
    const Sending command = Send(s, s->command);
    if (command != Sending::PartUnknown) return command == Sending::Sent;
    Sending lineEnd = Sending::PartUnknown;
    while (lineEnd == Sending::PartUnknown) lineEnd = Send(s, CommandLineEnd);
    if (lineEnd == Sending::Stopped) return false;
  }
}

// True, with the session's stop set, when replies have stayed bad for
// NoSoundReplyLimitMs: the device's replies never fit, and a line that never
// falls quiet must not stretch that to many minutes.
bool OutOfTime(LoggerSession* s) {
  if (s->badSinceMs < 0 || NowMs() - s->badSinceMs < NoSoundReplyLimitMs) return false;
  s->stop = LoggerStop::NoSoundReplyInTime;
  return true;
}

// Before a block is asked for again: whatever still arrives is discarded until
// the line has been quiet for a whole read time-out, so that the rest of a bad
// reply cannot open the next one. A line that never falls quiet is asked all
// the same after QuietLimitMs.
bool LetLineFallQuiet(LoggerSession* s, uint32_t address) {
  const long long since = NowMs();
  for (;;) {
    if (Interrupted(s) || OutOfTime(s)) return false;
    const int discarded = SerialDropInputAndWait(s->link);
    if (discarded == 0) return true;
    if (discarded < 0) {
      if (!ReadFailed(s, address)) return false;
      continue;
    }
    LinkWorks(s);
    if (NowMs() - since >= QuietLimitMs) return true;
  }
}

// Reads record lines into reply until the block's count has arrived or the
// reply stalls (then it has fewer). False when the run must stop. The reply
// begins with its first record line: a line end left from the last reply, an
// echo of the command or another device's text neither begins it nor keeps it
// from stalling.
bool ReadReply(LoggerSession* s, uint32_t address, LoggerReply* reply) {
  const int wanted = RecordLinesOf(address);
  const long long askedMs = NowMs();
  const unsigned long long bytesBefore = SerialBytesReceived(s->link);
  long long lastRecordMs = -1;  // -1: the reply has not begun
  bool noticed = false;
  reply->count = 0;
  while (reply->count < wanted) {
    if (Interrupted(s)) return false;
    char* line = reply->line[reply->count];
    const int n = SerialReadLine(s->link, line);
    if (n == SerialLineFailed) {
      // While reads fail, the link decides: it works again or it is lost.
      if (!ReadFailed(s, address)) return false;
      continue;
    }
    LinkWorks(s);
    const long long now = NowMs();
    if (IsRecordLine(line, n)) {
      // Parsed once, as it arrives; every later step reads the fields.
      ParseRecord(line, &reply->record[reply->count]);
      reply->length[reply->count++] = n;
      lastRecordMs = now;
    } else if (lastRecordMs >= 0) {
      if (now - lastRecordMs >= StallMs) return true;
    } else if (!noticed && now - askedMs >= WaitNoticeMs) {
      const bool bytesCame = SerialBytesReceived(s->link) - bytesBefore > EchoAllowanceBytes;
      Report(s, bytesCame ? LoggerEvent::ForeignData : LoggerEvent::Waiting, address, 0);
      noticed = true;
    }
  }
  return true;
}

// Reads for QuietCheckMs; *recordCame tells whether a record line came
// meanwhile (the wait ends there). False when the run must stop.
bool LookForRecords(LoggerSession* s, uint32_t address, bool* recordCame) {
  *recordCame = false;
  const long long until = NowMs() + QuietCheckMs;
  while (NowMs() < until) {
    if (Interrupted(s)) return false;
    const int n = SerialReadLine(s->link, s->line);
    if (n == SerialLineFailed) {
      if (!ReadFailed(s, address)) return false;
      continue;
    }
    LinkWorks(s);
    if (IsRecordLine(s->line, n)) {
      *recordCame = true;
      return true;
    }
  }
  return true;
}

// The image of a finished block: a sound reply's 16 data records in order;
// of a bad reply every sound data record that its address places in the
// block, ImageFiller elsewhere, so that no byte goes where nothing shows it
// belongs and the other blocks keep their addresses whatever came.
void PlaceImage(LoggerBlock* block, uint32_t address, LoggerNumbering numbering) {
  block->imageBytes = BlockSize;
  if (block->sound) {
    LoggerSoundImage(&block->reply, block->image);
  } else {
    LoggerPlacedImage(&block->reply, address, numbering, block->image);
  }
}

void Keep(LoggerSession* s, LoggerBlock* block, const LoggerBlock** kept) {
  s->kept = block == &s->blocks[0] ? 0 : 1;
  s->haveBlock = true;
  *kept = block;
}

// The run stops during a block: nothing received is lost, this try's lines
// or else the last try's. The block gets 16 bytes for each data record
// received, but as in a bad block only where a record's address places it
// (ImageFiller elsewhere): the lines may be another block's or miss one, and
// no byte may go where nothing shows it belongs.
bool StopInBlock(LoggerSession* s, uint32_t address, LoggerBlock* current, LoggerBlock* lastTry,
                 const LoggerBlock** kept) {
  LoggerBlock* block = current->reply.count > 0 || lastTry == nullptr ? current : lastTry;
  block->sound = false;
  block->imageBytes = LoggerCutImage(&block->reply, block->image);  // its length only
  LoggerPlacedImage(&block->reply, address, s->numbering, block->image);
  Keep(s, block, kept);
  return false;
}

// The block stays bad with what its last try brought.
void KeepBad(LoggerSession* s, LoggerBlock* lastTry, uint32_t address, const LoggerBlock** kept) {
  lastTry->sound = false;
  PlaceImage(lastTry, address, s->numbering);
  Keep(s, lastTry, kept);
}

// The numbering has just been learned: blocks taken from a repeat of the
// block before fit it only if it cannot tell blocks apart. By address no
// block repeats its neighbour's lines, so each of them was the block before's.
void JudgeCopies(LoggerSession* s) {
  for (uint32_t i = 0; i < BlockCount; ++i) {
    if (!s->takenFromCopy[i]) continue;
    s->takenFromCopy[i] = false;
    if (s->numbering == LoggerNumbering::ByAddress)
      Report(s, LoggerEvent::CopyWrong, i * BlockSize, 0);
  }
}

// Takes a sound reply: the numbering known with it (a copy of the block
// before teaches nothing), the image, and the streak of bad ones ended.
void Accept(LoggerSession* s, LoggerBlock* block, uint32_t address, LoggerNumbering learned,
            bool copy) {
  const LoggerNumbering before = s->numbering;
  s->numbering = learned;
  const bool unchecked = learned == LoggerNumbering::Constant || learned == LoggerNumbering::Off;
  if (before != learned && unchecked) Report(s, LoggerEvent::CheckOff, address, 0);
  if (before == LoggerNumbering::Unknown && s->numbering != LoggerNumbering::Unknown)
    JudgeCopies(s);
  if (copy && s->numbering == LoggerNumbering::Unknown)
    s->takenFromCopy[address / BlockSize] = true;
  block->sound = true;
  PlaceImage(block, address, s->numbering);
  s->badInARow = 0;
  s->badSinceMs = -1;
}

// Sends the block's command, with only what comes after it as its reply.
bool Ask(LoggerSession* s) {
  SerialDropInputNow(s->link);
  SerialClearError(s->link);
  return WriteCommand(s);
}

// Whether a record line already waits behind a reply just read, so that the
// reply was not the block alone; only asked where the addresses cannot vouch
// for the block (a duplicated record is then found nowhere else).
bool SurplusWaits(LoggerSession* s, LoggerNumbering numbering) {
  return numbering != LoggerNumbering::ByAddress && SerialLineWaiting(s->link, ':');
}

// How one try at a block turned out.
enum class TryResult { Taken, Bad, Stop };
struct TryOutcome {
  TryResult result;
  LoggerJudgement judged;
};

// Judges the reply that this try brought: sound and alone, it is taken.
// before is the block before's reply on a first try, else null: only a first
// try can bring a late repeat of it.
TryOutcome JudgeTry(LoggerSession* s, uint32_t address, LoggerBlock* current,
                    const LoggerReply* before) {
  TryOutcome try_ = {TryResult::Bad,
                     LoggerJudgeReply(&current->reply, address, s->numbering, before)};
  if (try_.judged.verdict != LoggerVerdict::Sound) return try_;
  // A reply just like the block before's may be that one sent twice, with
  // this block's own still to come: taken only when the line stays quiet.
  if (try_.judged.copy) {
    bool recordCame = false;
    if (!LookForRecords(s, address, &recordCame)) try_.result = TryResult::Stop;
    if (recordCame || try_.result == TryResult::Stop) return try_;
  }
  if (SurplusWaits(s, try_.judged.learned)) return try_;
  Accept(s, current, address, try_.judged.learned, try_.judged.copy);
  try_.result = TryResult::Taken;
  return try_;
}

// Whether every try so far brought sound records numbered alike, in no
// numbering this program knows and naming no block: a numbering of the
// logger's own.
struct OwnNumbering {
  bool possible;
  uint16_t firstLoads[DataRecordsPerBlock];
};

void NoteBadTry(OwnNumbering* own, const LoggerJudgement* judged, int attempt) {
  const bool sameAsFirst =
      attempt == 1 || std::memcmp(own->firstLoads, judged->loads, sizeof own->firstLoads) == 0;
  own->possible = own->possible && judged->verdict == LoggerVerdict::WrongNumbers &&
                  !judged->copy && sameAsFirst;
  if (attempt == 1) std::memcpy(own->firstLoads, judged->loads, sizeof own->firstLoads);
}

// Before a block is asked for again: says so and lets the line fall quiet.
// False when the run must stop, with *kept set to what to keep.
bool PrepareRetry(LoggerSession* s, uint32_t address, int attempt, LoggerBlock* current,
                  LoggerBlock* lastTry, const LoggerBlock** kept) {
  Report(s, LoggerEvent::Reread, address, attempt);
  if (LetLineFallQuiet(s, address)) return true;
  if (s->stop != LoggerStop::NoSoundReplyInTime)
    return StopInBlock(s, address, current, lastTry, kept);
  KeepBad(s, lastTry, address, kept);
  return false;
}

// Every try brought a bad reply. Tries that show a numbering of the logger's
// own make the block sound after all; otherwise it stays bad, and what may
// still come of its last reply must not open the next block's. False when
// the run must stop.
bool EndOfTries(LoggerSession* s, LoggerBlock* lastTry, uint32_t address, bool ownNumbering,
                const LoggerBlock** kept) {
  if (s->numbering == LoggerNumbering::Unknown && ownNumbering &&
      !SurplusWaits(s, LoggerNumbering::Off)) {
    Accept(s, lastTry, address, LoggerNumbering::Off, false);
    Keep(s, lastTry, kept);
    return true;
  }
  KeepBad(s, lastTry, address, kept);
  if (++s->badInARow >= BadBlocksInARowLimit) {
    s->stop = LoggerStop::RepliesNeverFit;
    return false;
  }
  return LetLineFallQuiet(s, address);
}

}  // namespace

void LoggerKnowNumbering(LoggerSession* session, LoggerNumbering numbering) {
  session->numbering = numbering;
}

LoggerSession* LoggerStart(SerialLink* link, const std::atomic<bool>* stopFlag, LoggerReport report,
                           void* context) {
  LoggerSession* s = SessionFor(link);
  if (s == nullptr) return nullptr;
  s->taken = true;
  s->link = link;
  s->stopFlag = stopFlag;
  s->report = report;
  s->context = context;
  s->failingSinceMs = -1;
  s->readFailing = false;
  s->numbering = LoggerNumbering::Unknown;
  s->stop = LoggerStop::None;
  s->badInARow = 0;
  s->badSinceMs = -1;
  s->extraRecords = LoggerExtraRecords::None;
  s->haveBlock = false;
  s->kept = 0;
  std::memset(s->takenFromCopy, 0, sizeof s->takenFromCopy);
  return s;
}

void LoggerFinish(LoggerSession* session) {
  if (session != nullptr) session->taken = false;
}

LoggerStop LoggerStopReason(const LoggerSession* session) {
  return session->stop;
}

LoggerExtraRecords LoggerRecordsAfterEnd(const LoggerSession* session) {
  return session->extraRecords;
}

bool LoggerReadBlock(LoggerSession* s, uint32_t address, const LoggerBlock** kept) {
  std::snprintf(s->command, sizeof s->command, BlockCommandFormat, static_cast<unsigned>(address));
  // The block before's reply, when it was sound: a bad one's last try may be
  // anything, this block's own reply included.
  const LoggerBlock* last = s->haveBlock ? &s->blocks[s->kept] : nullptr;
  const LoggerReply* before = last != nullptr && last->sound ? &last->reply : nullptr;
  int reading = s->haveBlock ? 1 - s->kept : 0;
  LoggerBlock* lastTry = nullptr;
  OwnNumbering own = {true, {}};
  for (int attempt = 1; attempt <= BlockTries; ++attempt) {
    LoggerBlock* current = &s->blocks[reading];
    current->tries = attempt;
    current->sound = false;
    current->reply.count = 0;
    if (attempt > 1 && !PrepareRetry(s, address, attempt, current, lastTry, kept)) return false;
    if (!Ask(s) || !ReadReply(s, address, &current->reply)) {
      return StopInBlock(s, address, current, lastTry, kept);
    }
    // The second try reads into the buffer that held the block before.
    const TryOutcome try_ = JudgeTry(s, address, current, attempt == 1 ? before : nullptr);
    if (try_.result == TryResult::Stop) return StopInBlock(s, address, current, lastTry, kept);
    if (try_.result == TryResult::Taken) {
      Keep(s, current, kept);
      return true;
    }
    if (s->badSinceMs < 0) s->badSinceMs = NowMs();
    NoteBadTry(&own, &try_.judged, attempt);
    lastTry = current;
    reading = 1 - reading;
  }
  return EndOfTries(s, lastTry, address, own.possible, kept);
}

bool LoggerEnd(LoggerSession* s, bool checkQuiet) {
  std::snprintf(s->command, sizeof s->command, "%s", EndCommand);
  const bool sent = SerialWrite(s->link, s->command) == std::strlen(s->command);
  if (!sent || !checkQuiet) return sent;
  // Record lines until the line has been free of them for QuietCheckMs: a copy
  // of the last reply does no harm, nor do records that carry no data;
  // anything else was never asked for.
  LoggerReply* extra = &s->blocks[s->haveBlock ? 1 - s->kept : 0].reply;
  const LoggerReply* last = s->haveBlock ? &s->blocks[s->kept].reply : nullptr;
  extra->count = 0;
  bool tooMany = false;
  bool data = false;
  const long long began = NowMs();
  long long quietSince = began;
  while (NowMs() - quietSince < QuietCheckMs && NowMs() - began < QuietLimitMs) {
    char* line = extra->count < MaxBlockLines ? extra->line[extra->count] : s->line;
    const int n = SerialReadLine(s->link, line);
    if (n == SerialLineFailed) break;  // a logger may leave the line after the end command
    if (!IsRecordLine(line, n)) continue;
    quietSince = NowMs();
    Record record;
    ParseRecord(line, &record);
    data = data || !LoggerRecordFits(&record) || record.type == RecordTypeData;
    if (extra->count == MaxBlockLines) {
      tooMany = true;
    } else {
      extra->length[extra->count++] = n;
    }
  }
  const bool copyOfLast = last != nullptr && !tooMany && extra->count <= last->count &&
                          LoggerSameLines(last, extra, extra->count);
  if (data && !copyOfLast) {
    s->extraRecords = s->numbering == LoggerNumbering::ByAddress ? LoggerExtraRecords::Harmless
                                                                 : LoggerExtraRecords::Suspect;
  }
  return sent;
}
