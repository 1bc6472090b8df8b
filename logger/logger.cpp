#include "logger.h"

#include <cstdio>
#include <cstring>

#include "platform/timing.h"

namespace {

// Bytes that may come after a command without being a sign of another
// device: an echo of the command and the line end of the last reply.
constexpr unsigned long long EchoAllowanceBytes = CommandBufferSize + 2;

// True, with the session's stop set, when the user has asked to stop.
bool Interrupted(LoggerSession* s) {
  if (!StopRequested(s->stopFlag)) return false;
  s->stop = RunStop::UserStopped;
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
    s->stop = RunStop::LinkLost;
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
  s->stop = RunStop::NoSoundReplyInTime;
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
    const int discarded = SerialDiscardInput(s->link);
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
bool ReadReply(LoggerSession* s, uint32_t address, BlockReply* reply) {
  const int wanted = RecordLinesOf(address);
  const long long askedMs = NowMs();
  const unsigned long long bytesBefore = SerialBytesReceived(s->link);
  long long lastRecordMs = -1;  // -1: the reply has not begun
  bool noticed = false;
  reply->count = 0;
  while (reply->count < wanted) {
    if (Interrupted(s)) return false;
    char* line = reply->line[reply->count];
    const int n = ReadLine(s->link, line);
    if (n == ReadLineFailed) {
      // While reads fail, the link decides: it works again or it is lost.
      if (!ReadFailed(s, address)) return false;
      continue;
    }
    LinkWorks(s);
    const long long now = NowMs();
    if (IsRecordLine(line, n)) {
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
    const int n = ReadLine(s->link, s->line);
    if (n == ReadLineFailed) {
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

// The 16-bit value written by the four characters at pos.
uint16_t Word(const char* line, size_t pos) {
  return static_cast<uint16_t>(HexByte(line, pos) << 8 | HexByte(line, pos + 2));
}

// No block: records that name none by their addresses.
constexpr long NoBlock = -1;

// Where a segment or linear address record places the data records after
// it: the start of a 64 KiB, or NoBlock for any other place.
long BaseOf(const char* line, uint8_t type) {
  constexpr unsigned segmentWithin64K = 0x0FFF;
  if (HexByte(line, 1) != 2) return NoBlock;
  const long value = Word(line, 9);
  if (type == RecordTypeLinear) return value << 16;
  return (value & segmentWithin64K) == 0 ? value << 4 : NoBlock;
}

// The addresses that a sound reply gives its records.
struct Records {
  uint16_t loads[DataRecordsPerBlock];  // of the data records, in order
  // The block the records name by address: every data record placed by one
  // 64 KiB (named by a segment or linear address record before it, or the
  // first 64 KiB where none is), their load addresses that block's. NoBlock
  // when they name none.
  long named;
};

// True when the 16 data records carry the load addresses first + 0x10 * i.
bool NumberedFrom(const uint16_t* loads, uint16_t first) {
  for (int i = 0; i < DataRecordsPerBlock; ++i) {
    if (loads[i] != static_cast<uint16_t>(first + i * RecordDataBytes)) return false;
  }
  return true;
}

// The block that loads placed at base name, or NoBlock.
long NamedBlock(const uint16_t* loads, long base) {
  if (base == NoBlock || loads[0] % BlockSize != 0 || !NumberedFrom(loads, loads[0])) {
    return NoBlock;
  }
  const long block = base + loads[0];
  return block < static_cast<long>(ImageSize) ? block : NoBlock;
}

// Collects the addresses of the records; false when the reply is no sound
// block of 16 data records.
bool ReadRecords(const BlockReply* reply, Records* records) {
  int data = 0;
  long base = 0;  // where data records go before any address record
  long firstBase = NoBlock;
  long dataBase = NoBlock;
  bool oneBase = true;  // every address record and every data record agree on it
  for (int i = 0; i < reply->count; ++i) {
    const char* line = reply->line[i];
    if (!RecordIsSound(line)) return false;
    const uint8_t type = HexByte(line, 7);
    if (type == RecordTypeSegment || type == RecordTypeLinear) {
      base = BaseOf(line, type);
      if (firstBase == NoBlock) firstBase = base;
      oneBase = oneBase && base == firstBase && base != NoBlock;
      continue;
    }
    if (type != RecordTypeData) continue;
    if (data == DataRecordsPerBlock) return false;
    if (data == 0) dataBase = base;
    oneBase = oneBase && base == dataBase;
    records->loads[data++] = Word(line, 3);
  }
  if (data != DataRecordsPerBlock) return false;
  const bool placed = oneBase && (firstBase == NoBlock || firstBase == dataBase);
  records->named = placed ? NamedBlock(records->loads, dataBase) : NoBlock;
  return true;
}

bool AllEqual(const uint16_t* loads) {
  for (int i = 1; i < DataRecordsPerBlock; ++i) {
    if (loads[i] != loads[0]) return false;
  }
  return true;
}

bool FitsByAddress(const Records* r, uint32_t address) {
  return r->named == static_cast<long>(address);
}

bool FitsPerBlock(const Records* r) {
  return NumberedFrom(r->loads, 0);
}

BlockVerdict VerdictOf(const Records* r, uint32_t address, Numbering numbering) {
  bool fits = true;
  switch (numbering) {
    case Numbering::Unknown:
      fits = FitsByAddress(r, address) || FitsPerBlock(r) || AllEqual(r->loads);
      break;
    case Numbering::ByAddress:
      fits = FitsByAddress(r, address);
      break;
    case Numbering::PerBlock:
      fits = FitsPerBlock(r);
      break;
    case Numbering::Constant:
      fits = AllEqual(r->loads);
      break;
    case Numbering::Off:
      fits = r->named == NoBlock || FitsByAddress(r, address);
      break;
  }
  if (fits) return BlockVerdict::Sound;
  return r->named == NoBlock ? BlockVerdict::WrongNumbers : BlockVerdict::OtherBlock;
}

// A numbering is learned where the replies can tell it: one address
// throughout at once, the other two at a block where they differ.
Numbering Learned(const Records* r, uint32_t address, Numbering numbering) {
  if (numbering != Numbering::Unknown) return numbering;
  if (AllEqual(r->loads)) return Numbering::Constant;
  const bool byAddress = FitsByAddress(r, address);
  const bool perBlock = FitsPerBlock(r);
  if (byAddress && !perBlock) return Numbering::ByAddress;
  if (perBlock && !byAddress) return Numbering::PerBlock;
  return Numbering::Unknown;
}

// Where a data record with this load address, placed by base, belongs in the
// block at address; -1 when its address does not place it there. Only an
// address places a record: by address, or within the block where every block
// is numbered from 0000; while the numbering is unknown, where both agree.
int OffsetOf(uint16_t load, long base, uint32_t address, Numbering numbering) {
  const long byAddress = base == NoBlock ? -1 : base + load - static_cast<long>(address);
  long offset = -1;
  switch (numbering) {
    case Numbering::ByAddress:
      offset = byAddress;
      break;
    case Numbering::PerBlock:
      offset = load;
      break;
    case Numbering::Unknown:
      offset = byAddress == load ? byAddress : -1;
      break;
    case Numbering::Constant:
    case Numbering::Off:
      break;
  }
  if (offset < 0 || offset % RecordDataBytes != 0 ||
      offset + RecordDataBytes > static_cast<long>(BlockSize)) {
    return -1;
  }
  return static_cast<int>(offset);
}

// The image of a finished block, decoded once: a sound reply's 16 data records
// in order; of a bad reply every sound data record that its address places in
// the block. The rest is ImageFiller: no byte goes where nothing shows it
// belongs, and the other blocks keep their addresses whatever came.
void PlaceImage(BlockData* block, uint32_t address, Numbering numbering) {
  block->imageBytes = BlockSize;
  if (block->sound) {
    SoundBlockImage(&block->reply, block->image);
    return;
  }
  const BlockReply* reply = &block->reply;
  uint8_t decoded[DecodeBufferSize];
  std::memset(block->image, ImageFiller, BlockSize);
  long base = 0;
  for (int i = 0; i < reply->count; ++i) {
    const char* line = reply->line[i];
    const bool sound = RecordIsSound(line);
    const uint8_t type = HexByte(line, 7);
    if (type == RecordTypeSegment || type == RecordTypeLinear) {
      base = sound ? BaseOf(line, type) : NoBlock;
      continue;
    }
    if (type != RecordTypeData || !sound) continue;
    const int at = OffsetOf(Word(line, 3), base, address, numbering);
    if (at < 0) continue;
    DecodeRecord(line, decoded);
    std::memcpy(block->image + at, decoded, RecordDataBytes);
  }
}

// The image of a block cut short by a stop: 16 bytes for each data record
// received, in order, as far as the block goes.
void ImageOfCutBlock(BlockData* block) {
  uint8_t decoded[DecodeBufferSize] = {};
  block->imageBytes = 0;
  for (int i = 0; i < block->reply.count && block->imageBytes < BlockSize; ++i) {
    if (DecodeRecord(block->reply.line[i], decoded) < 1) continue;
    std::memcpy(block->image + block->imageBytes, decoded, RecordDataBytes);
    block->imageBytes += RecordDataBytes;
  }
}

void Keep(LoggerSession* s, BlockData* block, const BlockData** kept) {
  s->kept = block == &s->blocks[0] ? 0 : 1;
  s->haveBlock = true;
  *kept = block;
}

// The run stops during a block: nothing received is lost, this try's lines
// or else the last try's.
bool StopInBlock(LoggerSession* s, BlockData* current, BlockData* lastTry, const BlockData** kept) {
  BlockData* block = current->reply.count > 0 || lastTry == nullptr ? current : lastTry;
  block->sound = false;
  ImageOfCutBlock(block);
  Keep(s, block, kept);
  return false;
}

// The block stays bad with what its last try brought.
void KeepBad(LoggerSession* s, BlockData* lastTry, uint32_t address, const BlockData** kept) {
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
    if (s->numbering == Numbering::ByAddress) Report(s, LoggerEvent::CopyWrong, i * BlockSize, 0);
  }
}

// Takes a sound reply: the numbering known with it (a copy of the block
// before teaches nothing), the image, and the streak of bad ones ended.
void Accept(LoggerSession* s, BlockData* block, uint32_t address, Numbering learned, bool copy) {
  const Numbering before = s->numbering;
  s->numbering = learned;
  const bool unchecked = learned == Numbering::Constant || learned == Numbering::Off;
  if (before != learned && unchecked) Report(s, LoggerEvent::CheckOff, address, 0);
  if (before == Numbering::Unknown && s->numbering != Numbering::Unknown) JudgeCopies(s);
  if (copy && s->numbering == Numbering::Unknown) s->takenFromCopy[address / BlockSize] = true;
  block->sound = true;
  PlaceImage(block, address, s->numbering);
  s->badInARow = 0;
  s->badSinceMs = -1;
}

// Sends the block's command, with only what comes after it as its reply.
bool Ask(LoggerSession* s) {
  SerialDropInput(s->link);
  SerialClearError(s->link);
  return WriteCommand(s);
}

// Whether a record line already waits behind a reply just read, so that the
// reply was not the block alone; only asked where the addresses cannot vouch
// for the block (a duplicated record is then found nowhere else).
bool SurplusWaits(LoggerSession* s, Numbering numbering) {
  return numbering != Numbering::ByAddress && SerialLineWaiting(s->link, ':');
}

// Whether the first count lines of two replies are the same.
bool SameLines(const BlockReply* a, const BlockReply* b, int count) {
  for (int i = 0; i < count; ++i) {
    if (a->length[i] != b->length[i] ||
        std::memcmp(a->line[i], b->line[i], static_cast<size_t>(a->length[i])) != 0) {
      return false;
    }
  }
  return true;
}

// How one try at a block turned out.
enum class TryResult { Taken, Bad, Stop };
struct TryOutcome {
  TryResult result;
  BlockVerdict verdict;
  Records records;
  bool copy;  // the reply repeats the block before's lines
};

// Judges the reply that this try brought: sound and alone, it is taken.
// before is the block before's reply on a first try, else null: only a first
// try can bring a late repeat of it.
TryOutcome JudgeTry(LoggerSession* s, uint32_t address, BlockData* current,
                    const BlockReply* before) {
  TryOutcome try_ = {TryResult::Bad, BlockVerdict::BadRecords, {}, false};
  if (current->reply.count == RecordLinesOf(address) &&
      ReadRecords(&current->reply, &try_.records)) {
    try_.verdict = VerdictOf(&try_.records, address, s->numbering);
  }
  try_.copy = before != nullptr && SameReply(before, &current->reply);
  if (try_.verdict != BlockVerdict::Sound) return try_;
  // A reply just like the block before's may be that one sent twice, with
  // this block's own still to come: taken only when the line stays quiet.
  if (try_.copy) {
    bool recordCame = false;
    if (!LookForRecords(s, address, &recordCame)) try_.result = TryResult::Stop;
    if (recordCame || try_.result == TryResult::Stop) return try_;
  }
  const Numbering numbering =
      try_.copy ? s->numbering : Learned(&try_.records, address, s->numbering);
  if (SurplusWaits(s, numbering)) return try_;
  Accept(s, current, address, numbering, try_.copy);
  try_.result = TryResult::Taken;
  return try_;
}

}  // namespace

BlockVerdict CheckBlock(const BlockReply* reply, uint32_t address, Numbering numbering) {
  Records records;
  if (!ReadRecords(reply, &records)) return BlockVerdict::BadRecords;
  return VerdictOf(&records, address, numbering);
}

Numbering LearnNumbering(const BlockReply* reply, uint32_t address, Numbering numbering,
                         const BlockReply* before) {
  Records records;
  if (!ReadRecords(reply, &records)) return numbering;
  if (before != nullptr && SameReply(before, reply)) return numbering;
  return Learned(&records, address, numbering);
}

bool SameReply(const BlockReply* a, const BlockReply* b) {
  return a->count == b->count && SameLines(a, b, a->count);
}

void SoundBlockImage(const BlockReply* reply, uint8_t* image) {
  uint8_t decoded[DecodeBufferSize];
  int index = 0;
  for (int i = 0; i < reply->count && index < DataRecordsPerBlock; ++i) {
    if (HexByte(reply->line[i], 7) != RecordTypeData) continue;
    DecodeRecord(reply->line[i], decoded);
    std::memcpy(image + index++ * RecordDataBytes, decoded, RecordDataBytes);
  }
}

void LoggerKnowNumbering(LoggerSession* session, Numbering numbering) {
  session->numbering = numbering;
}

void LoggerStart(LoggerSession* session, SerialLink* link, const std::atomic<bool>* stopFlag,
                 LoggerReport report, void* context) {
  session->link = link;
  session->stopFlag = stopFlag;
  session->report = report;
  session->context = context;
  session->failingSinceMs = -1;
  session->readFailing = false;
  session->numbering = Numbering::Unknown;
  session->stop = RunStop::None;
  session->badInARow = 0;
  session->badSinceMs = -1;
  session->extraRecords = ExtraRecords::None;
  session->haveBlock = false;
  session->kept = 0;
  std::memset(session->takenFromCopy, 0, sizeof session->takenFromCopy);
}

bool LoggerReadBlock(LoggerSession* s, uint32_t address, const BlockData** kept) {
  std::snprintf(s->command, sizeof s->command, BlockCommandFormat, static_cast<unsigned>(address));
  // The block before's reply, when it was sound: a bad one's last try may be
  // anything, this block's own reply included.
  const BlockData* last = s->haveBlock ? &s->blocks[s->kept] : nullptr;
  const BlockReply* before = last != nullptr && last->sound ? &last->reply : nullptr;
  int reading = s->haveBlock ? 1 - s->kept : 0;
  BlockData* lastTry = nullptr;
  // Whether every try brought sound records numbered alike, in no numbering
  // this program knows and naming no block: a numbering of the logger's own.
  bool ownNumbering = true;
  Records first{};
  for (int attempt = 1; attempt <= BlockTries; ++attempt) {
    BlockData* current = &s->blocks[reading];
    current->tries = attempt;
    current->sound = false;
    current->reply.count = 0;
    if (attempt > 1) {
      Report(s, LoggerEvent::Reread, address, attempt);
      if (!LetLineFallQuiet(s, address)) {
        if (s->stop != RunStop::NoSoundReplyInTime) return StopInBlock(s, current, lastTry, kept);
        KeepBad(s, lastTry, address, kept);
        return false;
      }
    }
    if (!Ask(s)) return StopInBlock(s, current, lastTry, kept);
    if (!ReadReply(s, address, &current->reply)) return StopInBlock(s, current, lastTry, kept);
    // The second try reads into the buffer that held the block before.
    const TryOutcome try_ = JudgeTry(s, address, current, attempt == 1 ? before : nullptr);
    if (try_.result == TryResult::Stop) return StopInBlock(s, current, lastTry, kept);
    if (try_.result == TryResult::Taken) {
      Keep(s, current, kept);
      return true;
    }
    if (s->badSinceMs < 0) s->badSinceMs = NowMs();
    const bool sameAsFirst =
        attempt == 1 || std::memcmp(first.loads, try_.records.loads, sizeof first.loads) == 0;
    ownNumbering =
        ownNumbering && try_.verdict == BlockVerdict::WrongNumbers && !try_.copy && sameAsFirst;
    if (attempt == 1) first = try_.records;
    lastTry = current;
    reading = 1 - reading;
  }
  if (s->numbering == Numbering::Unknown && ownNumbering && !SurplusWaits(s, Numbering::Off)) {
    // Not a bad reply but a logger that numbers its records its own way.
    Accept(s, lastTry, address, Numbering::Off, false);
    Keep(s, lastTry, kept);
    return true;
  }
  // The block stays bad; what may still come of its last reply must not open
  // the next block's.
  KeepBad(s, lastTry, address, kept);
  if (++s->badInARow >= BadBlocksInARowLimit) {
    s->stop = RunStop::RepliesNeverFit;
    return false;
  }
  return LetLineFallQuiet(s, address);
}

bool LoggerEnd(LoggerSession* s, bool checkQuiet) {
  std::snprintf(s->command, sizeof s->command, "%s", EndCommand);
  const bool sent = SerialWrite(s->link, s->command) == std::strlen(s->command);
  if (!sent || !checkQuiet) return sent;
  // Record lines until the line has been free of them for QuietCheckMs: a copy
  // of the last reply does no harm, nor do records that carry no data;
  // anything else was never asked for.
  BlockReply* extra = &s->blocks[s->haveBlock ? 1 - s->kept : 0].reply;
  const BlockReply* last = s->haveBlock ? &s->blocks[s->kept].reply : nullptr;
  extra->count = 0;
  bool tooMany = false;
  bool data = false;
  const long long began = NowMs();
  long long quietSince = began;
  while (NowMs() - quietSince < QuietCheckMs && NowMs() - began < QuietLimitMs) {
    char* line = extra->count < MaxBlockLines ? extra->line[extra->count] : s->line;
    const int n = ReadLine(s->link, line);
    if (n == ReadLineFailed) break;  // a logger may leave the line after the end command
    if (!IsRecordLine(line, n)) continue;
    quietSince = NowMs();
    data = data || !RecordIsSound(line) || HexByte(line, 7) == RecordTypeData;
    if (extra->count == MaxBlockLines) {
      tooMany = true;
    } else {
      extra->length[extra->count++] = n;
    }
  }
  const bool copyOfLast = last != nullptr && !tooMany && extra->count <= last->count &&
                          SameLines(last, extra, extra->count);
  if (data && !copyOfLast) {
    s->extraRecords =
        s->numbering == Numbering::ByAddress ? ExtraRecords::Harmless : ExtraRecords::Suspect;
  }
  return sent;
}
