// The entries of logger.hex, written and read here alone: each record line as
// received, with every LF written as CR LF, then CR CR LF. Those are the bytes
// a Windows text stream makes of the line and the CR LF written after it, on
// every platform.
#pragma once

#include <cstddef>
#include <cstdio>

#include "logger/protocol.h"

// What ends each entry after the line itself.
constexpr char HexEntryEnd[] = "\r\r\n";
constexpr size_t HexEntryEndLength = sizeof HexEntryEnd - 1;
// The longest entry: a whole line with its LF written as CR LF, and the end.
constexpr size_t HexEntryRoom = 2 * LineBufferSize + HexEntryEndLength;

// The entry of a line of length characters, into entry (HexEntryRoom bytes).
// Returns the entry's length.
size_t MakeHexEntry(const char* line, size_t length, char* entry);

// Reads the next entry of hex and puts back the line as it was received (its
// characters and the CR or LF that ended it, NUL-terminated) into line
// (LineBufferSize bytes); *bytes grows by the entry's length. Returns the
// line's length, 0 at the end of the file or at anything this program does
// not write.
int ReadHexEntry(FILE* hex, char* line, long long* bytes);
