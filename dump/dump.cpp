#include "dump.h"

#include <cstring>

#include "console.h"
#include "logger.h"
#include "paths.h"
#include "platform.h"
#include "progress.h"

namespace {

enum class Stop { None, Interrupted, LinkLost, HexWrite, BinWrite };

// Everything the run owns from start to end.
struct DumpRun {
  const DumpOptions* options;
  char line[LineBufferSize];
  uint8_t decode[DecodeBufferSize];
  PortList ports;
  DevicePath path;
  SerialLink link;
  LoggerSession logger;
  FILE* hex;
  FILE* bin;
  long binBytes;
  long badBlocks;  // blocks that stayed bad after every try
  uint32_t firstBadBlock;
  bool midLine;  // the console's last line (a progress line) has no line end yet
  Stop stop;
};

bool StopRequested(const DumpRun* run) {
  return run->options->stop != nullptr && run->options->stop->load();
}

// Sleeps ms in short steps so that a stop request is seen at once.
bool SleepUnlessStopped(const DumpRun* run, unsigned ms) {
  constexpr unsigned slice = 100;
  for (unsigned slept = 0; slept < ms; slept += slice) {
    if (StopRequested(run)) return false;
    SleepMs(ms - slept < slice ? ms - slept : slice);
  }
  return !StopRequested(run);
}

// Ends the progress line, if one is showing, so that a message gets a line of its own.
void StartLine(DumpRun* run) {
  if (run->midLine) Print(run->options->out, L"\n");
  run->midLine = false;
}

// What the logger layer reports while it reads a block.
void OnLoggerEvent(void* context, LoggerEvent event, uint32_t address, int attempt) {
  DumpRun* run = static_cast<DumpRun*>(context);
  FILE* out = run->options->out;
  StartLine(run);
  switch (event) {
    case LoggerEvent::Reread:
      Print(out, L"ブロック %5.5x を読み直します (%d 回目)。\n", static_cast<unsigned>(address),
            attempt);
      break;
    case LoggerEvent::ReadError:
      Print(out, L"read error\n");
      break;
    case LoggerEvent::Waiting:
      Print(out, L"ロガーの応答を待っています。Ctrl-C で終了します。\n");
      break;
  }
}

// Stores a record line in logger.hex as a Windows text stream would: each LF
// of the line written as CR LF, then CR LF written as CR CR LF.
bool StoreHexEntry(DumpRun* run, const char* line, size_t length) {
  char entry[2 * LineBufferSize + 3];
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    if (line[i] == '\n') entry[n++] = '\r';
    entry[n++] = line[i];
  }
  std::memcpy(entry + n, "\r\r\n", 3);
  n += 3;
  return std::fwrite(entry, 1, n, run->hex) == n;
}

// Takes the kept reply of a block: every record line into logger.hex, 16
// bytes per data record (whatever its own length) into logger.bin.
bool StoreReply(DumpRun* run, const BlockReply* reply) {
  for (int i = 0; i < reply->count; ++i) {
    const char* line = reply->line[i];
    if (!StoreHexEntry(run, line, static_cast<size_t>(reply->length[i]))) {
      run->stop = Stop::HexWrite;
      return false;
    }
    if (DecodeRecord(line, run->decode) >= 1) {
      if (std::fwrite(run->decode, 1, RecordDataBytes, run->bin) != RecordDataBytes) {
        run->stop = Stop::BinWrite;
        return false;
      }
      run->binBytes += RecordDataBytes;
    }
  }
  return true;
}

void DumpBlocks(DumpRun* run) {
  LoggerStart(&run->logger, &run->link, run->options->stop, OnLoggerEvent, run);
  const long long startMs = NowMs();
  for (uint32_t address = 0; address < BlockAddressBound; address += BlockSize) {
    BlockResult result;
    const bool goOn = LoggerReadBlock(&run->logger, address, &result);
    // A run that stops in the middle of a block keeps the lines received so far.
    if (!StoreReply(run, result.reply)) return;
    if (!goOn) {
      run->stop = run->logger.stop == LoggerStop::LinkLost ? Stop::LinkLost : Stop::Interrupted;
      return;
    }
    if (!result.sound && run->badBlocks++ == 0) run->firstBadBlock = address;
    ProgressReport(run->options->out, address, startMs, NowMs());
    run->midLine = true;
  }
}

// Closes a file; false when buffered data could not be written.
bool CloseFile(FILE** file) {
  const bool ok = *file == nullptr || std::fclose(*file) == 0;
  *file = nullptr;
  return ok;
}

// Ends the run after the files were created: end command, link, files, verdict.
int FinishRun(DumpRun* run) {
  FILE* out = run->options->out;
  // The end command takes the logger out of its dump mode, however the run
  // ends; after the link was lost it is tried once more without complaint.
  if (!LoggerEnd(&run->logger) && run->stop != Stop::LinkLost) {
    Print(out, L"write error\n");
  }
  SerialClose(&run->link);
  const bool binClosed = CloseFile(&run->bin);
  const bool hexClosed = CloseFile(&run->hex);

  // The first failure decides the status; later ones are still reported. An
  // interruption is no failure: data lost on closing outranks it.
  int status = ExitComplete;
  bool interrupted = false;
  switch (run->stop) {
    case Stop::Interrupted:
      Print(out, L"\n中断しました。\n");
      interrupted = true;
      break;
    case Stop::LinkLost:
      Print(out, L"\n通信が途絶えたため中断しました。\n");
      status = ExitLinkLost;
      break;
    case Stop::HexWrite:
      Print(out, L"\nlogger.hex に書き込めません。\n");
      status = ExitHexFile;
      break;
    case Stop::BinWrite:
      Print(out, L"\nlogger.bin に書き込めません。\n");
      status = ExitBinFile;
      break;
    case Stop::None:
      break;
  }
  // Data that did not reach the disk is reported whatever else ended the run.
  if (!binClosed && run->stop != Stop::BinWrite) {
    Print(out, L"\nlogger.bin に書き込めません。\n");
    if (status == ExitComplete) status = ExitBinFile;
  }
  if (!hexClosed && run->stop != Stop::HexWrite) {
    Print(out, L"\nlogger.hex に書き込めません。\n");
    if (status == ExitComplete) status = ExitHexFile;
  }
  if (interrupted && status == ExitComplete) status = ExitInterrupted;
  // Blocks that stayed bad are reported on every way out; a run that
  // completed with them, or with a short image, is not a success.
  const bool completed = status == ExitComplete;
  if (run->badBlocks > 0) {
    Print(out, L"\n警告: 読み直しても不正なブロックが %ld 個ありました (最初のブロック %5.5x)。\n",
          run->badBlocks, static_cast<unsigned>(run->firstBadBlock));
  }
  const bool shortImage = run->binBytes != static_cast<long>(ImageSize);
  if (completed && shortImage) {
    Print(out, L"\n警告: logger.bin は %ld バイトです (完全なイメージは %ld バイト)。\n",
          run->binBytes, static_cast<long>(ImageSize));
  }
  if (completed && (run->badBlocks > 0 || shortImage)) return ExitSuspectImage;
  return status;
}

// The line after an output file's "cannot open" message: why.
void PrintFileRefusal(FILE* out, const FileOpenFailure* failure) {
  switch (failure->refusal) {
    case FileRefusal::Link:
      Print(out,
            L"その名前はシンボリックリンクです。リンク先は変更しません。"
            L"リンクを削除するか、別のフォルダで実行してください。\n");
      break;
    case FileRefusal::HardLink:
      Print(out,
            L"そのファイルにはほかの名前 (ハードリンク) もあります。そのファイルは変更しません。"
            L"その名前を削除するか、別のフォルダで実行してください。\n");
      break;
    case FileRefusal::Directory:
      Print(out, L"その名前はフォルダです。\n");
      break;
    case FileRefusal::NotRegular:
      Print(out, L"その名前は通常のファイルではありません (名前付きパイプやデバイスなど)。\n");
      break;
    case FileRefusal::InUse:
      Print(out, L"ほかのプログラム (同じフォルダで実行中の loggerdump など) が使用中です。\n");
      break;
    case FileRefusal::SystemError: {
      wchar_t system[SystemTextSize];
      SystemErrorText(failure->code, system, SystemTextSize);
      Print(out, L"ファイルを作成できません (%ls)。\n", system);
      break;
    }
    case FileRefusal::NameTooLong:
      Print(out, L"フォルダのパスが長すぎます。\n");
      break;
    case FileRefusal::None:
      break;
  }
}

FILE* OpenOutput(const DumpRun* run, const char* name, FileOpenFailure* failure) {
  char path[OutputPathSize];
  if (JoinPath(run->options->dir, name, NativePathStyle, path, sizeof path)) {
    return OpenExclusive(path, failure);
  }
  *failure = {FileRefusal::NameTooLong, 0};
  return nullptr;
}

// Opens the chosen port. When it cannot be opened, prints "COM Open Error"
// and a line saying why, in the system's words too, and what to do.
bool OpenPort(DumpRun* run) {
  SerialOpenFailure failure;
  if (SerialOpen(&run->link, &run->path, &failure)) return true;
  const wchar_t* what = L"ポートを開けませんでした";
  const wchar_t* advice = L"";
  switch (failure.fault) {
    case OpenFault::NoSuchPort:
      what = L"そのポートはありません";
      advice = L"ロガーがつながっているか確かめ、一覧にあるポートの番号を入力してください。";
      break;
    case OpenFault::AccessDenied:
      what = L"ポートを開く権限がありません";
      advice =
          L"ユーザーを dialout グループに加え (例: sudo usermod -aG dialout $USER)、"
          L"ログインし直してください。";
      break;
    case OpenFault::InUse:
      what = L"ポートは他のプログラムが使用中です";
      advice = L"そのプログラムを終了してから、やり直してください。";
      break;
    case OpenFault::NotSerialPort:
      what = L"シリアルポートではありません";
      advice = L"一覧にあるポートの番号を入力してください。";
      break;
    case OpenFault::SettingsRefused:
      what = L"ポートが 19200bps、8N1、フロー制御なしの設定を受け付けませんでした";
      break;
    case OpenFault::None:
    case OpenFault::Other:
      break;
  }
  wchar_t system[SystemTextSize];
  FILE* out = run->options->out;
  Print(out, L"COM Open Error\n");
  if (SystemErrorText(failure.code, system, SystemTextSize)) {
    Print(out, L"%ls (%ls)。%ls\n", what, system, advice);
  } else {
    Print(out, L"%ls。%ls\n", what, advice);
  }
  return false;
}

int Run(DumpRun* run) {
  const DumpOptions* options = run->options;
  FILE* out = options->out;
  // A port given beforehand needs the listing (its number names a listed
  // port) but neither the list on the console nor the question.
  const bool showList = options->port == nullptr || options->listOnly;
  if (showList) Print(out, L"接続されているCOMポート一覧\n");
  ListPorts(options->roots, &run->ports);
  for (int i = 0; showList && i < run->ports.count; ++i) {
    Print(out, L"%ls(%ls)\n", run->ports.ports[i].name, run->ports.ports[i].desc);
  }
  if (options->listOnly) return ExitComplete;
  if (options->port != nullptr) {
    // Taken like a typed line, cut to the line buffer as typing would be.
    std::snprintf(run->line, sizeof run->line, "%s", options->port);
  } else {
    Print(out, L"使用するCOMポートの番号を入力してください。\n");
    // A closed input counts as a line without digits. Ctrl-C at a console ends
    // the read too, and its stop request may still be on its way.
    // A stop request that comes before the read has begun must not leave the
    // read waiting for a line the user will never type.
    if (!WaitForInput(options->in, options->stop)) {
      run->line[0] = '\0';
    } else if (std::fgets(run->line, sizeof run->line, options->in) == nullptr) {
      WaitForPendingStop(options->in, options->stop);
      run->line[0] = '\0';
    }
  }
  if (StopRequested(run)) {
    Print(out, L"\n中断しました。\n");
    return ExitInterrupted;
  }
  ChoosePort(run->line, &run->ports, &run->path);
  Print(out, L"%lsに接続します。\n", run->path.shown);

  for (int n = CountdownSteps; n >= 1; --n) {
    Print(out, L"%i秒以内にPICを接続してください。\r", n);
    if (!SleepUnlessStopped(run, run->options->countdownStepMs)) {
      Print(out, L"\n中断しました。\n");
      return ExitInterrupted;
    }
  }
  Print(out, L"\n通信開始\n");

  // From here a closing console waits for the files to be closed; a stop that
  // came before this mark is seen here and creates nothing.
  MarkFilesInUse();
  if (StopRequested(run)) {
    Print(out, L"中断しました。\n");
    return ExitInterrupted;
  }
  FileOpenFailure failure;
  run->hex = OpenOutput(run, HexFileName, &failure);
  if (run->hex == nullptr) {
    Print(out, L"logger.hex が開けません。\n");
    PrintFileRefusal(out, &failure);
    return ExitHexFile;
  }
  run->bin = OpenOutput(run, BinFileName, &failure);
  if (run->bin == nullptr) {
    CloseFile(&run->hex);
    Print(out, L"logger.bin が開けません。\n");
    PrintFileRefusal(out, &failure);
    return ExitBinFile;
  }
  if (!OpenPort(run)) {
    CloseFile(&run->bin);
    CloseFile(&run->hex);
    return ExitPortOpen;
  }
  DumpBlocks(run);
  return FinishRun(run);
}

}  // namespace

int RunDump(const DumpOptions* options) {
  DumpRun run{};
  run.options = options;
  SerialInit(&run.link);
  return Run(&run);
}
