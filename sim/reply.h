// The text of a reply as its plan (faults.h) sets it out: the records of the
// block's memory, placed as the logger numbers them, in the line form the
// plan gives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/faults.h"

// Writes the reply of text, from the logger's memory image, into out
// (outSize bytes); returns its length. Lines that would not fit are left out.
size_t SimWriteReply(const uint8_t* image, const SimReplyText* text, char* out, size_t outSize);
