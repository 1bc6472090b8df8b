// What the run needs from the operating system besides the serial link: the
// console, the output files, sleeping and the stop request. One file per
// platform implements it (platform_linux.cpp, platform_win.cpp).
#pragma once

#include <csignal>
#include <cstdio>

// Selects the user's locale for all categories, so that console text and the
// decimal separator follow it. Where that locale cannot encode the Japanese
// messages, the character encoding alone becomes UTF-8.
void SetupConsoleLocale();

// Writes wide text to the console stream out (standard output in the program).
// Returns false when the text could not be written.
bool ConsoleWrite(FILE* out, const wchar_t* text);

// Opens name for writing as a binary stream, held by this process alone;
// an existing file is truncated only once it is held. Null on failure.
FILE* OpenExclusive(const char* name);

void SleepMs(unsigned ms);

// Makes Ctrl-C and the other ways of ending a console program set *flag
// instead of killing the process, so that the run can close its files.
void InstallStopHandlers(volatile std::sig_atomic_t* flag);

// Whether path names an existing folder.
bool IsFolder(const char* path);

// Windows: when the console window would close with the program (see
// WindowClosesWithProgram), asks the user to press Enter and waits, so that
// the last lines can be read. Nothing on Linux.
void HoldWindowUntilRead(FILE* in, FILE* out);
