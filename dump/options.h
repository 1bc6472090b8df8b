// The command line: which options the user gave, and the texts that answer
// --help, --version and a command line that cannot be understood.
#pragma once

#include <cstdio>

enum class Action {
  Dump,     // the run, with the dialogue or with the port given
  List,     // the port list alone
  Help,     // the usage text
  Version,  // the program's name and version
  Usage,    // the command line was wrong: a message was written, status ExitUsage
};

struct CommandLine {
  Action action;
  const char* port;  // the port as given (a number, or on Linux a device path); null: ask
  const char* dir;   // folder of the output files; null: the current folder
  bool resume;       // go on with the dump already in the files
  bool verbose;      // the port list with each port's details
};

// Reads the options in argv with getopt_long. A wrong option, a missing or
// empty value, a port that is neither a number nor (on Linux) a device path,
// or a stray argument: a message naming it and a hint to --help are written
// to err and the action is Action::Usage. May be called more than once.
Action ParseCommandLine(int argc, char** argv, CommandLine* line, FILE* err);

// Whether the folder given with --dir exists (true without --dir). If not, a
// message naming it is written to err.
bool DirExists(const CommandLine* line, FILE* err);

// Usage with every option and the exit statuses.
void PrintUsage(FILE* out);

// "loggerdump VERSION" and a line end.
void PrintVersion(FILE* out);
