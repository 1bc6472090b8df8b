#include "logger.h"

#include <cstdio>
#include <cstring>

#include "platform/timing.h"

namespace {

// Bytes that may come after a command without being a sign of another
// device: an echo of the command and the line end of the last reply.
constexpr unsigned long long EchoAllowanceBytes = CommandBufferSize + 2;

LoggerStop Interrupted(const LoggerSession* s) {
  return StopRequested(s->stopFlag) ? LoggerStop::UserStopped : LoggerStop::None;
}

void Report(const LoggerSession* s, LoggerEvent event, uint32_t address, int attempt) {
  if (s->report != nullptr) s->report(s->context, event, address, attempt);
}

// A failed read or write: pause, clear the port's error state, and go on,
// until nothing but failures has come for LinkLostAfterMs.
LoggerStop RetryAfterFailure(LoggerSession* s) {
  const long long now = NowMs();
  if (s->failingSinceMs < 0) s->failingSinceMs = now;
  if (now - s->failingSinceMs >= LinkLostAfterMs) return LoggerStop::LinkLost;
  SleepMs(FailurePauseMs);
  SerialClearError(s->link);
  return LoggerStop::None;
}

// A failed read: the first of a streak is reported, then as RetryAfterFailure.
LoggerStop ReadFailed(LoggerSession* s, uint32_t address) {
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

// Sends text until all of it has gone through. After a short write only the
// rest is sent: the logger must receive it once and whole. A stop request is
// taken only while nothing of the text has gone (a write it interrupted
// sends nothing and is not made again); a text the logger has begun to
// receive is finished first, unless stoppable is false, when none is taken.
// A write that failed outright may have sent any part of it: then
// *partUnknown is set and the caller decides what follows.
LoggerStop Send(LoggerSession* s, const char* text, bool stoppable, bool* partUnknown) {
  const size_t length = std::strlen(text);
  size_t sent = 0;
  *partUnknown = false;
  for (;;) {
    if (stoppable && sent == 0 && Interrupted(s) != LoggerStop::None) {
      return LoggerStop::UserStopped;
    }
    const size_t written = SerialWrite(s->link, text + sent);
    *partUnknown = SerialWriteFailedOutright(s->link);
    if (!*partUnknown) sent += written;
    if (written > 0) s->failingSinceMs = -1;  // the port took bytes: it works
    if (!*partUnknown && sent == length) return LoggerStop::None;
    if (stoppable && sent == 0 && Interrupted(s) != LoggerStop::None) {
      return LoggerStop::UserStopped;
    }
    const LoggerStop stop = RetryAfterFailure(s);
    if (stop != LoggerStop::None || *partUnknown) return stop;
  }
}

// Sends the block's command once and whole, with only what comes after it as
// its reply. When a write failed without saying how much went out, a line
// end first closes whatever part reached the logger (a line it ignores),
// even when a stop request came meanwhile, and the whole command follows.
LoggerStop Ask(LoggerSession* s) {
  SerialDropInputNow(s->link);
  SerialClearError(s->link);
  for (;;) {
    bool partUnknown = false;
    LoggerStop stop = Send(s, s->command, true, &partUnknown);
    if (stop != LoggerStop::None || !partUnknown) return stop;
    while (partUnknown && stop == LoggerStop::None) {
      stop = Send(s, CommandLineEnd, false, &partUnknown);
    }
    if (stop != LoggerStop::None) return stop;
  }
}

// Replies that have stayed bad for NoSoundReplyLimitMs: the device's replies
// never fit, and a line that never falls quiet must not stretch that to many
// minutes.
bool OutOfTime(const LoggerSession* s) {
  return s->badSinceMs >= 0 && NowMs() - s->badSinceMs >= NoSoundReplyLimitMs;
}

// Before a block is asked for again: whatever still arrives is discarded until
// the line has been quiet for a whole read time-out, so that the rest of a bad
// reply cannot open the next one. A line that never falls quiet is asked all
// the same after QuietLimitMs.
LoggerStop LetLineFallQuiet(LoggerSession* s, uint32_t address) {
  const long long since = NowMs();
  for (;;) {
    if (Interrupted(s) != LoggerStop::None) return LoggerStop::UserStopped;
    if (OutOfTime(s)) return LoggerStop::NoSoundReplyInTime;
    const int discarded = SerialDropInputAndWait(s->link);
    if (discarded == 0) return LoggerStop::None;
    if (discarded < 0) {
      const LoggerStop stop = ReadFailed(s, address);
      if (stop != LoggerStop::None) return stop;
      continue;
    }
    LinkWorks(s);
    if (NowMs() - since >= QuietLimitMs) return LoggerStop::None;
  }
}

// Reads record lines into reply until the block's count has arrived or the
// reply stalls (then it has fewer). The reply begins with its first record
// line, and only then are the last try's lines given up: a line end left from
// the last reply, an echo of the command or another device's text neither
// begins it nor keeps it from stalling.
LoggerStop ReadReply(LoggerSession* s, uint32_t address, LoggerReply* reply) {
  const int wanted = RecordLinesOf(address);
  const long long askedMs = NowMs();
  const unsigned long long bytesBefore = SerialBytesReceived(s->link);
  long long lastRecordMs = -1;  // -1: the reply has not begun
  bool noticed = false;
  while (lastRecordMs < 0 || reply->count < wanted) {
    if (Interrupted(s) != LoggerStop::None) return LoggerStop::UserStopped;
    const int n = SerialReadLine(s->link, s->line);
    if (n == SerialLineFailed) {
      // While reads fail, the link decides: it works again or it is lost.
      const LoggerStop stop = ReadFailed(s, address);
      if (stop != LoggerStop::None) return stop;
      continue;
    }
    LinkWorks(s);
    const long long now = NowMs();
    if (IsRecordLine(s->line, n)) {
      if (lastRecordMs < 0) reply->count = 0;
      std::memcpy(reply->line[reply->count], s->line, static_cast<size_t>(n) + 1);
      // Parsed once, as it arrives; every later step reads the fields.
      ParseRecord(reply->line[reply->count], &reply->record[reply->count]);
      reply->length[reply->count++] = n;
      lastRecordMs = now;
    } else if (lastRecordMs >= 0) {
      if (now - lastRecordMs >= StallMs) return LoggerStop::None;
    } else if (!noticed && now - askedMs >= WaitNoticeMs) {
      const bool bytesCame = SerialBytesReceived(s->link) - bytesBefore > EchoAllowanceBytes;
      Report(s, bytesCame ? LoggerEvent::ForeignData : LoggerEvent::Waiting, address, 0);
      noticed = true;
    }
  }
  return LoggerStop::None;
}

// The block stays bad with the lines it holds: every sound data record that
// its address places in the block, ImageFiller elsewhere, so that no byte goes
// where nothing shows it belongs and the other blocks keep their places. A
// block cut short by a stop keeps the length of what came: 16 bytes for each
// data record received.
void KeepBad(LoggerSession* s, uint32_t address, bool cutShort) {
  LoggerBlock* block = &s->block;
  block->sound = false;
  block->imageBytes = cutShort ? LoggerCutImage(&block->reply, block->image) : BlockSize;
  LoggerPlacedImage(&block->reply, address, s->numbering, block->image);
}

// A stop while the block is read: this try's lines are kept, or else the last
// try's, as a bad block's.
LoggerStop StopInBlock(LoggerSession* s, uint32_t address, LoggerStop stop) {
  KeepBad(s, address, stop != LoggerStop::NoSoundReplyInTime);
  return stop;
}

// Whether a record line already waits behind a sound reply to the block at
// address, so that the reply was not the block alone; only asked where the
// addresses cannot vouch for the block (a record sent twice is then found
// nowhere else).
bool SurplusWaits(LoggerSession* s, uint32_t address) {
  return LoggerLearned(address, s->numbering) != LoggerNumbering::ByAddress &&
         SerialLineWaiting(s->link, ':');
}

// Judges the reply this try brought. While the numbering is unknown, a try
// with the same numbers as the last, neither of them naming this block, shows
// a logger without addresses: said once, and the reply judged as such.
LoggerJudgement JudgeTry(LoggerSession* s, uint32_t address, const LoggerJudgement* lastTry) {
  LoggerJudgement judged = LoggerJudgeReply(&s->block.reply, address, s->numbering);
  if (s->numbering == LoggerNumbering::Unknown && LoggerShowsNoAddresses(lastTry, &judged)) {
    s->numbering = LoggerNumbering::NoAddresses;
    Report(s, LoggerEvent::NoAddresses, address, 0);
    judged = LoggerJudgeReply(&s->block.reply, address, s->numbering);
  }
  return judged;
}

}  // namespace

void LoggerStart(LoggerSession* s, SerialLink* link, const std::atomic<bool>* stopFlag,
                 LoggerReport report, void* context, LoggerNumbering numbering) {
  s->link = link;
  s->stopFlag = stopFlag;
  s->report = report;
  s->context = context;
  s->failingSinceMs = -1;
  s->readFailing = false;
  s->numbering = numbering;
  s->badInARow = 0;
  s->badSinceMs = -1;
  s->block.reply.count = 0;
}

LoggerStop LoggerReadBlock(LoggerSession* s, uint32_t address) {
  std::snprintf(s->command, sizeof s->command, BlockCommandFormat, static_cast<unsigned>(address));
  LoggerBlock* block = &s->block;
  block->reply.count = 0;
  LoggerJudgement lastTry = {LoggerVerdict::BadRecords, {}};
  for (int attempt = 1; attempt <= BlockTries; ++attempt) {
    block->tries = attempt;
    if (attempt > 1) {
      Report(s, LoggerEvent::Reread, address, attempt);
      const LoggerStop stop = LetLineFallQuiet(s, address);
      if (stop != LoggerStop::None) return StopInBlock(s, address, stop);
    }
    LoggerStop stop = Ask(s);
    if (stop == LoggerStop::None) stop = ReadReply(s, address, &block->reply);
    if (stop != LoggerStop::None) return StopInBlock(s, address, stop);
    lastTry = JudgeTry(s, address, &lastTry);
    if (lastTry.verdict == LoggerVerdict::Sound && !SurplusWaits(s, address)) {
      s->numbering = LoggerLearned(address, s->numbering);
      block->sound = true;
      block->imageBytes = BlockSize;
      LoggerSoundImage(&block->reply, block->image);
      s->badInARow = 0;
      s->badSinceMs = -1;
      return LoggerStop::None;
    }
    if (s->badSinceMs < 0) s->badSinceMs = NowMs();
  }
  // Every try brought a bad reply: what may still come of the last must not
  // open the next block's.
  KeepBad(s, address, false);
  if (++s->badInARow >= BadBlocksInARowLimit) return LoggerStop::RepliesNeverFit;
  return LetLineFallQuiet(s, address);
}

LoggerEnding LoggerEnd(LoggerSession* s, bool checkQuiet) {
  std::snprintf(s->command, sizeof s->command, "%s", EndCommand);
  LoggerEnding ending = {SerialWrite(s->link, s->command) == std::strlen(s->command),
                         LoggerExtraRecords::None};
  if (!ending.sent || !checkQuiet) return ending;
  // Record lines until the line has been free of them for QuietCheckMs;
  // records that carry no data do no harm, anything else was never asked for.
  bool data = false;
  const long long began = NowMs();
  long long quietSince = began;
  while (NowMs() - quietSince < QuietCheckMs && NowMs() - began < QuietLimitMs) {
    const int n = SerialReadLine(s->link, s->line);
    if (n == SerialLineFailed) break;  // a logger may leave the line after the end command
    if (!IsRecordLine(s->line, n)) continue;
    quietSince = NowMs();
    Record record;
    ParseRecord(s->line, &record);
    data = data || !LoggerRecordFits(&record) || record.type == RecordTypeData;
  }
  if (data) {
    ending.extraRecords = s->numbering == LoggerNumbering::ByAddress ? LoggerExtraRecords::Harmless
                                                                     : LoggerExtraRecords::Suspect;
  }
  return ending;
}
