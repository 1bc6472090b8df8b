// The dialogue before a dump: the port list and the question, the port the
// answer names and the countdown, then opening that port, or saying why it
// cannot be opened and what to do.
#pragma once

#include <cstdio>

#include "dump/dumpoptions.h"
#include "dump/portchoice.h"
#include "logger/protocol.h"
#include "serial/serial.h"

// What the dialogue learns, owned by the run.
struct PortDialogue {
  char line[LineBufferSize];  // the user's line; empty with --port
  SerialPortList ports;
  PortChoice port;  // what the line or --port names
};

// The port list, and unless the port was given beforehand the question and
// the user's line. False when the run ends here (status in *status).
bool AskForPort(const DumpOptions* options, PortDialogue* dialogue, int* status);

// Chooses the port that --port or the user's line names. ExitComplete, or
// ExitInterrupted (nothing chosen) when the user stopped the run at the prompt.
int ChooseAnsweredPort(const DumpOptions* options, PortDialogue* dialogue);

// The chosen port and the countdown to connect the logger. ExitComplete to go
// on, else the status the run ends with: the user stopped it, or the port is
// the user's own terminal, refused before anything is opened or changed.
int CountDown(const DumpOptions* options, const PortDialogue* dialogue);

// Opens the chosen port into *link: ExitComplete when it is open. When it
// cannot be opened, prints "COM Open Error" and a line saying why, in the
// system's words too, and what to do: ExitPortOpen. A stop that came while
// the port opened ends the run before anything is sent, the port (if it
// opened) with its earlier settings back: ExitInterrupted. A port whose
// earlier settings could not be put back is told either way.
int OpenPort(const DumpOptions* options, const PortDialogue* dialogue, SerialLink** link);

// A port left with the run's settings is told, for the next program that
// uses it; the status stays what the run earned.
void PrintPortNotRestored(FILE* out, unsigned long code);
