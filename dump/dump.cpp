// The run, step by step: the dialogue, the files and the port, where the dump
// starts, every block from there to the end, and the end. The steps follow in
// the order they run, after the few helpers they share.
#include "dump.h"

#include <cstring>

#include "dialogue.h"
#include "logger/logger.h"
#include "messages.h"
#include "outputfiles.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "progress.h"
#include "resume.h"
#include "status.h"

namespace {

// Everything the run owns from start to end.
struct DumpState {
  const DumpOptions* options;
  PortDialogue dialogue;
  SerialLink* link;  // null until the port is open
  LoggerSession logger;
  OutputFiles files;
  StoredDump stored;        // what an earlier run left (--resume)
  LoggerReply storedLines;  // one block's lines of it, as they are read back
  RunOutcome outcome;       // what the status is judged by
  bool midLine;             // the console's last line (a progress line) has no line end yet
  SummaryFacts* facts;      // what the run did, for the summary
};

// Ends the progress line, if one is showing, so that a message gets a line of its own.
void StartLine(DumpState* run) {
  if (run->midLine) Print(run->options->out, L"\n");
  run->midLine = false;
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

// Starts the logger layer's session for this run, with what is known of the
// logger's numbering.
void StartLogger(DumpState* run, LoggerNumbering numbering) {
  LoggerStart(&run->logger, run->link, run->options->stop, OnLoggerEvent, run, numbering);
}

// The logger layer stopped the run.
void StopByLogger(DumpState* run, LoggerStop stop) {
  run->outcome.stop = RunStop::ByLogger;
  run->outcome.loggerStop = stop;
}

// The port: the one --port or the user's line names, then the countdown.
int ChoosePortAndCountDown(DumpState* run) {
  const int status = ChooseAnsweredPort(run->options, &run->dialogue);
  if (status != ExitComplete) return status;
  std::memcpy(run->facts->port, run->dialogue.port.device, sizeof run->facts->port);
  return CountDown(run->options, &run->dialogue);
}

// Opens and locks both files, then the port. ExitComplete, or the status of
// the failure.
int OpenFilesAndPort(DumpState* run) {
  const DumpOptions* options = run->options;
  const int opened = OpenOutputs(&run->files, options->dir, options->stop, options->out);
  if (opened != ExitComplete) return opened;
  const int status = OpenPort(options, &run->dialogue, &run->link);
  if (status != ExitComplete) CloseOutputs(&run->files);
  return status;
}

// A run that starts at block 00000, with the earlier dump held until its
// first sound block (HoldEarlierDump).
bool StartAfresh(DumpState* run) {
  run->outcome.wholeBlocks = 0;
  HoldEarlierDump(&run->files);
  return true;
}

// Whether the logger still holds what the stored blocks say: the witnesses
// are asked for again and compared with logger.bin. 1: the same, 0: not, -1:
// the run must stop (run->outcome says why; a witness that stayed bad is no
// changed memory).
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
      run->outcome.stop = RunStop::WitnessBad;
      run->outcome.witnessBad = witnesses[i];
      return -1;
    }
    uint8_t kept[BlockSize];
    if (!ReadStoredBlock(run->files.bin, witnesses[i], kept)) {
      run->outcome.stop = RunStop::BinFileFailed;
      return -1;
    }
    if (std::memcmp(block->image, kept, BlockSize) != 0) return 0;
  }
  return 1;
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
  ReadStoredDump(run->files.hex, run->files.bin, &run->storedLines, stored);
  run->outcome.wholeBlocks = static_cast<long>(stored->blocks);
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
    KeepWholeDump(&run->files);
    return true;
  }
  if (CutOutputs(&run->files, stored->hexBytes, static_cast<long>(*first))) return true;
  run->outcome.stop = StopOfFile(run->files.failure);
  return false;
}

// Notes a block whose tries are over, for the summary: read, in how many
// tries, and whether it stayed bad.
void NoteBlockRead(DumpState* run, uint32_t address, const LoggerBlock* block) {
  SummaryFacts* facts = run->facts;
  facts->tries[address / BlockSize] = static_cast<uint8_t>(block->tries);
  facts->bad[address / BlockSize] = !block->sound;
  ++facts->blocksRead;
}

// Counts the bad blocks held back before the first sound one (blocks 00000
// on) once the files have stored them.
void NoteReleased(DumpState* run, int released) {
  for (int i = 0; i < released; ++i) {
    NoteBadBlock(&run->outcome.bad, static_cast<uint32_t>(i) * BlockSize);
    ++run->outcome.wholeBlocks;
  }
}

// Reads every block from first on into the files, with the progress line
// after each, until the end or a stop.
void DumpBlocks(DumpState* run, uint32_t first) {
  const long long startMs = NowMs();
  for (uint32_t address = first; address < BlockAddressBound; address += BlockSize) {
    const LoggerStop stop = LoggerReadBlock(&run->logger, address);
    const LoggerBlock* block = &run->logger.block;
    run->facts->elapsedMs = NowMs() - startMs;
    // A block cut short by the user or the link was not read to its end; a
    // run that stops in the middle of a block keeps the lines received so far.
    const bool whole = stop != LoggerStop::UserStopped && stop != LoggerStop::LinkLost;
    if (whole) NoteBlockRead(run, address, block);
    int released = 0;
    const BlockKept kept = KeepBlock(&run->files, block, stop == LoggerStop::None, &released);
    NoteReleased(run, released);
    if (kept == BlockKept::Failed) {
      run->outcome.stop = StopOfFile(run->files.failure);
      return;
    }
    if (kept == BlockKept::Stored && !block->sound && whole)
      NoteBadBlock(&run->outcome.bad, address);
    if (stop != LoggerStop::None) {
      StopByLogger(run, stop);
      return;
    }
    if (kept == BlockKept::Stored) ++run->outcome.wholeBlocks;
    ProgressReport(run->options->out, first, address, startMs, NowMs());
    run->midLine = true;
  }
}

// Ends the run after the files were opened: end command, link, files, status.
int FinishRun(DumpState* run) {
  FILE* out = run->options->out;
  // The end command takes the logger out of its dump mode, however the run
  // ends; after the link was lost it is tried once more without complaint.
  // After a complete run the line must then stay quiet.
  const LoggerEnding ending = LoggerEnd(&run->logger, run->outcome.stop == RunStop::None);
  if (!ending.sent && !StoppedBy(&run->outcome, LoggerStop::LinkLost)) {
    StartLine(run);  // on a line of its own, not glued to the progress line
    Print(out, Msg::WriteError);
  }
  run->outcome.extraRecords = ending.extraRecords;
  run->facts->numbering = run->logger.numbering;
  run->facts->bytesReceived = SerialBytesReceived(run->link);
  unsigned long restoreCode = 0;
  if (!SerialClose(run->link, &restoreCode)) {
    StartLine(run);
    PrintPortNotRestored(out, restoreCode);
  }
  run->link = nullptr;
  const OutputsEnding files = CloseOutputsToDisk(&run->files);
  return StatusOfRun(out, &run->outcome, &files);
}

// The steps of a run, each ending it early where it says so.
int RunSteps(DumpState* run) {
  int status = ExitComplete;
  if (!AskForPort(run->options, &run->dialogue, &status)) return status;
  status = ChoosePortAndCountDown(run);
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
