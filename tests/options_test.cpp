// The command line: the parser in-process, the real program's answers to
// --help, --version, --list and to wrong command lines, and the decision to
// keep a Windows console window open.
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/console.h"
#include "dump/options.h"
#include "dump/resume.h"
#include "logger/logger.h"
#include "gtest/gtest.h"
#include "testutil.h"
#include "version.h"

namespace {

struct Parsed {
  Action action;
  CommandLine line;
  std::string err;  // what the parser wrote to its error stream
};

Parsed Parse(std::vector<std::string> args) {
  std::setlocale(LC_ALL, "C.UTF-8");
  args.insert(args.begin(), "loggerdump");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  FILE* err = std::tmpfile();
  Parsed parsed{};
  parsed.action = ParseCommandLine(static_cast<int>(args.size()), argv.data(), &parsed.line, err);
  std::rewind(err);
  char chunk[512];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, err)) > 0;) parsed.err.append(chunk, n);
  std::fclose(err);
  // The values must point into argv, which dies here: keep them as strings.
  static std::string port, dir, summary;
  port = parsed.line.port ? parsed.line.port : "(null)";
  dir = parsed.line.dir ? parsed.line.dir : "(null)";
  summary = parsed.line.summary ? parsed.line.summary : "(null)";
  parsed.line.port = port.c_str();
  parsed.line.dir = dir.c_str();
  parsed.line.summary = summary.c_str();
  return parsed;
}

TEST(CommandLine, EveryOptionInBothForms) {
  Parsed p = Parse({});
  EXPECT_EQ(p.action, Action::Dump);
  EXPECT_STREQ(p.line.port, "(null)");
  EXPECT_STREQ(p.line.dir, "(null)");

  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--port", "3", "--dir", "out"},
                                             {"-p", "3", "-d", "out"},
                                             {"--port=3", "--dir=out"},
                                             {"-p3", "-dout"},
                                             {"--dir", "out", "--port", "COM3"},
                                             {"--po", "com3", "--di", "out"}}) {
    p = Parse(args);
    EXPECT_EQ(p.action, Action::Dump) << args[0];
    EXPECT_STREQ(p.line.port, "3") << args[0];
    EXPECT_STREQ(p.line.dir, "out") << args[0];
    EXPECT_EQ(p.err, "");
  }
  EXPECT_STREQ(Parse({"--port", "/dev/ttyUSB0"}).line.port, "/dev/ttyUSB0");
  EXPECT_STREQ(Parse({"-p", "USB:0403:6001"}).line.port, "USB:0403:6001");
  EXPECT_TRUE(Parse({"-lv"}).line.verbose && Parse({"--verbose"}).line.verbose);
  EXPECT_FALSE(Parse({"--list"}).line.verbose);
  EXPECT_EQ(p.line.language, Language::Japanese);
  p = Parse({"--lang", "en", "--summary", "-", "--lang=ja", "--lang", "en"});
  EXPECT_TRUE(p.action == Action::Dump && p.line.language == Language::English);
  EXPECT_STREQ(p.line.summary, "-");
  // The last of a repeated option counts.
  EXPECT_STREQ(Parse({"-p", "1", "-p", "2"}).line.port, "2");

  EXPECT_EQ(Parse({"--list"}).action, Action::List);
  EXPECT_EQ(Parse({"-l"}).action, Action::List);
  EXPECT_EQ(Parse({"--help"}).action, Action::Help);
  EXPECT_EQ(Parse({"-h"}).action, Action::Help);
  EXPECT_EQ(Parse({"--version"}).action, Action::Version);
  EXPECT_EQ(Parse({"-V"}).action, Action::Version);
  // Help before version before list, whatever the order; "--" ends the options.
  EXPECT_EQ(Parse({"-lVh"}).action, Action::Help);
  EXPECT_EQ(Parse({"--list", "--version"}).action, Action::Version);
  EXPECT_EQ(Parse({"--"}).action, Action::Dump);
}

TEST(CommandLine, WrongCommandLinesAreNamedWithAHint) {
  const std::string hint = Said(Msg::HelpHint, L"loggerdump");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, Said(Msg::UnknownOption, L"--bogus")},
      {{"--bogus=1"}, Said(Msg::UnknownOption, L"--bogus")},
      {{"-x"}, Said(Msg::UnknownOption, L"-x")},
      {{"-lx"}, Said(Msg::UnknownOption, L"-x")},
      {{"--list=3"}, Said(Msg::NoValueTaken, L"--list")},
      {{"--port"}, Said(Msg::ValueNeeded, L"--port")},
      {{"-l", "-d"}, Said(Msg::ValueNeeded, L"-d")},
      {{"--dir="}, Said(Msg::EmptyValue, L"--dir")},
      {{"-p", ""}, Said(Msg::EmptyValue, L"-p")},
      {{"--port", "ttyUSB0"}, Said(Msg::BadPortValue, L"ttyUSB0")},
      {{"--port", "3a"}, Said(Msg::BadPortValue, L"3a")},
      {{"--port", "-3"}, Said(Msg::BadPortValue, L"-3")},
      {{"--port", "COM"}, Said(Msg::BadPortValue, L"COM")},
      {{"--port", "usb:"}, Said(Msg::BadPortValue, L"usb:")},
      {{"--lang", "EN"}, Said(Msg::BadLanguage, L"EN")},
      {{"--summary="}, Said(Msg::EmptyValue, L"--summary")},
      {{"--summary", "d/Logger.BIN"}, Said(Msg::SummaryOverDump, L"d/Logger.BIN")},
      {{"3"}, Said(Msg::StrayArgument, L"3")},
      {{"--port", "3", "--", "--list"}, Said(Msg::StrayArgument, L"--list")},
      // A stray argument refuses even --help: the command line is wrong.
      {{"--help", "extra"}, Said(Msg::StrayArgument, L"extra")},
  };
  for (const auto& [args, message] : cases) {
    const Parsed p = Parse(args);
    EXPECT_EQ(p.action, Action::Usage) << args[0];
    EXPECT_EQ(p.err, Said(Msg::ProgramPrefix, L"loggerdump") + message + hint) << args[0];
  }
}

// The language is found before the command line is read, past a wrong
// option: the messages about it speak that language.
TEST(CommandLine, LanguageIsFoundFirst) {
  const auto languageOf = [](std::vector<const char*> args) {
    args.insert(args.begin(), "loggerdump");
    args.push_back(nullptr);
    return CommandLineLanguage(static_cast<int>(args.size() - 1), const_cast<char**>(args.data()));
  };
  EXPECT_EQ(languageOf({"-x", "--lang", "en"}), Language::English);
  EXPECT_EQ(languageOf({"--lang=en", "--lang", "fr"}), Language::English);  // the last valid one
  EXPECT_EQ(languageOf({"--dir", "--lang", "en"}), Language::Japanese);     // a folder's name
  EXPECT_EQ(languageOf({"--", "--lang", "en"}), Language::Japanese);
}

TEST(CommandLine, PortLongerThanATypedLineIsRefused) {
  const std::string longest = "/dev/" + std::string(LineBufferSize - 6, 'x');
  EXPECT_EQ(Parse({"--port", longest}).action, Action::Dump);
  EXPECT_EQ(Parse({"--port", longest + "x"}).action, Action::Usage);
  EXPECT_EQ(Parse({"--port", std::string(LineBufferSize, '7')}).action, Action::Usage);
}

TEST(CommandLine, DirMustBeAnExistingFolder) {
  std::setlocale(LC_ALL, "C.UTF-8");
  TempDir dir;
  WriteFileBytes(dir.File("file"), "x");
  FILE* err = std::tmpfile();
  CommandLine line{Action::Dump, nullptr, nullptr, false, Language::Japanese, nullptr, false};
  EXPECT_TRUE(DirExists(&line, err));
  line.dir = dir.path.c_str();
  EXPECT_TRUE(DirExists(&line, err));
  EXPECT_EQ(std::ftell(err), 0L);
  const std::string missing = dir.File("missing");
  const std::string file = dir.File("file");
  for (const std::string& path : {missing, file}) {
    line.dir = path.c_str();
    EXPECT_FALSE(DirExists(&line, err)) << path;
  }
  std::fclose(err);
}

// The real program, with its standard error kept apart from its output.
struct Answer {
  ProcessResult run;
  std::string err;
};

Answer RunWithArgs(const TempDir& cwd, const std::vector<std::string>& args) {
  TempDir errDir;
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>\"$0\"", errDir.File("err"),
                                   LOGGERDUMP_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  Answer answer{RunChild({argv, cwd.path, "", {"LANG=C.UTF-8", "LC_ALL="}}, 30), ""};
  answer.err = ReadFileBytes(errDir.File("err"));
  return answer;
}

bool IsEmptyFolder(const TempDir& dir) {
  return std::filesystem::is_empty(dir.path);
}

TEST(ProgramOptions, HelpVersionAndList) {
  if (!BuiltProgramsRun()) GTEST_SKIP() << "the built loggerdump cannot be started here";
  TempDir cwd;
  Answer a = RunWithArgs(cwd, {"--version"});
  EXPECT_EQ(a.run.status, 0);
  EXPECT_EQ(a.run.out, std::string("loggerdump ") + ProgramVersion + "\n");

  a = RunWithArgs(cwd, {"-h"});
  EXPECT_EQ(a.run.status, 0);
  EXPECT_EQ(a.run.out.rfind(Said(Msg::Usage, L"loggerdump", WitnessLimit), 0), 0u) << a.run.out;
  for (const char* word :
       {"--port", "--dir", "--list", "--verbose", "--help", "--version", "  64 ", " 130 "}) {
    EXPECT_NE(a.run.out.find(word), std::string::npos) << word;
  }

  // The list as the dialogue shows it, then nothing is asked.
  a = RunWithArgs(cwd, {"--list"});
  EXPECT_EQ(a.run.status, 0);
  EXPECT_EQ(a.run.out.rfind(Utf8(Msg::PortListHeading), 0), 0u) << a.run.out;
  EXPECT_EQ(a.run.out.find(Utf8(Msg::AskForPort)), std::string::npos);
  EXPECT_EQ(a.err, "");
  EXPECT_TRUE(IsEmptyFolder(cwd));
}

// The messages for each wrong command line are the parser's (above); the
// program turns any of them into status 64 before the folder is looked at.
// The README states the numbers --help states (tries, bad blocks in a row,
// seconds without a sound reply, witnesses), in both of its languages: a
// changed constant must show here until the README says it too.
TEST(ProgramOptions, TheReadmeStatesTheProgramsNumbers) {
  const std::string readme = ReadFileBytes(README_SOURCE);
  ASSERT_FALSE(readme.empty()) << README_SOURCE;
  const int seconds = static_cast<int>(NoSoundReplyLimitMs / 1000);
  for (const std::string& phrase :
       {"after " + std::to_string(BlockTries) + " tries",
        std::to_string(BadBlocksInARowLimit) + " blocks in a row",
        "for " + std::to_string(seconds) + " seconds",
        "At most " + std::to_string(WitnessLimit) + " blocks",
        std::to_string(WitnessRecordLines) + " record lines",
        std::to_string(BlockTries) + Utf8(L" 回読んでも"),
        std::to_string(BadBlocksInARowLimit) + Utf8(L" ブロック続けて"),
        std::to_string(seconds) + Utf8(L" 秒の間"),
        Utf8(L"最大 ") + std::to_string(WitnessLimit) + Utf8(L" ブロック")}) {
    EXPECT_TRUE(Contains(readme, phrase)) << phrase;
  }
}

TEST(ProgramOptions, WrongCommandLineEndsWithStatus64AndTouchesNothing) {
  if (!BuiltProgramsRun()) GTEST_SKIP() << "the built loggerdump cannot be started here";
  TempDir cwd;
  const Answer a = RunWithArgs(cwd, {"-d", "missing", "-x"});
  EXPECT_EQ(a.run.status, ExitUsage);
  EXPECT_EQ(a.run.out, "");
  EXPECT_EQ(a.err, Said(Msg::ProgramPrefix, L"loggerdump") + Said(Msg::UnknownOption, L"-x") +
                       Said(Msg::HelpHint, L"loggerdump"));
  EXPECT_TRUE(IsEmptyFolder(cwd));
}

TEST(ProgramOptions, DirThatDoesNotExistEndsWithStatus2BeforeAnything) {
  if (!BuiltProgramsRun()) GTEST_SKIP() << "the built loggerdump cannot be started here";
  TempDir cwd;
  const Answer a = RunWithArgs(cwd, {"--port", "1", "--dir", "missing"});
  EXPECT_EQ(a.run.status, 2);
  EXPECT_EQ(a.run.out, "");
  EXPECT_EQ(a.err, Said(Msg::ProgramPrefix, L"loggerdump") + Said(Msg::NoFolder, L"missing"));
  EXPECT_TRUE(IsEmptyFolder(cwd));
}

TEST(ConsoleWindow, KeptOpenOnlyWhenItClosesWithTheProgram) {
  EXPECT_TRUE(WindowClosesWithProgram(1, true, true));   // started from Explorer
  EXPECT_FALSE(WindowClosesWithProgram(2, true, true));  // a command prompt or script shares it
  EXPECT_FALSE(WindowClosesWithProgram(3, true, true));
  EXPECT_FALSE(WindowClosesWithProgram(0, true, true));   // the count could not be had
  EXPECT_FALSE(WindowClosesWithProgram(1, false, true));  // input redirected
  EXPECT_FALSE(WindowClosesWithProgram(1, true, false));  // output redirected
  EXPECT_FALSE(WindowClosesWithProgram(1, false, false));
}

}  // namespace
