#include "dialogue.h"

#include <cwchar>

#include "exitstatus.h"
#include "messages.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "status.h"

namespace {

// The name of a setting the port did not take, as the console shows it.
const wchar_t* SettingText(SerialSetting setting) {
  switch (setting) {
    case SerialSetting::BaudRate:
      return Msg::SettingBaudRate;
    case SerialSetting::DataBits:
      return Msg::SettingDataBits;
    case SerialSetting::Parity:
      return Msg::SettingParity;
    case SerialSetting::StopBits:
      return Msg::SettingStopBits;
    case SerialSetting::FlowControl:
      return Msg::SettingFlowControl;
    case SerialSetting::ReadTimeout:
      return Msg::SettingReadTimeout;
    case SerialSetting::None:
      break;
  }
  return L"";
}

// What went wrong with a port that did not open, into *what, and what to do,
// into *advice; settings is room for the line of a refused setting.
void WhyNotOpened(const SerialOpenFailure* failure, wchar_t* settings, const wchar_t** what,
                  const wchar_t** advice) {
  *what = Msg::PortNotOpened;
  *advice = L"";
  switch (failure->fault) {
    case SerialOpenFault::NoSuchPort:
      *what = Msg::NoSuchPort;
      *advice = Msg::NoSuchPortAdvice;
      break;
    case SerialOpenFault::AccessDenied:
      *what = Msg::PortAccessDenied;
      *advice = SerialAccessByGroup ? Msg::JoinDialoutGroup : L"";
      break;
    case SerialOpenFault::InUse:
      *what = Msg::PortInUse;
      *advice = Msg::PortInUseAdvice;
      break;
    case SerialOpenFault::Busy:
      *what = Msg::PortBusy;
      *advice = Msg::PortBusyAdvice;
      break;
    case SerialOpenFault::NotSerialPort:
      *what = Msg::NotSerialPort;
      *advice = Msg::NotSerialPortAdvice;
      break;
    case SerialOpenFault::SettingsRefused:
      if (failure->refused == SerialSetting::None) {
        std::swprintf(settings, SystemTextSize, Msg::SettingsRefused, SerialBaudRate);
      } else {
        std::swprintf(settings, SystemTextSize, Msg::SettingRefused, SerialBaudRate,
                      SettingText(failure->refused));
      }
      *what = settings;
      break;
    case SerialOpenFault::None:
    case SerialOpenFault::Other:
      break;
  }
}

// Says why the port did not open: ExitPortOpen.
int RefusedPort(FILE* out, const PortDialogue* dialogue, const SerialOpenFailure* failure) {
  if (dialogue->port.byUsb && !dialogue->port.exists) {
    Print(out, Msg::ComOpenError);
    PrintUsbMatches(out, &dialogue->ports, &dialogue->port);
    return ExitPortOpen;
  }
  wchar_t settings[SystemTextSize];
  const wchar_t* what = nullptr;
  const wchar_t* advice = nullptr;
  WhyNotOpened(failure, settings, &what, &advice);
  wchar_t system[SystemTextSize];
  Print(out, Msg::ComOpenError);
  if (SystemErrorText(failure->code, system, SystemTextSize)) {
    Print(out, Msg::PortReasonWithSystem, what, system, advice);
  } else {
    Print(out, Msg::PortReason, what, advice);
  }
  if (failure->notRestored) PrintPortNotRestored(out, failure->restoreCode);
  return ExitPortOpen;
}

}  // namespace

bool AskForPort(const DumpOptions* options, PortDialogue* dialogue, int* status) {
  FILE* out = options->out;
  // A port given beforehand needs the listing (its number names a listed
  // port) but neither the list on the console nor the question.
  const bool showList = options->port == nullptr || options->listOnly;
  if (showList) Print(out, Msg::PortListHeading);
  SerialListPorts(&dialogue->ports);
  for (int i = 0; showList && i < dialogue->ports.count; ++i) {
    Print(out, Msg::PortListLine, dialogue->ports.ports[i].name, dialogue->ports.ports[i].desc);
  }
  if (showList && options->verbose) PrintPortDetails(out, &dialogue->ports);
  *status = ExitComplete;
  if (options->listOnly) return false;
  if (options->port != nullptr) return true;
  Print(out, Msg::AskForPort);
  // A closed input counts as a line without digits. Ctrl-C at a console ends
  // the read too, and its stop request may still be on its way. A stop request
  // that comes before the read has begun must not leave the read waiting for a
  // line the user will never type.
  if (!WaitForInput(options->in, options->stop)) {
    dialogue->line[0] = '\0';
  } else if (!ReadTypedLine(options->in, dialogue->line, sizeof dialogue->line)) {
    WaitForPendingStop(options->in, options->stop);
    dialogue->line[0] = '\0';
  }
  return true;
}

int ChooseAnsweredPort(const DumpOptions* options, PortDialogue* dialogue) {
  if (StopRequested(options->stop)) {
    PrintOnNewLine(options->out, Msg::Interrupted);
    return ExitInterrupted;
  }
  const char* given = options->port;
  if (given != nullptr && IsUsbName(given)) {
    ChooseUsbPort(given, &dialogue->ports, &dialogue->port);
  } else {
    ChoosePort(given != nullptr ? given : dialogue->line, &dialogue->ports, &dialogue->port);
  }
  return ExitComplete;
}

int CountDown(const DumpOptions* options, const PortDialogue* dialogue) {
  FILE* out = options->out;
  const PortChoice* port = &dialogue->port;
  Print(out, Msg::Connecting, port->shown);
  // The user's own terminal and the system's consoles are no ports.
  const bool users = port->exists && SerialIsUsersTerminal(port->device, options->in, out);
  if (users || (port->exists && SerialIsConsole(port->device))) {
    Print(out, Msg::ComOpenError);
    Print(out, Msg::PortReason, users ? Msg::UsersTerminal : Msg::SystemConsole,
          Msg::NotSerialPortAdvice);
    return ExitPortOpen;
  }
  for (int n = CountdownSteps; n >= 1; --n) {
    Print(out, Msg::Countdown, n);
    if (!SleepUnlessStopped(options->stop, options->countdownStepMs)) {
      PrintOnNewLine(out, Msg::Interrupted);
      return ExitInterrupted;
    }
  }
  Print(out, Msg::CommunicationStarts);
  return ExitComplete;
}

int OpenPort(const DumpOptions* options, const PortDialogue* dialogue, SerialLink** link) {
  SerialOpenFailure failure = {SerialOpenFault::NoSuchPort, 0};
  FILE* out = options->out;
  *link = nullptr;
  if (dialogue->port.exists) {
    // An open that blocks (some Bluetooth ports) must not hold a stop: it is
    // cancelled (Windows), and nothing has been sent yet.
    MarkPortOpening(out, Msg::Interrupted, ExitInterrupted);
    *link = SerialOpen(dialogue->port.device, &failure);
    MarkPortOpened();
    if (StopRequested(options->stop)) {
      unsigned long code = failure.restoreCode;
      const bool restored = *link != nullptr ? SerialClose(*link, &code) : !failure.notRestored;
      *link = nullptr;
      if (!restored) PrintPortNotRestored(out, code);
      PrintOnNewLine(out, Msg::Interrupted);
      return ExitInterrupted;
    }
  }
  if (*link != nullptr) return ExitComplete;
  return RefusedPort(out, dialogue, &failure);
}

void PrintPortNotRestored(FILE* out, unsigned long code) {
  wchar_t system[SystemTextSize];
  if (SystemErrorText(code, system, SystemTextSize)) {
    Print(out, Msg::PortNotRestoredWithSystem, system);
  } else {
    Print(out, Msg::PortNotRestored);
  }
}
