#include "dump.h"

#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "hexfile.h"
#include "logger/logger.h"
#include "platform/console.h"
#include "messages.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "portchoice.h"
#include "progress.h"
#include "resume.h"

namespace {

// Blocks that stayed bad named in the warning; the rest are counted.
constexpr int BadBlocksNamed = 8;
// Room for the named blocks: five digits and a separator each, and the count.
constexpr size_t BadBlockListSize = BadBlocksNamed * 8 + 32;
// The output files' buffers hold a whole block, however long its lines.
constexpr size_t FileBufferBytes = 32768;
static_assert(FileBufferBytes >= MaxBlockLines * HexEntryRoom, "a block fits the buffer");
// How long an output file that another program holds is tried again, and how often.
constexpr long long FileInUseRetryMs = 2000;
constexpr unsigned FileInUseRetryPauseMs = 100;
// Bad blocks a run that starts afresh holds back before its first sound one:
// the logger layer stops the run at the BadBlocksInARowLimit-th.
constexpr int HeldBlocksRoom = BadBlocksInARowLimit;

// Why a run stopped before its end: the logger layer's reason (in
// DumpState::loggerStop), or the files' and the resume's.
enum class RunStop {
  None,
  ByLogger,
  HexFileFailed,  // logger.hex could not be written
  BinFileFailed,  // logger.bin could not be written
  WitnessBad,     // a block that a resume reads to compare stayed bad
};

// Everything the run owns from start to end.
struct DumpState {
  const DumpOptions* options;
  char line[LineBufferSize];
  SerialPortList ports;
  PortChoice port;
  SerialLink* link;  // null until the port is open
  LoggerSession logger;
  LoggerExtraRecords extraRecords;  // what came after the end command
  FILE* hex;
  FILE* bin;
  char hexBuffer[FileBufferBytes];
  char binBuffer[FileBufferBytes];
  StoredDump stored;        // what an earlier run left (--resume)
  LoggerReply storedLines;  // one block's lines of it, as they are read back
  uint32_t witnessBad;      // the block a resume could not read to compare
  long binBytes;
  bool binFailed;    // a write to logger.bin failed, whatever gave the status
  long wholeBlocks;  // blocks in the files from 00000 on, each read to its end
  long badBlocks;    // blocks that stayed bad after every try
  uint32_t badBlockAddresses[BadBlocksNamed];
  bool midLine;  // the console's last line (a progress line) has no line end yet
  RunStop stop;
  // A run that starts afresh empties the files only once it has a sound
  // block to put in their place; the bad blocks before it wait here.
  bool cutPending;
  int heldCount;
  LoggerBlock held[HeldBlocksRoom];
  LoggerStop loggerStop;  // why the logger layer stopped the run, with RunStop::ByLogger
  SummaryFacts* facts;    // what the run did, for the summary
};

}  // namespace

DumpSeam dumpSeam = {SyncFile, CutFile};

namespace {

// Sleeps ms in short steps so that a stop request is seen at once.
bool SleepUnlessStopped(const DumpState* run, unsigned ms) {
  constexpr unsigned slice = 100;
  for (unsigned slept = 0; slept < ms; slept += slice) {
    if (StopRequested(run->options->stop)) return false;
    SleepMs(ms - slept < slice ? ms - slept : slice);
  }
  return !StopRequested(run->options->stop);
}

// Prints a message of the end of a run after a line break of its own.
template <typename... Args>
void PrintOnNewLine(FILE* out, const wchar_t* format, Args... args) {
  Print(out, L"\n");
  Print(out, format, args...);
}

// Ends the progress line, if one is showing, so that a message gets a line of its own.
void StartLine(DumpState* run) {
  if (run->midLine) Print(run->options->out, L"\n");
  run->midLine = false;
}

// Counts a block that stayed bad, naming the first BadBlocksNamed.
void NoteBadBlock(DumpState* run, uint32_t address) {
  if (run->badBlocks < BadBlocksNamed) run->badBlockAddresses[run->badBlocks] = address;
  ++run->badBlocks;
}

// Notes a block whose tries are over, for the summary: read, in how many
// tries, and whether it stayed bad.
void NoteBlockRead(DumpState* run, uint32_t address, const LoggerBlock* block) {
  SummaryFacts* facts = run->facts;
  facts->tries[address / BlockSize] = static_cast<uint8_t>(block->tries);
  facts->bad[address / BlockSize] = !block->sound;
  ++facts->blocksRead;
}

// What the logger layer reports while it reads a block.
void OnLoggerEvent(void* context, LoggerEvent event, uint32_t address, int attempt) {
  DumpState* run = static_cast<DumpState*>(context);
  FILE* out = run->options->out;
  StartLine(run);
  switch (event) {
    case LoggerEvent::Reread:
      Print(out, Msg::Reread, static_cast<unsigned>(address), attempt);
      break;
    case LoggerEvent::ReadError:
      Print(out, Msg::ReadError);
      break;
    case LoggerEvent::Waiting:
      Print(out, Msg::WaitingForLogger);
      break;
    case LoggerEvent::ForeignData:
      Print(out, Msg::ForeignData);
      break;
    case LoggerEvent::NoAddresses:
      Print(out, Msg::NoAddresses);
      break;
  }
}

// Stores a record line as an entry of logger.hex.
bool StoreHexEntry(DumpState* run, const char* line, size_t length) {
  char entry[HexEntryRoom];
  const size_t n = MakeHexEntry(line, length, entry);
  return std::fwrite(entry, 1, n, run->hex) == n;
}

// Stores a block as the logger layer hands it over: every kept record line
// into logger.hex, the block's image bytes into logger.bin. Both files are
// handed to the system before the next command, so that a process killed
// outright loses at most the block in flight. logger.bin gets the block even
// when logger.hex failed: the image is what the user needs most.
bool StoreBlock(DumpState* run, const LoggerBlock* block) {
  const LoggerReply* reply = &block->reply;
  bool hexStored = true;
  for (int i = 0; i < reply->count && hexStored; ++i) {
    hexStored = StoreHexEntry(run, reply->line[i], static_cast<size_t>(reply->length[i]));
  }
  hexStored = hexStored && std::fflush(run->hex) == 0;
  const bool binStored =
      std::fwrite(block->image, 1, block->imageBytes, run->bin) == block->imageBytes &&
      std::fflush(run->bin) == 0;
  if (binStored) run->binBytes += static_cast<long>(block->imageBytes);
  run->binFailed = run->binFailed || !binStored;
  // The first failure decides the status.
  if (!hexStored) run->stop = RunStop::HexFileFailed;
  if (hexStored && !binStored) run->stop = RunStop::BinFileFailed;
  return hexStored && binStored;
}

// Cuts logger.hex to hexBytes and logger.bin to binBytes; false (run->stop
// set) when a file refused.
bool CutOutputs(DumpState* run, long long hexBytes, long binBytes) {
  unsigned long code = 0;
  if (!dumpSeam.cutFile(run->hex, hexBytes, &code)) {
    run->stop = RunStop::HexFileFailed;
    return false;
  }
  if (!dumpSeam.cutFile(run->bin, binBytes, &code)) {
    run->stop = RunStop::BinFileFailed;
    return false;
  }
  run->binBytes = binBytes;
  return true;
}

// Empties both files for a run that starts afresh, then stores the bad
// blocks held back so far. False when the run must stop (run->stop says why).
bool CutAndStoreHeld(DumpState* run) {
  run->cutPending = false;
  if (!CutOutputs(run, 0, 0)) return false;
  for (int i = 0; i < run->heldCount; ++i) {
    if (!StoreBlock(run, &run->held[i])) return false;
    NoteBadBlock(run, static_cast<uint32_t>(i) * BlockSize);
    ++run->wholeBlocks;
  }
  run->heldCount = 0;
  return true;
}

// For a run that starts afresh and has no sound block yet: holds back a bad
// block the run goes on after. False when there is no room (never with the
// logger layer's limit), so that the block is stored at once.
bool HoldBlock(DumpState* run, const LoggerBlock* block) {
  if (run->heldCount == HeldBlocksRoom) return false;
  run->held[run->heldCount++] = *block;
  return true;
}

// The logger layer stopped the run.
void StopByLogger(DumpState* run, LoggerStop stop) {
  run->stop = RunStop::ByLogger;
  run->loggerStop = stop;
}

void DumpBlocks(DumpState* run, uint32_t first) {
  const long long startMs = NowMs();
  for (uint32_t address = first; address < BlockAddressBound; address += BlockSize) {
    const LoggerStop stop = LoggerReadBlock(&run->logger, address);
    const LoggerBlock* block = &run->logger.block;
    run->facts->elapsedMs = NowMs() - startMs;
    // A block cut short by the user or the link was not read to its end.
    if (stop != LoggerStop::UserStopped && stop != LoggerStop::LinkLost) {
      NoteBlockRead(run, address, block);
    }
    // Until a sound block comes, the earlier files stay as they are: a run
    // that stops first leaves them, bad blocks wait to be stored.
    if (run->cutPending && !block->sound) {
      if (stop != LoggerStop::None) {
        StopByLogger(run, stop);
        return;
      }
      if (HoldBlock(run, block)) {
        ProgressReport(run->options->out, first, address, startMs, NowMs());
        run->midLine = true;
        continue;
      }
    }
    if (run->cutPending && !CutAndStoreHeld(run)) return;
    // A run that stops in the middle of a block keeps the lines received so far.
    if (!StoreBlock(run, block)) return;
    if (!block->sound && stop != LoggerStop::UserStopped && stop != LoggerStop::LinkLost) {
      NoteBadBlock(run, address);
    }
    if (stop != LoggerStop::None) {
      StopByLogger(run, stop);
      return;
    }
    ++run->wholeBlocks;
    ProgressReport(run->options->out, first, address, startMs, NowMs());
    run->midLine = true;
  }
}

// The warning about blocks that stayed bad: how many, the first of them by
// name, and what logger.bin holds in their place.
void PrintBadBlocks(const DumpState* run) {
  wchar_t list[BadBlockListSize];
  size_t n = 0;
  const long named = run->badBlocks < BadBlocksNamed ? run->badBlocks : BadBlocksNamed;
  for (long i = 0; i < named; ++i) {
    n += static_cast<size_t>(std::swprintf(list + n, BadBlockListSize - n,
                                           i == 0 ? Msg::BadBlockFirst : Msg::BadBlockNext,
                                           static_cast<unsigned>(run->badBlockAddresses[i])));
  }
  if (run->badBlocks > named) {
    std::swprintf(list + n, BadBlockListSize - n, Msg::BadBlocksMore, run->badBlocks - named);
  }
  PrintOnNewLine(run->options->out, Msg::BadBlocks, run->badBlocks, list,
                 static_cast<unsigned>(ImageFiller));
}

// Closes a file; false when buffered data could not be written.
bool CloseFile(FILE** file) {
  const bool ok = *file == nullptr || std::fclose(*file) == 0;
  *file = nullptr;
  return ok;
}

// Has the system write the file to the disk, then closes it: a run reports
// its status only once its files would survive a power cut. False when
// either step failed, with the system's error code of a failed write to the
// disk in *code (0 for none).
bool SyncAndCloseFile(FILE** file, unsigned long* code) {
  *code = 0;
  const bool synced = *file == nullptr || dumpSeam.syncFile(*file, code);
  return CloseFile(file) && synced;
}

// A file that could not be written at the end: in the system's words where
// it gave a reason.
void PrintCannotWrite(FILE* out, const wchar_t* file, unsigned long code) {
  wchar_t system[SystemTextSize];
  if (SystemErrorText(code, system, SystemTextSize)) {
    PrintOnNewLine(out, Msg::CannotWriteWithSystem, file, system);
  } else {
    PrintOnNewLine(out, Msg::CannotWrite, file);
  }
}

// Whether the open output file is still the file at its name in the run's
// folder (not removed, renamed or replaced meanwhile).
bool OutputAtName(const DumpState* run, FILE* file, const char* name) {
  char path[OutputPathSize];
  return JoinPath(run->options->dir, name, NativePathStyle, path, sizeof path) &&
         FileAtName(file, path);
}

// Whether the logger still holds what the stored blocks say: the witnesses
// are asked for again and compared. 1: the same, 0: not, -1: the run must
// stop (run->stop says why; a witness that stayed bad is no changed memory).
int SameMemory(DumpState* run, const StoredDump* stored) {
  uint32_t witnesses[WitnessLimit];
  const int count = ChooseWitnesses(stored, witnesses);
  for (int i = 0; i < count; ++i) {
    const LoggerStop stop = LoggerReadBlock(&run->logger, witnesses[i]);
    const LoggerBlock* block = &run->logger.block;
    if (stop != LoggerStop::None) {
      StopByLogger(run, stop);
      return -1;
    }
    if (!block->sound) {
      run->stop = RunStop::WitnessBad;
      run->witnessBad = witnesses[i];
      return -1;
    }
    uint8_t kept[BlockSize];
    if (!ReadStoredBlock(run->bin, witnesses[i], kept)) {
      run->stop = RunStop::BinFileFailed;
      return -1;
    }
    if (std::memcmp(block->image, kept, BlockSize) != 0) return 0;
  }
  return 1;
}

// Starts the logger layer's session for this run, with what is known of the
// logger's numbering.
void StartLogger(DumpState* run, LoggerNumbering numbering) {
  LoggerStart(&run->logger, run->link, run->options->stop, OnLoggerEvent, run, numbering);
}

// A run that starts at block 00000: the files are emptied once the first
// sound block is ready to be written (DumpBlocks), so that an earlier dump
// survives a run on the wrong port or one that never got a reply.
bool StartAfresh(DumpState* run) {
  run->wholeBlocks = 0;
  run->cutPending = true;
  return true;
}

// Where this run starts, once the port is open. Without --resume, at block
// 00000 (StartAfresh). With it, after the blocks an earlier run stored, when
// their places can be proven and the logger still holds them: the files are
// cut after them (and left alone when they hold exactly the whole dump
// already). The files are cut only once every witness was read soundly.
// False when the run must stop.
bool PrepareFiles(DumpState* run, uint32_t* first) {
  FILE* out = run->options->out;
  StoredDump* stored = &run->stored;
  *first = 0;
  if (!run->options->resume) return StartAfresh(run);
  ReadStoredDump(run->hex, run->bin, &run->storedLines, stored);
  run->wholeBlocks = static_cast<long>(stored->blocks);
  if (stored->blocks == 0 || !StoredPlacesProvable(stored)) {
    Print(out, stored->blocks == 0 ? Msg::NothingToResume : Msg::ResumeUnprovable);
    return StartAfresh(run);
  }
  StartLogger(run, stored->numbering);
  const int same = SameMemory(run, stored);
  if (same < 0) return false;
  if (same == 0) {
    Print(out, Msg::MemoryChanged);
    StartLogger(run, LoggerNumbering::Unknown);
    return StartAfresh(run);
  }
  *first = stored->blocks * BlockSize;
  run->facts->resumed = true;
  run->facts->firstBlock = *first;
  if (stored->blocks < BlockCount) {
    Print(out, Msg::Resuming, static_cast<unsigned>(*first));
  } else if (stored->moreAfter) {
    Print(out, Msg::SurplusCut);  // complete means exactly the dump, nothing after it
  } else {
    Print(out, Msg::AlreadyComplete);
    run->binBytes = static_cast<long>(ImageSize);
    return true;
  }
  return CutOutputs(run, stored->hexBytes, static_cast<long>(*first));
}

// Says why the logger layer stopped the run and gives the status that says so.
int StatusOfLoggerStop(FILE* out, LoggerStop stop) {
  switch (stop) {
    case LoggerStop::UserStopped:
      PrintOnNewLine(out, Msg::Interrupted);
      break;
    case LoggerStop::LinkLost:
      PrintOnNewLine(out, Msg::LinkLost);
      return ExitLinkLost;
    case LoggerStop::RepliesNeverFit:
      PrintOnNewLine(out, Msg::RepliesNeverFit, BadBlocksInARowLimit);
      return ExitSuspectImage;
    case LoggerStop::NoSoundReplyInTime:
      PrintOnNewLine(out, Msg::NoSoundReplyInTime, static_cast<int>(NoSoundReplyLimitMs / 1000));
      return ExitSuspectImage;
    case LoggerStop::None:
      break;
  }
  return ExitComplete;
}

// Says why the run stopped before its end and gives the status that says so
// (ExitComplete for none, and for an interruption, which is no failure).
int StatusOfStop(const DumpState* run) {
  FILE* out = run->options->out;
  switch (run->stop) {
    case RunStop::ByLogger:
      return StatusOfLoggerStop(out, run->loggerStop);
    case RunStop::WitnessBad:
      PrintOnNewLine(out, Msg::WitnessBad, static_cast<unsigned>(run->witnessBad), BlockTries);
      return ExitSuspectImage;
    case RunStop::HexFileFailed:
      PrintOnNewLine(out, Msg::CannotWrite, HexFileText.text);
      return ExitHexFile;
    case RunStop::BinFileFailed:
      PrintOnNewLine(out, Msg::CannotWrite, BinFileText.text);
      return ExitBinFile;
    case RunStop::None:
      break;
  }
  return ExitComplete;
}

// The warnings of a run that read every block: a complete run with any of
// them is not a success.
int VerdictOfCompleteRun(const DumpState* run) {
  FILE* out = run->options->out;
  const bool shortImage = run->binBytes != static_cast<long>(ImageSize);
  if (shortImage) {
    PrintOnNewLine(out, Msg::ShortImage, run->binBytes, static_cast<long>(ImageSize));
  }
  const LoggerExtraRecords extra = run->extraRecords;
  if (extra == LoggerExtraRecords::Harmless) PrintOnNewLine(out, Msg::ExtraRecordsNote);
  if (extra == LoggerExtraRecords::Suspect) PrintOnNewLine(out, Msg::ExtraReplies);
  const bool suspect = run->badBlocks > 0 || shortImage || extra == LoggerExtraRecords::Suspect;
  return suspect ? ExitSuspectImage : ExitComplete;
}

// Whether the logger layer stopped the run for this reason.
bool Stopped(const DumpState* run, LoggerStop stop) {
  return run->stop == RunStop::ByLogger && run->loggerStop == stop;
}

// A port left with the run's settings is told, for the next program that
// uses it; the status stays what the run earned.
void PrintPortNotRestored(FILE* out, unsigned long code) {
  wchar_t system[SystemTextSize];
  if (SystemErrorText(code, system, SystemTextSize)) {
    Print(out, Msg::PortNotRestoredWithSystem, system);
  } else {
    Print(out, Msg::PortNotRestored);
  }
}

// Ends the run after the files were created: end command, link, files, verdict.
int FinishRun(DumpState* run) {
  FILE* out = run->options->out;
  // The end command takes the logger out of its dump mode, however the run
  // ends; after the link was lost it is tried once more without complaint.
  // After a complete run the line must then stay quiet.
  const LoggerEnding ending = LoggerEnd(&run->logger, run->stop == RunStop::None);
  if (!ending.sent && !Stopped(run, LoggerStop::LinkLost)) {
    StartLine(run);  // on a line of its own, not glued to the progress line
    Print(out, Msg::WriteError);
  }
  run->extraRecords = ending.extraRecords;
  run->facts->numbering = run->logger.numbering;
  run->facts->bytesReceived = SerialBytesReceived(run->link);
  unsigned long restoreCode = 0;
  if (!SerialClose(run->link, &restoreCode)) {
    StartLine(run);
    PrintPortNotRestored(out, restoreCode);
  }
  run->link = nullptr;
  // Asked while the files are open: what the run wrote is there only if the
  // names still lead to the files it wrote.
  const bool hexAtName = OutputAtName(run, run->hex, HexFileName);
  const bool binAtName = OutputAtName(run, run->bin, BinFileName);
  unsigned long binCode = 0;
  unsigned long hexCode = 0;
  const bool binClosed = SyncAndCloseFile(&run->bin, &binCode);
  const bool hexClosed = SyncAndCloseFile(&run->hex, &hexCode);

  // The first failure decides the status; later ones are still reported. An
  // interruption is no failure: data lost on closing outranks it.
  int status = StatusOfStop(run);
  if (!hexAtName) {
    PrintOnNewLine(out, Msg::FileLost, HexFileText.text);
    if (status == ExitComplete) status = ExitHexFile;
  }
  if (!binAtName) {
    PrintOnNewLine(out, Msg::FileLost, BinFileText.text);
    if (status == ExitComplete) status = ExitBinFile;
  }
  // Data that did not reach the disk is reported whatever else ended the run.
  if ((!binClosed || run->binFailed) && run->stop != RunStop::BinFileFailed) {
    PrintCannotWrite(out, BinFileText.text, binCode);
    if (status == ExitComplete) status = ExitBinFile;
  }
  if (!hexClosed && run->stop != RunStop::HexFileFailed) {
    PrintCannotWrite(out, HexFileText.text, hexCode);
    if (status == ExitComplete) status = ExitHexFile;
  }
  // Blocks that stayed bad are reported on every way out.
  if (run->badBlocks > 0) PrintBadBlocks(run);
  // A run cut short by the user or the link can go on later from where it stopped.
  const bool userStopped = Stopped(run, LoggerStop::UserStopped);
  const bool resumable = status == ExitLinkLost || (status == ExitComplete && userStopped);
  if (resumable && run->wholeBlocks > 0 && hexAtName && binAtName) {
    Print(out, Msg::ResumeHint);
  }
  if (status != ExitComplete) return status;
  if (userStopped) return ExitInterrupted;
  return VerdictOfCompleteRun(run);
}

// The line after an output file's "cannot open" message: why.
void PrintFileRefusal(FILE* out, const FileOpenFailure* failure) {
  switch (failure->refusal) {
    case FileRefusal::Link:
      Print(out, Msg::RefusedLink);
      break;
    case FileRefusal::HardLink:
      Print(out, Msg::RefusedHardLink);
      break;
    case FileRefusal::Directory:
      Print(out, Msg::RefusedFolder);
      break;
    case FileRefusal::NotRegular:
      Print(out, Msg::RefusedNotRegular);
      break;
    case FileRefusal::InUse:
      // What may hold a file differs: sync clients and scanners on Windows.
      Print(out, NativeSystem == SystemKind::Windows ? Msg::RefusedInUse : Msg::RefusedInUseLinux);
      break;
    case FileRefusal::SystemError: {
      wchar_t system[SystemTextSize];
      SystemErrorText(failure->code, system, SystemTextSize);
      Print(out, Msg::RefusedSystem, system);
      break;
    }
    case FileRefusal::NameTooLong:
      Print(out, Msg::RefusedNameTooLong);
      break;
    case FileRefusal::None:
      break;
  }
}

// Opens an output file. One that another program holds is tried again for
// a moment: a sync client, an indexer or a virus scanner that looks at the
// file a run just wrote lets go of it soon.
FILE* OpenOutput(const DumpState* run, const char* name, FileOpenFailure* failure) {
  char path[OutputPathSize];
  if (!JoinPath(run->options->dir, name, NativePathStyle, path, sizeof path)) {
    *failure = {FileRefusal::NameTooLong, 0};
    return nullptr;
  }
  const long long until = NowMs() + FileInUseRetryMs;
  for (;;) {
    FILE* file = OpenExclusive(path, failure);
    if (file != nullptr || failure->refusal != FileRefusal::InUse || NowMs() >= until ||
        !SleepUnlessStopped(run, FileInUseRetryPauseMs)) {
      return file;
    }
  }
}

// The name of a setting the port did not take, as the console shows it.
const wchar_t* SettingText(SerialSetting setting) {
  switch (setting) {
    case SerialSetting::BaudRate:
      return Msg::SettingBaudRate;
    case SerialSetting::DataBits:
      return Msg::SettingDataBits;
    case SerialSetting::Parity:
      return Msg::SettingParity;
    case SerialSetting::StopBits:
      return Msg::SettingStopBits;
    case SerialSetting::FlowControl:
      return Msg::SettingFlowControl;
    case SerialSetting::ReadTimeout:
      return Msg::SettingReadTimeout;
    case SerialSetting::None:
      break;
  }
  return L"";
}

// Opens the chosen port: ExitComplete when it is open. When it cannot be
// opened, prints "COM Open Error" and a line saying why, in the system's
// words too, and what to do: ExitPortOpen. A stop that came while the port
// opened ends the run before anything is sent, the port (if it opened) with
// its earlier settings back: ExitInterrupted. A port whose earlier settings
// could not be put back is told either way.
int OpenPort(DumpState* run) {
  SerialOpenFailure failure = {SerialOpenFault::NoSuchPort, 0};
  FILE* out = run->options->out;
  if (run->port.exists) {
    // An open that blocks (some Bluetooth ports) must not hold a stop: it is
    // cancelled (Windows), and nothing has been sent yet.
    MarkPortOpening(out, Msg::Interrupted, ExitInterrupted);
    run->link = SerialOpen(run->port.device, &failure);
    MarkPortOpened();
    if (StopRequested(run->options->stop)) {
      unsigned long code = failure.restoreCode;
      const bool restored =
          run->link != nullptr ? SerialClose(run->link, &code) : !failure.notRestored;
      run->link = nullptr;
      if (!restored) PrintPortNotRestored(out, code);
      PrintOnNewLine(out, Msg::Interrupted);
      return ExitInterrupted;
    }
  }
  if (run->link != nullptr) return ExitComplete;
  if (run->port.byUsb && !run->port.exists) {
    Print(out, Msg::ComOpenError);
    PrintUsbMatches(out, &run->ports, &run->port);
    return ExitPortOpen;
  }
  const wchar_t* what = Msg::PortNotOpened;
  const wchar_t* advice = L"";
  wchar_t settings[SystemTextSize];
  switch (failure.fault) {
    case SerialOpenFault::NoSuchPort:
      what = Msg::NoSuchPort;
      advice = Msg::NoSuchPortAdvice;
      break;
    case SerialOpenFault::AccessDenied:
      what = Msg::PortAccessDenied;
      advice = SerialAccessByGroup ? Msg::JoinDialoutGroup : L"";
      break;
    case SerialOpenFault::InUse:
      what = Msg::PortInUse;
      advice = Msg::PortInUseAdvice;
      break;
    case SerialOpenFault::Busy:
      what = Msg::PortBusy;
      advice = Msg::PortBusyAdvice;
      break;
    case SerialOpenFault::NotSerialPort:
      what = Msg::NotSerialPort;
      advice = Msg::NotSerialPortAdvice;
      break;
    case SerialOpenFault::SettingsRefused:
      if (failure.refused == SerialSetting::None) {
        std::swprintf(settings, SystemTextSize, Msg::SettingsRefused, SerialBaudRate);
      } else {
        std::swprintf(settings, SystemTextSize, Msg::SettingRefused, SerialBaudRate,
                      SettingText(failure.refused));
      }
      what = settings;
      break;
    case SerialOpenFault::None:
    case SerialOpenFault::Other:
      break;
  }
  wchar_t system[SystemTextSize];
  Print(out, Msg::ComOpenError);
  if (SystemErrorText(failure.code, system, SystemTextSize)) {
    Print(out, Msg::PortReasonWithSystem, what, system, advice);
  } else {
    Print(out, Msg::PortReason, what, advice);
  }
  if (failure.notRestored) PrintPortNotRestored(out, failure.restoreCode);
  return ExitPortOpen;
}

// The port list, and unless the port was given beforehand the question and
// the user's line. False when the run ends here (status in *status).
bool AskForPort(DumpState* run, int* status) {
  const DumpOptions* options = run->options;
  FILE* out = options->out;
  // A port given beforehand needs the listing (its number names a listed
  // port) but neither the list on the console nor the question.
  const bool showList = options->port == nullptr || options->listOnly;
  if (showList) Print(out, Msg::PortListHeading);
  SerialListPorts(&run->ports);
  for (int i = 0; showList && i < run->ports.count; ++i) {
    Print(out, Msg::PortListLine, run->ports.ports[i].name, run->ports.ports[i].desc);
  }
  if (showList && options->verbose) PrintPortDetails(out, &run->ports);
  *status = ExitComplete;
  if (options->listOnly) return false;
  if (options->port != nullptr) return true;
  Print(out, Msg::AskForPort);
  // A closed input counts as a line without digits. Ctrl-C at a console ends
  // the read too, and its stop request may still be on its way. A stop request
  // that comes before the read has begun must not leave the read waiting for a
  // line the user will never type.
  if (!WaitForInput(options->in, options->stop)) {
    run->line[0] = '\0';
  } else if (!ReadTypedLine(options->in, run->line, sizeof run->line)) {
    WaitForPendingStop(options->in, options->stop);
    run->line[0] = '\0';
  }
  return true;
}

// The port chosen, and the countdown to connect the logger. ExitComplete to
// go on, else the status the run ends with: the user stopped it, or the port
// is the user's own terminal, refused before anything is opened or changed.
int CountDown(DumpState* run) {
  FILE* out = run->options->out;
  if (StopRequested(run->options->stop)) {
    PrintOnNewLine(out, Msg::Interrupted);
    return ExitInterrupted;
  }
  const char* given = run->options->port;
  if (given != nullptr && IsUsbName(given)) {
    ChooseUsbPort(given, &run->ports, &run->port);
  } else {
    ChoosePort(given != nullptr ? given : run->line, &run->ports, &run->port);
  }
  std::memcpy(run->facts->port, run->port.device, sizeof run->facts->port);
  Print(out, Msg::Connecting, run->port.shown);
  // The user's own terminal and the system's consoles are no ports.
  const bool users =
      run->port.exists && SerialIsUsersTerminal(run->port.device, run->options->in, out);
  if (users || (run->port.exists && SerialIsConsole(run->port.device))) {
    Print(out, Msg::ComOpenError);
    Print(out, Msg::PortReason, users ? Msg::UsersTerminal : Msg::SystemConsole,
          Msg::NotSerialPortAdvice);
    return ExitPortOpen;
  }
  for (int n = CountdownSteps; n >= 1; --n) {
    Print(out, Msg::Countdown, n);
    if (!SleepUnlessStopped(run, run->options->countdownStepMs)) {
      PrintOnNewLine(out, Msg::Interrupted);
      return ExitInterrupted;
    }
  }
  Print(out, Msg::CommunicationStarts);
  return ExitComplete;
}

// Opens and locks both files (a missing one is created empty, an existing one
// left as it is), then the port. ExitComplete, or the status of the failure.
int OpenFilesAndPort(DumpState* run) {
  FILE* out = run->options->out;
  // From here a closing console waits for the files to be closed; a stop that
  // came before this mark is seen here and creates nothing.
  MarkFilesInUse();
  if (StopRequested(run->options->stop)) {
    Print(out, Msg::Interrupted);
    return ExitInterrupted;
  }
  FileOpenFailure failure;
  run->hex = OpenOutput(run, HexFileName, &failure);
  // A stop while a held file is tried again ends the run as any stop does.
  if (run->hex == nullptr && failure.refusal == FileRefusal::InUse &&
      StopRequested(run->options->stop)) {
    Print(out, Msg::Interrupted);
    return ExitInterrupted;
  }
  if (run->hex == nullptr) {
    Print(out, Msg::CannotOpen, HexFileText.text);
    PrintFileRefusal(out, &failure);
    return ExitHexFile;
  }
  run->bin = OpenOutput(run, BinFileName, &failure);
  if (run->bin == nullptr && failure.refusal == FileRefusal::InUse &&
      StopRequested(run->options->stop)) {
    CloseFile(&run->hex);
    Print(out, Msg::Interrupted);
    return ExitInterrupted;
  }
  if (run->bin == nullptr) {
    CloseFile(&run->hex);
    Print(out, Msg::CannotOpen, BinFileText.text);
    PrintFileRefusal(out, &failure);
    return ExitBinFile;
  }
  // Buffers that hold a whole block's records: each block then reaches the
  // system in one write per file. Nothing has been written yet, so the
  // buffers can still be set; a stream that refuses keeps its own buffering,
  // which works as well.
  std::setvbuf(run->hex, run->hexBuffer, _IOFBF, sizeof run->hexBuffer);
  std::setvbuf(run->bin, run->binBuffer, _IOFBF, sizeof run->binBuffer);
  const int opened = OpenPort(run);
  if (opened != ExitComplete) {
    CloseFile(&run->bin);
    CloseFile(&run->hex);
  }
  return opened;
}

int RunSteps(DumpState* run) {
  int status = ExitComplete;
  if (!AskForPort(run, &status)) return status;
  status = CountDown(run);
  if (status != ExitComplete) return status;
  status = OpenFilesAndPort(run);
  if (status != ExitComplete) return status;
  StartLogger(run, LoggerNumbering::Unknown);
  uint32_t first = 0;
  if (PrepareFiles(run, &first)) DumpBlocks(run, first);
  return FinishRun(run);
}

}  // namespace

int RunDump(const DumpOptions* options) {
  DumpState run{};
  SummaryFacts unwanted;
  run.options = options;
  run.facts = options->facts != nullptr ? options->facts : &unwanted;
  *run.facts = SummaryFacts{};
  return RunSteps(&run);
}
