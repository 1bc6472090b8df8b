// What the run needs from the operating system besides the serial link: the
// console, the output files and the stop request. One file per platform
// implements it (platform_linux.cpp, platform_win.cpp); the clock, sleeping
// and the stop check, which the logger layer and the serial link share, have
// files of their own (timing.h).
#pragma once

#include <atomic>
#include <cstdio>

#include "platform/timing.h"

// Selects the user's locale for all categories, so that console text and the
// decimal separator follow it. Linux: where that locale cannot encode the
// Japanese messages (a C locale), the character encoding alone becomes UTF-8,
// in either language, so that names of ports and folders show too. Windows:
// text written to a file or pipe is in the console's code page where that
// can encode the messages (english: ASCII, any code page), else UTF-8. With
// english the system's own texts (SystemErrorText) are asked for in English.
void SetupConsoleLocale(bool english);

// Writes wide text to the console stream out (standard output in the program).
// Returns false when the text could not be written.
bool ConsoleWrite(FILE* out, const wchar_t* text);

// Makes sure the standard input, output and error are open (on the null
// device where one is missing), so that no file the program opens later can
// take their place and receive console text. Call first, before anything is
// opened. False when that cannot be done.
bool KeepStandardStreamsOpen();

// The system's own text for an error code (errno on Linux, GetLastError on
// Windows: a port's or a file's), without a line end, into text (textSize
// characters, always terminated). False, with text empty, when code is 0 or
// the system has no text for it.
constexpr size_t SystemTextSize = 256;
bool SystemErrorText(unsigned long code, wchar_t* text, size_t textSize);

// The system the program was built for, for the texts that name its programs.
enum class SystemKind { Linux, Windows };
extern const SystemKind NativeSystem;

// Why an output file was not opened.
enum class FileRefusal {
  None,
  Link,         // a symbolic link (Windows: a junction or mount point too) at the name
  HardLink,     // a file that has other names too (hard links)
  Directory,    // a folder at the name
  NotRegular,   // a named pipe, a device, a socket
  InUse,        // held by another run or program
  SystemError,  // another failure; code says which
  NameTooLong,  // the folder and the name do not fit a path
};
struct FileOpenFailure {
  FileRefusal refusal;
  unsigned long code;  // the system's error code (see SystemErrorText), 0 for none
};

// Paths: on Linux the bytes the user gave; on Windows UTF-8, which the
// platform file turns into the wide form the system takes (the extended-length
// form for a path of PlainPathLimit characters or more).

// Opens name for reading and writing as a binary stream, held by this
// process alone, creating it empty when it does not exist. Only a regular file
// (or a new one) with no other name is accepted: a link at the name is not
// followed, and opening a pipe or a device does not block. An existing file is
// left as it is (see CutFile). Null on failure, with *failure filled in;
// nothing at the name is changed then.
FILE* OpenExclusive(const char* name, FileOpenFailure* failure);

// Replaces the file at path with size bytes: they are written to a new file
// beside it, which is then written to the disk and renamed to path in one
// step (over a file already there), so that path never holds part of them.
// False, with the system's error code in *code, when that failed; path is
// then as it was.
bool WriteWholeFile(const char* path, const char* bytes, size_t size, unsigned long* code);

// The size of the regular file at path; -1 where there is none (nothing, a
// folder, a device; Linux: a link, not followed).
long long RegularFileSize(const char* path);

// Cuts the file open as stream to its first length bytes and places the
// stream at its end. False, with the system's error code in *code, on failure.
bool CutFile(FILE* stream, long long length, unsigned long* code);

// Hands what the stream still buffers to the system, then has the system
// write the file to the disk itself, so that a power cut after this loses
// nothing. False, with the system's error code in *code, on failure.
bool SyncFile(FILE* stream, unsigned long* code);

// Whether the file open as stream is still the file at name: not removed,
// renamed or replaced since it was opened. Windows: always, since the files
// are opened without sharing, and a file open so can be neither removed nor
// renamed, nor its folder, until it is closed.
bool FileAtName(FILE* stream, const char* name);

// Makes Ctrl-C and the other ways of ending a console program set *flag
// instead of killing the process, so that the run can close its files.
void InstallStopHandlers(std::atomic<bool>* flag);

// Tells the stop handlers that the run is about to create its files: from now
// on a console being closed (Windows) waits for the run to close them.
void MarkFilesInUse();

// Tells the stop handlers that the run has ended and closed its files: a
// console being closed (Windows) may now let the process end.
void MarkRunEnded();

// Tells the stop handlers that the port is being opened. Nothing has been
// sent yet. Windows: a stop that comes meanwhile (Ctrl-C or the window closed
// while an open blocks, as on some Bluetooth ports, for tens of seconds)
// cancels the open, and the run sees the stop once the open has returned; an
// open that does not return soon after prints stopMessage on out and ends
// the process with stopStatus. Linux: nothing (the open does not block).
void MarkPortOpening(FILE* out, const wchar_t* stopMessage, int stopStatus);

// Tells the stop handlers that the open has returned: a stop now ends the run
// by its flag. Where a stop is already ending the process, never returns.
void MarkPortOpened();

// Windows: turns Quick Edit off on the console for the run, so that a click
// in the window (which starts a selection and holds every console write, and
// with them the dump, until a key is pressed) cannot stop it.
// RestoreConsoleMode puts the console's mode back. Linux: nothing.
void TurnQuickEditOff();
void RestoreConsoleMode();

// Waits until the user's line can be read from in, or a stop is requested
// (false). A stop that comes before the read has begun is then never lost to a
// read that blocks for ever.
bool WaitForInput(FILE* in, const std::atomic<bool>* stop);

// Reads the user's line from in into line (size bytes), as fgets does: up to
// and including its line end. False at the end of input or on an error.
// Windows: a console is read as UTF-16 and the line handed on in its input
// code page (see WidenTypedLine), since reading it as bytes returns nothing
// in code page 65001 on Windows 10 before 1903; a line longer than line
// holds is read whole and cut.
bool ReadTypedLine(FILE* in, char* line, size_t size);

// Called when reading the user's line met the end of input or an error. Where
// Ctrl-C at a console ends the read before its handler has run (Windows), gives
// the handler a moment to set *stop; elsewhere returns at once.
void WaitForPendingStop(FILE* in, const std::atomic<bool>* stop);

// The line the user typed (the bytes standard input gave) as wide text: on Windows in the console's
// input code page (the ANSI code page where the process has no console), on Linux UTF-8. A byte
// that begins no character there becomes U+FFFD. A line of LineBufferSize bytes always fits as many
// characters; Linux cuts a longer one, Windows leaves it empty.
void WidenTypedLine(const char* line, wchar_t* wide, size_t size);

// Whether path names an existing folder.
bool IsFolder(const char* path);

// A command-line argument as wide text, cut to size characters: on Linux in
// the locale's encoding (see Widen), on Windows UTF-8 (the wide command line
// converted at the program's entry).
void WidenArgument(const char* text, wchar_t* wide, size_t size);

// Windows: whether the console window would close with the program (see
// WindowClosesWithProgram), and then in *midLine whether its cursor stands
// in the middle of a line. Never on Linux, where a terminal window belongs to
// its shell.
bool WindowClosesAtExit(FILE* in, FILE* out, bool* midLine);

// Waits until the user presses Enter on in; keys pressed before are not counted.
void WaitForEnter(FILE* in);
