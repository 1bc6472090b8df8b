// logger.hex and logger.bin through a run: opened without following links
// (one that another program holds is tried again for a moment), an earlier
// dump held until the run's first sound block, each block stored and handed to
// the system before the next command, cut to length, and at the end checked to
// be still at their names, written to the disk and closed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>

#include "dump/hexfile.h"
#include "logger/logger.h"

// Room for the folder of the output files and a file name.
constexpr size_t OutputPathSize = 4096;

constexpr char HexFileName[] = "logger.hex";
constexpr char BinFileName[] = "logger.bin";

// An ASCII name as wide text, made from the same characters at compile time.
template <size_t N>
struct WideName {
  wchar_t text[N];
};
template <size_t N>
constexpr WideName<N> WideOf(const char (&name)[N]) {
  WideName<N> wide{};
  for (size_t i = 0; i < N; ++i) wide.text[i] = static_cast<wchar_t>(name[i]);
  return wide;
}
// The output files' names as the console shows them.
constexpr WideName<sizeof HexFileName> HexFileText = WideOf(HexFileName);
constexpr WideName<sizeof BinFileName> BinFileText = WideOf(BinFileName);

// The files' buffers hold a whole block, however long its lines.
constexpr size_t FileBufferBytes = 32768;
static_assert(FileBufferBytes >= MaxBlockLines * HexEntryRoom, "a block fits the buffer");
// Bad blocks a run that starts afresh holds back before its first sound one:
// the logger layer stops the run at the BadBlocksInARowLimit-th.
constexpr int HeldBlocksRoom = BadBlocksInARowLimit;

// The file that could not be written, cut or read first.
enum class OutputFailure { None, Hex, Bin };

// The two files of a run, owned by the run; only the functions below change
// them. The run reads hex and bin to take up an earlier dump (resume.h).
struct OutputFiles {
  const char* dir;  // their folder; null or "": the current one
  FILE* hex;
  FILE* bin;
  char hexBuffer[FileBufferBytes];
  char binBuffer[FileBufferBytes];
  long binBytes;          // logger.bin's length as the run stored or kept it
  OutputFailure failure;  // the first failure of a write or a cut
  bool binFailed;         // a write to logger.bin failed, whichever file failed first
  // A run that starts afresh empties the files only once it has a sound
  // block to put in their place; the bad blocks before it wait here.
  bool holding;
  int heldCount;
  LoggerBlock held[HeldBlocksRoom];
};

// Opens and locks logger.hex, then logger.bin, in dir: a missing file is
// created empty, an existing one left as it is; a link, a folder or another
// file that is no plain file is refused, and one that another program holds
// is tried again for a moment. ExitComplete, else the console says why (or
// "interrupted", for a stop while a held file was tried again) and the
// status is returned, with both files closed.
int OpenOutputs(OutputFiles* files, const char* dir, const std::atomic<bool>* stop, FILE* out);

// Closes both files of a run that wrote nothing to them.
void CloseOutputs(OutputFiles* files);

// For a run that starts at block 00000: the files are emptied only when the
// first sound block is ready to be stored (KeepBlock), so that an earlier
// dump survives a run on the wrong port or one that never got a reply.
void HoldEarlierDump(OutputFiles* files);

// For a run that goes on with an earlier dump (--resume): cuts logger.hex to
// hexBytes and logger.bin to binBytes, after the blocks that are kept. False
// when a file refused (files->failure says which).
bool CutOutputs(OutputFiles* files, long long hexBytes, long binBytes);

// For a run whose earlier dump is whole already: the files stay as they are.
void KeepWholeDump(OutputFiles* files);

// What became of a block handed to KeepBlock.
enum class BlockKept {
  Stored,  // in both files
  Held,    // held back while the files hold an earlier dump
  Left,    // not stored: the run ends before any sound block, the earlier dump stays
  Failed,  // a file refused it (files->failure says which)
};

// Takes a block as the logger layer hands it over (runGoesOn: more blocks
// follow): every kept record line into logger.hex, the image bytes into
// logger.bin, both handed to the system before the next command, so that a
// process killed outright loses at most the block in flight. logger.bin gets
// the block even when logger.hex failed: the image is what the user needs
// most. While the earlier dump is held, a bad block is held back too; the
// first sound block empties the files and stores the held ones before it:
// *released says how many of them were stored (blocks 00000 on).
BlockKept KeepBlock(OutputFiles* files, const LoggerBlock* block, bool runGoesOn, int* released);

// How the files ended.
struct OutputsEnding {
  bool hexAtName;  // still the file at its name: not removed, renamed or replaced
  bool binAtName;
  bool hexOnDisk;  // every write reached the disk, and the file closed
  bool binOnDisk;
  unsigned long hexCode;  // the system's error code of a failed write to the disk, or 0
  unsigned long binCode;
  long binBytes;  // logger.bin's length as the run stored or kept it
};

// Ends the files: checks, while they are open, that their names still lead
// to them, then has the system write each to the disk and closes it, so that
// a run reports its status only once its files would survive a power cut.
OutputsEnding CloseOutputsToDisk(OutputFiles* files);

// What the run goes through to have its files written to the disk at the end
// (SyncFile in the program) and cut to length (CutFile): a test points them
// elsewhere, to fail that step while every write succeeds, and puts them back
// afterwards.
struct DumpSeam {
  bool (*syncFile)(FILE* stream, unsigned long* code);
  bool (*cutFile)(FILE* stream, long long length, unsigned long* code);  // CutFile
};
extern DumpSeam dumpSeam;
