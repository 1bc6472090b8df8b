#include "options.h"

#include <getopt.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "console.h"
#include "dump.h"
#include "paths.h"
#include "platform.h"
#include "serial/serial.h"
#include "version.h"

namespace {

constexpr char ShortOptions[] = ":p:d:rlhV";  // leading ':': a missing value is told apart
const option LongOptions[] = {
    {"port", required_argument, nullptr, 'p'},
    {"dir", required_argument, nullptr, 'd'},
    {"resume", no_argument, nullptr, 'r'},
    {"list", no_argument, nullptr, 'l'},
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
// Linux the number of the listed port), that number after "COM", or on Linux
// a device path, no longer than a typed line. Returns where the part to use
// starts, or null.
const char* PortValue(const char* value) {
  // Longer than a typed line can be: it would be cut, and name another port.
  if (std::strlen(value) >= LineBufferSize) return nullptr;
  if (SerialIsDevicePath(value)) return value;
  const char* digits = value;
  if ((digits[0] == 'C' || digits[0] == 'c') && (digits[1] == 'O' || digits[1] == 'o') &&
      (digits[2] == 'M' || digits[2] == 'm')) {
    digits += 3;
  }
  if (digits[0] == '\0' || digits[std::strspn(digits, "0123456789")] != '\0') return nullptr;
  return digits;
}

Action Refuse(FILE* err, const wchar_t* format, const wchar_t* what) {
  Print(err, format, what);
  Print(err, L"使い方は loggerdump --help で表示されます。\n");
  return Action::Usage;
}

}  // namespace

Action ParseCommandLine(int argc, char** argv, CommandLine* line, FILE* err) {
  *line = CommandLine{Action::Dump, nullptr, nullptr, false};
  bool help = false;
  bool version = false;
  bool list = false;
  wchar_t quoted[QuotedSize];
  // 0 restarts getopt from the first argument (glibc and MinGW alike), its
  // own messages are off: the program writes its own.
  optind = 0;
  opterr = 0;
  for (;;) {
    const int c = getopt_long(argc, argv, ShortOptions, LongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'p':
      case 'd':
        if (optarg[0] == '\0') {
          // The value is an argument of its own, or the end of the option's one.
          NameOption(argv[optarg == argv[optind - 1] ? optind - 2 : optind - 1], c, quoted,
                     QuotedSize);
          return Refuse(err, L"loggerdump: %ls の値が空です。\n", quoted);
        }
        if (c == 'd') {
          line->dir = optarg;
        } else if ((line->port = PortValue(optarg)) == nullptr) {
          WidenArgument(optarg, quoted, QuotedSize);
          return Refuse(err, L"loggerdump: ポートの指定が正しくありません: %ls\n", quoted);
        }
        break;
      case 'r':
        line->resume = true;
        break;
      case 'l':
        list = true;
        break;
      case 'h':
        help = true;
        break;
      case 'V':
        version = true;
        break;
      case ':':
        NameOption(argv[optind - 1], optopt, quoted, QuotedSize);
        return Refuse(err, L"loggerdump: %ls には値が必要です。\n", quoted);
      default:
        NameOption(argv[optind - 1], optopt, quoted, QuotedSize);
        // A known long option with "=value" though it takes none.
        if (optopt != 0 && std::strncmp(argv[optind - 1], "--", 2) == 0) {
          return Refuse(err, L"loggerdump: %ls に値は付けられません。\n", quoted);
        }
        return Refuse(err, L"loggerdump: 不明なオプションです: %ls\n", quoted);
    }
  }
  if (optind < argc) {
    WidenArgument(argv[optind], quoted, QuotedSize);
    return Refuse(err, L"loggerdump: 余分な引数です: %ls\n", quoted);
  }
  line->action = help      ? Action::Help
                 : version ? Action::Version
                 : list    ? Action::List
                           : Action::Dump;
  return line->action;
}

bool DirExists(const CommandLine* line, FILE* err) {
  if (line->dir == nullptr) return true;
  wchar_t quoted[QuotedSize];
  WidenArgument(line->dir, quoted, QuotedSize);
  if (!IsFolder(line->dir)) {
    Print(err, L"loggerdump: フォルダがありません: %ls\n", quoted);
    return false;
  }
  // Told now, not after the countdown: a folder whose path leaves no room for
  // the file names (both are as long).
  char path[OutputPathSize];
  if (!JoinPath(line->dir, HexFileName, NativePathStyle, path, sizeof path)) {
    Print(err, L"loggerdump: フォルダのパスが長すぎます: %ls\n", quoted);
    return false;
  }
  return true;
}

void PrintUsage(FILE* out) {
  Print(out,
        L"使い方: loggerdump [オプション]\n"
        L"データロガーのメモリ全体をシリアルポートから読み出し、logger.hex と logger.bin に"
        L"保存します。\n"
        L"オプションがなければ、ポートの一覧を表示して使うポートの番号を尋ねます。\n"
        L"\n"
        L"  -p, --port PORT  使うポート: 一覧の番号 (Windows では COM の番号、COM3 も可)、\n"
        L"                   Linux ではデバイスのパスも可。一覧と質問を省きます\n"
        L"  -d, --dir DIR    logger.hex と logger.bin を書くフォルダ (既にあるもの。"
        L"既定はカレントフォルダ)\n"
        L"  -r, --resume     中断した読み出しの続きを、フォルダにある logger.hex と\n"
        L"                   logger.bin に読み出します。保存済みのブロックを検査し、\n"
        L"                   ブロック 00000 と最後のブロックをロガーから読み直して\n"
        L"                   比べます。違えば最初から読み出します\n"
        L"  -l, --list       ポートの一覧を表示して終了します\n"
        L"  -h, --help       この説明を表示して終了します\n"
        L"  -V, --version    バージョンを表示して終了します\n"
        L"\n"
        L"終了コード:\n"
        L"    0  正常終了\n"
        L"    1  ポートを開けない (COM Open Error)\n"
        L"    2  logger.hex を作成・書き込みできない、または --dir のフォルダがない\n"
        L"    3  logger.bin を作成・書き込みできない\n"
        L"    4  通信が途絶えた\n"
        L"    5  4 回読んでも不正なままのブロックがあった、終了コマンドの後にレコードが届いた、\n"
        L"       または 8 ブロック続けて不正で中断した\n"
        L"   64  コマンドラインの誤り\n"
        L"  130  中断 (Ctrl-C など)\n");
}

void PrintVersion(FILE* out) {
  wchar_t name[QuotedSize];
  wchar_t version[QuotedSize];
  Widen(ProgramName, name, QuotedSize);
  Widen(ProgramVersion, version, QuotedSize);
  Print(out, L"%ls %ls\n", name, version);
}
