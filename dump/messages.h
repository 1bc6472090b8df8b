// Every text the program shows its user, written once in each language it
// speaks, Japanese (the default) and English side by side: the dialogue, the
// notes and warnings of a run, the reasons after a refusal, the command-line
// messages, and the exit statuses with their meanings. Formats are wide
// printf formats (%ls for wide text), with the same conversions in the same
// order in both languages; English texts are ASCII, so that every code page
// shows them. Tests take the texts from here and walk the table.
//
// A message is one entry: Msg::Name = Texts(Japanese, English). Msg::Name
// reads as the text of the language the run speaks, chosen once at start
// (SelectLanguage); until then, Japanese.
#pragma once

#include "dump/exitstatus.h"

enum class Language { Japanese, English };
constexpr int LanguageCount = 2;

// One message: its text in each language, and the text of the language the
// run speaks.
struct Message {
  const wchar_t* text[LanguageCount];
  const wchar_t* chosen;
};

// Every message, in the order of this file. Room for all of them and those to
// come (a test fails when it is nearly full).
constexpr int MessageRoom = 256;
inline Message messageTable[MessageRoom];
inline int messageCount = 0;
// Where a message beyond the room would go (it would read wrong; the test tells).
inline Message messageOverflow;

// Enters a message into the table, in Japanese until SelectLanguage.
inline Message& AddMessage(const wchar_t* japanese, const wchar_t* english) {
  Message& entry = messageCount < MessageRoom ? messageTable[messageCount++] : messageOverflow;
  entry = Message{{japanese, english}, japanese};
  return entry;
}

// How the run names a message: the text of the language it speaks.
using MessageText = const wchar_t* const&;
inline MessageText Texts(const wchar_t* japanese, const wchar_t* english) {
  return AddMessage(japanese, english).chosen;
}

// Makes every message read in language.
inline void SelectLanguage(Language language) {
  for (int i = 0; i < messageCount; ++i) {
    messageTable[i].chosen = messageTable[i].text[static_cast<int>(language)];
  }
}

namespace Msg {

// The dialogue.
inline MessageText PortListHeading =
    Texts(L"接続されているCOMポート一覧\n", L"Connected COM ports\n");
inline MessageText PortListLine = Texts(L"%ls(%ls)\n", L"%ls(%ls)\n");  // name, description
// With --verbose, after the port lines: each port's name, then one line per
// field the system has for it.
inline MessageText PortDetailHeading = Texts(L"\n%ls:\n", L"\n%ls:\n");  // the port's name
inline MessageText PortField = Texts(  // the field's label, its text
    L"  %ls: %ls\n", L"  %ls: %ls\n");
inline MessageText FieldDevice = Texts(L"デバイス", L"device");
inline MessageText FieldFriendlyName = Texts(L"名前", L"name");
inline MessageText FieldHardwareId = Texts(L"ハードウェア ID", L"hardware id");
inline MessageText FieldUsbIds = Texts(L"USB VID:PID", L"USB VID:PID");
inline MessageText FieldSerial = Texts(L"シリアル番号", L"serial number");
inline MessageText FieldLocation = Texts(L"接続位置", L"location");
inline MessageText FieldLocationPath = Texts(L"位置のパス", L"location path");
inline MessageText FieldManufacturer = Texts(L"製造元", L"manufacturer");
inline MessageText FieldProduct = Texts(L"製品", L"product");
inline MessageText FieldDriver = Texts(L"ドライバー", L"driver");
inline MessageText FieldService = Texts(L"ドライバーのサービス", L"driver service");
inline MessageText FieldLink = Texts(L"別名", L"other name");
inline MessageText AskForPort = Texts(L"使用するCOMポートの番号を入力してください。\n",
                                      L"Enter the number of the COM port to use.\n");
inline MessageText Connecting = Texts(  // the port
    L"%lsに接続します。\n", L"Connecting to %ls.\n");
inline MessageText Countdown = Texts(  // seconds left
    L"%i秒以内にPICを接続してください。\r", L"Connect the PIC within %i s.\r");
inline MessageText CommunicationStarts = Texts(L"\n通信開始\n", L"\nCommunication starts\n");
inline MessageText PressEnter = Texts(L"Enter キーを押すと終了します。", L"Press Enter to close.");

// The progress line: the block, elapsed seconds, rate, seconds left.
inline MessageText Progress =
    Texts(L"\r%5.5x 経過時間 %3.2f秒 平均転送レート=%3.2fbyte/秒 残り %3.2f秒",
          L"\r%5.5x elapsed %3.2fs average rate=%3.2fbyte/s left %3.2fs");
inline MessageText ProgressNoRate =
    Texts(L"\r%5.5x 経過時間 %3.2f秒 平均転送レート=%3.2fbyte/秒 残り ------秒",
          L"\r%5.5x elapsed %3.2fs average rate=%3.2fbyte/s left ------s");

// What happens on the way, each on a line of its own.
inline MessageText Reread = Texts(  // block, try
    L"ブロック %5.5x を読み直します (%d 回目)。\n", L"Reading block %5.5x again (try %d).\n");
inline MessageText ReadError = Texts(L"read error\n", L"read error\n");
inline MessageText WriteError = Texts(L"write error\n", L"write error\n");
inline MessageText WaitingForLogger =
    Texts(L"ロガーの応答を待っています。Ctrl-C で終了します。\n",
          L"Waiting for the logger to answer. Ctrl-C ends the run.\n");
inline MessageText ForeignData = Texts(
    L"ポートにロガーのレコードではないデータが届いています "
    L"(別の機器がつながっているか、ポートが違います)。Ctrl-C で終了します。\n",
    L"Data that is no logger record is coming in on the port "
    L"(another device is connected, or this is the wrong port). Ctrl-C ends the run.\n");
inline MessageText NoAddresses = Texts(
    L"注意: このロガーのレコードのアドレスはメモリの番地ではないため、ブロックの位置は"
    L"確かめられません。レコードを届いた順に読み出します。\n",
    L"Note: this logger's record addresses are not memory addresses, so where a block "
    L"belongs cannot be checked. The records are read in the order they arrive.\n");

// --resume.
inline MessageText NothingToResume =
    Texts(L"続きから読み出せるブロックがありません。最初から読み出します。\n",
          L"There are no blocks to go on from. Reading from the start.\n");
inline MessageText MemoryChanged =
    Texts(L"ロガーのメモリが前回の読み出しから変わっています。最初から読み出します。\n",
          L"The logger's memory has changed since the last dump. Reading from the start.\n");
inline MessageText AlreadyComplete =
    Texts(L"読み出しは完了しています。ファイルはそのままです。\n",
          L"The dump is already complete. The files are left as they are.\n");
inline MessageText SurplusCut =
    Texts(L"読み出しは完了しています。ファイルの後ろにあった余分な部分を切り取りました。\n",
          L"The dump is already complete. What the files held beyond it was cut off.\n");
inline MessageText ResumeUnprovable = Texts(
    L"ロガーのレコードのアドレスがブロックの番地を表していないため、保存済みのブロックの"
    L"位置を確かめられません。最初から読み出します。\n",
    L"The logger's record addresses do not show the blocks' addresses, so where the "
    L"stored blocks belong cannot be checked. Reading from the start.\n");
inline MessageText Resuming = Texts(  // first block
    L"ブロック %5.5x から続きを読み出します。\n", L"Going on from block %5.5x.\n");
inline MessageText ResumeHint = Texts(
    L"続きから読み出すには loggerdump --resume を実行してください "
    L"(--port と --dir は今回と同じに)。\n",
    L"To go on from here, run loggerdump --resume "
    L"(with the same --port and --dir as this time).\n");

// How a run ended early (each after a line break of its own).
inline MessageText Interrupted = Texts(L"中断しました。\n", L"Interrupted.\n");
inline MessageText LinkLost =
    Texts(L"通信が途絶えたため中断しました。\n", L"Stopped: the link was lost.\n");
inline MessageText RepliesNeverFit = Texts(  // blocks
    L"%d 個のブロックが続けて不正だったため中断しました。応答がこのロガーのメモリのものに"
    L"見えません (別の機器か、ロガーが別のモードになっていませんか)。\n",
    L"Stopped: %d blocks in a row were bad. The replies do not look like this logger's "
    L"memory (is another device connected, or is the logger in another mode?).\n");
inline MessageText NoSoundReplyInTime = Texts(  // seconds
    L"%d 秒の間、正しいブロックが届かなかったため中断しました。応答がこのロガーのメモリのものに"
    L"見えません (別の機器か、ロガーが別のモードになっていませんか)。\n",
    L"Stopped: no sound block came for %d seconds. The replies do not look like this "
    L"logger's memory (is another device connected, or is the logger in another mode?).\n");
inline MessageText WitnessBad = Texts(  // block, tries
    L"ブロック %5.5x を %d 回読んでも正しく読めなかったため、保存済みのブロックがロガーの"
    L"メモリと同じか確かめられません。前回のファイルはそのまま残しています "
    L"(--resume なしで実行すると最初から読み出します)。\n",
    L"Block %5.5x was not read soundly in %d tries, so whether the stored blocks are the "
    L"logger's memory cannot be checked. The earlier files are left as they were "
    L"(run without --resume to read from the start).\n");
inline MessageText CannotWrite = Texts(  // file name
    L"%ls に書き込めません。\n", L"Cannot write %ls.\n");
inline MessageText CannotWriteWithSystem = Texts(  // file, system's text
    L"%ls に書き込めません (%ls)。\n", L"Cannot write %ls (%ls).\n");
inline MessageText FileLost = Texts(  // file name
    L"%ls は読み出しの間に削除されたか、別のファイルに置き換えられました。"
    L"今回読み出した内容は残っていません。もう一度 --resume なしで読み出してください。\n",
    L"%ls was removed or replaced by another file during the dump. What this run read is "
    L"not kept. Dump again without --resume.\n");

// Warnings at the end (each after a line break of its own).
inline MessageText BadBlocks = Texts(  // count, list, filler
    L"警告: 読み直しても不正なブロックが %ld 個ありました: %ls。"
    L"logger.bin のそのブロックで受け取れなかったバイトは %02X です。\n",
    L"Warning: %ld blocks were still bad after every try: %ls. "
    L"Where logger.bin got no bytes for them, it holds %02X.\n");
inline MessageText BadBlockFirst = Texts(L"%5.5x", L"%5.5x");
inline MessageText BadBlockNext = Texts(L", %5.5x", L", %5.5x");
inline MessageText BadBlocksMore = Texts(L" ほか %ld 個", L" and %ld more");
inline MessageText ShortImage =
    Texts(L"警告: logger.bin は %ld バイトです (完全なイメージは %ld バイト)。\n",
          L"Warning: logger.bin is %ld bytes (a whole image is %ld bytes).\n");
inline MessageText ExtraReplies = Texts(
    L"警告: 終了コマンドの後に、要求していないレコードが届きました。このロガーのレコードの"
    L"アドレスではブロックを確かめられないため、応答が別のブロックのものと取り違えられた"
    L"可能性があります。もう一度読み出してください。\n",
    L"Warning: records nobody asked for came after the end command. This logger's record "
    L"addresses cannot vouch for the blocks, so a reply may have been taken for another "
    L"block's. Dump again.\n");
inline MessageText ExtraRecordsNote = Texts(
    L"注意: 終了コマンドの後に、要求していないレコードが届きました。どのブロックもレコードの"
    L"アドレスで確かめてあるため、ファイルには影響しません。\n",
    L"Note: records nobody asked for came after the end command. Every block was checked "
    L"by its record addresses, so the files are not affected.\n");

// An output file that cannot be opened, and the line that says why.
inline MessageText CannotOpen = Texts(  // file name
    L"%ls が開けません。\n", L"Cannot open %ls.\n");
inline MessageText RefusedLink = Texts(
    L"その名前はシンボリックリンクです。リンク先は変更しません。"
    L"リンクを削除するか、別のフォルダで実行してください。\n",
    L"The name is a symbolic link. What it points to is left alone. "
    L"Remove the link or run in another folder.\n");
inline MessageText RefusedHardLink = Texts(
    L"そのファイルにはほかの名前 (ハードリンク) もあります。そのファイルは変更しません。"
    L"その名前を削除するか、別のフォルダで実行してください。\n",
    L"The file has other names too (hard links). It is left alone. "
    L"Remove that name or run in another folder.\n");
inline MessageText RefusedFolder = Texts(L"その名前はフォルダです。\n", L"The name is a folder.\n");
inline MessageText RefusedNotRegular =
    Texts(L"その名前は通常のファイルではありません (名前付きパイプやデバイスなど)。\n",
          L"The name is no regular file (a named pipe, a device or the like).\n");
inline MessageText RefusedInUse = Texts(
    L"ほかのプログラムが使用中です (ファイルの同期 (OneDrive など)、検索のインデックス作成、"
    L"ウイルス対策のソフト、同じフォルダで実行中の loggerdump など)。"
    L"少し待ってから、やり直してください。\n",
    L"Another program is using it (file sync such as OneDrive, search indexing, virus "
    L"protection, a loggerdump running in the same folder, ...). "
    L"Wait a moment, then try again.\n");
inline MessageText RefusedInUseLinux = Texts(
    L"ほかのプログラムが使用中です (同じフォルダで実行中の loggerdump や、"
    L"ファイルをロックしているプログラムなど)。少し待ってから、やり直してください。\n",
    L"Another program is using it (a loggerdump running in the same folder, a program "
    L"that locks the file, ...). Wait a moment, then try again.\n");
inline MessageText RefusedSystem = Texts(  // system's text
    L"ファイルを作成できません (%ls)。\n", L"The file cannot be created (%ls).\n");
inline MessageText RefusedNameTooLong =
    Texts(L"フォルダのパスが長すぎます。\n", L"The folder's path is too long.\n");

// A port that cannot be opened: the first line, then what, (the system's
// words,) and what to do. An English advice begins with its blank, so that a
// reason without one ends in its full stop.
inline MessageText ComOpenError = Texts(L"COM Open Error\n", L"COM Open Error\n");
inline MessageText PortReasonWithSystem = Texts(L"%ls (%ls)。%ls\n", L"%ls (%ls).%ls\n");
inline MessageText PortReason = Texts(L"%ls。%ls\n", L"%ls.%ls\n");
inline MessageText PortNotOpened =
    Texts(L"ポートを開けませんでした", L"The port could not be opened");
inline MessageText NoSuchPort = Texts(L"そのポートはありません", L"There is no such port");
inline MessageText NoSuchPortAdvice =
    Texts(L"ロガーがつながっているか確かめ、一覧にあるポートの番号を入力してください。",
          L" Check that the logger is connected, and enter the number of a listed port.");
inline MessageText PortAccessDenied =
    Texts(L"ポートを開く権限がありません", L"You have no permission to open the port");
inline MessageText JoinDialoutGroup = Texts(  // the advice on Linux
    L"ユーザーを dialout グループに加え (例: sudo usermod -aG dialout $USER)、"
    L"ログインし直してください。",
    L" Add the user to the dialout group (for example sudo usermod -aG dialout $USER), "
    L"then log in again.");
inline MessageText PortInUse =
    Texts(L"ポートは他のプログラムが使用中です", L"Another program is using the port");
inline MessageText PortInUseAdvice = Texts(L"そのプログラムを終了してから、やり直してください。",
                                           L" Close that program, then try again.");
inline MessageText PortBusy =
    Texts(L"ポートは使用中として開けませんでしたが、使っているプログラムは見つかりません",
          L"The port was refused as busy, but no program using it can be found");
inline MessageText PortBusyAdvice = Texts(
    L"ほかのユーザーのプログラムが使っているか、終了したプログラムがポートを確保したままです。"
    L"仮想ポートなら作ったプログラム (socat など) を起動し直し、USB アダプタなら抜き差ししてから、"
    L"やり直してください。",
    L" A program of another user is using it, or a program that ended left it held. Restart "
    L"the program behind a virtual port (socat, for example), or unplug a USB adapter and "
    L"plug it in again, then try again.");
inline MessageText NotSerialPort = Texts(L"シリアルポートではありません", L"It is no serial port");
inline MessageText UsersTerminal =
    Texts(L"そのポートはこのプログラムを動かしている端末です (制御端末または標準入出力)",
          L"That port is the terminal this program runs in (its controlling terminal, or its "
          L"standard input or output)");
inline MessageText SystemConsole = Texts(
    L"そのポートはシステムのコンソール (/dev/console または仮想端末 /dev/tty0 から /dev/tty63) "
    L"です",
    L"That port is a system console (/dev/console, or a virtual console /dev/tty0 to "
    L"/dev/tty63)");
inline MessageText NotSerialPortAdvice =
    Texts(L"一覧にあるポートの番号を入力してください。", L" Enter the number of a listed port.");
// A port named usb:... that names no port, or several: the line after "COM
// Open Error", with the name after "usb:".
inline MessageText NoUsbMatch = Texts(
    L"USB のシリアル番号か VID:PID が %ls のポートはありません。"
    L"loggerdump --list --verbose で確かめてください。\n",
    L"No port has the USB serial number or VID:PID %ls. "
    L"Check with loggerdump --list --verbose.\n");
inline MessageText SeveralUsbMatches = Texts(
    L"USB のシリアル番号か VID:PID が %ls のポートが %d 個あります: %ls。"
    L"一つに決まるシリアル番号で指定してください (loggerdump --list --verbose で表示されます)。\n",
    L"The USB serial number or VID:PID %ls names %d ports: %ls. Name the port by a serial "
    L"number that only it has (loggerdump --list --verbose shows them).\n");
inline MessageText UsbMatchFirst = Texts(  // the port's name, its description
    L"%ls(%ls)", L"%ls(%ls)");
inline MessageText UsbMatchNext = Texts(L", %ls(%ls)", L", %ls(%ls)");
inline MessageText SettingsRefused = Texts(  // baud rate
    L"ポートが %ubps、8N1、フロー制御なしの設定を受け付けませんでした",
    L"The port did not take the settings %ubps, 8N1, no flow control");
inline MessageText SettingRefused = Texts(  // baud rate, the setting below
    L"ポートが %ubps、8N1、フロー制御なしの設定を受け付けませんでした "
    L"(受け付けなかった設定: %ls)",
    L"The port did not take the settings %ubps, 8N1, no flow control (the setting refused: "
    L"%ls)");
inline MessageText SettingBaudRate = Texts(L"通信速度", L"the speed");
inline MessageText SettingDataBits = Texts(L"データビット数", L"the data bits");
inline MessageText SettingParity = Texts(L"パリティ", L"the parity");
inline MessageText SettingStopBits = Texts(L"ストップビット", L"the stop bits");
inline MessageText SettingFlowControl = Texts(L"フロー制御", L"the flow control");
inline MessageText SettingReadTimeout = Texts(L"読み出しのタイムアウト", L"the read time-out");

// A port whose earlier settings could not be put back at the end of a run.
inline MessageText PortNotRestored = Texts(
    L"注意: ポートの設定を読み出し前の状態に戻せませんでした。"
    L"ほかのプログラムで使う前に、ポートの設定を確かめてください。\n",
    L"Note: the port's earlier settings could not be put back. "
    L"Check the port's settings before another program uses it.\n");
inline MessageText PortNotRestoredWithSystem = Texts(  // system's text
    L"注意: ポートの設定を読み出し前の状態に戻せませんでした (%ls)。"
    L"ほかのプログラムで使う前に、ポートの設定を確かめてください。\n",
    L"Note: the port's earlier settings could not be put back (%ls). "
    L"Check the port's settings before another program uses it.\n");

// The command line: a problem is told after the program's name and a colon,
// then the hint; the usage text, whose statuses come from StatusMeanings.
inline MessageText ProgramPrefix = Texts(L"%ls: ", L"%ls: ");  // the program's name
inline MessageText EmptyValue = Texts(                         // the option
    L"%ls の値が空です。\n", L"The value of %ls is empty.\n");
inline MessageText BadPortValue =
    Texts(L"ポートの指定が正しくありません: %ls\n", L"Not a port: %ls\n");
inline MessageText BadLanguage = Texts(L"言語の指定が正しくありません: %ls (ja または en)\n",
                                       L"Not a language: %ls (ja or en)\n");
inline MessageText SummaryOverDump =
    Texts(L"要約のファイルに読み出したファイルの名前は使えません: %ls\n",
          L"The summary cannot take the name of a dump file: %ls\n");
inline MessageText ValueNeeded = Texts(L"%ls には値が必要です。\n", L"%ls needs a value.\n");
inline MessageText NoValueTaken = Texts(L"%ls に値は付けられません。\n", L"%ls takes no value.\n");
inline MessageText UnknownOption = Texts(L"不明なオプションです: %ls\n", L"Unknown option: %ls\n");
inline MessageText StrayArgument = Texts(L"余分な引数です: %ls\n", L"Stray argument: %ls\n");
inline MessageText NoFolder = Texts(L"フォルダがありません: %ls\n", L"No such folder: %ls\n");
inline MessageText FolderPathTooLong =
    Texts(L"フォルダのパスが長すぎます: %ls\n", L"The folder's path is too long: %ls\n");
inline MessageText HelpHint = Texts(  // the program's name
    L"使い方は %ls --help で表示されます。\n", L"Run %ls --help for the usage.\n");
inline MessageText Version = Texts(L"%ls %ls\n", L"%ls %ls\n");  // name, version
inline MessageText Usage = Texts(                                // the program's name, witnesses
    L"使い方: %ls [オプション]\n"
    L"データロガーのメモリ全体をシリアルポートから読み出し、logger.hex と logger.bin に"
    L"保存します。\n"
    L"オプションがなければ、ポートの一覧を表示して使うポートの番号を尋ねます。\n"
    L"\n"
    L"  -p, --port PORT  使うポート: 一覧の番号 (Windows では COM の番号、COM3 も可)、\n"
    L"                   Linux ではデバイスのパスも可。usb:シリアル番号 か usb:VID:PID\n"
    L"                   (--list --verbose の表示) で USB アダプターも指定できます。\n"
    L"                   一覧と質問を省きます\n"
    L"  -d, --dir DIR    logger.hex と logger.bin を書くフォルダ (既にあるもの。"
    L"既定はカレントフォルダ)\n"
    L"  -r, --resume     中断した読み出しの続きを、フォルダにある logger.hex と\n"
    L"                   logger.bin に読み出します。保存済みのブロックを検査し、\n"
    L"                   ブロック 00000 と最後のブロックを含む最大 %d ブロックを\n"
    L"                   ロガーから読み直して比べます。違えば最初から読み出し、\n"
    L"                   読めなければファイルはそのままです\n"
    L"  -l, --list       ポートの一覧を表示して終了します\n"
    L"  -v, --verbose    一覧の後に各ポートの詳細 (USB の VID:PID、シリアル番号、\n"
    L"                   接続位置、ドライバー、変わらない別名など) を表示します\n"
    L"      --lang LANG  メッセージの言語: ja (日本語、既定) または en (English)\n"
    L"      --summary FILE\n"
    L"                   終了時に、実行の要約を JSON で FILE に書きます (- なら標準出力)\n"
    L"  -h, --help       この説明を表示して終了します\n"
    L"  -V, --version    バージョンを表示して終了します\n"
    L"\n"
    L"終了コード:\n",
    L"Usage: %ls [options]\n"
    L"Reads the whole memory of the data logger over a serial port into logger.hex and\n"
    L"logger.bin.\n"
    L"Without options, lists the ports and asks for the number of the port to use.\n"
    L"\n"
    L"  -p, --port PORT  the port: a listed number (on Windows the COM number, COM3\n"
    L"                   works too), on Linux a device path too; a USB adapter also as\n"
    L"                   usb:SERIAL or usb:VID:PID (as --list --verbose shows them).\n"
    L"                   No list, no question\n"
    L"  -d, --dir DIR    the folder for logger.hex and logger.bin (it must exist; by\n"
    L"                   default the current folder)\n"
    L"  -r, --resume     go on with an interrupted dump in the folder's logger.hex and\n"
    L"                   logger.bin: the stored blocks are checked, and at most %d of\n"
    L"                   them, block 00000 and the last one among them, are read again\n"
    L"                   and compared. If one differs, the dump starts afresh; if one\n"
    L"                   cannot be read, the files stay as they are\n"
    L"  -l, --list       print the port list and exit\n"
    L"  -v, --verbose    after the list, each port's details (USB VID:PID, serial\n"
    L"                   number, location, driver, names that stay)\n"
    L"      --lang LANG  the messages' language: ja (Japanese, the default) or en\n"
    L"      --summary FILE\n"
    L"                   at the end, write a summary of the run as JSON to FILE (-:\n"
    L"                   standard output)\n"
    L"  -h, --help       print this help and exit\n"
    L"  -V, --version    print the version and exit\n"
    L"\n"
    L"Exit statuses:\n");
inline MessageText UsageStatus = Texts(L"  %3d  ", L"  %3d  ");  // then the meaning, a line end

// The summary (--summary) that could not be written, after the program's name.
inline MessageText SummaryNotWritten = Texts(  // file
    L"要約を %ls に書き込めません。\n", L"Cannot write the summary to %ls.\n");
inline MessageText SummaryNotWrittenWithSystem = Texts(  // file, system's text
    L"要約を %ls に書き込めません (%ls)。\n", L"Cannot write the summary to %ls (%ls).\n");

}  // namespace Msg

// What each exit status means, for the usage text and (in English) the
// summary. The meanings are formats that may use, in this order, the tries per
// block, the bad blocks in a row and the seconds without a sound reply after
// which a run stops.
struct StatusMeaning {
  int status;
  const Message& meaning;
};
inline const StatusMeaning StatusMeanings[] = {
    {ExitComplete,
     AddMessage(
         L"正常終了 (レコードのアドレスがメモリの番地でないロガーでは、どのレコードも正しく\n"
         L"       数も合っていたこと。二度送られた応答や別のブロックの応答は見分けられない)",
         L"complete (for a logger whose record addresses are not memory addresses:\n"
         L"       every record sound and every block's count right; a reply sent twice\n"
         L"       or another block's reply cannot be told apart)")},
    {ExitPortOpen, AddMessage(L"ポートを開けない (COM Open Error)",
                              L"the port could not be opened (COM Open Error)")},
    {ExitHexFile,
     AddMessage(L"logger.hex を作成・書き込みできない、または --dir のフォルダがない",
                L"logger.hex could not be created or written, or the --dir folder does\n"
                L"       not exist")},
    {ExitBinFile, AddMessage(L"logger.bin を作成・書き込みできない",
                             L"logger.bin could not be created or written")},
    {ExitLinkLost, AddMessage(L"通信が途絶えた", L"the link was lost")},
    {ExitSuspectImage,
     AddMessage(L"%d 回読んでも不正なままのブロックがあった、アドレスでブロックを確かめられない\n"
                L"       ロガーから終了コマンドの後にレコードが届いた、\n"
                L"       %d ブロック続けて、または %d 秒の間不正で中断した、\n"
                L"       または再開 (--resume) で確かめるブロックが読めなかった",
                L"a block stayed bad after %d tries, records came after the end command\n"
                L"       from a logger whose addresses cannot vouch for its blocks,\n"
                L"       the run stopped after %d bad blocks in a row or %d seconds of bad\n"
                L"       replies, or a block that --resume compares could not be read")},
    {ExitUsage, AddMessage(L"コマンドラインの誤り", L"the command line was wrong")},
    {ExitInterrupted, AddMessage(L"中断 (Ctrl-C など)", L"interrupted (Ctrl-C or the like)")},
};
