#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Formats the progress line after the block at blockAddress: CR, the address,
// the elapsed time, the average rate over the blocks this run read before it
// (from firstAddress, 0 for a whole dump) and the time left (six hyphens while
// the rate is under one byte per second).
void FormatProgress(wchar_t* out, size_t outSize, uint32_t firstAddress, uint32_t blockAddress,
                    long long elapsedMs);

// Prints the progress line for blockAddress, startMs and nowMs being NowMs() values.
void ProgressReport(FILE* out, uint32_t firstAddress, uint32_t blockAddress, long long startMs,
                    long long nowMs);
