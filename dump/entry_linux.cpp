// The program's entry on Linux: the arguments are bytes, taken as they are.
#include "program.h"

int main(int argc, char** argv) {
  return LoggerDumpMain(argc, argv);
}
