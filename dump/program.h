// The program's run from its command line to its exit status. The entry point
// of each platform (entry_linux.cpp, entry_win.cpp) hands it the arguments:
// on Linux as they came, on Windows converted from the wide command line to
// UTF-8.
#pragma once

int LoggerDumpMain(int argc, char** argv);
