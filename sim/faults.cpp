#include "faults.h"

#include <cstdlib>
#include <cstring>

namespace {

// --- The options' values and switches.

long Address(const char* text) {
  return static_cast<long>(std::strtoul(text, nullptr, 0));
}

unsigned Count(const char* text) {
  return static_cast<unsigned>(std::strtoul(text, nullptr, 0));
}

// A fault switched on by its option alone.
template <bool SimFaults::*Field>
constexpr SimSwitch Flag() {
  return {[](SimFaults* f, const char*) {
            f->*Field = true;
            return true;
          },
          [](const SimFaults* f) { return f->*Field; }};
}

// A fault that names a block or a record by its memory address (SimNone: off).
template <long SimFaults::*Field>
constexpr SimSwitch AddressOf() {
  return {[](SimFaults* f, const char* value) {
            f->*Field = Address(value);
            return true;
          },
          [](const SimFaults* f) { return f->*Field != SimNone; }};
}

// A fault that takes a count, of milliseconds or of times (0: off).
template <unsigned SimFaults::*Field>
constexpr SimSwitch CountOf() {
  return {[](SimFaults* f, const char* value) {
            f->*Field = Count(value);
            return true;
          },
          [](const SimFaults* f) { return f->*Field > 0; }};
}

struct NamedCorruption {
  const char* name;
  SimCorruption corruption;
};
const NamedCorruption Corruptions[] = {
    {"checksum", SimCorruption::Checksum}, {"digit", SimCorruption::Digit},
    {"short", SimCorruption::Short},       {"colon", SimCorruption::Colon},
    {"line-end", SimCorruption::LineEnd},  {"lost", SimCorruption::Lost},
};

// --corrupt KIND:ADDRESS
bool SetCorruption(SimFaults* faults, const char* value) {
  const char* colon = std::strchr(value, ':');
  if (colon == nullptr) return false;
  const size_t kindLength = static_cast<size_t>(colon - value);
  for (const NamedCorruption& c : Corruptions) {
    if (std::strlen(c.name) != kindLength || std::strncmp(value, c.name, kindLength) != 0) continue;
    faults->corruption = c.corruption;
    faults->corruptAddress = Address(colon + 1);
    return true;
  }
  return false;
}

bool CorruptionOn(const SimFaults* faults) {
  return faults->corruption != SimCorruption::None && faults->corruptAddress >= 0;
}

// --lost-base-eof, --eof-after-end, --record-after-end
bool SetLostBaseEndOfFile(SimFaults* faults, const char*) {
  faults->lostBaseType = 0x01;
  return true;
}
bool SetEndOfFileAfterEnd(SimFaults* faults, const char*) {
  faults->afterEnd = SimEndOfFileLine;
  return true;
}
bool SetRecordAfterEnd(SimFaults* faults, const char*) {
  faults->afterEnd = SimStrayRecordLine;
  return true;
}

// Whether the end command is answered with an end-of-file record, or with
// another line.
bool AnswersEndWithEndOfFile(const SimFaults* faults) {
  return faults->afterEnd != nullptr && std::strcmp(faults->afterEnd, SimEndOfFileLine) == 0;
}
bool AnswersEndWithOther(const SimFaults* faults) {
  return faults->afterEnd != nullptr && !AnswersEndWithEndOfFile(faults);
}

// An option that only sets how another row's fault goes.
constexpr SimSwitch Setting(bool (*set)(SimFaults*, const char*)) {
  return {set, [](const SimFaults*) { return false; }};
}

// --- What the faults do.

// Whether the reply is to the block the fault names.
bool Asked(const SimReplyPlan* plan, long block) {
  return static_cast<long>(plan->address) == block;
}

// True when the fault's address (SimNone: off) lies in the record starting at at.
bool SameRecord(long faultAddress, uint32_t at) {
  return faultAddress >= 0 &&
         static_cast<uint32_t>(faultAddress) / RecordDataBytes == at / RecordDataBytes;
}

// True when the record starting at at is one that the corruption spoils.
bool CorruptRecord(const SimFaults* faults, uint32_t at) {
  const long first = faults->corruptAddress;
  if (faults->corruptStride <= 0 || first < 0) return SameRecord(first, at);
  const long offset = static_cast<long>(at) - first / RecordDataBytes * RecordDataBytes;
  return offset >= 0 && offset % faults->corruptStride == 0;
}

// The memory address of the reply's data record i.
uint32_t RecordAt(const SimReplyPlan* plan, int i) {
  return plan->address + static_cast<uint32_t>(i * RecordDataBytes);
}

void Echo(const SimFaults*, SimManner* m) {
  m->echo = true;
}
void AddChatter(SimManner* m, const char* line, unsigned everyMs) {
  if (m->chatterCount < SimChatterRoom) m->chatter[m->chatterCount++] = {line, everyMs};
}
// Another device on the port talks on its own and answers nothing.
void Foreign(const SimFaults*, SimManner* m) {
  m->answers = false;
  AddChatter(m, SimForeignLine, SimForeignLineMs);
}
void StrayRecords(const SimFaults* f, SimManner* m) {
  AddChatter(m, SimStrayRecordLine, f->strayRecordMs);
}
void AnswerEnd(const SimFaults* f, SimManner* m) {
  m->endAnswer = f->afterEnd;
}

void Noise(const SimFaults*, SimReplyPlan* p) {
  p->text.noise = true;
}
void Lowercase(const SimFaults*, SimReplyPlan* p) {
  p->text.lowercase = true;
}
void LfOnly(const SimFaults*, SimReplyPlan* p) {
  p->text.lfOnly = true;
}
void NoAddresses(const SimFaults*, SimReplyPlan* p) {
  p->text.noAddresses = true;
}
void Surplus(const SimFaults* f, SimReplyPlan* p) {
  if (Asked(p, f->surplusBlock)) p->text.surplus = true;
}
void Corrupt(const SimFaults* f, SimReplyPlan* p) {
  for (int i = 0; i < DataRecordsPerBlock; ++i) {
    if (!CorruptRecord(f, RecordAt(p, i))) continue;
    SimRecordPlan* record = &p->text.record[i];
    record->left = f->corruption == SimCorruption::Lost;
    record->spoil = f->corruption;
    record->lineEnd = f->corruption != SimCorruption::LineEnd;
  }
}
void Duplicate(const SimFaults* f, SimReplyPlan* p) {
  for (int i = 0; i < DataRecordsPerBlock; ++i) {
    if (SameRecord(f->duplicateAddress, RecordAt(p, i))) p->text.record[i].copies = 2;
  }
}
void LongLine(const SimFaults* f, SimReplyPlan* p) {
  if (Asked(p, f->longLineBlock)) p->text.longLine = true;
}
void SilentAfter(const SimFaults* f, SimReplyPlan* p) {
  if (Asked(p, f->silentAfterBlock)) p->send.lastAnswer = true;
}
void HangUpAfter(const SimFaults* f, SimReplyPlan* p) {
  if (Asked(p, f->hangUpAfterBlock)) p->send.hangUp = true;
}
void HangUpIn(const SimFaults* f, SimReplyPlan* p) {
  if (!Asked(p, f->hangUpInBlock)) return;
  p->send.cutHalfway = true;
  p->send.hangUp = true;
}
void Delay(const SimFaults* f, SimReplyPlan* p) {
  p->send.delayMs += f->replyDelayMs;
}
void Late(const SimFaults* f, SimReplyPlan* p) {
  if (Asked(p, f->lateBlock)) p->send.delayMs += f->lateMs;
}
void SplitLineEnd(const SimFaults* f, SimReplyPlan* p) {
  if (Asked(p, f->splitBlock)) p->send.lateLineEnd = true;
}
void Twice(const SimFaults* f, SimReplyPlan* p) {
  if (Asked(p, f->twiceBlock)) p->send.copies = 2;
}
// The next block's reply (SimPlanReply makes its text).
void OtherReply(const SimFaults* f, SimReplyPlan* p) {
  if (Asked(p, f->otherReplyBlock)) p->text.address = (p->address + BlockSize) % ImageSize;
}
// The memory 64 KiB too low, with records that place nothing.
void LostBase(const SimFaults* f, SimReplyPlan* p) {
  if (!Asked(p, f->lostBaseBlock) || p->address < HighBlocksStart) return;
  p->text.placeless = true;
  p->text.placelessType = f->lostBaseType;
  p->text.shift = HighBlocksStart;
}
// The memory 64 KiB too low, placed there by its segment records.
void LowSegments(const SimFaults*, SimReplyPlan* p) {
  p->text.shift = HighBlocksStart;
}
void WideRecords(const SimFaults*, SimReplyPlan* p) {
  p->text.recordBytes = SimWideRecordBytes;
}

// The rows by when their faults act.
using MannerAct = void (*)(const SimFaults*, SimManner*);
using ReplyAct = void (*)(const SimFaults*, SimReplyPlan*);
// From the start, on the logger's manner.
constexpr SimFaultRow Manner(const char* option, const char* value, const char* help,
                             SimSwitch field, MannerAct act) {
  return {option, value, help, field, act, nullptr, false};
}
// On every reply.
constexpr SimFaultRow EveryReply(const char* option, const char* value, const char* help,
                                 SimSwitch field, ReplyAct act) {
  return {option, value, help, field, nullptr, act, false};
}
// On the replies that SimFaults::spoilFirst lets be spoiled.
constexpr SimFaultRow Spoiling(const char* option, const char* value, const char* help,
                               SimSwitch field, ReplyAct act) {
  return {option, value, help, field, nullptr, act, true};
}
// Not at all: the option sets how another row's fault goes.
constexpr SimFaultRow Tuning(const char* option, const char* value, const char* help,
                             SimSwitch field) {
  return {option, value, help, field, nullptr, nullptr, false};
}

}  // namespace

// In the order of loggersim's usage: the option, the value it takes, what it
// does (in words, then in code) and the field it sets.
const SimFaultRow SimFaultTable[] = {
    EveryReply("--noise", nullptr,
               "lines not beginning with ':' between records, NUL\nbytes inside record lines",
               Flag<&SimFaults::noise>(), Noise),
    EveryReply("--lowercase", nullptr, "lowercase hex digits in the records",
               Flag<&SimFaults::lowercase>(), Lowercase),
    EveryReply("--lf", nullptr, "end lines with LF alone", Flag<&SimFaults::lfOnly>(), LfOnly),
    Spoiling("--surplus", "ADDRESS", "answer this block with one record line too many",
             AddressOf<&SimFaults::surplusBlock>(), Surplus),
    Spoiling("--corrupt", "KIND:ADDRESS",
             "spoil the data record holding ADDRESS; KIND is\nchecksum, digit (a non-hex digit), "
             "short (cut),\ncolon (its ':' another character), line-end (lost)\nor lost (the "
             "record never sent)",
             {SetCorruption, CorruptionOn}, Corrupt),
    Spoiling("--duplicate", "ADDRESS", "send the data record holding ADDRESS twice",
             AddressOf<&SimFaults::duplicateAddress>(), Duplicate),
    Tuning("--spoil-first", "N",
           "spoil a block's reply only the first N times it is\nasked for (default: every time)",
           CountOf<&SimFaults::spoilFirst>()),
    EveryReply("--no-addresses", nullptr,
               "load addresses not the memory's: 0000 to 00F0 in\nevery block, segment records "
               "0000 from 10000 on",
               Flag<&SimFaults::noAddresses>(), NoAddresses),
    Spoiling("--long-line", "ADDRESS", "send a 1000-character line before this block's reply",
             AddressOf<&SimFaults::longLineBlock>(), LongLine),
    EveryReply("--silent-after", "ADDRESS", "answer nothing after this block (port stays open)",
               AddressOf<&SimFaults::silentAfterBlock>(), SilentAfter),
    EveryReply("--hangup-after", "ADDRESS", "close the port after this block's reply",
               AddressOf<&SimFaults::hangUpAfterBlock>(), HangUpAfter),
    EveryReply("--hangup-in", "ADDRESS", "close the port halfway through this block's reply",
               AddressOf<&SimFaults::hangUpInBlock>(), HangUpIn),
    EveryReply("--delay", "MS", "pause MS milliseconds before each reply",
               CountOf<&SimFaults::replyDelayMs>(), Delay),
    Spoiling("--late", "ADDRESS", "answer this block 3000 ms late",
             AddressOf<&SimFaults::lateBlock>(), Late),
    EveryReply("--split-line-end", "ADDRESS",
               "send the LF that ends this block's reply 30 ms\nafter the rest",
               AddressOf<&SimFaults::splitBlock>(), SplitLineEnd),
    Manner("--echo", nullptr, "send every command line back before answering it",
           Flag<&SimFaults::echo>(), Echo),
    Spoiling("--twice", "ADDRESS", "send this block's reply again 30 ms after the first",
             AddressOf<&SimFaults::twiceBlock>(), Twice),
    Spoiling("--other-reply", "ADDRESS", "answer this block with the next block's reply",
             AddressOf<&SimFaults::otherReplyBlock>(), OtherReply),
    Tuning("--late-ms", "MS", "how late --late answers (default 3000)",
           CountOf<&SimFaults::lateMs>()),
    Spoiling("--lost-base", "ADDRESS",
             "answer this block (from 0x10000 on) with the data\nrecords of the block 64 KiB "
             "lower, and start address\nrecords where its segment records would be",
             AddressOf<&SimFaults::lostBaseBlock>(), LostBase),
    Tuning("--lost-base-eof", nullptr, "...end-of-file records there instead",
           Setting(SetLostBaseEndOfFile)),
    Tuning("--corrupt-stride", "N", "spoil every Nth byte's record from --corrupt's on too",
           AddressOf<&SimFaults::corruptStride>()),
    Manner("--eof-after-end", nullptr, "answer the end command with an end-of-file record",
           {SetEndOfFileAfterEnd, AnswersEndWithEndOfFile}, AnswerEnd),
    Manner("--record-after-end", nullptr, "answer the end command with a data record",
           {SetRecordAfterEnd, AnswersEndWithOther}, AnswerEnd),
    // Before --stray-records: when both are on, the other device's line comes first.
    Manner("--foreign", nullptr,
           "another device: answer nothing, send a line of text\nevery 400 ms",
           Flag<&SimFaults::foreignText>(), Foreign),
    Manner("--stray-records", "MS", "send a data record line every MS milliseconds",
           CountOf<&SimFaults::strayRecordMs>(), StrayRecords),
    Spoiling("--low-segments", nullptr,
             "from 0x10000 on, answer with the memory 64 KiB lower\nand segment records to match",
             Flag<&SimFaults::lowSegments>(), LowSegments),
    Spoiling("--wide-records", nullptr, "data records of 32 bytes (replies that never fit)",
             Flag<&SimFaults::wideRecords>(), WideRecords),
};
const int SimFaultCount = sizeof SimFaultTable / sizeof SimFaultTable[0];

namespace {

// Whether a block's reply is spoiled when it has been asked for asked times
// before: the first spoilFirst times, or every time.
bool Spoils(const SimFaults* faults, unsigned asked) {
  return faults->spoilFirst == 0 || asked < faults->spoilFirst;
}

// The reply as the rows that are on make it, from the logger's own.
void ApplyRows(const SimFaults* faults, uint32_t address, unsigned asked, SimReplyPlan* plan) {
  *plan = SimReplyPlan{};
  plan->address = address;
  plan->asked = asked;
  plan->text.address = address;
  plan->text.asked = asked;
  plan->text.recordBytes = RecordDataBytes;
  for (SimRecordPlan& record : plan->text.record) record = {false, SimCorruption::None, true, 1};
  plan->send.copies = 1;
  const bool spoil = Spoils(faults, asked);
  for (int i = 0; i < SimFaultCount; ++i) {
    const SimFaultRow* row = &SimFaultTable[i];
    if (row->reply == nullptr || (row->spoils && !spoil) || !row->field.on(faults)) continue;
    row->reply(faults, plan);
  }
}

}  // namespace

void SimPlanManner(const SimFaults* faults, SimManner* manner) {
  *manner = SimManner{};
  manner->answers = true;
  for (int i = 0; i < SimFaultCount; ++i) {
    const SimFaultRow* row = &SimFaultTable[i];
    if (row->manner != nullptr && row->field.on(faults)) row->manner(faults, manner);
  }
}

void SimPlanReply(const SimFaults* faults, uint32_t address, unsigned asked, SimReplyPlan* plan) {
  ApplyRows(faults, address, asked, plan);
  if (plan->text.address == address) return;
  // Another block's reply: its text as the logger makes it for that block,
  // without being moved again.
  SimFaults other = *faults;
  other.otherReplyBlock = SimNone;
  SimReplyPlan moved;
  ApplyRows(&other, plan->text.address, asked, &moved);
  plan->text = moved.text;
}

size_t SimSpoilRecord(char* record, size_t length, SimCorruption kind, unsigned asked) {
  constexpr size_t firstDataDigit = 9;
  switch (kind) {
    case SimCorruption::Colon:
      record[0] = '.';
      return length;
    case SimCorruption::LineEnd:  // and the line end goes (SimRecordPlan::lineEnd)
    case SimCorruption::Checksum: {
      // Another last digit, a different one each time the block is asked for:
      // the checksum no longer matches, and no two tries bring the same line.
      constexpr unsigned decimalDigits = 10;
      const unsigned value = HexDigitValue(record[length - 1]);
      record[length - 1] =
          static_cast<char>('0' + (value + 1 + asked % (decimalDigits - 1)) % decimalDigits);
      return length;
    }
    case SimCorruption::Digit:
      record[firstDataDigit] = 'G';
      return length;
    case SimCorruption::Short:
      return length / 2;
    case SimCorruption::Lost:  // never sent (SimRecordPlan::left)
    case SimCorruption::None:
      break;
  }
  return length;
}
