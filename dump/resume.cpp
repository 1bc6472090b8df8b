#include "resume.h"

#include <cstring>

namespace {

// What ends each entry of logger.hex after the line itself.
constexpr char EntryEnd[] = "\r\r\n";
constexpr size_t EntryEndLength = 3;
// The longest entry: a whole line with its LF written as CR LF, and the end.
constexpr size_t EntryRoom = 2 * LineBufferSize + EntryEndLength;

// Reads the next entry and puts back the line as it was received (its
// characters and the CR or LF that ended it). Returns the line's length, 0 at
// the end of the file or at anything this program does not write.
int ReadEntry(FILE* hex, char* line, long long* bytes) {
  char entry[EntryRoom];
  size_t n = 0;
  while (n < EntryEndLength || std::memcmp(entry + n - EntryEndLength, EntryEnd, EntryEndLength)) {
    const int c = std::fgetc(hex);
    if (c == EOF || n == EntryRoom) return 0;
    entry[n++] = static_cast<char>(c);
  }
  *bytes += static_cast<long long>(n);
  n -= EntryEndLength;
  // A line ended by LF was written with that LF as CR LF.
  if (n >= 2 && entry[n - 2] == '\r' && entry[n - 1] == '\n') {
    entry[n - 2] = '\n';
    --n;
  } else if (n == 0 || entry[n - 1] != '\r') {
    return 0;
  }
  if (n >= LineBufferSize) return 0;
  std::memcpy(line, entry, n);
  line[n] = '\0';
  return static_cast<int>(n);
}

// Reads the lines of the block at address; false when the file ends first.
bool ReadBlockLines(FILE* hex, uint32_t address, BlockReply* reply, long long* bytes) {
  reply->count = 0;
  while (reply->count < RecordLinesOf(address)) {
    const int n = ReadEntry(hex, reply->line[reply->count], bytes);
    if (n == 0) return false;
    reply->length[reply->count++] = n;
  }
  return true;
}

}  // namespace

void ReadStoredDump(FILE* hex, FILE* bin, BlockReply* reply, StoredDump* dump) {
  dump->blocks = 0;
  dump->hexBytes = 0;
  dump->numbering = Numbering::Unknown;
  long long bytes = 0;
  uint8_t image[BlockSize];
  uint8_t stored[BlockSize];
  for (uint32_t address = 0; address < BlockAddressBound; address += BlockSize) {
    if (!ReadBlockLines(hex, address, reply, &bytes)) return;
    if (CheckBlock(reply, address, dump->numbering) != BlockVerdict::Sound) return;
    SoundBlockImage(reply, image);
    if (std::fread(stored, 1, BlockSize, bin) != BlockSize) return;
    if (std::memcmp(stored, image, BlockSize) != 0) return;
    dump->numbering = LearnNumbering(reply, address, dump->numbering);
    if (address == 0) std::memcpy(dump->first, image, BlockSize);
    std::memcpy(dump->last, image, BlockSize);
    ++dump->blocks;
    dump->hexBytes = bytes;
  }
}
