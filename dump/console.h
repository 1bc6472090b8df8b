#pragma once

#include <cstdio>

// Largest console text one Print produces (longer output is cut).
constexpr size_t ConsoleTextSize = 1024;

// Formats wide text like wprintf under the selected locale and writes it to
// the console stream out at once.
void Print(FILE* out, const wchar_t* format, ...);
