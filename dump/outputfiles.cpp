#include "outputfiles.h"

#include "exitstatus.h"
#include "messages.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/platform.h"

namespace {

// How long an output file that another program holds is tried again, and how often.
constexpr long long FileInUseRetryMs = 2000;
constexpr unsigned FileInUseRetryPauseMs = 100;

// Opens an output file. One that another program holds is tried again for
// a moment: a sync client, an indexer or a virus scanner that looks at the
// file a run just wrote lets go of it soon.
FILE* OpenOutput(const char* dir, const char* name, const std::atomic<bool>* stop,
                 FileOpenFailure* failure) {
  char path[OutputPathSize];
  if (!JoinPath(dir, name, NativePathStyle, path, sizeof path)) {
    *failure = {FileRefusal::NameTooLong, 0};
    return nullptr;
  }
  const long long until = NowMs() + FileInUseRetryMs;
  for (;;) {
    FILE* file = OpenExclusive(path, failure);
    if (file != nullptr || failure->refusal != FileRefusal::InUse || NowMs() >= until ||
        !SleepUnlessStopped(stop, FileInUseRetryPauseMs)) {
      return file;
    }
  }
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

// Says why a file did not open and gives the status: failedStatus, or
// ExitInterrupted when a stop ended the tries of a file another program held.
int RefusedOpen(FILE* out, const wchar_t* name, const FileOpenFailure* failure,
                const std::atomic<bool>* stop, int failedStatus) {
  if (failure->refusal == FileRefusal::InUse && StopRequested(stop)) {
    Print(out, Msg::Interrupted);
    return ExitInterrupted;
  }
  Print(out, Msg::CannotOpen, name);
  PrintFileRefusal(out, failure);
  return failedStatus;
}

// Closes a file; false when buffered data could not be written.
bool CloseFile(FILE** file) {
  const bool ok = *file == nullptr || std::fclose(*file) == 0;
  *file = nullptr;
  return ok;
}

// Has the system write the file to the disk, then closes it. False when
// either step failed, with the system's error code of a failed write to the
// disk in *code (0 for none).
bool SyncAndCloseFile(FILE** file, unsigned long* code) {
  *code = 0;
  const bool synced = *file == nullptr || dumpSeam.syncFile(*file, code);
  return CloseFile(file) && synced;
}

// Whether the open output file is still the file at its name in the run's
// folder (not removed, renamed or replaced meanwhile).
bool OutputAtName(const OutputFiles* files, FILE* file, const char* name) {
  char path[OutputPathSize];
  return JoinPath(files->dir, name, NativePathStyle, path, sizeof path) && FileAtName(file, path);
}

// Stores a record line as an entry of logger.hex.
bool StoreHexEntry(OutputFiles* files, const char* line, size_t length) {
  char entry[HexEntryRoom];
  const size_t n = MakeHexEntry(line, length, entry);
  return std::fwrite(entry, 1, n, files->hex) == n;
}

// Stores a block in both files (KeepBlock); false when a file refused.
bool StoreBlock(OutputFiles* files, const LoggerBlock* block) {
  const LoggerReply* reply = &block->reply;
  bool hexStored = true;
  for (int i = 0; i < reply->count && hexStored; ++i) {
    hexStored = StoreHexEntry(files, reply->line[i], static_cast<size_t>(reply->length[i]));
  }
  hexStored = hexStored && std::fflush(files->hex) == 0;
  const bool binStored =
      std::fwrite(block->image, 1, block->imageBytes, files->bin) == block->imageBytes &&
      std::fflush(files->bin) == 0;
  if (binStored) files->binBytes += static_cast<long>(block->imageBytes);
  files->binFailed = files->binFailed || !binStored;
  // The first failure is the one the run reports.
  if (!hexStored) files->failure = OutputFailure::Hex;
  if (hexStored && !binStored) files->failure = OutputFailure::Bin;
  return hexStored && binStored;
}

// Empties both files for a run that starts afresh, then stores the bad
// blocks held back so far, counting them in *released. False when a file
// refused.
bool CutAndStoreHeld(OutputFiles* files, int* released) {
  files->holding = false;
  if (!CutOutputs(files, 0, 0)) return false;
  for (int i = 0; i < files->heldCount; ++i) {
    if (!StoreBlock(files, &files->held[i])) return false;
    ++*released;
  }
  files->heldCount = 0;
  return true;
}

}  // namespace

DumpSeam dumpSeam = {SyncFile, CutFile};

int OpenOutputs(OutputFiles* files, const char* dir, const std::atomic<bool>* stop, FILE* out) {
  files->dir = dir;
  // From here a closing console waits for the files to be closed; a stop that
  // came before this mark is seen here and creates nothing.
  MarkFilesInUse();
  if (StopRequested(stop)) {
    Print(out, Msg::Interrupted);
    return ExitInterrupted;
  }
  FileOpenFailure failure;
  files->hex = OpenOutput(dir, HexFileName, stop, &failure);
  if (files->hex == nullptr) return RefusedOpen(out, HexFileText.text, &failure, stop, ExitHexFile);
  files->bin = OpenOutput(dir, BinFileName, stop, &failure);
  if (files->bin == nullptr) {
    CloseFile(&files->hex);
    return RefusedOpen(out, BinFileText.text, &failure, stop, ExitBinFile);
  }
  // Buffers that hold a whole block's records: each block then reaches the
  // system in one write per file. Nothing has been written yet, so the
  // buffers can still be set; a stream that refuses keeps its own buffering,
  // which works as well.
  std::setvbuf(files->hex, files->hexBuffer, _IOFBF, sizeof files->hexBuffer);
  std::setvbuf(files->bin, files->binBuffer, _IOFBF, sizeof files->binBuffer);
  return ExitComplete;
}

void CloseOutputs(OutputFiles* files) {
  CloseFile(&files->bin);
  CloseFile(&files->hex);
}

void HoldEarlierDump(OutputFiles* files) {
  files->holding = true;
}

bool CutOutputs(OutputFiles* files, long long hexBytes, long binBytes) {
  unsigned long code = 0;
  if (!dumpSeam.cutFile(files->hex, hexBytes, &code)) {
    files->failure = OutputFailure::Hex;
    return false;
  }
  if (!dumpSeam.cutFile(files->bin, binBytes, &code)) {
    files->failure = OutputFailure::Bin;
    return false;
  }
  files->binBytes = binBytes;
  return true;
}

void KeepWholeDump(OutputFiles* files) {
  files->binBytes = static_cast<long>(ImageSize);
}

BlockKept KeepBlock(OutputFiles* files, const LoggerBlock* block, bool runGoesOn, int* released) {
  *released = 0;
  // Until a sound block comes, the earlier files stay as they are: a run
  // that stops first leaves them, bad blocks wait to be stored. A block
  // finds room always with the logger layer's limit; else it is stored.
  if (files->holding && !block->sound) {
    if (!runGoesOn) return BlockKept::Left;
    if (files->heldCount < HeldBlocksRoom) {
      files->held[files->heldCount++] = *block;
      return BlockKept::Held;
    }
  }
  if (files->holding && !CutAndStoreHeld(files, released)) return BlockKept::Failed;
  return StoreBlock(files, block) ? BlockKept::Stored : BlockKept::Failed;
}

OutputsEnding CloseOutputsToDisk(OutputFiles* files) {
  OutputsEnding ending{};
  // Asked while the files are open: what the run wrote is there only if the
  // names still lead to the files it wrote.
  ending.hexAtName = OutputAtName(files, files->hex, HexFileName);
  ending.binAtName = OutputAtName(files, files->bin, BinFileName);
  ending.binOnDisk = SyncAndCloseFile(&files->bin, &ending.binCode) && !files->binFailed;
  ending.hexOnDisk = SyncAndCloseFile(&files->hex, &ending.hexCode);
  ending.binBytes = files->binBytes;
  return ending;
}
