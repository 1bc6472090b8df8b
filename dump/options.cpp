#include "options.h"

#include <getopt.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "platform/console.h"
#include "outputfiles.h"
#include "logger/logger.h"
#include "messages.h"
#include "platform/paths.h"
#include "portchoice.h"
#include "resume.h"
#include "platform/platform.h"
#include "serial/serial.h"
#include "version.h"

namespace {

constexpr char ShortOptions[] = ":p:d:rlvhV";  // leading ':': a missing value is told apart
// The options that have no short form, by values no character has.
constexpr int LangOption = 0x100;
constexpr int SummaryOption = 0x101;
const option LongOptions[] = {
    {"port", required_argument, nullptr, 'p'},
    {"dir", required_argument, nullptr, 'd'},
    {"lang", required_argument, nullptr, LangOption},
    {"summary", required_argument, nullptr, SummaryOption},
    {"resume", no_argument, nullptr, 'r'},
    {"list", no_argument, nullptr, 'l'},
    {"verbose", no_argument, nullptr, 'v'},  // the port list with each port's details
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// Longest piece of the command line quoted in a message.
constexpr size_t QuotedSize = 256;

// An option as the user wrote it: the word up to any '=' for a long one
// (arg, the argument holding it), "-x" for a short one.
void NameOption(const char* arg, int shortOption, wchar_t* name, size_t size) {
  if (std::strncmp(arg, "--", 2) != 0) {
    std::swprintf(name, size, L"-%lc",
                  static_cast<wint_t>(static_cast<unsigned char>(shortOption)));
    return;
  }
  char word[QuotedSize];
  std::snprintf(word, sizeof word, "%s", arg);
  word[std::strcspn(word, "=")] = '\0';
  WidenArgument(word, name, size);
}

// A port as the prompt takes it: the number (on Windows the COM number, on
// Linux the number of the listed port), that number after "COM", on Linux a
// device path, or a USB name (usb:...), no longer than a typed line. Returns where the part to use
// starts, or null.
const char* PortValue(const char* value) {
  // Longer than a typed line can be: it would be cut, and name another port.
  if (std::strlen(value) >= LineBufferSize) return nullptr;
  if (SerialIsDevicePath(value) || IsUsbName(value)) return value;
  const char* digits = value;
  if ((digits[0] == 'C' || digits[0] == 'c') && (digits[1] == 'O' || digits[1] == 'o') &&
      (digits[2] == 'M' || digits[2] == 'm')) {
    digits += 3;
  }
  if (digits[0] == '\0' || digits[std::strspn(digits, "0123456789")] != '\0') return nullptr;
  return digits;
}

// The languages as --lang names them, in the order of Language.
constexpr const char* LanguageNames[LanguageCount] = {"ja", "en"};

// The language name names; false when it names none.
bool LanguageOfName(const char* name, Language* language) {
  for (int i = 0; i < LanguageCount; ++i) {
    if (std::strcmp(name, LanguageNames[i]) == 0) {
      *language = static_cast<Language>(i);
      return true;
    }
  }
  return false;
}

// Whether path names a file of the dump itself (its last part is one of the
// files' names in any case): the summary renamed over it would replace it.
bool NamesOutputFile(const char* path) {
  const char* name = path + std::strlen(path);
  while (name > path && name[-1] != '/' && name[-1] != '\\') --name;
  for (const char* output : {HexFileName, BinFileName}) {
    size_t i = 0;
    while (output[i] != '\0' && std::tolower(static_cast<unsigned char>(name[i])) == output[i]) ++i;
    if (output[i] == '\0' && name[i] == '\0') return true;
  }
  return false;
}

// Tells a problem with the command line or its folder after the program's name.
void Complain(FILE* err, const wchar_t* format, const wchar_t* what) {
  wchar_t name[QuotedSize];
  Widen(ProgramName, name, QuotedSize);
  Print(err, Msg::ProgramPrefix, name);
  Print(err, format, what);
}

Action RefuseCommandLine(FILE* err, const wchar_t* format, const wchar_t* what) {
  Complain(err, format, what);
  wchar_t name[QuotedSize];
  Widen(ProgramName, name, QuotedSize);
  Print(err, Msg::HelpHint, name);
  return Action::Usage;
}

// The options that only switch something on.
struct Switches {
  bool help;
  bool version;
  bool list;
};

// Takes the value of --port, --dir, --lang or --summary (option c); false,
// with the message written, when it is empty or names no port or language.
bool TakeValue(int c, char** argv, CommandLine* line, FILE* err) {
  wchar_t quoted[QuotedSize];
  if (optarg[0] == '\0') {
    // The value is an argument of its own, or the end of the option's one.
    NameOption(argv[optarg == argv[optind - 1] ? optind - 2 : optind - 1], c, quoted, QuotedSize);
    RefuseCommandLine(err, Msg::EmptyValue, quoted);
    return false;
  }
  if (c == 'd') {
    line->dir = optarg;
  } else if (c == SummaryOption) {
    line->summary = optarg;
    if (!NamesOutputFile(optarg)) return true;
    WidenArgument(optarg, quoted, QuotedSize);
    RefuseCommandLine(err, Msg::SummaryOverDump, quoted);
    return false;
  } else if (c == LangOption) {
    if (LanguageOfName(optarg, &line->language)) return true;
    WidenArgument(optarg, quoted, QuotedSize);
    RefuseCommandLine(err, Msg::BadLanguage, quoted);
    return false;
  } else if ((line->port = PortValue(optarg)) == nullptr) {
    WidenArgument(optarg, quoted, QuotedSize);
    RefuseCommandLine(err, Msg::BadPortValue, quoted);
    return false;
  }
  return true;
}

// Tells what is wrong with the option getopt refused (c is ':' for a missing value).
Action RefuseOption(int c, char** argv, FILE* err) {
  wchar_t quoted[QuotedSize];
  NameOption(argv[optind - 1], optopt, quoted, QuotedSize);
  if (c == ':') return RefuseCommandLine(err, Msg::ValueNeeded, quoted);
  // A known long option with "=value" though it takes none.
  if (optopt != 0 && std::strncmp(argv[optind - 1], "--", 2) == 0) {
    return RefuseCommandLine(err, Msg::NoValueTaken, quoted);
  }
  return RefuseCommandLine(err, Msg::UnknownOption, quoted);
}

// Takes one option c; false when the command line must be refused (said).
bool TakeOption(int c, char** argv, CommandLine* line, Switches* switches, FILE* err) {
  switch (c) {
    case 'p':
    case 'd':
    case LangOption:
    case SummaryOption:
      return TakeValue(c, argv, line, err);
    case 'r':
      line->resume = true;
      return true;
    case 'l':
      switches->list = true;
      return true;
    case 'v':
      line->verbose = true;
      return true;
    case 'h':
      switches->help = true;
      return true;
    case 'V':
      switches->version = true;
      return true;
    default:
      RefuseOption(c, argv, err);
      return false;
  }
}

}  // namespace

Language CommandLineLanguage(int argc, char** argv) {
  Language language = Language::Japanese;
  optind = 0;
  opterr = 0;
  // Every option is read, past any wrong one: only --lang counts here.
  for (int c; (c = getopt_long(argc, argv, ShortOptions, LongOptions, nullptr)) != -1;) {
    if (c == LangOption) LanguageOfName(optarg, &language);
  }
  return language;
}

Action ParseCommandLine(int argc, char** argv, CommandLine* line, FILE* err) {
  *line = CommandLine{Action::Dump, nullptr, nullptr, false, Language::Japanese, nullptr, false};
  Switches switches = {false, false, false};
  // 0 restarts getopt from the first argument (glibc and MinGW alike), its
  // own messages are off: the program writes its own.
  optind = 0;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ShortOptions, LongOptions, nullptr)) != -1;) {
    if (!TakeOption(c, argv, line, &switches, err)) return Action::Usage;
  }
  if (optind < argc) {
    wchar_t quoted[QuotedSize];
    WidenArgument(argv[optind], quoted, QuotedSize);
    return RefuseCommandLine(err, Msg::StrayArgument, quoted);
  }
  line->action = switches.help      ? Action::Help
                 : switches.version ? Action::Version
                 : switches.list    ? Action::List
                                    : Action::Dump;
  return line->action;
}

bool DirExists(const CommandLine* line, FILE* err) {
  if (line->dir == nullptr) return true;
  wchar_t quoted[QuotedSize];
  WidenArgument(line->dir, quoted, QuotedSize);
  if (!IsFolder(line->dir)) {
    Complain(err, Msg::NoFolder, quoted);
    return false;
  }
  // Told now, not after the countdown: a folder whose path leaves no room for
  // the file names (both are as long).
  char path[OutputPathSize];
  if (!JoinPath(line->dir, HexFileName, NativePathStyle, path, sizeof path)) {
    Complain(err, Msg::FolderPathTooLong, quoted);
    return false;
  }
  return true;
}

void PrintUsage(FILE* out) {
  wchar_t name[QuotedSize];
  Widen(ProgramName, name, QuotedSize);
  Print(out, Msg::Usage, name, WitnessLimit);
  for (const StatusMeaning& m : StatusMeanings) {
    wchar_t meaning[ConsoleTextSize];
    FormatStatusMeaning(m.meaning.chosen, meaning, ConsoleTextSize);
    Print(out, Msg::UsageStatus, m.status);
    Print(out, L"%ls\n", meaning);
  }
}

void FormatStatusMeaning(const wchar_t* meaning, wchar_t* text, size_t size) {
  if (std::swprintf(text, size, meaning, BlockTries, BadBlocksInARowLimit,
                    static_cast<int>(NoSoundReplyLimitMs / 1000)) < 0) {
    text[size - 1] = L'\0';  // cut to the buffer
  }
}

void PrintVersion(FILE* out) {
  wchar_t name[QuotedSize];
  wchar_t version[QuotedSize];
  Widen(ProgramName, name, QuotedSize);
  Widen(ProgramVersion, version, QuotedSize);
  Print(out, Msg::Version, name, version);
}
