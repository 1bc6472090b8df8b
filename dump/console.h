#pragma once

#include <cstdio>

// Largest console text one Print produces (longer output is cut).
constexpr size_t ConsoleTextSize = 1024;

// Formats wide text like wprintf under the selected locale and writes it to
// the console stream out at once.
void Print(FILE* out, const wchar_t* format, ...);

// Narrow text in the locale's encoding (a command-line argument, a system
// message) as wide text, cut to size characters; byte by byte where it is
// not valid in the locale, so that it is still shown.
void Widen(const char* text, wchar_t* wide, size_t size);

// Whether the console window closes with this program, so that its last lines
// must wait for the user: this is the only process on its console (a program
// started from Windows' Explorer) and both input and output are that console.
bool WindowClosesWithProgram(unsigned long consoleProcesses, bool inputIsConsole,
                             bool outputIsConsole);
