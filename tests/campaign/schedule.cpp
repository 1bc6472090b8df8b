#include "schedule.h"

#include <random>

#include "logger/logger.h"
#include "serial/serial.h"

namespace {

// How often each kind is drawn, against the others. The faults that cost
// seconds of time-outs (lost records, late replies, stalls, link failures,
// silence) are drawn rarely, so that the mean run stays short.
struct KindInfo {
  Kind kind;
  const char* name;
  int weight;
};
const KindInfo Kinds[KindCount] = {
    {Kind::Noise, "noise", 6},
    {Kind::Echo, "echo", 6},
    {Kind::LostRecord, "lost-record", 1},
    {Kind::DuplicateRecord, "duplicate-record", 6},
    {Kind::CorruptRecord, "corrupt-record", 10},
    {Kind::SurplusLine, "surplus-line", 4},
    {Kind::LongLine, "long-line", 4},
    {Kind::LateReply, "late-reply", 2},
    {Kind::DoubledReply, "doubled-reply", 6},
    {Kind::OtherReply, "other-reply", 6},
    {Kind::SplitLineEnd, "split-line-end", 6},
    {Kind::Stall, "stall", 2},
    {Kind::HangUpIn, "hang-up-in", 1},
    {Kind::HangUpAfter, "hang-up-after", 1},
    {Kind::Silence, "silence", 1},
    {Kind::Interrupt, "interrupt", 10},
};

// The corruptions, the two that leave a reply a line short (a stall of
// StallMs on every spoiled try) drawn less often.
struct CorruptionInfo {
  SimCorruption corruption;
  const char* name;
  int weight;
};
const CorruptionInfo Corruptions[] = {
    {SimCorruption::Checksum, "checksum", 4}, {SimCorruption::Digit, "digit", 4},
    {SimCorruption::Short, "short", 4},       {SimCorruption::Colon, "colon", 1},
    {SimCorruption::LineEnd, "line-end", 1},
};

// The spoil counts drawn: below BlockTries the block ends sound, from it on
// (and 0, every time) bad.
const unsigned SpoilCounts[] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 3, 4, 0, 5};

// Blocks where the tool's rules change: the first two (the numbering is
// learned at 00100), the edge of the segment records, the last block.
const uint32_t EdgeBlocks[] = {0x00000, 0x00100, 0x0FF00, 0x10000, 0x3FF00};
constexpr uint32_t LastBlock = ImageSize - BlockSize;

// How many faults a schedule has: 1 to 3, fewer more often.
const uint32_t FaultCounts[] = {1, 1, 1, 1, 1, 2, 2, 3};
// Ranges of the drawn delays.
constexpr unsigned LateMinMs = 200;
constexpr unsigned StallMinMs = 100;
constexpr unsigned StallMaxMs = StallMs + 1000;  // some under the tool's limit, some over
constexpr unsigned SilenceUserMaxMs = 1200;      // how long the user waits on a silent logger
// The blocks of a clean unpaced run take about this long: an interruption
// comes within it, stretched by what the other faults cost.
constexpr long long CleanBlocksMs = 200;

using Random = std::mt19937;

// A number below n: taken from the generator's output directly, so that a
// seed gives the same schedule with any standard library.
uint32_t Below(Random* random, uint32_t n) {
  return static_cast<uint32_t>((*random)() % n);
}

const KindInfo& InfoOf(Kind kind) {
  return Kinds[static_cast<int>(kind)];
}

Kind DrawKind(Random* random) {
  int total = 0;
  for (const KindInfo& k : Kinds) total += k.weight;
  int pick = static_cast<int>(Below(random, static_cast<uint32_t>(total)));
  for (const KindInfo& k : Kinds) {
    if (pick < k.weight) return k.kind;
    pick -= k.weight;
  }
  return Kind::Noise;
}

SimCorruption DrawCorruption(Random* random) {
  int total = 0;
  for (const CorruptionInfo& c : Corruptions) total += c.weight;
  int pick = static_cast<int>(Below(random, static_cast<uint32_t>(total)));
  for (const CorruptionInfo& c : Corruptions) {
    if (pick < c.weight) return c.corruption;
    pick -= c.weight;
  }
  return SimCorruption::Checksum;
}

const char* CorruptionName(SimCorruption corruption) {
  for (const CorruptionInfo& c : Corruptions) {
    if (c.corruption == corruption) return c.name;
  }
  return "none";
}

// Whether a kind may join the faults drawn so far: one fault of each kind,
// one that ends the run, and one spoilt record (the logger spoils one).
bool Fits(const Schedule& s, Kind kind) {
  for (const Fault& f : s.faults) {
    if (f.kind == kind || (EndsTheRun(f.kind) && EndsTheRun(kind))) return false;
    const bool record = kind == Kind::LostRecord || kind == Kind::CorruptRecord;
    if (record && (f.kind == Kind::LostRecord || f.kind == Kind::CorruptRecord)) return false;
  }
  return true;
}

// Mostly any block; often the block of the fault before or the next one, so
// that faults meet; now and then a block where the tool's rules change.
uint32_t DrawBlock(Random* random, const Schedule& s) {
  const uint32_t how = Below(random, 10);
  if (how < 3 && !s.faults.empty()) {
    const uint32_t near = s.faults.back().block + Below(random, 2) * BlockSize;
    return near % ImageSize;
  }
  if (how == 3) return EdgeBlocks[Below(random, sizeof EdgeBlocks / sizeof EdgeBlocks[0])];
  return Below(random, BlockCount) * BlockSize;
}

// Times a spoiled block's reply is spoiled, at most every try.
long long SpoiledTries(const Schedule& s) {
  return s.spoilFirst == 0 || s.spoilFirst >= BlockTries ? BlockTries : s.spoilFirst;
}

// Whether a fault leaves the block's reply a record line short (a lost
// record, its ':' or its line end lost), so that it stalls.
bool ShortOfALine(const Schedule& s, uint32_t block) {
  for (const Fault& f : s.faults) {
    const bool lineLost =
        f.kind == Kind::LostRecord ||
        (f.kind == Kind::CorruptRecord &&
         (f.corruption == SimCorruption::Colon || f.corruption == SimCorruption::LineEnd));
    if (lineLost && f.block == block) return true;
  }
  return false;
}

// Whether a spoiled reply of this kind is bad, so that its block is asked again.
bool MakesTryBad(Kind kind) {
  return kind == Kind::LostRecord || kind == Kind::DuplicateRecord || kind == Kind::CorruptRecord ||
         kind == Kind::SurplusLine || kind == Kind::OtherReply;
}

// Times the block is asked for: once, and again after each bad try.
long long AsksOf(const Schedule& s, uint32_t block) {
  for (const Fault& f : s.faults) {
    if (f.block == block && MakesTryBad(f.kind)) {
      return SpoiledTries(s) + 1 < BlockTries ? SpoiledTries(s) + 1 : BlockTries;
    }
  }
  return 1;
}

// What one fault adds to the run's time at most.
long long CostOf(const Schedule& s, const Fault& f) {
  // A bad try costs a quiet read time-out before the block is asked again.
  constexpr long long retry = ReadTimeoutMs;
  const long long spoiled = SpoiledTries(s);
  const long long spoiledAsks = AsksOf(s, f.block) < spoiled ? AsksOf(s, f.block) : spoiled;
  switch (f.kind) {
    case Kind::LostRecord:
      return spoiled * (StallMs + retry);
    case Kind::CorruptRecord:
      return spoiled * ((ShortOfALine(s, f.block) ? StallMs : 0) + retry);
    case Kind::DuplicateRecord:
    case Kind::SurplusLine:
      return spoiled * retry;
    case Kind::OtherReply: {
      // The next block's reply stalls when it has fewer lines than this
      // one's, or is itself a line short.
      const uint32_t next = (f.block + BlockSize) % ImageSize;
      const bool fewer = RecordLinesOf(next) < RecordLinesOf(f.block) || ShortOfALine(s, next);
      return spoiled * ((fewer ? StallMs : 0) + retry);
    }
    case Kind::LateReply:
      return spoiledAsks * f.ms;
    case Kind::DoubledReply:
      // The copy lands where the next block is read: a quiet check and a retry.
      return spoiledAsks * 2 * retry;
    case Kind::SplitLineEnd:
      return spoiledAsks * SimSplitLineEndMs;
    case Kind::Stall:
      return f.ms < StallMs ? f.ms : f.ms + 2 * retry;
    case Kind::HangUpIn:
    case Kind::HangUpAfter:
      return LinkLostAfterMs + FailurePauseMs;
    case Kind::Silence:
    case Kind::Interrupt:
      // The stop is seen within a read time-out.
      return f.ms + retry;
    case Kind::Noise:
    case Kind::Echo:
    case Kind::LongLine:
      break;
  }
  return 0;
}

}  // namespace

const char* KindName(Kind kind) {
  return InfoOf(kind).name;
}

bool EndsTheRun(Kind kind) {
  return kind == Kind::HangUpIn || kind == Kind::HangUpAfter || kind == Kind::Silence ||
         kind == Kind::Interrupt;
}

Schedule DrawSchedule(uint32_t seed) {
  Random random(seed);
  Schedule s = {seed, SpoilCounts[Below(&random, sizeof SpoilCounts / sizeof SpoilCounts[0])], {}};
  const uint32_t count = FaultCounts[Below(&random, sizeof FaultCounts / sizeof FaultCounts[0])];
  while (s.faults.size() < count) {
    const Kind kind = DrawKind(&random);
    if (!Fits(s, kind)) continue;
    Fault f = {kind, DrawBlock(&random, s), 0, SimCorruption::None, 0};
    // The logger must still answer the block after a hang-up or silence after
    // one, or the run would simply end complete.
    if ((kind == Kind::HangUpAfter || kind == Kind::Silence) && f.block == LastBlock) {
      f.block -= BlockSize;
    }
    f.address = f.block + Below(&random, BlockSize);
    if (kind == Kind::CorruptRecord) f.corruption = DrawCorruption(&random);
    if (kind == Kind::LateReply) f.ms = LateMinMs + Below(&random, SimLateReplyMs - LateMinMs + 1);
    if (kind == Kind::Stall) f.ms = StallMinMs + Below(&random, StallMaxMs - StallMinMs + 1);
    if (kind == Kind::Silence) f.ms = Below(&random, SilenceUserMaxMs + 1);
    s.faults.push_back(f);
  }
  // The user stops somewhere within what the run would take.
  for (Fault& f : s.faults) {
    if (f.kind != Kind::Interrupt) continue;
    f.ms = Below(&random, static_cast<uint32_t>(CleanBlocksMs + FaultCostMs(s)));
  }
  return s;
}

bool Has(const Schedule& s, Kind kind) {
  return Find(s, kind) != nullptr;
}

const Fault* Find(const Schedule& s, Kind kind) {
  for (const Fault& f : s.faults) {
    if (f.kind == kind) return &f;
  }
  return nullptr;
}

std::string Describe(const Schedule& s) {
  char text[128];
  std::snprintf(text, sizeof text, "spoil-first %u:", s.spoilFirst);
  std::string line = text;
  for (const Fault& f : s.faults) {
    line += " ";
    line += KindName(f.kind);
    switch (f.kind) {
      case Kind::Noise:
      case Kind::Echo:
        continue;
      case Kind::Interrupt:
        std::snprintf(text, sizeof text, " after %u ms", f.ms);
        break;
      case Kind::LostRecord:
      case Kind::DuplicateRecord:
        std::snprintf(text, sizeof text, " %05x", static_cast<unsigned>(f.address));
        break;
      case Kind::CorruptRecord:
        std::snprintf(text, sizeof text, " %s %05x", CorruptionName(f.corruption),
                      static_cast<unsigned>(f.address));
        break;
      case Kind::LateReply:
      case Kind::Stall:
        std::snprintf(text, sizeof text, " %05x %u ms", static_cast<unsigned>(f.block), f.ms);
        break;
      case Kind::Silence:
        std::snprintf(text, sizeof text, " after %05x, stopped %u ms later",
                      static_cast<unsigned>(f.block), f.ms);
        break;
      default:
        std::snprintf(text, sizeof text, " %05x", static_cast<unsigned>(f.block));
        break;
    }
    line += text;
  }
  return line;
}

void SetFaults(const Schedule& s, bool noAddresses, SimConfig* config) {
  SimFaults* faults = &config->faults;
  faults->noAddresses = noAddresses;
  faults->spoilFirst = s.spoilFirst;
  for (const Fault& f : s.faults) {
    const long block = static_cast<long>(f.block);
    switch (f.kind) {
      case Kind::Noise:
        faults->noise = true;
        break;
      case Kind::Echo:
        faults->echo = true;
        break;
      case Kind::LostRecord:
        faults->corruption = SimCorruption::Lost;
        faults->corruptAddress = static_cast<long>(f.address);
        break;
      case Kind::CorruptRecord:
        faults->corruption = f.corruption;
        faults->corruptAddress = static_cast<long>(f.address);
        break;
      case Kind::DuplicateRecord:
        faults->duplicateAddress = static_cast<long>(f.address);
        break;
      case Kind::SurplusLine:
        faults->surplusBlock = block;
        break;
      case Kind::LongLine:
        faults->longLineBlock = block;
        break;
      case Kind::LateReply:
        faults->lateBlock = block;
        faults->lateMs = f.ms;
        break;
      case Kind::DoubledReply:
        faults->twiceBlock = block;
        break;
      case Kind::OtherReply:
        faults->otherReplyBlock = block;
        break;
      case Kind::SplitLineEnd:
        faults->splitBlock = block;
        break;
      case Kind::Stall:
        config->stallAddress = f.block;
        config->stallMs = f.ms;
        break;
      case Kind::HangUpIn:
        faults->hangUpInBlock = block;
        break;
      case Kind::HangUpAfter:
        faults->hangUpAfterBlock = block;
        break;
      case Kind::Silence:
        faults->silentAfterBlock = block;
        break;
      case Kind::Interrupt:
        break;
    }
  }
}

void SetResumedLogger(const Schedule& s, bool noAddresses, SimConfig* config) {
  config->faults.noAddresses = noAddresses;
  config->faults.noise = Has(s, Kind::Noise);
  config->faults.echo = Has(s, Kind::Echo);
}

bool Touched(const Schedule& s, uint32_t block) {
  for (const Fault& f : s.faults) {
    if (f.kind == Kind::Noise || f.kind == Kind::Echo || f.kind == Kind::Interrupt) continue;
    if (block == f.block || block == (f.block + BlockSize) % ImageSize) return true;
  }
  return false;
}

long long FaultCostMs(const Schedule& s) {
  long long cost = 0;
  for (const Fault& f : s.faults) cost += CostOf(s, f);
  return cost;
}
