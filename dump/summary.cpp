#include "summary.h"

#include <cstring>
#include <cwchar>

#include "outputfiles.h"
#include "messages.h"
#include "options.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "version.h"

namespace {

// Characters one byte of a name becomes in a JSON string at most (\uXXXX).
constexpr size_t EscapedPerByte = 6;
// Room for every field but the names and the block lists.
constexpr size_t FieldsRoom = 4096;
// A block in a list: five digits in quotes, and a comma.
constexpr size_t ListedBlockRoom = 8;
constexpr size_t SummaryTextSize = FieldsRoom + 2 * BlockCount * ListedBlockRoom +
                                   (OutputPathSize + DevicePathSize) * EscapedPerByte;
char summaryText[SummaryTextSize];

// Room for the meaning of a status, its numbers filled in, and for the names
// in the message of a summary that could not be written.
constexpr size_t MeaningSize = 1024;
constexpr size_t NameSize = 1024;
// What the numbering is called, in the order of LoggerNumbering.
constexpr const char* NumberingNames[] = {"unknown", "address", "arrival"};
constexpr wchar_t ReplacementCharacter = 0xFFFD;

// The summary so far into a buffer of its own; full once a piece did not fit.
struct Json {
  char* text;
  size_t size;
  size_t length;
  bool full;
};

void Add(Json* json, const char* piece, size_t n) {
  if (json->full || n >= json->size - json->length) {
    json->full = true;
    return;
  }
  std::memcpy(json->text + json->length, piece, n);
  json->length += n;
  json->text[json->length] = '\0';
}

void Add(Json* json, const char* piece) {
  Add(json, piece, std::strlen(piece));
}

void AddNumber(Json* json, unsigned long long n) {
  char digits[32];
  Add(json, digits, static_cast<size_t>(std::snprintf(digits, sizeof digits, "%llu", n)));
}

// A number of hundredths as a decimal with two places, whatever the locale's
// decimal separator.
void AddHundredths(Json* json, unsigned long long hundredths) {
  char digits[40];
  Add(json, digits,
      static_cast<size_t>(
          std::snprintf(digits, sizeof digits, "%llu.%02llu", hundredths / 100, hundredths % 100)));
}

// A block address as the console writes it, five hex digits, in quotes.
void AddBlock(Json* json, uint32_t address) {
  char digits[16];
  Add(json, digits,
      static_cast<size_t>(
          std::snprintf(digits, sizeof digits, "\"%5.5x\"", static_cast<unsigned>(address))));
}

// One character inside a string: printable ASCII as it is (quote and
// backslash escaped), everything else as \uXXXX, beyond the BMP as a pair of
// surrogates, so that the summary is ASCII in any encoding.
void AddCharacter(Json* json, unsigned long c) {
  char piece[16];
  int n = 0;
  if (c == '"' || c == '\\') {
    n = std::snprintf(piece, sizeof piece, "\\%c", static_cast<char>(c));
  } else if (c >= 0x20 && c < 0x7F) {
    n = std::snprintf(piece, sizeof piece, "%c", static_cast<char>(c));
  } else if (c < 0x10000) {
    n = std::snprintf(piece, sizeof piece, "\\u%04lx", c);
  } else {
    c -= 0x10000;
    n = std::snprintf(piece, sizeof piece, "\\u%04lx\\u%04lx", 0xD800 + (c >> 10),
                      0xDC00 + (c & 0x3FF));
  }
  Add(json, piece, static_cast<size_t>(n));
}

// The character that the UTF-8 bytes at p (left of them) begin, in *c: its
// length, or 0 where they begin none (a stray or cut-off byte, an overlong
// form, a surrogate, a value beyond Unicode).
size_t DecodeUtf8(const unsigned char* p, size_t left, unsigned long* c) {
  constexpr unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};  // by length
  const unsigned lead = p[0];
  if (lead < 0x80) {
    *c = lead;
    return 1;
  }
  const size_t n = lead >= 0xC2 && lead <= 0xDF   ? 2
                   : lead >= 0xE0 && lead <= 0xEF ? 3
                   : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                  : 0;
  if (n == 0 || n > left) return 0;
  unsigned long code = lead & (0x7Fu >> n);
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    code = code << 6 | (p[i] & 0x3F);
  }
  if (code < least[n] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  *c = code;
  return n;
}

// A name as the system gave it (bytes; on Windows UTF-8) as a string: each
// byte that begins no UTF-8 character becomes U+FFFD.
void AddString(Json* json, const char* bytes) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  size_t left = std::strlen(bytes);
  Add(json, "\"");
  while (left > 0) {
    unsigned long c = ReplacementCharacter;
    const size_t n = DecodeUtf8(p, left, &c);
    AddCharacter(json, c);
    p += n > 0 ? n : 1;
    left -= n > 0 ? n : 1;
  }
  Add(json, "\"");
}

// The English meaning of status, its numbers filled in, on one line: each
// line break of the usage text and the indent after it become one blank.
void AddMeaning(Json* json, int status) {
  const wchar_t* meaning = L"";
  for (const StatusMeaning& m : StatusMeanings) {
    if (m.status == status) meaning = m.meaning.text[static_cast<int>(Language::English)];
  }
  wchar_t text[MeaningSize];
  FormatStatusMeaning(meaning, text, MeaningSize);
  Add(json, "\"");
  for (const wchar_t* c = text; *c != L'\0'; ++c) {
    if (*c != L'\n') {
      AddCharacter(json, static_cast<unsigned long>(*c));
      continue;
    }
    while (c[1] == L' ') ++c;
    AddCharacter(json, ' ');
  }
  Add(json, "\"");
}

// The blocks read that stayed bad (bad) or took more than one try.
void AddBlocks(Json* json, const SummaryFacts* facts, bool bad) {
  Add(json, "[");
  const char* separator = "";
  for (long i = 0; i < facts->blocksRead; ++i) {
    const uint32_t index = facts->firstBlock / BlockSize + static_cast<uint32_t>(i);
    if (index >= BlockCount || !(bad ? facts->bad[index] : facts->tries[index] > 1)) continue;
    Add(json, separator);
    AddBlock(json, index * BlockSize);
    separator = ",";
  }
  Add(json, "]");
}

// The size of the output file name in dir, or null where there is none.
void AddFileSize(Json* json, const char* dir, const char* name) {
  char path[OutputPathSize];
  const long long bytes =
      JoinPath(dir, name, NativePathStyle, path, sizeof path) ? RegularFileSize(path) : -1;
  if (bytes < 0) {
    Add(json, "null");
  } else {
    AddNumber(json, static_cast<unsigned long long>(bytes));
  }
}

// A block address, or null where there is none.
void AddBlockOrNull(Json* json, bool known, uint32_t address) {
  if (known) {
    AddBlock(json, address);
  } else {
    Add(json, "null");
  }
}

// The fields of the run as a whole: the program, the status and its
// meaning, the port and the folder.
void AddRunFields(Json* json, const SummaryFacts* facts, int status, const char* dir) {
  Add(json, "{\"program\":");
  AddString(json, ProgramName);
  Add(json, ",\"version\":");
  AddString(json, ProgramVersion);
  Add(json, ",\"status\":");
  AddNumber(json, static_cast<unsigned long long>(status));
  Add(json, ",\"meaning\":");
  AddMeaning(json, status);
  Add(json, ",\"port\":");
  if (facts->port[0] != '\0') {
    AddString(json, facts->port);
  } else {
    Add(json, "null");
  }
  // A folder too long for the files' paths was refused; it is not repeated.
  Add(json, ",\"dir\":");
  if (dir == nullptr || dir[0] == '\0') {
    AddString(json, ".");
  } else if (std::strlen(dir) < OutputPathSize) {
    AddString(json, dir);
  } else {
    Add(json, "null");
  }
}

// The fields of the blocks this run read: where it began, which stayed bad
// or took more than one try, and the numbering their replies showed.
void AddBlockFields(Json* json, const SummaryFacts* facts) {
  const bool read = facts->blocksRead > 0;
  Add(json, facts->resumed ? ",\"resumed\":true" : ",\"resumed\":false");
  Add(json, ",\"resumed_from\":");
  AddBlockOrNull(json, facts->resumed && facts->firstBlock < BlockAddressBound, facts->firstBlock);
  Add(json, ",\"first_block\":");
  AddBlockOrNull(json, read, facts->firstBlock);
  Add(json, ",\"last_block\":");
  AddBlockOrNull(json, read,
                 facts->firstBlock + static_cast<uint32_t>(facts->blocksRead - 1) * BlockSize);
  Add(json, ",\"blocks_read\":");
  AddNumber(json, static_cast<unsigned long long>(facts->blocksRead));
  Add(json, ",\"bad_blocks\":");
  AddBlocks(json, facts, true);
  Add(json, ",\"retried_blocks\":");
  AddBlocks(json, facts, false);
  Add(json, ",\"numbering\":");
  AddString(json, NumberingNames[static_cast<int>(facts->numbering)]);
}

// The fields of what crossed the line and what the files hold.
void AddTransferFields(Json* json, const SummaryFacts* facts, const char* dir) {
  Add(json, ",\"bytes_received\":");
  AddNumber(json, facts->bytesReceived);
  // The rate is the progress line's: bytes of memory read per second.
  const unsigned long long ms =
      facts->elapsedMs > 0 ? static_cast<unsigned long long>(facts->elapsedMs) : 0;
  const unsigned long long bytesRead =
      static_cast<unsigned long long>(facts->blocksRead) * BlockSize;
  Add(json, ",\"elapsed_seconds\":");
  AddHundredths(json, ms / 10);
  Add(json, ",\"average_rate\":");
  AddHundredths(json, ms > 0 ? bytesRead * 100000 / ms : 0);
  Add(json, ",\"hex_bytes\":");
  AddFileSize(json, dir, HexFileName);
  Add(json, ",\"bin_bytes\":");
  AddFileSize(json, dir, BinFileName);
  Add(json, "}\n");
}

}  // namespace

size_t FormatSummary(const SummaryFacts* facts, int status, const char* dir, char* text,
                     size_t size) {
  Json json = {text, size, 0, size == 0};
  if (size > 0) text[0] = '\0';
  AddRunFields(&json, facts, status, dir);
  AddBlockFields(&json, facts);
  AddTransferFields(&json, facts, dir);
  return json.full ? 0 : json.length;
}

void WriteSummary(const char* path, const SummaryFacts* facts, int status, const char* dir,
                  FILE* out, FILE* err) {
  const size_t length = FormatSummary(facts, status, dir, summaryText, sizeof summaryText);
  unsigned long code = 0;
  bool written = length > 0;
  if (written && std::strcmp(path, SummaryToConsole) == 0) {
    if (LineLeftOpen(out)) Print(out, L"\n");
    written = std::fwrite(summaryText, 1, length, out) == length && std::fflush(out) == 0;
  } else if (written) {
    written = WriteWholeFile(path, summaryText, length, &code);
  }
  if (written) return;
  wchar_t program[NameSize];
  wchar_t name[NameSize];
  wchar_t system[SystemTextSize];
  Widen(ProgramName, program, NameSize);
  WidenArgument(path, name, NameSize);
  Print(err, Msg::ProgramPrefix, program);
  if (SystemErrorText(code, system, SystemTextSize)) {
    Print(err, Msg::SummaryNotWrittenWithSystem, name, system);
  } else {
    Print(err, Msg::SummaryNotWritten, name);
  }
}
