// The fault campaign: whole dumps in this process against the substitute
// logger, unpaced, each with a fault schedule drawn from its seed; every run
// is judged (judge.h) and timed against a bound derived from its faults, and
// a run cut short is resumed with --resume, which must complete the dump.
//
//   campaign [--first S] [--count N] [--jobs J] [--numbering address|none|all]
//   campaign --seed S [--numbering ...]   one seed, its schedule and every run told
//
// The by-address logger is the pass that counts. A logger without addresses
// (--numbering all) runs the same schedules; its figures are reported apart,
// per fault kind, with the faults its replies cannot show (another block's
// reply, a reply sent twice) as such, and only failures outside them count.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "judge.h"
#include "logger/logger.h"
#include "schedule.h"
#include "testutil.h"

namespace {

// The time bound of a run: twice a clean run's time as measured here (the
// machine may be busy), what its faults cost plus a quarter, and a margin.
constexpr long long BoundMarginMs = 2000;
constexpr long long BaseFactor = 2;
constexpr long long CostPercent = 125;
// A clean run is never taken to be faster than this.
constexpr long long BaseFloorMs = 700;
// How often the watch looks at a silent logger's commands.
constexpr long long SilenceLookMs = 10;
// Failures of the pass without addresses listed inside what it cannot show.
constexpr size_t BlindSpotFailuresListed = 10;

struct NumberingInfo {
  bool noAddresses;
  const char* name;   // as --numbering takes it
  const char* title;  // in the report
};
const NumberingInfo Numberings[] = {
    {false, "address", "by-address numbering"},
    {true, "none", "without addresses"},
};
constexpr int NumberingCount = sizeof Numberings / sizeof Numberings[0];

// What a logger without addresses cannot show: another block's records, or
// records out of their places, then look like this block's own.
bool AnotherBlocksReply(const Schedule& s) {
  return Has(s, Kind::OtherReply);
}

// The copy lands where the next block is read, and is taken for it.
bool ReplySentTwice(const Schedule& s) {
  return Has(s, Kind::DoubledReply);
}

// A record sent twice and another lost in one reply: the count of lines is
// right, and without addresses nothing shows that the order is not.
bool RecordTwiceAndOneLost(const Schedule& s) {
  const Fault* twice = Find(s, Kind::DuplicateRecord);
  for (const Fault& f : s.faults) {
    const bool lineLost =
        f.kind == Kind::LostRecord ||
        (f.kind == Kind::CorruptRecord &&
         (f.corruption == SimCorruption::Colon || f.corruption == SimCorruption::LineEnd));
    if (twice != nullptr && lineLost && f.block == twice->block) return true;
  }
  return false;
}

struct BlindSpot {
  const char* what;
  bool (*holds)(const Schedule& s);  // whether a schedule is in it
};
const BlindSpot BlindSpots[] = {
    {"another block's reply", AnotherBlocksReply},
    {"a reply sent twice", ReplySentTwice},
    {"a record sent twice and another lost in the same reply", RecordTwiceAndOneLost},
};
constexpr int BlindSpotCount = sizeof BlindSpots / sizeof BlindSpots[0];

// One run of one seed against one numbering (with its resume, if any).
struct RunRecord {
  int numbering;  // index into Numberings
  uint32_t seed;
  bool wrong;
  long lost;
  bool over;
  bool misnamed;
  long long tookMs;  // both runs
  std::string notes;
};

bool Failed(const RunRecord& r) {
  return r.wrong || r.lost > 0 || r.over || r.misnamed;
}

bool InBlindSpot(const Schedule& s) {
  for (const BlindSpot& spot : BlindSpots) {
    if (spot.holds(s)) return true;
  }
  return false;
}

// Sets the stop flag as the user would (after the interruption's delay, or
// a while after the logger fell silent), and after the run's bound, to end a
// run that would otherwise never end.
struct Watch {
  std::atomic<bool> stop{false};
  bool rescued = false;  // the bound passed before the run ended
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread thread;
};

// Whether the logger has fallen silent: a command came after the silent block's.
bool SilenceBegan(InProcessSim* sim, uint32_t block) {
  const std::string received = sim->Received();
  const std::string command = Commands(block, block);
  const size_t at = received.find(command);
  return at != std::string::npos &&
         received.find(BlockCommandWord, at + command.size()) != std::string::npos;
}

void WatchRun(Watch* w, InProcessSim* sim, const Schedule* s, long long boundMs) {
  const long long start = TestNowMs();
  const Fault* interrupt = s == nullptr ? nullptr : Find(*s, Kind::Interrupt);
  const Fault* silence = s == nullptr ? nullptr : Find(*s, Kind::Silence);
  long long silentSinceMs = -1;
  std::unique_lock<std::mutex> lock(w->mutex);
  while (!w->done) {
    const long long now = TestNowMs() - start;
    if (interrupt != nullptr && now >= interrupt->ms) w->stop = true;
    if (silence != nullptr && silentSinceMs < 0 && SilenceBegan(sim, silence->block)) {
      silentSinceMs = now;
    }
    if (silentSinceMs >= 0 && now >= silentSinceMs + silence->ms) w->stop = true;
    if (now >= boundMs) {
      w->rescued = true;
      w->stop = true;
      return;
    }
    // Wake for the next moment anything is due.
    long long next = boundMs;
    if (interrupt != nullptr && interrupt->ms > now)
      next = std::min<long long>(next, interrupt->ms);
    if (silence != nullptr) next = std::min(next, now + SilenceLookMs);
    w->ended.wait_for(lock, std::chrono::milliseconds(next - now));
  }
}

void StartWatch(Watch* w, InProcessSim* sim, const Schedule* s, long long boundMs) {
  w->thread = std::thread(WatchRun, w, sim, s, boundMs);
}

void EndWatch(Watch* w) {
  {
    std::lock_guard<std::mutex> lock(w->mutex);
    w->done = true;
  }
  w->ended.notify_all();
  w->thread.join();
}

// One dump with the logger sim as set up, stopped by the watch; returns its
// facts (but the schedule and the oracle) and its time.
RunFacts Dump(InProcessSim* sim, const TempDir& dir, const Schedule* s, bool resume,
              long long boundMs, long long* tookMs, bool* rescued) {
  Watch watch;
  StartWatch(&watch, sim, s, boundMs);
  DriverRun options = StoppedBy(&watch.stop);
  options.resume = resume;
  const long long start = TestNowMs();
  const DriverResult run = DumpFrom(sim, dir, options);
  *tookMs = TestNowMs() - start;
  EndWatch(&watch);
  const int served = sim->Finish();
  *rescued = watch.rescued;
  RunFacts facts{};
  facts.status = run.status;
  facts.console = run.console;
  facts.hex = ReadFileBytes(dir.File(HexFileName));
  facts.bin = ReadFileBytes(dir.File(BinFileName));
  facts.hungUp = served == SimHungUp;
  facts.stopped = watch.stop;
  return facts;
}

// A clean run's time on this machine now.
long long MeasureCleanRun() {
  TempDir dir;
  InProcessSim sim(0);
  long long took = 0;
  bool rescued = false;
  Dump(&sim, dir, nullptr, false, 60000, &took, &rescued);
  return std::max(took, BaseFloorMs);
}

long long BoundMs(long long baseMs, long long costMs) {
  return BaseFactor * baseMs + costMs * CostPercent / 100 + BoundMarginMs;
}

void AddNotes(RunRecord* record, const std::string& what, const std::string& notes) {
  if (notes.empty()) return;
  if (!record->notes.empty()) record->notes += "; ";
  record->notes += what + notes;
}

void Tell(bool verbose, const char* what, const RunFacts& f, long long took, long long bound,
          const Judgement& j) {
  if (!verbose) return;
  std::printf("  %s: status %d in %lld ms (bound %lld ms)%s%s\n", what, f.status, took, bound,
              j.notes.empty() ? "" : ": ", j.notes.c_str());
  if (j.notes.empty()) return;
  std::string tail = Tail(f.console);
  std::replace(tail.begin(), tail.end(), '\r', '\n');  // each progress line on its own
  std::printf("  console ends:\n%s\n", tail.c_str());
}

// Runs the seed's schedule against a logger numbered as given, and resumes a
// run that was cut short.
RunRecord RunSeed(const Schedule& s, int numbering, long long baseMs, bool verbose) {
  RunRecord record = {numbering, s.seed, false, 0, false, false, 0, ""};
  const bool noAddresses = Numberings[numbering].noAddresses;
  TempDir dir;
  InProcessSim sim(s.seed);
  SetFaults(s, noAddresses, &sim.config);
  const std::string memory = sim.Memory();
  SimConfig clean = {sim.image.data(), 0, nullptr};
  clean.faults.noAddresses = noAddresses;
  const BlockEntries entries = CleanEntries(clean);
  // A logger without addresses shows it on a second try at block 00100, after
  // a quiet read time-out.
  const long long learning = noAddresses ? ReadTimeoutMs : 0;
  const long long bound = BoundMs(baseMs, FaultCostMs(s) + learning);
  long long took = 0;
  bool rescued = false;
  RunFacts facts = Dump(&sim, dir, &s, false, bound, &took, &rescued);
  facts.schedule = &s;
  facts.memory = &memory;
  facts.clean = &entries;
  const Judgement first = JudgeRun(facts);
  Tell(verbose, Numberings[numbering].name, facts, took, bound, first);
  record.wrong = first.wrongImage;
  record.lost = first.lostBlocks;
  record.misnamed = first.misnamed && !rescued;
  record.over = took > bound;
  record.tookMs = took;
  if (record.over) AddNotes(&record, "", "over time (" + std::to_string(took) + " ms)");
  AddNotes(&record, "", first.notes);
  if (facts.status != ExitInterrupted && facts.status != ExitLinkLost) return record;

  InProcessSim again(s.seed);
  SetResumedLogger(s, noAddresses, &again.config);
  const long long resumeBound = BoundMs(baseMs, learning);
  RunFacts resumed = Dump(&again, dir, nullptr, true, resumeBound, &took, &rescued);
  resumed.schedule = &s;
  resumed.memory = &memory;
  resumed.clean = &entries;
  const Judgement after = JudgeResume(resumed, first.wholeBefore, !noAddresses);
  Tell(verbose, "resume", resumed, took, resumeBound, after);
  record.tookMs += took;
  record.wrong = record.wrong || after.wrongImage;
  record.lost += after.lostBlocks;
  record.misnamed = record.misnamed || (after.misnamed && !rescued);
  if (took > resumeBound) {
    record.over = true;
    AddNotes(&record, "", "resume over time (" + std::to_string(took) + " ms)");
  }
  AddNotes(&record, "resume: ", after.notes);
  return record;
}

// The figures of one numbering's runs.
struct Figures {
  long runs = 0, wrong = 0, lost = 0, over = 0, misnamed = 0;
};

void Add(Figures* f, const RunRecord& r) {
  ++f->runs;
  f->wrong += r.wrong;
  f->lost += r.lost;
  f->over += r.over;
  f->misnamed += r.misnamed;
}

void PrintFailure(const RunRecord& r) {
  std::printf("seed %u (%s): %s => %s\n", r.seed, Numberings[r.numbering].name,
              Describe(DrawSchedule(r.seed)).c_str(), r.notes.c_str());
}

// The report of the by-address pass; the exit status's share of it.
int ReportAddressPass(const std::vector<RunRecord>& records) {
  Figures f;
  for (const RunRecord& r : records) {
    if (r.numbering == 0) Add(&f, r);
  }
  std::printf("%ld runs: %ld wrong images with status 0, %ld blocks lost, %ld over time\n", f.runs,
              f.wrong, f.lost, f.over);
  std::printf("%ld runs whose status or messages did not say what happened\n", f.misnamed);

  for (const RunRecord& r : records) {
    if (r.numbering == 0 && Failed(r)) PrintFailure(r);
  }
  return f.wrong + f.lost + f.over + f.misnamed > 0 ? 1 : 0;
}

// The report of the pass without addresses, figures per fault kind; the exit
// status's share of it: failures outside the blind spots, and runs over time.
int ReportUnaddressedPass(const std::vector<RunRecord>& records) {
  bool any = false;
  for (const RunRecord& r : records) any = any || r.numbering != 0;
  if (!any) return 0;
  Figures kinds[NumberingCount][KindCount];
  Figures alone[NumberingCount][KindCount];  // the kind the schedule's only fault
  Figures all[NumberingCount];
  // Runs in each blind spot, and how many of them failed.
  long spotRuns[NumberingCount][BlindSpotCount] = {};
  long spotFailed[NumberingCount][BlindSpotCount] = {};
  std::vector<const RunRecord*> outside;
  std::vector<const RunRecord*> inside[NumberingCount];
  for (const RunRecord& r : records) {
    if (r.numbering == 0) continue;
    const Schedule s = DrawSchedule(r.seed);
    Add(&all[r.numbering], r);
    for (const Fault& f : s.faults) Add(&kinds[r.numbering][static_cast<int>(f.kind)], r);
    if (s.faults.size() == 1) Add(&alone[r.numbering][static_cast<int>(s.faults[0].kind)], r);
    for (int b = 0; b < BlindSpotCount; ++b) {
      if (!BlindSpots[b].holds(s)) continue;
      ++spotRuns[r.numbering][b];
      spotFailed[r.numbering][b] += Failed(r);
    }
    if (!Failed(r)) continue;
    if (InBlindSpot(s) && !r.over) {
      inside[r.numbering].push_back(&r);
    } else {
      outside.push_back(&r);
    }
  }
  for (int n = 1; n < NumberingCount; ++n) {
    const Figures& f = all[n];
    std::printf(
        "%s: %ld runs: %ld wrong images with status 0, %ld blocks lost, %ld over time, %ld "
        "misnamed\n",
        Numberings[n].title, f.runs, f.wrong, f.lost, f.over, f.misnamed);
  }
  std::printf(
      "by fault kind: runs with it, wrong images with status 0 / blocks lost; the same where it "
      "was the only fault\n");
  for (int k = 0; k < KindCount; ++k) {
    std::printf("  %-16s", KindName(static_cast<Kind>(k)));
    for (int n = 1; n < NumberingCount; ++n) {
      const Figures& f = kinds[n][k];
      const Figures& a = alone[n][k];
      std::printf("  %s %4ld runs %3ld/%-3ld alone %3ld runs %3ld/%-3ld", Numberings[n].name,
                  f.runs, f.wrong, f.lost, a.runs, a.wrong, a.lost);
    }
    std::printf("\n");
  }
  std::printf(
      "what replies without addresses cannot show (another block's records taken for "
      "this block's), failed runs:\n");
  for (int b = 0; b < BlindSpotCount; ++b) {
    std::printf("  %s:", BlindSpots[b].what);
    for (int n = 1; n < NumberingCount; ++n) {
      std::printf(" %s %ld of %ld;", Numberings[n].name, spotFailed[n][b], spotRuns[n][b]);
    }
    std::printf("\n");
  }
  std::printf("outside what they cannot show: %zu failed runs\n", outside.size());
  for (const RunRecord* r : outside) PrintFailure(*r);
  for (int n = 1; n < NumberingCount; ++n) {
    const size_t listed = std::min(inside[n].size(), BlindSpotFailuresListed);
    std::printf("inside what they cannot show, %s: %zu failed runs%s\n", Numberings[n].title,
                inside[n].size(), listed < inside[n].size() ? ", the first of them:" : "");
    for (size_t i = 0; i < listed; ++i) PrintFailure(*inside[n][i]);
  }
  return outside.empty() ? 0 : 1;
}

int Report(const std::vector<RunRecord>& records) {
  const int address = ReportAddressPass(records);
  const int others = ReportUnaddressedPass(records);
  long long took = 0, longest = 0;
  for (const RunRecord& r : records) {
    took += r.tookMs;
    longest = std::max(longest, r.tookMs);
  }
  if (!records.empty()) {
    std::printf("a run (with its resume) took %lld ms on average, %lld ms at most\n",
                took / static_cast<long long>(records.size()), longest);
  }
  return address != 0 || others != 0 ? 1 : 0;
}

// A run as one line, as a worker process hands it over.
void WriteRecord(FILE* out, const RunRecord& r) {
  std::fprintf(out, "run %s %u %d %ld %d %d %lld %s\n", Numberings[r.numbering].name, r.seed,
               r.wrong, r.lost, r.over, r.misnamed, r.tookMs,
               r.notes.empty() ? "-" : r.notes.c_str());
  std::fflush(out);
}

// Reads the runs a worker wrote; false when the file cannot be read.
bool ReadRecords(const std::string& path, std::vector<RunRecord>* records) {
  FILE* in = std::fopen(path.c_str(), "r");
  if (in == nullptr) return false;
  char line[4096];
  while (std::fgets(line, sizeof line, in) != nullptr) {
    char name[16];
    RunRecord r = {};
    int wrong = 0, over = 0, misnamed = 0, at = 0;
    if (std::sscanf(line, "run %15s %u %d %ld %d %d %lld %n", name, &r.seed, &wrong, &r.lost, &over,
                    &misnamed, &r.tookMs, &at) < 7) {
      continue;
    }
    for (r.numbering = 0; r.numbering < NumberingCount; ++r.numbering) {
      if (std::strcmp(name, Numberings[r.numbering].name) == 0) break;
    }
    if (r.numbering == NumberingCount) continue;
    r.wrong = wrong != 0;
    r.over = over != 0;
    r.misnamed = misnamed != 0;
    r.notes = line + at;
    r.notes.erase(r.notes.find_last_not_of('\n') + 1);
    if (r.notes == "-") r.notes.clear();
    records->push_back(r);
  }
  std::fclose(in);
  return true;
}

struct Options {
  uint32_t first = 1;
  uint32_t count = 100;
  int jobs = 1;           // worker processes
  int numberingFrom = 0;  // the numberings run: [from, to)
  int numberingTo = 1;
  bool verbose = false;
};

bool ParseNumbering(const char* value, Options* o) {
  if (std::strcmp(value, "all") == 0) {
    o->numberingFrom = 0;
    o->numberingTo = NumberingCount;
    return true;
  }
  for (int n = 0; n < NumberingCount; ++n) {
    if (std::strcmp(value, Numberings[n].name) != 0) continue;
    o->numberingFrom = n;
    o->numberingTo = n + 1;
    return true;
  }
  return false;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const char* option = argv[i];
    const char* value = argv[i + 1];
    const uint32_t number = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    if (std::strcmp(option, "--first") == 0) {
      o->first = number;
    } else if (std::strcmp(option, "--count") == 0) {
      o->count = number;
    } else if (std::strcmp(option, "--jobs") == 0 && number > 0) {
      o->jobs = static_cast<int>(number);
    } else if (std::strcmp(option, "--seed") == 0) {
      o->first = number;
      o->count = 1;
      o->verbose = true;
    } else if (std::strcmp(option, "--numbering") == 0) {
      if (!ParseNumbering(value, o)) return false;
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

// Runs every job-th seed from the job-th on, against each numbering asked for.
void RunSeeds(const Options& o, long long baseMs, int job, std::vector<RunRecord>* records,
              FILE* out) {
  for (uint32_t i = static_cast<uint32_t>(job); i < o.count; i += static_cast<uint32_t>(o.jobs)) {
    const Schedule s = DrawSchedule(o.first + i);
    if (o.verbose) std::printf("seed %u: %s\n", s.seed, Describe(s).c_str());
    for (int n = o.numberingFrom; n < o.numberingTo; ++n) {
      records->push_back(RunSeed(s, n, baseMs, o.verbose));
      if (out != nullptr) WriteRecord(out, records->back());
    }
  }
}

// Runs the seeds in o.jobs worker processes (the runs mostly wait, so
// several share a core), each writing its runs to a file of its own, and
// collects them. False when a worker failed to finish.
bool RunInWorkers(const Options& o, long long baseMs, std::vector<RunRecord>* records) {
  TempDir dir;
  std::vector<pid_t> workers;
  std::fflush(stdout);
  for (int job = 0; job < o.jobs; ++job) {
    const pid_t pid = fork();
    if (pid == 0) {
      FILE* out = std::fopen(dir.File(std::to_string(job)).c_str(), "w");
      std::vector<RunRecord> own;
      if (out != nullptr) RunSeeds(o, baseMs, job, &own, out);
      _exit(out != nullptr && std::fclose(out) == 0 ? 0 : 1);
    }
    if (pid < 0) return false;
    workers.push_back(pid);
  }
  bool finished = true;
  for (const pid_t pid : workers) {
    int status = 0;
    finished = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
               finished;
  }
  for (int job = 0; job < o.jobs; ++job) {
    finished = ReadRecords(dir.File(std::to_string(job)), records) && finished;
  }
  const size_t expected = static_cast<size_t>(o.count) * (o.numberingTo - o.numberingFrom);
  return finished && records->size() == expected;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: campaign [--first S] [--count N] [--jobs J]"
                 " [--numbering address|none|all]\n"
                 "       campaign --seed S [--numbering ...]\n");
    return 2;
  }
  const long long baseMs = MeasureCleanRun();
  if (o.verbose) std::printf("a clean run takes %lld ms here\n", baseMs);
  std::vector<RunRecord> records;
  if (o.jobs == 1) {
    RunSeeds(o, baseMs, 0, &records, nullptr);
  } else if (!RunInWorkers(o, baseMs, &records)) {
    std::fprintf(stderr, "campaign: a worker process did not finish its seeds\n");
    return 2;
  }
  return Report(records);
}
