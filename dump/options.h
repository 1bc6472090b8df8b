// The command line: which options the user gave, and the texts that answer
// --help, --version and a command line that cannot be understood.
#pragma once

#include <cstddef>
#include <cstdio>

#include "dump/messages.h"

enum class Action {
  Dump,     // the run, with the dialogue or with the port given
  List,     // the port list alone
  Help,     // the usage text
  Version,  // the program's name and version
  Usage,    // the command line was wrong: a message was written, status ExitUsage
};

struct CommandLine {
  Action action;
  const char* port;     // the port as given (a number, or on Linux a device path); null: ask
  const char* dir;      // folder of the output files; null: the current folder
  bool resume;          // go on with the dump already in the files
  Language language;    // of the messages (--lang)
  const char* summary;  // where the summary goes ("-": standard output); null: nowhere
  bool verbose;         // the port list with each port's details
};

// The language --lang names, looked for before the command line is read
// (so that every message about it speaks that language): the last valid one
// given, else Japanese. A wrong value is left to ParseCommandLine to refuse.
Language CommandLineLanguage(int argc, char** argv);

// Reads the options in argv with getopt_long. A wrong option, a missing or
// empty value, a port that is neither a number nor (on Linux) a device path,
// a language other than ja or en, a summary named as one of the dump's files,
// or a stray argument: a message naming it and a hint to --help are written
// to err and the action is Action::Usage. May be called more than once.
Action ParseCommandLine(int argc, char** argv, CommandLine* line, FILE* err);

// Whether the folder given with --dir exists (true without --dir). If not, a
// message naming it is written to err.
bool DirExists(const CommandLine* line, FILE* err);

// Usage with every option and the exit statuses.
void PrintUsage(FILE* out);

// The meaning of an exit status (a format of StatusMeanings, in any language)
// with the numbers it names filled in, into text (size characters).
void FormatStatusMeaning(const wchar_t* meaning, wchar_t* text, size_t size);

// "loggerdump VERSION" and a line end.
void PrintVersion(FILE* out);
