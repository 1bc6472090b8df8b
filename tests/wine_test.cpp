// The Windows program under Wine, end to end against loggersim: Wine's serial
// emulation gives the program a COM port that is a loggersim pseudo-terminal.
// The prefix and its wineserver come from wine_setup.sh (a CTest fixture); the
// tests run one at a time.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <iconv.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "testutil.h"
#include "version.h"

namespace {

// Seconds a Wine run may take: the countdown, Wine's start and the dump.
constexpr int WineRunSeconds = 120;
// COM number linked to the logger, and one that is never linked.
constexpr int LoggerComNumber = 40;
constexpr int MissingComNumber = 41;
// A COM number for a port of the link's own tests.
constexpr int DriverComNumber = 42;
constexpr uint32_t Seed = 4711;
constexpr int Blocks = 1024;

std::string SeedImage() {
  const std::vector<uint8_t> image = PatternImage(Seed);
  return std::string(image.begin(), image.end());
}

struct WineSetup {
  std::string loader;  // Wine's loader for the program's architecture
  std::string exe;     // loggerdump.exe
  std::string prefix;  // WINEPREFIX
};

// Reads the settings wine_setup.sh wrote; fails the test when it did not run.
bool LoadWineSetup(WineSetup* setup) {
  // The folder of this test's prefix (each half of the Wine tests has its own).
  const char* folder = std::getenv("WINE_TEST_DIR");
  if (folder == nullptr) return false;
  std::ifstream in(std::string(folder) + "/wine.conf");
  std::string key, value;
  while (in >> key >> value) {
    if (key == "loader") setup->loader = value;
    if (key == "exe") setup->exe = value;
    if (key == "prefix") setup->prefix = value;
  }
  return !setup->loader.empty() && !setup->exe.empty() && !setup->prefix.empty();
}

std::string ComLink(const WineSetup& setup, int number) {
  return setup.prefix + "/dosdevices/com" + std::to_string(number);
}

// Makes the prefix's COM<number> the pseudo-terminal that loggersim printed.
// Returns that path, or "" when loggersim printed none or the link failed.
std::string ConnectCom(const WineSetup& setup, Child* sim, int number) {
  const std::string port = sim->FirstLine(10000);
  const std::string link = ComLink(setup, number);
  unlink(link.c_str());
  if (port.empty() || symlink(port.c_str(), link.c_str()) != 0) return "";
  return port;
}

// loggerdump.exe under Wine in folder dir with the user's typing and the
// options args; its standard output is a pipe, so it writes in the locale's
// code page.
ChildOptions WineOptions(const WineSetup& setup, const std::string& dir, const std::string& input,
                         const std::vector<std::string>& args = {}) {
  // Wine's own messages (and the program's standard error) go to a log in the
  // run folder, not into the test output.
  std::vector<std::string> argv = {
      "/bin/sh", "-c", "exec \"$@\" 2>>wine-stderr.log", "sh",         "/usr/bin/timeout",
      "-k",      "5",  std::to_string(WineRunSeconds),   setup.loader, setup.exe};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::vector<std::string> env = {"WINEPREFIX=" + setup.prefix, "WINEDEBUG=-all",
                                        "WINELOADER=" + setup.loader, "LANG=ja_JP.UTF-8",
                                        "LC_ALL=ja_JP.UTF-8"};
  return {argv, dir, input, env};
}

ProcessResult RunWine(const WineSetup& setup, const std::string& dir, const std::string& input,
                      const std::vector<std::string>& args = {}) {
  return RunChild(WineOptions(setup, dir, input, args), WineRunSeconds + 10);
}

// A Linux path as Wine's drive Z: shows it to the program.
std::string WindowsPath(const std::string& path) {
  std::string windows = "Z:" + path;
  for (char& c : windows) c = c == '/' ? '\\' : c;
  return windows;
}

// loggerdump.exe under Wine on a pseudo-terminal (script), so that it has a
// console: its text goes through WriteConsoleW, and Wine's console shows it on
// the terminal in UTF-8. timeout stays in the terminal's foreground, so that
// Wine can set the terminal up and Ctrl-C reaches it. Input is typed with Send (Enter is "\r",
// Ctrl-C "\x03").
ChildOptions ConsoleOptions(const WineSetup& setup, const std::string& dir) {
  ChildOptions options = WineOptions(setup, dir, "");
  std::string command = "exec /usr/bin/timeout --foreground -k 5 " +
                        std::to_string(WineRunSeconds) + " '" + setup.loader + "' '" + setup.exe +
                        "' 2>>wine-stderr.log";
  options.argv = {"/usr/bin/script", "-qefc", command, "/dev/null"};
  options.keepInputOpen = true;
  return options;
}

// Types line and Enter once the console reads the port. Typed earlier, the
// terminal would take it before Wine's console sets it up for reading (and
// turn Enter into LF); that happens a moment after the prompt is shown.
::testing::AssertionResult AnswerPrompt(Child* run, const std::string& line) {
  constexpr int ConsoleReadyMs = 2000;
  if (!run->WaitForOutput("番号を入力してください。", WineRunSeconds * 1000)) {
    return ::testing::AssertionFailure() << "no prompt on the console:\n" << run->Output();
  }
  usleep(ConsoleReadyMs * 1000);
  if (!run->Send(line + "\r")) return ::testing::AssertionFailure() << "could not type";
  return ::testing::AssertionSuccess();
}

// What a console run showed, without the terminal's control sequences.
std::string Shown(const std::string& terminal) {
  return std::regex_replace(terminal, std::regex("\x1b\\[[0-9;?]*[A-Za-z]|\x1b\\][^\x07]*\x07"),
                            "");
}

// Console text in code page 932 (Shift_JIS as Windows has it) as UTF-8.
std::string FromCp932(const std::string& text) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "iconv cannot convert from CP932";
    return "";
  }
  std::string in = text;
  std::string out(text.size() * 3 + 16, '\0');
  char* src = in.data();
  size_t srcLeft = in.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) {
    ADD_FAILURE() << "console output is not valid CP932 at byte " << (src - in.data());
  }
  iconv_close(cd);
  out.resize(out.size() - dstLeft);
  return out;
}

// The console text of a run as the program formatted it, in UTF-8. Its
// standard output is a pipe, so it arrives in the locale's code page (932)
// through a text stream, which writes every LF as CR LF.
std::string ConsoleText(const std::string& out) {
  const std::string text = FromCp932(out);
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
      ADD_FAILURE() << "LF without the text stream's CR at byte " << i;
    }
    plain += text[i];
  }
  return plain;
}

// Spoils the pseudo-terminal's settings (cooked, 9600 baud, 7E2, flow control)
// so that the settings read back afterwards are the ones the program made.
void MakeCooked(const std::string& pty) {
  const int fd = open(pty.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0) << pty;
  termios tio;
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  tio.c_iflag |= ICRNL | INLCR | IXON | IXOFF | ISTRIP;
  tio.c_oflag |= OPOST | ONLCR;
  tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
  close(fd);
}

std::map<std::string, unsigned long> ReadTermios(const std::string& file) {
  std::map<std::string, unsigned long> settings;
  std::istringstream in(ReadFileBytes(file));
  std::string key;
  unsigned long value;
  while (in >> key >> value) settings[key] = value;
  return settings;
}

// The dialogue up to the start of the dump, as the program prints it in UTF-8.
std::string ExpectedDialogue(const std::string& shownPath) {
  std::string text =
      "使用するCOMポートの番号を入力してください。\n" + shownPath + "に接続します。\n";
  for (int n = 5; n >= 1; --n) text += std::to_string(n) + "秒以内にPICを接続してください。\r";
  return text + "\n通信開始\n";
}

// Checks the heading and the port list (whatever ports Wine shows, each as
// name(description)) and returns what follows them.
std::string AfterPortList(const std::string& console) {
  const std::string heading = "接続されているCOMポート一覧\n";
  EXPECT_EQ(console.compare(0, heading.size(), heading), 0) << console.substr(0, 200);
  const size_t prompt = console.find("使用するCOMポートの番号");
  if (prompt == std::string::npos) {
    ADD_FAILURE() << "no prompt in:\n" << console.substr(0, 400);
    return "";
  }
  const std::string list = console.substr(heading.size(), prompt - heading.size());
  EXPECT_TRUE(std::regex_match(list, std::regex("([^\n()]*\\([^\n]*\\)\n)*"))) << list;
  return console.substr(prompt);
}

// The program for users: a 32-bit console program that needs no DLL besides
// Windows' own (no MinGW runtime next to it). Checked on the file itself, so
// also where the 32-bit program cannot be run.
TEST(WindowsBuild, Is32BitConsoleProgramNeedingOnlySystemDlls) {
  ASSERT_TRUE(FileExists(LOGGERDUMP_WINDOWS_EXE))
      << LOGGERDUMP_WINDOWS_EXE << " is missing; build it with scripts/build-windows.sh";
  const ProcessResult dump = RunChild(
      {{"/usr/bin/i686-w64-mingw32-objdump", "-p", LOGGERDUMP_WINDOWS_EXE}, "/", "", {}}, 60);
  ASSERT_EQ(dump.status, 0) << "i686-w64-mingw32-objdump failed; run scripts/setup.sh";
  EXPECT_NE(dump.out.find("file format pei-i386"), std::string::npos);
  EXPECT_NE(dump.out.find("(Windows CUI)"), std::string::npos);
  std::set<std::string> dlls;
  const std::regex dllName("DLL Name: ([^\n]+)");
  for (std::sregex_iterator it(dump.out.begin(), dump.out.end(), dllName), end; it != end; ++it) {
    std::string name = (*it)[1].str();
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    dlls.insert(name);
  }
  // DLLs that every Windows has.
  const std::set<std::string> system = {"KERNEL32.DLL", "MSVCRT.DLL", "SETUPAPI.DLL",
                                        "ADVAPI32.DLL", "USER32.DLL", "NTDLL.DLL"};
  EXPECT_EQ(dlls.count("KERNEL32.DLL"), 1u);
  for (const std::string& dll : dlls)
    EXPECT_EQ(system.count(dll), 1u) << dll << " is not Windows' own";
}

// The application manifest: resource type 24 (RT_MANIFEST) with id 1, the one
// Windows reads for a program, saying asInvoker (no UAC file virtualization),
// the supported systems from Windows 7 to 11 and longPathAware.
TEST(WindowsBuild, CarriesTheApplicationManifest) {
  ASSERT_TRUE(FileExists(LOGGERDUMP_WINDOWS_EXE)) << LOGGERDUMP_WINDOWS_EXE;
  const ProcessResult dump = RunChild(
      {{"/usr/bin/i686-w64-mingw32-objdump", "-p", LOGGERDUMP_WINDOWS_EXE}, "/", "", {}}, 60);
  ASSERT_EQ(dump.status, 0);
  EXPECT_TRUE(std::regex_search(dump.out, std::regex("Entry: ID: 0x000018,[^\n]*\n[^\n]*Name "
                                                     "Table[^\n]*\n[^\n]*Entry: ID: 0x000001,")))
      << dump.out.substr(dump.out.find("Resource Directory section"));
  const std::string exe = ReadFileBytes(LOGGERDUMP_WINDOWS_EXE);
  for (const char* text :
       {"level=\"asInvoker\"", "<longPathAware", ">true</longPathAware>",
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
    EXPECT_NE(exe.find(text), std::string::npos) << text;
  }
}

// The Linux program dumping a logger of its own with the same options, in a
// thread beside the Windows run, so that the two programs' files can be compared.
struct LinuxRunBeside {
  TempDir dir;
  ProcessResult result{-1, "", false};
  std::thread thread;
  explicit LinuxRunBeside(const std::vector<std::string>& simOptions) {
    thread = std::thread([this, simOptions] {
      Child sim(SimArgs(simOptions));
      result = RunChild({{LOGGERDUMP_PATH}, dir.path, sim.FirstLine(10000) + "\n", {}}, 60);
      sim.Wait(10);
    });
  }
};

class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadWineSetup(&setup_))
        << "the Wine fixture (wine_setup.sh) did not run or failed; see its test output";
  }
  WineSetup setup_;
  TempDir dir_;
};

TEST_F(WineTest, CompleteDumpInJapaneseMatchesTheLinuxProgram) {
  const std::string received = dir_.File("received.bin");
  const std::string termiosFile = dir_.File("termios.txt");
  Child sim(
      SimArgs({"--seed", std::to_string(Seed), "--received", received, "--termios", termiosFile}));
  const std::string port = ConnectCom(setup_, &sim, LoggerComNumber);
  ASSERT_FALSE(port.empty());
  MakeCooked(port);

  // The Linux program reads the same logger meanwhile, for the file comparison.
  LinuxRunBeside linuxRun({"--seed", std::to_string(Seed)});

  const ProcessResult run = RunWine(setup_, dir_.path, std::to_string(LoggerComNumber) + "\n");
  const int simStatus = sim.Wait(10);
  linuxRun.thread.join();
  unlink(ComLink(setup_, LoggerComNumber).c_str());

  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(simStatus, 0);
  EXPECT_TRUE(HoldsDumpOf(dir_.path, SeedImage()));
  EXPECT_EQ(linuxRun.result.status, 0);
  EXPECT_TRUE(ReadFileBytes(dir_.File("logger.hex")) ==
              ReadFileBytes(linuxRun.dir.File("logger.hex")))
      << "logger.hex differs from the Linux program's";
  EXPECT_TRUE(ReadFileBytes(received) == ExpectedCommands())
      << ReadFileBytes(received).substr(0, 200);

  // What Wine made of the DCB on the pseudo-terminal: 19200 8N1, raw.
  std::map<std::string, unsigned long> tio = ReadTermios(termiosFile);
  ASSERT_EQ(tio.size(), 6u) << "loggersim wrote no settings";
  EXPECT_EQ(tio["ispeed"], static_cast<unsigned long>(B19200));
  EXPECT_EQ(tio["ospeed"], static_cast<unsigned long>(B19200));
  EXPECT_EQ(tio["cflag"] & CSIZE, static_cast<unsigned long>(CS8));
  EXPECT_EQ(tio["cflag"] & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio["iflag"] & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
  EXPECT_EQ(tio["lflag"] & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio["oflag"] & OPOST, 0u);

  // Japanese console text in code page 932: dialogue, then one progress line per block.
  const std::string console = AfterPortList(ConsoleText(run.out));
  const std::string dialogue = ExpectedDialogue("\\\\.\\COM" + std::to_string(LoggerComNumber));
  ASSERT_EQ(console.substr(0, dialogue.size()), dialogue);
  const std::string progress = console.substr(dialogue.size());
  const std::regex line(
      "\r([0-9a-f]{5}) 経過時間 [0-9]+\\.[0-9]{2}秒 平均転送レート=[0-9]+\\.[0-9]{2}byte/秒 "
      "残り (------|[0-9]+\\.[0-9]{2})秒");
  int reports = 0;
  size_t matched = 0;
  for (std::sregex_iterator it(progress.begin(), progress.end(), line), end; it != end; ++it) {
    matched += static_cast<size_t>(it->length());
    char address[8];
    std::snprintf(address, sizeof address, "%5.5x", reports * 0x100);
    EXPECT_EQ((*it)[1].str(), address);
    if (reports == 0) {
      EXPECT_EQ((*it)[2].str(), "------");
    }
    ++reports;
  }
  EXPECT_EQ(reports, Blocks);
  EXPECT_EQ(matched, progress.size()) << "text besides the progress lines after the dialogue";
  EXPECT_EQ(progress.compare(progress.rfind('\r'), 6, "\r3ff00"), 0);
}

// The reason line after "COM Open Error": what, the system's own text in
// parentheses (any, in whatever language Wine gives it), what to do.
std::regex ReasonLine(const std::string& what, const std::string& advice) {
  return std::regex(what + " \\([^\n()]+\\)。" + advice + "\n");
}

// The number as typed, as the list shows it (COM41) or in full-width digits
// in the input code page (932 here), names the same port.
TEST_F(WineTest, PortNumberWithoutPortIsAnOpenError) {
  unlink(ComLink(setup_, MissingComNumber).c_str());
  const std::string number = std::to_string(MissingComNumber);
  for (const std::string& typed : {" com" + number + " ", std::string("\x82\x53\x82\x50")}) {
    const ProcessResult run = RunWine(setup_, dir_.path, typed + "\n");
    EXPECT_EQ(run.status, 1) << typed;
    const std::string connecting = "\\\\.\\COM" + number + "に接続します。\n";
    EXPECT_NE(ConsoleText(run.out).find(connecting), std::string::npos) << ConsoleText(run.out);
  }
  const ProcessResult run = RunWine(setup_, dir_.path, number + "\n");
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1);
  const std::string console = AfterPortList(ConsoleText(run.out));
  const std::string opening =
      ExpectedDialogue("\\\\.\\COM" + std::to_string(MissingComNumber)) + ComOpenError;
  ASSERT_EQ(console.substr(0, opening.size()), opening);
  EXPECT_TRUE(std::regex_match(console.substr(opening.size()),
                               ReasonLine("そのポートはありません",
                                          "ロガーがつながっているか確かめ、一覧にあるポートの"
                                          "番号を入力してください。")))
      << console;
  // Both files were created before the port was tried.
  EXPECT_TRUE(FileExists(dir_.File("logger.hex")) && FileExists(dir_.File("logger.bin")));
  EXPECT_EQ(ReadFileBytes(dir_.File("logger.hex")), "");
  EXPECT_EQ(ReadFileBytes(dir_.File("logger.bin")), "");
}

TEST_F(WineTest, NumberTooLongForTheDevicePathOpensNothing) {
  // "\\.\COM" and nine digits would be 16 characters: no path, no port.
  const ProcessResult run = RunWine(setup_, dir_.path, "  123456789xyz\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(AfterPortList(ConsoleText(run.out)),
            ExpectedDialogue("\\\\.\\COM123456789") + ComOpenError + NoSuchPortReason);
}

// A COM name that leads to a plain file: opened, but no serial port.
TEST_F(WineTest, ComNameOfAPlainFileIsNoSerialPort) {
  WriteFileBytes(dir_.File("plain"), "not a port");
  const std::string link = ComLink(setup_, MissingComNumber);
  unlink(link.c_str());
  ASSERT_EQ(symlink(dir_.File("plain").c_str(), link.c_str()), 0) << link;
  const ProcessResult run = RunWine(setup_, dir_.path, std::to_string(MissingComNumber) + "\n");
  unlink(link.c_str());
  EXPECT_EQ(run.status, 1);
  const std::string console = ConsoleText(run.out);
  const std::string opening = std::string("\n通信開始\n") + ComOpenError;
  const size_t at = console.rfind(opening);
  ASSERT_NE(at, std::string::npos) << console;
  EXPECT_TRUE(std::regex_match(
      console.substr(at + opening.size()),
      ReasonLine("シリアルポートではありません", "一覧にあるポートの番号を入力してください。")))
      << console;
  EXPECT_EQ(ReadFileBytes(dir_.File("plain")), "not a port");
}

TEST_F(WineTest, LoggerHexThatCannotBeCreatedEndsWithStatus2) {
  ASSERT_EQ(mkdir(dir_.File("logger.hex").c_str(), 0755), 0);
  const ProcessResult run = RunWine(setup_, dir_.path, std::to_string(MissingComNumber) + "\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(AfterPortList(ConsoleText(run.out)),
            ExpectedDialogue("\\\\.\\COM" + std::to_string(MissingComNumber)) +
                "logger.hex が開けません。\nその名前はフォルダです。\n");
  EXPECT_FALSE(FileExists(dir_.File("logger.bin")));
}

TEST_F(WineTest, SecondRunInTheSameFolderCannotTakeTheFiles) {
  // The logger pauses mid-dump, so the first run holds both files while the
  // second one, started later, reaches the point of creating them.
  constexpr int SecondRunDelayMs = 1500;
  Child sim(SimArgs({"--seed", std::to_string(Seed), "--stall-at", "0x100", "--stall-ms", "5000"}));
  const std::string port = ConnectCom(setup_, &sim, LoggerComNumber);
  ASSERT_FALSE(port.empty());
  ProcessResult first{-1, "", false};
  std::thread firstThread(
      [&] { first = RunWine(setup_, dir_.path, std::to_string(LoggerComNumber) + "\n"); });
  usleep(SecondRunDelayMs * 1000);
  const ProcessResult second = RunWine(setup_, dir_.path, std::to_string(MissingComNumber) + "\n");
  firstThread.join();
  sim.Wait(10);
  unlink(ComLink(setup_, LoggerComNumber).c_str());

  EXPECT_EQ(second.status, 2);
  const std::string secondConsole = ConsoleText(second.out);
  EXPECT_TRUE(
      EndsWith(secondConsole, "\n通信開始\nlogger.hex が開けません。\n" + Utf8(Msg::RefusedInUse)))
      << secondConsole;
  // The refused run neither truncated nor spoiled what the first one wrote.
  EXPECT_EQ(first.status, 0);
  EXPECT_TRUE(HoldsDumpOf(dir_.path, SeedImage()));
}

// A link at an output name is refused, never followed. The link is made with
// Wine's own mklink; Wine 8.0's makes nothing (and Wine shows a Unix symbolic
// link to a program as the file it points to), so there the test is skipped.
TEST_F(WineTest, ReparsePointAtAnOutputNameIsRefused) {
  const std::string data = "somebody else's data";
  WriteFileBytes(dir_.File("target"), data);
  ChildOptions mklink = WineOptions(setup_, dir_.path, "");
  mklink.argv = {setup_.loader, "cmd", "/c", "mklink", "logger.hex", "target"};
  RunChild(mklink, 60);
  struct stat info;
  if (lstat(dir_.File("logger.hex").c_str(), &info) != 0) {
    GTEST_SKIP() << "Wine's mklink made no link (no reparse points in this Wine)";
  }
  const ProcessResult run = RunWine(setup_, dir_.path, std::to_string(MissingComNumber) + "\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(
      EndsWith(ConsoleText(run.out),
               "logger.hex が開けません。\nその名前はシンボリックリンクです。"
               "リンク先は変更しません。リンクを削除するか、別のフォルダで実行してください。\n"))
      << ConsoleText(run.out);
  EXPECT_EQ(ReadFileBytes(dir_.File("target")), data);
}

// A logger that sends NUL bytes inside its record lines, lines that are no
// records, and one record with a wrong checksum on every try: the Windows
// program drops the NULs itself (Wine passes them through), asks for the bad
// block BlockTries times, stores exactly what the Linux program stores, and
// reports the block with status 5.
TEST_F(WineTest, NoiseAndABlockBadOnEveryTryAreHandledAsOnLinux) {
  const std::vector<std::string> faults = {"--seed", std::to_string(Seed), "--noise", "--corrupt",
                                           "checksum:0x12345"};
  std::vector<std::string> simOptions = faults;
  const std::string received = dir_.File("received.bin");
  simOptions.insert(simOptions.end(), {"--received", received});
  Child sim(SimArgs(simOptions));
  const std::string port = ConnectCom(setup_, &sim, LoggerComNumber);
  ASSERT_FALSE(port.empty());

  LinuxRunBeside linuxRun(faults);
  const ProcessResult run = RunWine(setup_, dir_.path, std::to_string(LoggerComNumber) + "\n");
  sim.Wait(10);
  linuxRun.thread.join();
  unlink(ComLink(setup_, LoggerComNumber).c_str());

  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(linuxRun.result.status, 5);
  const std::string console = ConsoleText(run.out);
  EXPECT_TRUE(EndsWith(console,
                       "\n警告: 読み直しても不正なブロックが 1 個ありました: 12300。"
                       "logger.bin のそのブロックで受け取れなかったバイトは FF です。\n"))
      << console.substr(console.size() > 300 ? console.size() - 300 : 0);
  EXPECT_EQ(Count(ReadFileBytes(received), "dihex 12300\r\n"), 4u);
  // The spoiled record's bytes are filled; every other byte is in its place.
  std::string image = SeedImage();
  image.replace(0x12340, RecordDataBytes, RecordDataBytes, '\xFF');
  EXPECT_TRUE(ReadFileBytes(dir_.File("logger.bin")) == image);
  const std::string hex = ReadFileBytes(dir_.File("logger.hex"));
  EXPECT_EQ(hex.find('\0'), std::string::npos) << "a NUL byte reached logger.hex";
  EXPECT_TRUE(hex == ReadFileBytes(linuxRun.dir.File("logger.hex")))
      << "logger.hex differs from the Linux program's";
}

// One block spoiled once, or one reply sent twice, is asked for again, and the
// run is as clean as if nothing had happened: status 0, a clean run's files,
// the block asked twice.
TEST_F(WineTest, BlockSpoiledOnceOrAReplySentTwiceIsReadAgain) {
  struct Case {
    std::vector<std::string> fault;
    std::string reread;  // the block asked for twice
  };
  for (const Case& c : {Case{{"--corrupt", "digit:0x20005", "--spoil-first", "1"}, "20000"},
                        Case{{"--twice", "0x20000", "--spoil-first", "1"}, "20100"}}) {
    const std::string received = dir_.File("received.bin");
    std::vector<std::string> args = {"--seed", std::to_string(Seed), "--received", received};
    args.insert(args.end(), c.fault.begin(), c.fault.end());
    Child sim(SimArgs(args));
    const std::string port = ConnectCom(setup_, &sim, LoggerComNumber);
    ASSERT_FALSE(port.empty());
    const ProcessResult run = RunWine(setup_, dir_.path, std::to_string(LoggerComNumber) + "\n");
    EXPECT_EQ(sim.Wait(10), 0);
    unlink(ComLink(setup_, LoggerComNumber).c_str());

    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0);
    const std::string console = ConsoleText(run.out);
    EXPECT_NE(console.find("\nブロック " + c.reread + " を読み直します (2 回目)。\n\r" + c.reread),
              std::string::npos)
        << console.substr(console.size() > 300 ? console.size() - 300 : 0);
    EXPECT_EQ(console.find("警告"), std::string::npos);
    EXPECT_TRUE(ReadFileBytes(received) == CommandsAsking("dihex " + c.reread + "\r\n", 2));
    EXPECT_TRUE(HoldsDumpOf(dir_.path, SeedImage()));
  }
}

// The version, and a wrong command line refused before anything is made.
TEST_F(WineTest, VersionAndAWrongOption) {
  const ProcessResult version = RunWine(setup_, dir_.path, "", {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("loggerdump ") + ProgramVersion + "\r\n");

  const std::string runDir = dir_.File("run");
  ASSERT_EQ(mkdir(runDir.c_str(), 0755), 0);
  const ProcessResult wrong = RunWine(setup_, runDir, "", {"--port", "3", "stray"});
  EXPECT_EQ(wrong.status, 64);
  EXPECT_EQ(wrong.out, "");
  EXPECT_NE(ReadFileBytes(runDir + "/wine-stderr.log").find("stray"), std::string::npos);
  EXPECT_FALSE(FileExists(runDir + "/logger.hex") || FileExists(runDir + "/logger.bin"));
}

// Scripted use on Windows: a COM number and a folder as a Windows path on the
// command line, standard input closed, and no standard output either, as some
// schedulers start programs: the program puts no console text anywhere else,
// and the files are those of a clean run.
TEST_F(WineTest, PortAndDirFromTheCommandLine) {
  Child sim(SimArgs({"--seed", std::to_string(Seed)}));
  const std::string port = ConnectCom(setup_, &sim, LoggerComNumber);
  ASSERT_FALSE(port.empty());
  ASSERT_EQ(mkdir(dir_.File("dumps").c_str(), 0755), 0);
  ChildOptions options = WineOptions(
      setup_, dir_.path, "",
      {"--port", std::to_string(LoggerComNumber), "--dir", WindowsPath(dir_.File("dumps"))});
  options.closedStdout = true;
  const ProcessResult run = RunChild(options, WineRunSeconds + 10);
  EXPECT_EQ(sim.Wait(10), 0);
  unlink(ComLink(setup_, LoggerComNumber).c_str());

  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(HoldsDumpOf(dir_.File("dumps"), SeedImage()));
  EXPECT_FALSE(FileExists(dir_.File("logger.hex")) || FileExists(dir_.File("logger.bin")));
}

// The Windows program resumes a run whose logger went away (cut short by the
// Linux program, whose files are the same): it reads the files back, checks
// its witnesses, cuts the files after the kept ones and ends with a clean
// run's. Resumed again against a logger whose block 00000 is bad on every try,
// it leaves the files as they are and ends with status 5 naming that block.
TEST_F(WineTest, RunCutShortIsResumed) {
  {
    InProcessSim first(Seed);
    first.config.faults.hangUpInBlock = 0x00800;
    ASSERT_EQ(DumpFrom(&first, dir_).status, ExitLinkLost);
  }
  const std::string received = dir_.File("received.bin");
  const std::vector<uint32_t> witnesses = WitnessesOf(dir_.path);
  Child sim(SimArgs({"--seed", std::to_string(Seed), "--received", received}));
  ASSERT_FALSE(ConnectCom(setup_, &sim, LoggerComNumber).empty());
  const ProcessResult run =
      RunWine(setup_, dir_.path, "", {"--port", std::to_string(LoggerComNumber), "--resume"});
  EXPECT_EQ(sim.Wait(10), 0);
  unlink(ComLink(setup_, LoggerComNumber).c_str());
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, ExitComplete) << ConsoleText(run.out);
  EXPECT_TRUE(ReadFileBytes(received) ==
              WitnessCommands(witnesses) + Commands(0x00800, 0x3FF00) + EndCommandBytes);
  EXPECT_TRUE(HoldsDumpOf(dir_.path, SeedImage()));

  Child bad(SimArgs({"--seed", std::to_string(Seed), "--corrupt", "checksum:0x00005"}));
  ASSERT_FALSE(ConnectCom(setup_, &bad, LoggerComNumber).empty());
  const ProcessResult kept =
      RunWine(setup_, dir_.path, "", {"--port", std::to_string(LoggerComNumber), "--resume"});
  EXPECT_EQ(bad.Wait(10), 0);
  unlink(ComLink(setup_, LoggerComNumber).c_str());
  EXPECT_EQ(kept.status, 5);
  EXPECT_TRUE(EndsWith(ConsoleText(kept.out),
                       "\nブロック 00000 を 4 回読んでも正しく読めなかったため、保存済みの"
                       "ブロックがロガーのメモリと同じか確かめられません。前回のファイルは"
                       "そのまま残しています (--resume なしで実行すると最初から読み出します)。\n"))
      << ConsoleText(kept.out);
  EXPECT_TRUE(HoldsDumpOf(dir_.path, SeedImage()));
}

// A line behind a reply, read one byte at a time as Windows reads: behind a
// reply its addresses prove, it is dropped with the input emptied before the
// next command, which is asked for once; behind a reply of a logger without
// usable addresses (a record sent twice), the block is asked for again.
TEST_F(WineTest, SurplusBehindAReplyIsDroppedOrTheBlockAskedAgain) {
  struct Case {
    std::vector<std::string> fault;
    std::string commands;
  };
  for (const Case& c : {Case{{"--surplus", "0x00700"}, ExpectedCommands()},
                        Case{{"--no-addresses", "--duplicate", "0x00735", "--spoil-first", "1"},
                             UnaddressedCommands(CommandsAsking("dihex 00700\r\n", 2))}}) {
    const std::string received = dir_.File("received.bin");
    std::vector<std::string> args = {"--seed", std::to_string(Seed), "--received", received};
    args.insert(args.end(), c.fault.begin(), c.fault.end());
    Child sim(SimArgs(args));
    ASSERT_FALSE(ConnectCom(setup_, &sim, LoggerComNumber).empty());
    const ProcessResult run =
        RunWine(setup_, dir_.path, "", {"--port", std::to_string(LoggerComNumber)});
    EXPECT_EQ(sim.Wait(10), 0);
    unlink(ComLink(setup_, LoggerComNumber).c_str());
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << ConsoleText(run.out);
    EXPECT_TRUE(ReadFileBytes(received) == c.commands) << c.fault[0];
    EXPECT_TRUE(ReadFileBytes(dir_.File("logger.bin")) == SeedImage()) << c.fault[0];
  }
}

// A Windows helper of the tests, built beside the program.
WineSetup Helper(const WineSetup& setup, const std::string& program) {
  WineSetup helper = setup;
  helper.exe = setup.exe.substr(0, setup.exe.rfind('/') + 1) + program;
  EXPECT_TRUE(FileExists(helper.exe)) << helper.exe;
  return helper;
}

// A COM-port device whose "PortName" cannot be read offers nothing to type:
// it is left out of the list, while a named one is listed as name(description).
// --verbose adds, after the unchanged list, what the device set-up holds of
// each: an FTDI port's serial number from its instance id (without the
// channel letter), none from the id Windows made up for a CH340's port. The
// devices come from a Windows helper built beside the program.
// A port that only the serial device map names is listed once, described by
// its kernel device.
TEST_F(WineTest, PortWithoutANameIsLeftOutOfTheList) {
  const WineSetup helper = Helper(setup_, "wine_comports.exe");
  ASSERT_EQ(RunWine(helper, dir_.path, "", {"add"}).status, 0) << "devices not made";
  const ProcessResult list = RunWine(setup_, dir_.path, "", {"--list"});
  const ProcessResult verbose = RunWine(setup_, dir_.path, "", {"--list", "-v"});
  EXPECT_EQ(RunWine(helper, dir_.path, "", {"remove"}).status, 0);
  EXPECT_EQ(list.status, 0);
  const std::string console = ConsoleText(list.out);
  EXPECT_NE(console.find("\nCOM7(loggerdump test named port)\n"), std::string::npos) << console;
  EXPECT_EQ(console.find("nameless"), std::string::npos) << console;

  EXPECT_EQ(verbose.status, 0);
  const std::string details = ConsoleText(verbose.out);
  EXPECT_EQ(details.rfind(console, 0), 0u) << details;
  const auto field = [](const wchar_t* label, const wchar_t* text) {
    return Said(Msg::PortField, label, text);
  };
  const std::string ftdi =
      Said(Msg::PortDetailHeading, L"COM8") + field(Msg::FieldDevice, L"\\\\.\\COM8") +
      field(Msg::FieldFriendlyName, L"USB Serial Port (COM8)") +
      field(Msg::FieldHardwareId, L"FTDIBUS\\COMPORT&VID_0403&PID_6001") +
      field(Msg::FieldUsbIds, L"0403:6001") + field(Msg::FieldSerial, L"A50285BI") +
      field(Msg::FieldLocation, L"Port_#0002.Hub_#0001") + field(Msg::FieldManufacturer, L"FTDI") +
      field(Msg::FieldService, L"FTSER2K");
  const std::string ch340 = Said(Msg::PortDetailHeading, L"COM9") +
                            field(Msg::FieldDevice, L"\\\\.\\COM9") +
                            field(Msg::FieldHardwareId, L"USB\\VID_1A86&PID_7523&REV_0254") +
                            field(Msg::FieldUsbIds, L"1a86:7523");
  // Whole blocks: the next port's heading (a blank line) or the end follows each.
  for (const std::string& block : {ftdi, ch340})
    EXPECT_TRUE(Contains(details + "\n", block + "\n"));
  EXPECT_NE(console.find("\nCNCA0(\\Device\\loggerdumpTest0)\n"), std::string::npos) << console;
  EXPECT_EQ(Count(console, "COM7("), 1u) << console;
}

// What real drivers do and Wine's never does, checked by a Windows helper
// beside the link (through its seam) on a port that holds a few bytes from
// before and must receive nothing.
TEST_F(WineTest, LinkMeetsDriversThatRefuseRoundOrVanish) {
  SimPty port{};
  ASSERT_TRUE(SimOpenPty(&port));
  const std::string link = ComLink(setup_, DriverComNumber);
  unlink(link.c_str());
  ASSERT_EQ(symlink(port.path, link.c_str()), 0);
  ASSERT_EQ(write(port.master, "stale\r\n", 7), 7);
  const ProcessResult run = RunWine(Helper(setup_, "wine_serial.exe"), dir_.path, "",
                                    {std::to_string(DriverComNumber), WindowsPath(dir_.path)});
  unlink(link.c_str());
  char sent[64];
  EXPECT_LE(read(port.master, sent, sizeof sent), 0) << "the helper's runs sent something";
  SimClosePty(&port);
  EXPECT_EQ(run.status, 0) << run.out;
}

// Folder names the system's code page (932) cannot encode, one of them beyond
// the BMP, and a folder path longer than MAX_PATH: the files are made there.
// A bare drive is that drive's current folder (here the run's), not its root.
TEST_F(WineTest, FilesGoToAnyFolderNameAndLength) {
  const std::string named = dir_.File("한글𠮷野家");
  const std::string deep = named + "/" + std::string(130, 'a') + "/" + std::string(130, 'b');
  ASSERT_EQ(mkdir(named.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(deep.substr(0, deep.rfind('/')).c_str(), 0755), 0);
  ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  ASSERT_GT(WindowsPath(deep).size(), 260u);
  unlink(ComLink(setup_, MissingComNumber).c_str());
  const std::string port = std::to_string(MissingComNumber);
  for (const std::string& folder : {named, deep}) {
    SCOPED_TRACE(folder.size());
    const ProcessResult run =
        RunWine(setup_, dir_.path, "", {"--port", port, "--dir", WindowsPath(folder)});
    // The port is missing, so the run ends after making both files, empty.
    EXPECT_EQ(run.status, 1) << ReadFileBytes(dir_.File("wine-stderr.log"));
    EXPECT_TRUE(FileExists(folder + "/logger.hex") && FileExists(folder + "/logger.bin"));
  }
  const ProcessResult drive = RunWine(setup_, dir_.path, "", {"--port", port, "--dir", "Z:"});
  EXPECT_EQ(drive.status, 1);
  EXPECT_TRUE(FileExists(dir_.File("logger.hex")) && FileExists(dir_.File("logger.bin")));
}

// Wine in an English locale, whose code pages cannot encode Japanese.
ChildOptions InEnglishLocale(ChildOptions options) {
  for (std::string& entry : options.env) {
    if (entry.rfind("LANG=", 0) == 0) entry = "LANG=en_US.UTF-8";
    if (entry.rfind("LC_ALL=", 0) == 0) entry = "LC_ALL=C";
  }
  return options;
}

// Where the console's code page cannot encode Japanese (an English locale),
// redirected text is UTF-8 throughout, with the text stream's CR LF.
TEST_F(WineTest, RedirectedTextInAnEnglishLocaleIsUtf8) {
  const ProcessResult run = RunChild(
      InEnglishLocale(WineOptions(setup_, dir_.path, "", {"--list"})), WineRunSeconds + 10);
  EXPECT_EQ(run.status, 0);
  const std::string heading = "接続されているCOMポート一覧\r\n";
  EXPECT_EQ(run.out.substr(0, heading.size()), heading);
  EXPECT_EQ(run.out.find('?'), std::string::npos) << run.out;
}

// --lang en in that locale: the English dialogue and reason, and the summary
// replacing an earlier file whole (the rename over an existing file).
TEST_F(WineTest, EnglishOnAnyCodePageWithItsSummaryReplacingTheLast) {
  unlink(ComLink(setup_, MissingComNumber).c_str());
  WriteFileBytes(dir_.File("summary.json"), "earlier");
  const std::string number = std::to_string(MissingComNumber);
  const ProcessResult run = RunChild(
      InEnglishLocale(WineOptions(setup_, dir_.path, "",
                                  {"--lang", "en", "--port", number, "--summary", "summary.json"})),
      WineRunSeconds + 10);
  EXPECT_EQ(run.status, ExitPortOpen);
  SelectLanguage(Language::English);
  std::string opening = Said(Msg::Connecting, Wide("\\\\.\\COM" + number).c_str());
  for (int n = CountdownSteps; n >= 1; --n) opening += Said(Msg::Countdown, n);
  opening += Utf8(Msg::CommunicationStarts) + ComOpenError + Utf8(Msg::NoSuchPort) + " (";
  const std::string advice = ")." + Utf8(Msg::NoSuchPortAdvice) + "\n";
  SelectLanguage(Language::Japanese);
  const std::string console = ConsoleText(run.out);
  EXPECT_EQ(console.rfind(opening, 0), 0u) << console;
  EXPECT_TRUE(EndsWith(console, advice)) << console;
  const std::string summary = ReadFileBytes(dir_.File("summary.json"));
  EXPECT_TRUE(Contains(summary,
                       "\"status\":1,\"meaning\":\"the port could not be opened (COM Open "
                       "Error)\",\"port\":\"\\\\\\\\.\\\\COM" +
                           number + "\",\"dir\":\".\","))
      << summary;
  EXPECT_TRUE(EndsWith(summary, ",\"hex_bytes\":0,\"bin_bytes\":0}\n")) << summary;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path)) {
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }
}

// On a console (a pseudo-terminal): the dialogue and the progress line
// through WriteConsoleW, then the window held after a lone run until Enter.
TEST_F(WineTest, ConsoleShowsTheRunAndHoldsTheWindowUntilEnter) {
  Child sim(SimArgs({"--seed", std::to_string(Seed)}));
  const std::string port = ConnectCom(setup_, &sim, LoggerComNumber);
  ASSERT_FALSE(port.empty());
  Child run(ConsoleOptions(setup_, dir_.path));
  // Typed as an input method left in full width types it: ＣＯＭ４０.
  ASSERT_TRUE(AnswerPrompt(&run, "\xEF\xBC\xA3\xEF\xBC\xAF\xEF\xBC\xAD\xEF\xBC\x94\xEF\xBC\x90"));
  const bool held = run.WaitForOutput("Enter キーを押すと終了します。", WineRunSeconds * 1000);
  EXPECT_TRUE(held) << Shown(run.Output());
  // Still waiting a while later.
  usleep(1000 * 1000);
  EXPECT_EQ(waitpid(run.pid, nullptr, WNOHANG), 0) << "the window was not held";
  run.Send("\r");
  EXPECT_EQ(run.Wait(30), 0);
  EXPECT_EQ(sim.Wait(10), 0);
  unlink(ComLink(setup_, LoggerComNumber).c_str());
  EXPECT_TRUE(HoldsDumpOf(dir_.path, SeedImage()));
  const std::string shown = Shown(run.Output());
  for (const char* text :
       {"接続されているCOMポート一覧", "使用するCOMポートの番号を入力してください。",
        "\\\\.\\COM40に接続します。", "1秒以内にPICを接続してください。", "通信開始",
        "00000 経過時間", "3ff00 経過時間"}) {
    EXPECT_NE(shown.find(text), std::string::npos) << text << " not in:\n" << shown.substr(0, 600);
  }
}

// Ctrl-C on the console: at the prompt and in the countdown no file is made;
// during the dump the end command is sent and the files keep what came. The
// status is 130 and the window is not held.
TEST_F(WineTest, CtrlCOnTheConsoleAtThePromptInTheCountdownAndDuringTheDump) {
  {
    SCOPED_TRACE("at the prompt");
    Child run(ConsoleOptions(setup_, dir_.path));
    ASSERT_TRUE(run.WaitForOutput("番号を入力してください。", WineRunSeconds * 1000));
    usleep(2000 * 1000);  // see AnswerPrompt
    run.Send("\x03");
    // Wine's console read goes on after Ctrl-C (Windows ends it): Enter ends it.
    usleep(1000 * 1000);
    run.Send("\r");
    EXPECT_EQ(run.Wait(30), 130);
    EXPECT_NE(Shown(run.Output()).find("中断しました。"), std::string::npos);
    EXPECT_FALSE(FileExists(dir_.File("logger.hex")) || FileExists(dir_.File("logger.bin")));
  }
  {
    SCOPED_TRACE("in the countdown");
    Child run(ConsoleOptions(setup_, dir_.path));
    ASSERT_TRUE(AnswerPrompt(&run, std::to_string(MissingComNumber)));
    ASSERT_TRUE(run.WaitForOutput("5秒以内", WineRunSeconds * 1000));
    run.Send("\x03");
    EXPECT_EQ(run.Wait(30), 130);
    EXPECT_NE(Shown(run.Output()).find("中断しました。"), std::string::npos);
    EXPECT_FALSE(FileExists(dir_.File("logger.hex")) || FileExists(dir_.File("logger.bin")));
  }
  SCOPED_TRACE("during the dump");
  const std::string received = dir_.File("received.bin");
  constexpr int ReplyDelayMs = 20;  // the dump takes about 20 s
  Child sim(SimArgs({"--seed", std::to_string(Seed), "--delay", std::to_string(ReplyDelayMs),
                     "--received", received}));
  const std::string port = ConnectCom(setup_, &sim, LoggerComNumber);
  ASSERT_FALSE(port.empty());
  Child run(ConsoleOptions(setup_, dir_.path));
  ASSERT_TRUE(AnswerPrompt(&run, std::to_string(LoggerComNumber)));
  ASSERT_TRUE(run.WaitForOutput("00100 経過時間", WineRunSeconds * 1000)) << Shown(run.Output());
  run.Send("\x03");
  EXPECT_EQ(run.Wait(30), 130);
  sim.Wait(10);
  unlink(ComLink(setup_, LoggerComNumber).c_str());
  EXPECT_NE(Shown(run.Output()).find("中断しました。"), std::string::npos);
  EXPECT_TRUE(EndsWith(ReadFileBytes(received), EndCommandBytes));
  const std::vector<uint8_t> image = PatternImage(Seed);
  const std::string hex = ReadFileBytes(dir_.File("logger.hex"));
  const std::string bin = ReadFileBytes(dir_.File("logger.bin"));
  EXPECT_GE(bin.size(), 0x200u);
  EXPECT_LT(bin.size(), image.size());
  EXPECT_TRUE(bin == SeedImage().substr(0, bin.size()));
  EXPECT_TRUE(hex == ExpectedHexFile(image.data()).substr(0, hex.size()));
}

// Ends the Windows program outright, as "End task" or a log-off does: the
// Linux processes under timeout (the Child run) are killed, so that no code of
// the program runs any more.
void KillOutright(const Child& run) {
  const std::string children =
      "/proc/" + std::to_string(run.pid) + "/task/" + std::to_string(run.pid) + "/children";
  std::istringstream pids(ReadFileBytes(children));
  for (pid_t pid; pids >> pid;) kill(pid, SIGKILL);
}

// A run without --resume on a port where nothing answers, killed while it
// waits for the first reply, leaves an earlier dump byte for byte.
TEST_F(WineTest, RunThatGotNoBlockLeavesTheEarlierDump) {
  const std::string image = SeedImage();
  const std::string earlierHex = ExpectedHexFile(reinterpret_cast<const uint8_t*>(image.data()));
  WriteFileBytes(dir_.File("logger.hex"), earlierHex);
  WriteFileBytes(dir_.File("logger.bin"), image);
  SimPty silent{};
  ASSERT_TRUE(SimOpenPty(&silent));
  const std::string link = ComLink(setup_, LoggerComNumber);
  unlink(link.c_str());
  ASSERT_EQ(symlink(silent.path, link.c_str()), 0);
  {
    Child run(WineOptions(setup_, dir_.path, "", {"--port", std::to_string(LoggerComNumber)}));
    std::string asked;
    char chunk[64];
    for (int waited = 0; !Contains(asked, "dihex 00000") && waited < WineRunSeconds * 100;) {
      const ssize_t n = read(silent.master, chunk, sizeof chunk);
      if (n > 0) {
        asked.append(chunk, static_cast<size_t>(n));
      } else {
        ++waited;
        usleep(10000);
      }
    }
    EXPECT_TRUE(Contains(asked, "dihex 00000")) << "no command came";
    KillOutright(run);
    EXPECT_EQ(run.Wait(10), 128 + SIGKILL);
  }
  unlink(link.c_str());
  SimClosePty(&silent);
  EXPECT_TRUE(ReadFileBytes(dir_.File("logger.hex")) == earlierHex);
  EXPECT_TRUE(ReadFileBytes(dir_.File("logger.bin")) == image);
}

// The settings the port had before a run are what it has after the run, as
// far as Wine shows them: the speed and the stop bits (Wine makes a
// pseudo-terminal 8 bits without parity itself when it opens it).
TEST_F(WineTest, PortGetsItsEarlierSettingsBackAtClose) {
  InProcessSim sim(Seed);
  const std::string link = ComLink(setup_, LoggerComNumber);
  unlink(link.c_str());
  ASSERT_EQ(symlink(sim.Path(), link.c_str()), 0);
  MakeCooked(sim.Path());
  sim.Start();
  const ProcessResult run =
      RunWine(setup_, dir_.path, "", {"--port", std::to_string(LoggerComNumber)});
  EXPECT_EQ(sim.Finish(), 0);
  unlink(link.c_str());
  EXPECT_EQ(run.status, ExitComplete) << ConsoleText(run.out);
  termios after{};
  ASSERT_EQ(tcgetattr(sim.pty.slave, &after), 0);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
  EXPECT_EQ(after.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
}

// Killed outright a few hundred blocks into a dump, the Windows program has
// every block but the one in flight in both files, and --resume completes them.
TEST_F(WineTest, KilledOutrightLosesAtMostTheBlockInFlight) {
  const std::string received = dir_.File("received.bin");
  {
    Child sim(SimArgs({"--seed", std::to_string(Seed), "--delay", "5", "--received", received}));
    ASSERT_FALSE(ConnectCom(setup_, &sim, LoggerComNumber).empty());
    Child run(WineOptions(setup_, dir_.path, "", {"--port", std::to_string(LoggerComNumber)}));
    ASSERT_TRUE(WaitForText(received, "dihex 12c00", WineRunSeconds * 1000));
    KillOutright(run);
    EXPECT_EQ(run.Wait(10), 128 + SIGKILL);
    unlink(ComLink(setup_, LoggerComNumber).c_str());
  }
  EXPECT_TRUE(HoldsAllButTheBlockInFlight(dir_.path, SeedImage(), ReadFileBytes(received)));

  Child sim(SimArgs({"--seed", std::to_string(Seed)}));
  ASSERT_FALSE(ConnectCom(setup_, &sim, LoggerComNumber).empty());
  const ProcessResult resumed =
      RunWine(setup_, dir_.path, "", {"--port", std::to_string(LoggerComNumber), "--resume"});
  EXPECT_EQ(sim.Wait(10), 0);
  unlink(ComLink(setup_, LoggerComNumber).c_str());
  EXPECT_EQ(resumed.status, ExitComplete) << ConsoleText(resumed.out);
  EXPECT_TRUE(HoldsDumpOf(dir_.path, SeedImage()));
}

}  // namespace
