#include "judge.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "hexrecord/hexrecord.h"
#include "logger/logger.h"
#include "testutil.h"

namespace {

// The fixed texts of a message format between its conversions, as UTF-8.
std::vector<std::string> Pieces(const wchar_t* format) {
  std::vector<std::string> pieces;
  std::wstring piece;
  for (const wchar_t* p = format; *p != L'\0'; ++p) {
    if (*p != L'%') {
      piece += *p;
      continue;
    }
    // The conversion ends at its letter.
    ++p;
    while (*p != L'\0' && std::wcschr(L"diouxXfFeEgGcsp%", *p) == nullptr) ++p;
    if (*p == L'\0') break;
    pieces.push_back(Utf8(piece.c_str()));
    piece.clear();
  }
  pieces.push_back(Utf8(piece.c_str()));
  return pieces;
}

// Appends one finding to the judgement's notes.
void Note(Judgement* j, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (!j->notes.empty()) j->notes += "; ";
  j->notes += text;
}

// The blocks that the warning at the end names bad, as the console shows it.
struct Named {
  bool present = false;
  long count = 0;                // how many it says there were
  std::vector<uint32_t> blocks;  // those it names (the first few)
};

Named ParseBadBlocks(const std::string& console) {
  Named named;
  const std::vector<std::string> warning = Pieces(Msg::BadBlocks);  // before count, list, filler
  const size_t at = console.rfind(warning[0]);
  if (at == std::string::npos) return named;
  named.present = true;
  const char* text = console.c_str() + at + warning[0].size();
  named.count = std::strtol(text, nullptr, 10);
  const size_t listStart = console.find(warning[1], at);
  const size_t listEnd = console.find(warning[2], listStart);
  if (listStart == std::string::npos || listEnd == std::string::npos) return named;
  std::string list =
      console.substr(listStart + warning[1].size(), listEnd - listStart - warning[1].size());
  list = list.substr(0, list.find(Pieces(Msg::BadBlocksMore)[0]));  // the count of the rest
  const std::string separator = Pieces(Msg::BadBlockNext)[0];
  for (size_t from = 0; from < list.size();) {
    named.blocks.push_back(static_cast<uint32_t>(std::strtoul(list.c_str() + from, nullptr, 16)));
    const size_t next = list.find(separator, from);
    from = next == std::string::npos ? list.size() : next + separator.size();
  }
  return named;
}

// The record line an entry of logger.hex holds (its CR or LF kept).
std::string LineOf(const std::string& entry) {
  return EndsWith(entry, HexEntryEnd) ? entry.substr(0, entry.size() - HexEntryEndLength) : entry;
}

// Whether every 16 bytes of a stored block are the memory's or ImageFiller.
bool RecordsInPlace(const std::string& stored, const std::string& memory) {
  for (size_t at = 0; at + RecordDataBytes <= stored.size(); at += RecordDataBytes) {
    const std::string part = stored.substr(at, RecordDataBytes);
    const std::string filler(RecordDataBytes, static_cast<char>(ImageFiller));
    if (part != memory.substr(at, RecordDataBytes) && part != filler) return false;
  }
  return true;
}

// The walk over the stored blocks of a run: where in logger.hex each block's
// lines may begin (a bad block's last try may have brought any number of
// lines, so there may be more than one place).
struct Walk {
  const RunFacts* facts;
  std::vector<std::string> entries;
  Named named;
  long unnamedLeft;  // blocks the warning counts but does not name
  long whole;        // blocks the run read to their end (its progress lines)
  std::vector<size_t> starts;
  Judgement* judged;
};

bool Matches(const std::vector<std::string>& entries, size_t at,
             const std::vector<std::string>& lines) {
  if (at + lines.size() > entries.size()) return false;
  return std::equal(lines.begin(), lines.end(), entries.begin() + static_cast<long>(at));
}

std::string BlockOf(const std::string& data, uint32_t index) {
  return data.substr(index * BlockSize, BlockSize);
}

bool IsNamed(const Named& named, uint32_t address) {
  return std::find(named.blocks.begin(), named.blocks.end(), address) != named.blocks.end();
}

// A block named bad: its bytes are the memory's or ImageFiller, and its last
// try left one to all of its lines in logger.hex.
void NamedBlock(Walk* w, uint32_t index) {
  const uint32_t address = index * BlockSize;
  if (!RecordsInPlace(BlockOf(w->facts->bin, index), BlockOf(*w->facts->memory, index))) {
    ++w->judged->lostBlocks;
    Note(w->judged, "bad block %05x holds bytes of another place", address);
  }
  std::vector<size_t> next;
  for (const size_t at : w->starts) {
    for (size_t k = 1; k <= static_cast<size_t>(RecordLinesOf(address)); ++k) {
      if (at + k <= w->entries.size()) next.push_back(at + k);
    }
  }
  std::sort(next.begin(), next.end());
  next.erase(std::unique(next.begin(), next.end()), next.end());
  w->starts = next;
}

// A block not named: its lines and its bytes are a clean run's. Returns false
// when it is not, leaving the walk as it was.
bool UnnamedBlock(Walk* w, uint32_t index) {
  const std::vector<std::string>& lines = (*w->facts->clean)[index];
  std::vector<size_t> next;
  for (const size_t at : w->starts) {
    if (Matches(w->entries, at, lines)) next.push_back(at + lines.size());
  }
  if (next.empty() || BlockOf(w->facts->bin, index) != BlockOf(*w->facts->memory, index)) {
    return false;
  }
  w->starts = next;
  return true;
}

// The block cut short: 16 bytes for each data record received (or all 256,
// when it had stayed bad after every try and the stop came in the wait
// after its last), each 16 the memory's or ImageFiller, never another
// place's (its lines may be another block's, or miss one). It is no whole
// block: where its records cannot be placed (one address throughout, or the
// numbering not yet learned) it may hold ImageFiller even for its own.
bool InFlightInPlace(const Walk* w, uint32_t index, size_t at) {
  size_t received = 0;
  Record record;
  for (size_t i = at; i < w->entries.size(); ++i) {
    ParseRecord(LineOf(w->entries[i]).c_str(), &record);
    if (record.type == RecordTypeData && record.length >= 1) ++received;
  }
  const std::string stored = w->facts->bin.substr(index * BlockSize);
  const size_t records = std::min<size_t>(received, DataRecordsPerBlock);
  return (stored.size() == records * RecordDataBytes || stored.size() == BlockSize) &&
         RecordsInPlace(stored, BlockOf(*w->facts->memory, index));
}

// The block in flight when the run stopped, or the end of a run that read
// every block: what remains of both files.
void RestOfTheFiles(Walk* w, uint32_t index) {
  const RunFacts* f = w->facts;
  if (index == BlockCount) {
    const bool ends =
        std::find(w->starts.begin(), w->starts.end(), w->entries.size()) != w->starts.end();
    if (!ends || f->bin.size() != ImageSize) {
      ++w->judged->lostBlocks;
      Note(w->judged, "the files hold more than the blocks read");
    }
    return;
  }
  const size_t wanted = static_cast<size_t>(RecordLinesOf(index * BlockSize));
  for (const size_t at : w->starts) {
    if (w->entries.size() - at <= wanted && f->bin.size() <= (index + 1) * BlockSize &&
        InFlightInPlace(w, index, at)) {
      return;
    }
  }
  ++w->judged->lostBlocks;
  Note(w->judged, "block %05x, in flight, holds %zu bytes that are not its own",
       static_cast<unsigned>(index * BlockSize), f->bin.size() - index * BlockSize);
}

// Every stored block in its place, exact unless named; the rest in flight.
void CheckStoredBlocks(Walk* w) {
  const RunFacts* f = w->facts;
  uint32_t index = 0;
  for (; index < BlockCount; ++index) {
    const uint32_t address = index * BlockSize;
    if (f->bin.size() < (index + 1) * BlockSize) break;
    const bool named = IsNamed(w->named, address);
    if (!named && index >= w->whole) break;  // the block in flight
    if (named) {
      NamedBlock(w, index);
      continue;
    }
    if (UnnamedBlock(w, index)) continue;
    if (w->unnamedLeft > 0) {  // among the blocks the warning only counts
      --w->unnamedLeft;
      NamedBlock(w, index);
      continue;
    }
    ++w->judged->lostBlocks;
    Note(w->judged, "block %05x differs and is not named", static_cast<unsigned>(address));
    // Go on as if it had held its own lines.
    for (size_t& at : w->starts) at = std::min(at + (*f->clean)[index].size(), w->entries.size());
  }
  RestOfTheFiles(w, index);
}

// Whether the status and the messages say what happened.
void CheckStatus(const RunFacts& f, const Walk& w, Judgement* j) {
  const Schedule& s = *f.schedule;
  bool named = true;
  switch (f.status) {
    case ExitLinkLost:
      named = f.hungUp && Contains(f.console, LinkLost);
      break;
    case ExitInterrupted:
      named = f.stopped && !f.hungUp && Contains(f.console, Interrupted);
      break;
    case ExitSuspectImage:
      named = !f.hungUp && !Has(s, Kind::Silence) &&
              (w.named.present ||
               Contains(f.console, Said(Msg::RepliesNeverFit, BadBlocksInARowLimit)) ||
               Contains(f.console, Said(Msg::NoSoundReplyInTime,
                                        static_cast<int>(NoSoundReplyLimitMs / 1000))) ||
               Contains(f.console, Utf8(Msg::ExtraReplies)));
      break;
    default:
      named = false;
      break;
  }
  if (!named) Note(j, "status %d does not say what happened", f.status);
  for (const uint32_t block : w.named.blocks) {
    if (Touched(s, block)) continue;
    named = false;
    Note(j, "block %05x is named bad, but no fault touched it", static_cast<unsigned>(block));
  }
  // A run cut short after a whole block says how to go on.
  const bool resumable = f.status == ExitLinkLost || f.status == ExitInterrupted;
  if (resumable && (w.whole > 0) != EndsWith(f.console, ResumeHint)) {
    named = false;
    Note(j, "the resume hint is %s after %ld whole blocks", w.whole > 0 ? "missing" : "shown",
         w.whole);
  }
  j->misnamed = !named;
}

// Blocks from 00000 on whose lines and bytes in the files are a clean run's.
long WholeBlocks(const RunFacts& f, const std::vector<std::string>& entries) {
  size_t at = 0;
  long blocks = 0;
  for (uint32_t index = 0; index < BlockCount; ++index) {
    const std::vector<std::string>& lines = (*f.clean)[index];
    if (!Matches(entries, at, lines) || f.bin.size() < (index + 1) * BlockSize ||
        BlockOf(f.bin, index) != BlockOf(*f.memory, index)) {
      break;
    }
    at += lines.size();
    ++blocks;
  }
  return blocks;
}

// Status 0: the files of a clean run.
void CheckComplete(const RunFacts& f, Judgement* j) {
  std::string hex;
  for (const std::vector<std::string>& lines : *f.clean) {
    for (const std::string& entry : lines) hex += entry;
  }
  if (f.bin == *f.memory && f.hex == hex) return;
  j->wrongImage = true;
  const auto differ = std::mismatch(f.bin.begin(), f.bin.end(), f.memory->begin(), f.memory->end());
  Note(j, "status 0, but logger.bin (%zu bytes) differs from byte %05lx and logger.hex %s",
       f.bin.size(), static_cast<long>(differ.first - f.bin.begin()),
       f.hex == hex ? "is a clean run's" : "differs too");
}

}  // namespace

BlockEntries CleanEntries(const SimConfig& clean) {
  BlockEntries entries(BlockCount);
  for (uint32_t index = 0; index < BlockCount; ++index) {
    entries[index] = HexEntriesOf(clean, index * BlockSize);
  }
  return entries;
}

Judgement JudgeRun(const RunFacts& f) {
  Judgement j;
  if (f.status == ExitComplete) {
    CheckComplete(f, &j);
    j.wholeBefore = BlockCount;
    return j;
  }
  Walk w = {&f, HexFileEntries(f.hex), ParseBadBlocks(f.console), 0, 0, {0}, &j};
  w.unnamedLeft = w.named.count - static_cast<long>(w.named.blocks.size());
  w.whole = static_cast<long>(Count(f.console, Pieces(Msg::Progress)[1]));
  CheckStoredBlocks(&w);
  CheckStatus(f, w, &j);
  j.wholeBefore = WholeBlocks(f, w.entries);
  return j;
}

Judgement JudgeResume(const RunFacts& f, long wholeBefore, bool addressed) {
  Judgement j;
  if (f.status != ExitComplete) {
    j.misnamed = true;
    Note(&j, "the resume ended with status %d", f.status);
    const long kept = WholeBlocks(f, HexFileEntries(f.hex));
    if (kept < wholeBefore) {
      j.lostBlocks += wholeBefore - kept;
      Note(&j, "%ld of the %ld blocks whole before the resume are gone", wholeBefore - kept,
           wholeBefore);
    }
    return j;
  }
  CheckComplete(f, &j);
  if (!addressed) return j;
  // Numbered by address, the blocks whole before are kept: the resume goes
  // on after them.
  std::string said = Utf8(Msg::NothingToResume);
  if (wholeBefore == static_cast<long>(BlockCount)) said = Utf8(Msg::AlreadyComplete);
  if (wholeBefore > 0 && wholeBefore < static_cast<long>(BlockCount)) {
    said = Said(Msg::Resuming, static_cast<unsigned>(wholeBefore * BlockSize));
  }
  if (!Contains(f.console, said)) {
    j.lostBlocks += wholeBefore;
    Note(&j, "the resume did not go on after the %ld blocks whole before it", wholeBefore);
  }
  return j;
}
