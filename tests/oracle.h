// The oracle of the tests: what the logger sends and what the files and the
// wire must hold, computed from the substitute logger's memory and faults,
// and the block check applied to a reply as the logger layer applies it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dump/hexfile.h"
#include "gtest/gtest.h"
#include "logger/blockcheck.h"
#include "sim/simcore.h"

// The entries logger.hex must hold for the record lines the logger of config
// sends for the block at address when asked for it the asked-th time: NULs
// gone, lines not beginning with ':' left out, an LF written as CR LF, then
// CR CR LF.
std::vector<std::string> HexEntriesOf(const SimConfig& config, uint32_t address,
                                      unsigned asked = 0);
// The record lines of the reply that the logger of config sends for the block
// at address, as the logger layer reads them.
LoggerReply ReplyOf(const SimConfig& config, uint32_t address);
// The block check on reply, parsed afresh (a test may have edited its lines):
// its verdict for the block at address.
LoggerVerdict Verdict(const LoggerReply* reply, uint32_t address, LoggerNumbering numbering);
// logger.hex of a complete run against the logger of config (faults that
// spoil a reply as its first try brings them), or against a clean logger with
// this memory.
std::string ExpectedHexFile(const SimConfig& config);
std::string ExpectedHexFile(const uint8_t* image);
// Whether dir holds the files of a complete run against a logger with this
// memory: logger.bin is the image and logger.hex the expected records.
::testing::AssertionResult HoldsDumpOf(const std::string& dir, const std::string& image);
// Whether dir holds the files of a run killed outright, after the logger
// with this memory had received the commands in received: every block asked
// for before the last is in both files as a clean run stores it, and the last
// one (in flight) is there whole or not at all.
::testing::AssertionResult HoldsAllButTheBlockInFlight(const std::string& dir,
                                                       const std::string& image,
                                                       const std::string& received);
// The entries of a logger.hex, in order (a last one cut short included).
std::vector<std::string> HexFileEntries(const std::string& hex);
// The end command as the logger must receive it, spelled out here once: a
// wrong end command in the program must show as a difference.
constexpr char EndCommandBytes[] = "q\n\r";
// The "dihex" commands for the blocks from first to last, each with CR LF.
std::string Commands(uint32_t first, uint32_t last);
// The block's command times times in a row.
std::string Asked(uint32_t block, int times);
// Every block's command, then the end command.
std::string ExpectedCommands();
// The commands of a clean run with command (one block's) sent times times.
std::string CommandsAsking(const std::string& command, int times);
// The same commands as a logger without addresses gets them: block 00100,
// where its numbers show it, asked for twice.
std::string UnaddressedCommands(std::string commands);
std::vector<uint8_t> PatternImage(uint32_t seed);
// The blocks that a resume over the files in dir reads again from the logger,
// ascending (read them before the run changes the files).
std::vector<uint32_t> WitnessesOf(const std::string& dir);
// Their commands, up to and including the block at last.
std::string WitnessCommands(const std::vector<uint32_t>& witnesses, uint32_t last = ImageSize);
