#pragma once

#include <cstdio>

// Largest console text one Print produces (longer output is cut).
constexpr size_t ConsoleTextSize = 4096;

// Formats wide text like wprintf under the selected locale and writes it to
// the console stream out at once.
void Print(FILE* out, const wchar_t* format, ...);

// Whether the last text Print wrote went to out and left its line open (it
// ends in no line end, as a progress line does).
bool LineLeftOpen(FILE* out);

// Narrow text in the locale's encoding (a system message; on Linux a
// command-line argument, see WidenArgument) as wide text, cut to size characters; byte by byte
// where it is not valid in the locale, so that it is still shown.
void Widen(const char* text, wchar_t* wide, size_t size);

// Whether the console window closes with this program, so that its last lines
// must wait for the user: this is the only process on its console (a program
// started from Windows' Explorer) and both input and output are that console.
bool WindowClosesWithProgram(unsigned long consoleProcesses, bool inputIsConsole,
                             bool outputIsConsole);

// Every character besides ASCII that the program's own messages use (the
// Japanese ones: the English are ASCII): an encoding that can encode these
// can show every message.
constexpr wchar_t MessageCharacters[] =
    L"、。あいうえかがきぎくけこさしじすせそただっつてでとどなにねのはばべほまみむめもやらりるれ"
    L"ろわをんァアィイウェォオカガキクグコサザシジスセソタダッテデトドハバパビフブプボポマムメモ"
    L"ユョラリルレロン・ー一不中了二今他付以仮位体余作使例保信個値元先入全内再出分切初別制削前力"
    L"加動取受可号各合同名含告品問器回地均変大始存完定実容対尋少届差常平度引影待後御必応性想意態"
    L"成戻抜押指接換数断方既日明時更書最期末本査検標権機正残比求決注済準状用番目直省確示秒空端答"
    L"策約索細終経絶続置能行表製要見覧言設詳語誤説読警質起転込送途通速造過違部長開間限除響順";

// Windows code page of UTF-8.
constexpr unsigned Utf8CodePage = 65001;

// The code page for console text written to a file or pipe: the console's
// output code page (consoleCodePage; 0 when the process has no console, and
// then the system's ANSI code page) when encodes says it can encode the
// messages, UTF-8 otherwise. Chosen once, so that a run never mixes the two.
unsigned RedirectCodePage(unsigned consoleCodePage, unsigned ansiCodePage,
                          bool (*encodes)(unsigned codePage));

// How long Windows lets a console event handler run before it ends the
// process when its window is closed (the default hung-application time-out,
// and the bound for a closing console).
constexpr unsigned long ConsoleCloseLimitMs = 5000;

// How long the handler of a closing console waits for the run to close its
// files: not at all while none is open (the prompt, the countdown), else the
// system's hung-application time-out (hungAppTimeoutMs; 0: unknown, the
// default), at most ConsoleCloseLimitMs. The process ends when the handler
// returns, so nothing is kept back for after the wait.
unsigned long CloseWaitMs(bool filesOpen, unsigned long hungAppTimeoutMs);
