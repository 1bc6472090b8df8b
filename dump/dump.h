// The dump's run from the port list to the exit status: the dialogue, the
// blocks read and stored, the end. The logger layer (logger.h) does the
// talking to the logger; the output files are outputfiles.h's.
#pragma once

#include "dump/dumpoptions.h"
#include "dump/exitstatus.h"
#include "dump/outputfiles.h"
#include "dump/summary.h"

// Runs the whole dump and returns the exit status.
int RunDump(const DumpOptions* options);
