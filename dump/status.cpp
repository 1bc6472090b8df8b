#include "status.h"

#include <cwchar>

#include "exitstatus.h"
#include "messages.h"
#include "platform/platform.h"

namespace {

// Room for the named blocks: five digits and a separator each, and the count.
constexpr size_t BadBlockListSize = BadBlocksNamed * 8 + 32;

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
int StatusOfStop(FILE* out, const RunOutcome* outcome) {
  switch (outcome->stop) {
    case RunStop::ByLogger:
      return StatusOfLoggerStop(out, outcome->loggerStop);
    case RunStop::WitnessBad:
      PrintOnNewLine(out, Msg::WitnessBad, static_cast<unsigned>(outcome->witnessBad), BlockTries);
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

// What the files' end adds to status: a file no longer at its name, data
// that did not reach the disk, whatever else ended the run (a file whose
// failure stopped it was told already). The first failure decides.
int StatusOfFiles(FILE* out, const RunOutcome* outcome, const OutputsEnding* files, int status) {
  if (!files->hexAtName) {
    PrintOnNewLine(out, Msg::FileLost, HexFileText.text);
    if (status == ExitComplete) status = ExitHexFile;
  }
  if (!files->binAtName) {
    PrintOnNewLine(out, Msg::FileLost, BinFileText.text);
    if (status == ExitComplete) status = ExitBinFile;
  }
  if (!files->binOnDisk && outcome->stop != RunStop::BinFileFailed) {
    PrintCannotWrite(out, BinFileText.text, files->binCode);
    if (status == ExitComplete) status = ExitBinFile;
  }
  if (!files->hexOnDisk && outcome->stop != RunStop::HexFileFailed) {
    PrintCannotWrite(out, HexFileText.text, files->hexCode);
    if (status == ExitComplete) status = ExitHexFile;
  }
  return status;
}

// The warning about blocks that stayed bad: how many, the first of them by
// name, and what logger.bin holds in their place.
void PrintBadBlocks(FILE* out, const BadBlocks* bad) {
  wchar_t list[BadBlockListSize];
  size_t n = 0;
  const long named = bad->count < BadBlocksNamed ? bad->count : BadBlocksNamed;
  for (long i = 0; i < named; ++i) {
    n += static_cast<size_t>(std::swprintf(list + n, BadBlockListSize - n,
                                           i == 0 ? Msg::BadBlockFirst : Msg::BadBlockNext,
                                           static_cast<unsigned>(bad->named[i])));
  }
  if (bad->count > named) {
    std::swprintf(list + n, BadBlockListSize - n, Msg::BadBlocksMore, bad->count - named);
  }
  PrintOnNewLine(out, Msg::BadBlocks, bad->count, list, static_cast<unsigned>(ImageFiller));
}

// The warnings of a run that read every block: a complete run with any of
// them is not a success.
int VerdictOfCompleteRun(FILE* out, const RunOutcome* outcome, long binBytes) {
  const bool shortImage = binBytes != static_cast<long>(ImageSize);
  if (shortImage) PrintOnNewLine(out, Msg::ShortImage, binBytes, static_cast<long>(ImageSize));
  const LoggerExtraRecords extra = outcome->extraRecords;
  if (extra == LoggerExtraRecords::Harmless) PrintOnNewLine(out, Msg::ExtraRecordsNote);
  if (extra == LoggerExtraRecords::Suspect) PrintOnNewLine(out, Msg::ExtraReplies);
  const bool suspect = outcome->bad.count > 0 || shortImage || extra == LoggerExtraRecords::Suspect;
  return suspect ? ExitSuspectImage : ExitComplete;
}

}  // namespace

void NoteBadBlock(BadBlocks* bad, uint32_t address) {
  if (bad->count < BadBlocksNamed) bad->named[bad->count] = address;
  ++bad->count;
}

RunStop StopOfFile(OutputFailure failure) {
  return failure == OutputFailure::Hex ? RunStop::HexFileFailed : RunStop::BinFileFailed;
}

bool StoppedBy(const RunOutcome* outcome, LoggerStop stop) {
  return outcome->stop == RunStop::ByLogger && outcome->loggerStop == stop;
}

int StatusOfRun(FILE* out, const RunOutcome* outcome, const OutputsEnding* files) {
  // Data lost on closing outranks an interruption.
  const int status = StatusOfFiles(out, outcome, files, StatusOfStop(out, outcome));
  // Blocks that stayed bad are reported on every way out.
  if (outcome->bad.count > 0) PrintBadBlocks(out, &outcome->bad);
  // A run cut short by the user or the link can go on later from where it stopped.
  const bool userStopped = StoppedBy(outcome, LoggerStop::UserStopped);
  const bool resumable = status == ExitLinkLost || (status == ExitComplete && userStopped);
  if (resumable && outcome->wholeBlocks > 0 && files->hexAtName && files->binAtName) {
    Print(out, Msg::ResumeHint);
  }
  if (status != ExitComplete) return status;
  if (userStopped) return ExitInterrupted;
  return VerdictOfCompleteRun(out, outcome, files->binBytes);
}
