#include "dump.h"

#include <cstring>

#include "console.h"
#include "platform.h"
#include "progress.h"

namespace {

enum class Stop { None, Interrupted, LinkLost, HexWrite, BinWrite };

// Everything the run owns from start to end.
struct DumpRun {
  const DumpOptions* options;
  char line[LineBufferSize];
  uint8_t decode[DecodeBufferSize];
  char command[CommandBufferSize];
  PortList ports;
  DevicePath path;
  SerialLink link;
  FILE* hex;
  FILE* bin;
  long long failingSinceMs;  // first of the failures since the link last worked, or -1
  uint32_t blockAddress;
  long binBytes;
  long suspectRecords;
  uint32_t firstSuspectBlock;
  Stop stop;
};

bool StopRequested(const DumpRun* run) {
  return run->options->stop != nullptr && *run->options->stop != 0;
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

// A failed read or write: pause, clear the port's error state, and tell whether
// to go on. Gives up once nothing but failures has come for LinkLostAfterMs.
bool RetryAfterFailure(DumpRun* run) {
  const long long now = NowMs();
  if (run->failingSinceMs < 0) run->failingSinceMs = now;
  if (now - run->failingSinceMs >= LinkLostAfterMs) {
    run->stop = Stop::LinkLost;
    return false;
  }
  SleepMs(FailurePauseMs);
  SerialClearError(&run->link);
  return true;
}

// Writes the command until all of it has gone through. After a partial write
// only the rest is sent: the logger must receive the command once and whole.
bool WriteCommand(DumpRun* run) {
  const size_t length = std::strlen(run->command);
  size_t sent = 0;
  for (;;) {
    if (StopRequested(run)) {
      run->stop = Stop::Interrupted;
      return false;
    }
    const size_t written = SerialWrite(&run->link, run->command + sent);
    sent += written;
    if (written > 0) run->failingSinceMs = -1;  // the port took bytes: it works
    if (sent == length) return true;
    if (!RetryAfterFailure(run)) return false;
  }
}

// Stores a record line in logger.hex as a Windows text stream would: each LF
// of the line written as CR LF, then CR LF written as CR CR LF.
bool StoreHexEntry(DumpRun* run, size_t length) {
  char entry[2 * LineBufferSize + 3];
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    if (run->line[i] == '\n') entry[n++] = '\r';
    entry[n++] = run->line[i];
  }
  std::memcpy(entry + n, "\r\r\n", 3);
  n += 3;
  return std::fwrite(entry, 1, n, run->hex) == n;
}

// Takes one record line: logger.hex, the decoder, logger.bin, the record check.
bool StoreRecord(DumpRun* run, size_t length) {
  if (!StoreHexEntry(run, length)) {
    run->stop = Stop::HexWrite;
    return false;
  }
  if (!RecordIsSound(run->line)) {
    if (run->suspectRecords++ == 0) run->firstSuspectBlock = run->blockAddress;
  }
  if (DecodeRecord(run->line, run->decode) >= 1) {
    // 16 bytes per data record, whatever its own length.
    if (std::fwrite(run->decode, 1, RecordDataBytes, run->bin) != RecordDataBytes) {
      run->stop = Stop::BinWrite;
      return false;
    }
    run->binBytes += RecordDataBytes;
  }
  return true;
}

// Reads record lines until the block's count has arrived.
bool ReadBlock(DumpRun* run, int wanted) {
  int accepted = 0;
  while (accepted < wanted) {
    if (StopRequested(run)) {
      run->stop = Stop::Interrupted;
      return false;
    }
    const int n = ReadLine(&run->link, run->line);
    if (n == ReadLineFailed) {
      Print(run->options->out, L"read error");
      if (!RetryAfterFailure(run)) return false;
      continue;
    }
    run->failingSinceMs = -1;  // the port answered, if only with a time-out
    if (n == ReadLineTimeout || run->line[0] != ':') continue;
    if (!StoreRecord(run, static_cast<size_t>(n))) return false;
    ++accepted;
  }
  return true;
}

void DumpBlocks(DumpRun* run) {
  const long long startMs = NowMs();
  for (run->blockAddress = 0; run->blockAddress < BlockAddressBound;
       run->blockAddress += BlockSize) {
    SerialClearError(&run->link);
    std::snprintf(run->command, sizeof run->command, "dihex %5.5x\r\n",
                  static_cast<unsigned>(run->blockAddress));
    if (!WriteCommand(run)) return;
    const int wanted = run->blockAddress < HighBlocksStart ? RecordLinesLow : RecordLinesHigh;
    if (!ReadBlock(run, wanted)) return;
    ProgressReport(run->options->out, run->blockAddress, startMs, NowMs());
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
  std::strcpy(run->command, "q\n\r");
  if (SerialWrite(&run->link, run->command) != std::strlen(run->command) &&
      run->stop != Stop::LinkLost) {
    Print(out, L"write error\n");
  }
  SerialClose(&run->link);
  const bool binClosed = CloseFile(&run->bin);
  const bool hexClosed = CloseFile(&run->hex);

  int status = ExitComplete;
  switch (run->stop) {
    case Stop::Interrupted:
      Print(out, L"\n中断しました。\n");
      status = ExitInterrupted;
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
    status = ExitBinFile;
  }
  if (!hexClosed && run->stop != Stop::HexWrite) {
    Print(out, L"\nlogger.hex に書き込めません。\n");
    status = ExitHexFile;
  }
  // Records that failed their check are reported on every way out; a run
  // that completed with them, or with a short image, is not a success.
  const bool completed = status == ExitComplete;
  if (run->suspectRecords > 0) {
    Print(out, L"\n警告: 不正なレコードが %ld 行ありました (最初のブロック %5.5x)。\n",
          run->suspectRecords, static_cast<unsigned>(run->firstSuspectBlock));
  }
  const bool shortImage = run->binBytes != ImageSize;
  if (completed && shortImage) {
    Print(out, L"\n警告: logger.bin は %ld バイトです (完全なイメージは %ld バイト)。\n",
          run->binBytes, ImageSize);
  }
  if (completed && (run->suspectRecords > 0 || shortImage)) return ExitSuspectImage;
  return status;
}

int Run(DumpRun* run) {
  FILE* out = run->options->out;
  Print(out, L"接続されているCOMポート一覧\n");
  ListPorts(&run->options->roots, &run->ports);
  for (int i = 0; i < run->ports.count; ++i) {
    Print(out, L"%ls(%ls)\n", run->ports.ports[i].name, run->ports.ports[i].desc);
  }
  Print(out, L"使用するCOMポートの番号を入力してください。\n");
  // A closed input counts as a line without digits.
  if (std::fgets(run->line, sizeof run->line, run->options->in) == nullptr) run->line[0] = '\0';
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

  run->hex = OpenExclusive(HexFileName);
  if (run->hex == nullptr) {
    Print(out, L"logger.hex が開けません。\n");
    return ExitHexFile;
  }
  run->bin = OpenExclusive(BinFileName);
  if (run->bin == nullptr) {
    CloseFile(&run->hex);
    Print(out, L"logger.bin が開けません。\n");
    return ExitBinFile;
  }
  if (!SerialOpen(&run->link, &run->path)) {
    Print(out, L"COM Open Error\n");
    CloseFile(&run->bin);
    CloseFile(&run->hex);
    return ExitPortOpen;
  }
  DumpBlocks(run);
  return FinishRun(run);
}

}  // namespace

int RunDump(const DumpOptions* options) {
  // The run is large (the port table); keep it off the stack.
  static DumpRun run;
  std::memset(&run, 0, sizeof run);
  run.options = options;
  run.failingSinceMs = -1;
  run.link.handle = -1;
  return Run(&run);
}
