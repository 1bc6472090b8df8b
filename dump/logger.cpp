#include "logger.h"

#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

// How one try at reading a reply ended.
enum class ReplyEnd { Complete, Stalled, Stopped };

bool StopRequested(const LoggerSession* s) {
  return s->stopFlag != nullptr && s->stopFlag->load();
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

// Writes the command until all of it has gone through. After a partial write
// only the rest is sent: the logger must receive the command once and whole.
bool WriteCommand(LoggerSession* s) {
  const size_t length = std::strlen(s->command);
  size_t sent = 0;
  for (;;) {
    if (StopRequested(s)) {
      s->stop = LoggerStop::Interrupted;
      return false;
    }
    const size_t written = SerialWrite(s->link, s->command + sent);
    sent += written;
    if (written > 0) s->failingSinceMs = -1;  // the port took bytes: it works
    if (sent == length) return true;
    if (!RetryAfterFailure(s)) return false;
  }
}

// Before a block is asked for again: whatever still arrives is discarded until
// the line has been quiet for a whole read time-out, so that the rest of a bad
// reply cannot open the next one.
bool LetLineFallQuiet(LoggerSession* s, uint32_t address) {
  for (;;) {
    if (StopRequested(s)) {
      s->stop = LoggerStop::Interrupted;
      return false;
    }
    const int discarded = SerialDiscardInput(s->link);
    if (discarded == 0) return true;
    if (discarded < 0) {
      if (!ReadFailed(s, address)) return false;
      continue;
    }
    LinkWorks(s);
  }
}

// Reads record lines into reply until the block's count has arrived, the reply
// stalls, or the run must stop.
ReplyEnd ReadReply(LoggerSession* s, uint32_t address, BlockReply* reply) {
  const int wanted = RecordLinesOf(address);
  const long long askedMs = NowMs();
  const unsigned long long bytesBefore = SerialBytesReceived(s->link);
  bool noticed = false;
  reply->count = 0;
  while (reply->count < wanted) {
    if (StopRequested(s)) {
      s->stop = LoggerStop::Interrupted;
      return ReplyEnd::Stopped;
    }
    const int n = ReadLine(s->link, s->line);
    if (n == ReadLineFailed) {
      if (!ReadFailed(s, address)) return ReplyEnd::Stopped;
    } else {
      LinkWorks(s);
      if (n > 0 && s->line[0] == ':') {
        reply->length[reply->count] = n;
        std::memcpy(reply->line[reply->count], s->line, static_cast<size_t>(n) + 1);
        ++reply->count;
        continue;
      }
    }
    // No record line this time: has the reply stalled, or not begun at all?
    const long long now = NowMs();
    if (SerialBytesReceived(s->link) != bytesBefore) {
      if (now - SerialLastByteMs(s->link) >= StallMs) return ReplyEnd::Stalled;
    } else if (!noticed && now - askedMs >= WaitNoticeMs) {
      Report(s, LoggerEvent::Waiting, address, 0);
      noticed = true;
    }
  }
  return ReplyEnd::Complete;
}

// True when the 16 data records carry the load addresses first + 0x10 * i.
bool NumberedFrom(const uint16_t* loads, uint16_t first) {
  for (int i = 0; i < DataRecordsPerBlock; ++i) {
    if (loads[i] != static_cast<uint16_t>(first + i * RecordDataBytes)) return false;
  }
  return true;
}

// Collects the load addresses of the data records; false when the reply is no
// sound block of 16 data records.
bool SoundRecords(const BlockReply* reply, uint16_t* loads) {
  int data = 0;
  for (int i = 0; i < reply->count; ++i) {
    const char* line = reply->line[i];
    if (!RecordIsSound(line)) return false;
    if (HexByte(line, 7) != RecordTypeData) continue;
    if (data == DataRecordsPerBlock) return false;
    loads[data++] = static_cast<uint16_t>(HexByte(line, 3) << 8 | HexByte(line, 5));
  }
  return data == DataRecordsPerBlock;
}

bool AllEqual(const uint16_t* loads) {
  for (int i = 1; i < DataRecordsPerBlock; ++i) {
    if (loads[i] != loads[0]) return false;
  }
  return true;
}

}  // namespace

BlockVerdict CheckBlock(const BlockReply* reply, uint32_t address, Numbering numbering) {
  uint16_t loads[DataRecordsPerBlock];
  if (!SoundRecords(reply, loads)) return BlockVerdict::BadRecords;
  const uint16_t low = static_cast<uint16_t>(address & 0xFFFF);
  // A numbering of the logger's own (steps of 0x10 from any start, or one
  // address throughout) is never flagged; records out of step are.
  const bool ownNumbering = NumberedFrom(loads, loads[0]) || AllEqual(loads);
  bool fits = true;
  switch (numbering) {
    case Numbering::Unknown:
    case Numbering::FirstBlock:
      fits = ownNumbering;
      break;
    case Numbering::ByAddress:
      fits = NumberedFrom(loads, low);
      break;
    case Numbering::PerBlock:
      fits = NumberedFrom(loads, 0);
      break;
    case Numbering::None:
      break;
  }
  return fits ? BlockVerdict::Sound : BlockVerdict::WrongNumbers;
}

Numbering LearnNumbering(const BlockReply* reply, uint32_t address, Numbering numbering) {
  uint16_t loads[DataRecordsPerBlock];
  if (numbering != Numbering::Unknown && numbering != Numbering::FirstBlock) return numbering;
  if (!SoundRecords(reply, loads)) return Numbering::None;
  if (numbering == Numbering::Unknown) {
    return address == 0 && NumberedFrom(loads, 0) ? Numbering::FirstBlock : Numbering::None;
  }
  if (address == BlockSize && NumberedFrom(loads, BlockSize)) return Numbering::ByAddress;
  if (address == BlockSize && NumberedFrom(loads, 0)) return Numbering::PerBlock;
  return Numbering::None;
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
  session->stop = LoggerStop::None;
}

bool LoggerReadBlock(LoggerSession* s, uint32_t address, BlockResult* result) {
  BlockReply* current = &s->replies[0];
  BlockReply* previous = &s->replies[1];
  previous->count = 0;
  std::snprintf(s->command, sizeof s->command, "dihex %5.5x\r\n", static_cast<unsigned>(address));
  for (int attempt = 1; attempt <= BlockTries; ++attempt) {
    result->tries = attempt;
    result->sound = false;
    result->reply = previous;  // kept should the run stop before this try has lines
    if (attempt > 1) {
      Report(s, LoggerEvent::Reread, address, attempt);
      if (!LetLineFallQuiet(s, address)) return false;
    }
    SerialClearError(s->link);
    if (!WriteCommand(s)) return false;
    const ReplyEnd end = ReadReply(s, address, current);
    if (end == ReplyEnd::Stopped) {
      // Nothing received is lost: this try's lines, or the last try's.
      if (current->count > 0) result->reply = current;
      return false;
    }
    result->reply = current;
    if (end == ReplyEnd::Complete &&
        CheckBlock(current, address, s->numbering) == BlockVerdict::Sound) {
      s->numbering = LearnNumbering(current, address, s->numbering);
      result->sound = true;
      return true;
    }
    BlockReply* spent = previous;
    previous = current;
    current = spent;
  }
  // The block stays bad; what may still come of its last reply must not open
  // the next block's.
  return LetLineFallQuiet(s, address);
}

bool LoggerEnd(LoggerSession* s) {
  std::strcpy(s->command, "q\n\r");
  return SerialWrite(s->link, s->command) == std::strlen(s->command);
}
