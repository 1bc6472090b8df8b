// The summary of a run (--summary), read back with Python's json module: a
// clean run with a block read twice, a block bad on every try, Ctrl-C and the
// resume after it, names of any bytes; the file replaced whole, or the failure
// told; and the real program in English, the summary last.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "dump/summary.h"
#include "gtest/gtest.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "testutil.h"
#include "version.h"

namespace {

constexpr uint32_t Seed = 7;

// Every field, in the order the summary has them.
constexpr char Fields[] =
    "program,version,status,meaning,port,dir,resumed,resumed_from,first_block,last_block,"
    "blocks_read,bad_blocks,retried_blocks,numbering,bytes_received,elapsed_seconds,"
    "average_rate,hex_bytes,bin_bytes";

// Reads the summary strictly (one line of ASCII, no field twice, no NaN),
// then prints "keys" and the fields in order, then each field and its value
// as json.dumps writes it.
constexpr char ReadSummary[] = R"(
import json, sys
text = open(sys.argv[1], 'rb').read()
assert text.endswith(b'\n') and text.count(b'\n') == 1 and max(text) < 128
def unique(pairs):
    assert len(set(k for k, _ in pairs)) == len(pairs)
    return dict(pairs)
def constant(c):
    raise ValueError(c)
d = json.loads(text, object_pairs_hook=unique, parse_constant=constant)
print('keys', ','.join(d))
for k, v in d.items():
    print(k, json.dumps(v, ensure_ascii=False))
)";

using Summary = std::map<std::string, std::string>;

Summary Parsed(const std::string& text) {
  TempDir dir;
  WriteFileBytes(dir.File("summary.json"), text);
  const ProcessResult python =
      RunChild({{"/usr/bin/python3", "-c", ReadSummary, dir.File("summary.json")},
                dir.path,
                "",
                {"PYTHONIOENCODING=utf-8"}},
               30);
  EXPECT_EQ(python.status, 0) << text;
  Summary fields;
  std::istringstream lines(python.out);
  for (std::string line; std::getline(lines, line);) {
    fields[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
  }
  EXPECT_EQ(fields["keys"], Fields) << text;
  return fields;
}

// The values of the fields named (blank between), blank between.
std::string Picked(Summary summary, const std::string& names) {
  std::istringstream in(names);
  std::string picked;
  for (std::string name; in >> name;) picked += (picked.empty() ? "" : " ") + summary[name];
  return picked;
}

// An in-process run against sim, in dir, and its summary as the program writes it.
Summary RunAndSummarize(InProcessSim* sim, const TempDir& dir, DriverRun run = {}) {
  SummaryFacts facts;
  run.facts = &facts;
  const int status = DumpFrom(sim, dir, run).status;
  sim->Finish();
  const std::string path = dir.File("summary.json");
  WriteSummary(path.c_str(), &facts, status, dir.path.c_str(), stdout, stderr);
  Summary summary = Parsed(ReadFileBytes(path));
  EXPECT_EQ(Picked(summary, "program version port dir hex_bytes"),
            "\"loggerdump\" \"" + std::string(ProgramVersion) + "\" \"" + sim->Path() + "\" \"" +
                dir.path + "\" " + std::to_string(ReadFileBytes(dir.File("logger.hex")).size()));
  return summary;
}

const char* const RunFields =
    "status resumed resumed_from first_block last_block blocks_read bad_blocks retried_blocks "
    "numbering bin_bytes";

TEST(Summary, CleanRunWithABlockReadTwiceAndABlockBadOnEveryTry) {
  for (const bool everyTry : {false, true}) {
    TempDir dir;
    InProcessSim sim(31);
    sim.config.faults.corruption = SimCorruption::Checksum;
    sim.config.faults.corruptAddress = 0x00345;
    sim.config.faults.spoilFirst = everyTry ? 0 : 1;
    Summary run = RunAndSummarize(&sim, dir);
    EXPECT_EQ(Picked(run, RunFields),
              everyTry ? R"(5 false null "00000" "3ff00" 1024 ["00300"] ["00300"] "address" 262144)"
                       : R"(0 false null "00000" "3ff00" 1024 [] ["00300"] "address" 262144)");
    EXPECT_EQ(run["meaning"].rfind(everyTry ? "\"a block stayed bad after 4 tries, records"
                                            : "\"complete (for a logger whose record",
                                   0),
              0u);
    EXPECT_GT(std::stoull(run["bytes_received"]), 2ull * ImageSize);
    EXPECT_GT(std::stod(run["average_rate"]), 0.0);
  }
}

TEST(Summary, CtrlCAndTheResumeAfterIt) {
  TempDir dir;
  {
    InProcessSim sim(Seed);
    sim.config.faults.silentAfterBlock = 0x00400;
    std::atomic<bool> stop{false};
    StopLater later(&stop, 500);
    Summary run = RunAndSummarize(&sim, dir, StoppedBy(&stop));
    EXPECT_EQ(Picked(run, RunFields), R"(130 false null "00000" "00400" 5 [] [] "address" 1280)");
    EXPECT_EQ(run["meaning"], "\"interrupted (Ctrl-C or the like)\"");
  }
  InProcessSim sim(Seed);
  EXPECT_EQ(Picked(RunAndSummarize(&sim, dir, Resuming()), RunFields),
            R"(0 true "00500" "00500" "3ff00" 1019 [] [] "address" 262144)");
}

// A name is any bytes the system gave: JSON escapes, UTF-8 kept, a byte that
// begins no character (a stray one, one of a surrogate's) is U+FFFD.
TEST(Summary, NamesOfAnyBytesAndARunThatNeverBegan) {
  SummaryFacts facts{};
  std::snprintf(facts.port, sizeof facts.port, "%s", "/dev/\"q\\\x01\xC3\xA9");
  const std::string dir =
      "a\xFF"
      "b\xF0\xA0\xAE\xB7\xED\xA0\x80"
      "c";
  char text[1 << 16];
  const size_t n = FormatSummary(&facts, ExitInterrupted, dir.c_str(), text, sizeof text);
  EXPECT_EQ(Picked(Parsed(std::string(text, n)), "port dir first_block blocks_read hex_bytes"),
            "\"/dev/\\\"q\\\\\\u0001\xC3\xA9\" "
            "\"a\uFFFD"
            "b\U00020BB7\uFFFD\uFFFD\uFFFD"
            "c\" null 0 null");
  EXPECT_EQ(FormatSummary(&facts, 0, dir.c_str(), text, 200), 0u);  // too small: nothing
}

// An earlier file is replaced; a failure leaves no other file and says why
// on standard error; "-" writes it to the console on a line of its own.
TEST(Summary, FileReplacedWholeOrTheFailureTold) {
  SetupConsoleLocale(false);
  TempDir dir;
  const SummaryFacts facts{};
  const std::string path = dir.File("summary.json");
  WriteFileBytes(path, "earlier");
  ASSERT_EQ(mkdir(dir.File("folder").c_str(), 0755), 0);
  FILE* out = std::fopen(dir.File("out").c_str(), "w");
  FILE* err = std::fopen(dir.File("err").c_str(), "w");
  WriteSummary(path.c_str(), &facts, ExitPortOpen, nullptr, out, err);
  EXPECT_EQ(Parsed(ReadFileBytes(path))["status"], "1");
  WriteSummary(dir.File("folder").c_str(), &facts, ExitPortOpen, nullptr, out, err);
  std::fclose(err);
  EXPECT_EQ(ReadFileBytes(dir.File("err")),
            Said(Msg::ProgramPrefix, L"loggerdump") + Said(Msg::SummaryNotWrittenWithSystem,
                                                           Wide(dir.File("folder")).c_str(),
                                                           Wide(strerror(EISDIR)).c_str()));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 4);
  Print(out, L"\r3ff00");
  WriteSummary(SummaryToConsole, &facts, ExitComplete, nullptr, out, stderr);
  std::fclose(out);
  char text[1 << 16];
  EXPECT_EQ(ReadFileBytes(dir.File("out")),
            "\r3ff00\n" + std::string(text, FormatSummary(&facts, 0, nullptr, text, sizeof text)));
}

TEST(Summary, TheProgramInEnglishEndsWithTheSummary) {
  if (!BuiltProgramsRun()) GTEST_SKIP() << "the built loggerdump cannot be started here";
  TempDir dir;
  Child sim(SimArgs({"--seed", "97"}));
  const std::string port = sim.FirstLine(10000);
  ASSERT_FALSE(port.empty());
  const ProcessResult run = RunChild(
      {{LOGGERDUMP_PATH, "--lang", "en", "--port", port, "--summary", "-"}, dir.path, "", CLocale},
      60);
  EXPECT_EQ(sim.Wait(10), 0);
  EXPECT_EQ(run.status, ExitComplete);
  SelectLanguage(Language::English);
  const std::string opening = Said(Msg::Connecting, Wide(port).c_str()) +
                              Said(Msg::Countdown, CountdownSteps) + Said(Msg::Countdown, 4);
  const std::string started = Utf8(Msg::CommunicationStarts) + "\r00000 elapsed ";
  SelectLanguage(Language::Japanese);
  EXPECT_EQ(run.out.rfind(opening, 0), 0u) << run.out.substr(0, 200);
  EXPECT_TRUE(Contains(run.out, started));
  EXPECT_TRUE(std::all_of(run.out.begin(), run.out.end(),
                          [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
  const size_t last = run.out.rfind('\n', run.out.size() - 2);
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(Picked(Parsed(run.out.substr(last + 1)), "status port bin_bytes"),
            "0 \"" + port + "\" 262144");
}

}  // namespace
