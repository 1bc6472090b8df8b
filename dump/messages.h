// Every text the program shows its user, written once: the dialogue, the
// notes and warnings of a run, the reasons after a refusal, the command-line
// messages, and the exit statuses with their meanings. Formats are wide
// printf formats (%ls for wide text). Tests take the texts from here.
#pragma once

#include "dump/exitstatus.h"

namespace Msg {

// The dialogue.
constexpr wchar_t PortListHeading[] = L"接続されているCOMポート一覧\n";
constexpr wchar_t PortListLine[] = L"%ls(%ls)\n";  // name, description
// With --verbose, after the port lines: each port's name, then one line per
// field the system has for it.
constexpr wchar_t PortDetailHeading[] = L"\n%ls:\n";  // the port's name
constexpr wchar_t PortField[] = L"  %ls: %ls\n";      // the field's label, its text
constexpr wchar_t FieldDevice[] = L"デバイス";
constexpr wchar_t FieldFriendlyName[] = L"名前";
constexpr wchar_t FieldHardwareId[] = L"ハードウェア ID";
constexpr wchar_t FieldUsbIds[] = L"USB VID:PID";
constexpr wchar_t FieldSerial[] = L"シリアル番号";
constexpr wchar_t FieldLocation[] = L"接続位置";
constexpr wchar_t FieldLocationPath[] = L"位置のパス";
constexpr wchar_t FieldManufacturer[] = L"製造元";
constexpr wchar_t FieldProduct[] = L"製品";
constexpr wchar_t FieldDriver[] = L"ドライバー";
constexpr wchar_t FieldService[] = L"ドライバーのサービス";
constexpr wchar_t FieldLink[] = L"別名";
constexpr wchar_t AskForPort[] = L"使用するCOMポートの番号を入力してください。\n";
constexpr wchar_t Connecting[] = L"%lsに接続します。\n";                 // the port
constexpr wchar_t Countdown[] = L"%i秒以内にPICを接続してください。\r";  // seconds left
constexpr wchar_t CommunicationStarts[] = L"\n通信開始\n";
constexpr wchar_t PressEnter[] = L"Enter キーを押すと終了します。";

// The progress line: the block, elapsed seconds, rate, seconds left.
constexpr wchar_t Progress[] = L"\r%5.5x 経過時間 %3.2f秒 平均転送レート=%3.2fbyte/秒 残り %3.2f秒";
constexpr wchar_t ProgressNoRate[] =
    L"\r%5.5x 経過時間 %3.2f秒 平均転送レート=%3.2fbyte/秒 残り ------秒";

// What happens on the way, each on a line of its own.
constexpr wchar_t Reread[] = L"ブロック %5.5x を読み直します (%d 回目)。\n";  // block, try
constexpr wchar_t ReadError[] = L"read error\n";
constexpr wchar_t WriteError[] = L"write error\n";
constexpr wchar_t WaitingForLogger[] = L"ロガーの応答を待っています。Ctrl-C で終了します。\n";
constexpr wchar_t ForeignData[] =
    L"ポートにロガーのレコードではないデータが届いています "
    L"(別の機器がつながっているか、ポートが違います)。Ctrl-C で終了します。\n";
constexpr wchar_t NoAddresses[] =
    L"注意: このロガーのレコードのアドレスはメモリの番地ではないため、ブロックの位置は"
    L"確かめられません。レコードを届いた順に読み出します。\n";

// --resume.
constexpr wchar_t NothingToResume[] =
    L"続きから読み出せるブロックがありません。最初から読み出します。\n";
constexpr wchar_t MemoryChanged[] =
    L"ロガーのメモリが前回の読み出しから変わっています。最初から読み出します。\n";
constexpr wchar_t AlreadyComplete[] = L"読み出しは完了しています。ファイルはそのままです。\n";
constexpr wchar_t SurplusCut[] =
    L"読み出しは完了しています。ファイルの後ろにあった余分な部分を切り取りました。\n";
constexpr wchar_t ResumeUnprovable[] =
    L"ロガーのレコードのアドレスがブロックの番地を表していないため、保存済みのブロックの"
    L"位置を確かめられません。最初から読み出します。\n";
constexpr wchar_t Resuming[] = L"ブロック %5.5x から続きを読み出します。\n";  // first block
constexpr wchar_t ResumeHint[] =
    L"続きから読み出すには loggerdump --resume を実行してください "
    L"(--port と --dir は今回と同じに)。\n";

// How a run ended early (each after a line break of its own).
constexpr wchar_t Interrupted[] = L"中断しました。\n";
constexpr wchar_t LinkLost[] = L"通信が途絶えたため中断しました。\n";
constexpr wchar_t RepliesNeverFit[] =
    L"%d 個のブロックが続けて不正だったため中断しました。応答がこのロガーのメモリのものに"
    L"見えません (別の機器か、ロガーが別のモードになっていませんか)。\n";  // blocks
constexpr wchar_t NoSoundReplyInTime[] =
    L"%d 秒の間、正しいブロックが届かなかったため中断しました。応答がこのロガーのメモリのものに"
    L"見えません (別の機器か、ロガーが別のモードになっていませんか)。\n";  // seconds
constexpr wchar_t WitnessBad[] =
    L"ブロック %5.5x を %d 回読んでも正しく読めなかったため、保存済みのブロックがロガーの"
    L"メモリと同じか確かめられません。前回のファイルはそのまま残しています "
    L"(--resume なしで実行すると最初から読み出します)。\n";     // block, tries
constexpr wchar_t CannotWrite[] = L"%ls に書き込めません。\n";  // file name
constexpr wchar_t CannotWriteWithSystem[] =
    L"%ls に書き込めません (%ls)。\n";  // file, system's text
constexpr wchar_t FileLost[] =
    L"%ls は読み出しの間に削除されたか、別のファイルに置き換えられました。"
    L"今回読み出した内容は残っていません。もう一度 --resume なしで読み出してください。\n";  // file
                                                                                            // name

// Warnings at the end (each after a line break of its own).
constexpr wchar_t BadBlocks[] =
    L"警告: 読み直しても不正なブロックが %ld 個ありました: %ls。"
    L"logger.bin のそのブロックで受け取れなかったバイトは %02X です。\n";  // count, list, filler
constexpr wchar_t BadBlockFirst[] = L"%5.5x";
constexpr wchar_t BadBlockNext[] = L", %5.5x";
constexpr wchar_t BadBlocksMore[] = L" ほか %ld 個";
constexpr wchar_t ShortImage[] =
    L"警告: logger.bin は %ld バイトです (完全なイメージは %ld バイト)。\n";
constexpr wchar_t ExtraReplies[] =
    L"警告: 終了コマンドの後に、要求していないレコードが届きました。このロガーのレコードの"
    L"アドレスではブロックを確かめられないため、応答が別のブロックのものと取り違えられた"
    L"可能性があります。もう一度読み出してください。\n";
constexpr wchar_t ExtraRecordsNote[] =
    L"注意: 終了コマンドの後に、要求していないレコードが届きました。どのブロックもレコードの"
    L"アドレスで確かめてあるため、ファイルには影響しません。\n";

// An output file that cannot be opened, and the line that says why.
constexpr wchar_t CannotOpen[] = L"%ls が開けません。\n";  // file name
constexpr wchar_t RefusedLink[] =
    L"その名前はシンボリックリンクです。リンク先は変更しません。"
    L"リンクを削除するか、別のフォルダで実行してください。\n";
constexpr wchar_t RefusedHardLink[] =
    L"そのファイルにはほかの名前 (ハードリンク) もあります。そのファイルは変更しません。"
    L"その名前を削除するか、別のフォルダで実行してください。\n";
constexpr wchar_t RefusedFolder[] = L"その名前はフォルダです。\n";
constexpr wchar_t RefusedNotRegular[] =
    L"その名前は通常のファイルではありません (名前付きパイプやデバイスなど)。\n";
constexpr wchar_t RefusedInUse[] =
    L"ほかのプログラムが使用中です (ファイルの同期 (OneDrive など)、検索のインデックス作成、"
    L"ウイルス対策のソフト、同じフォルダで実行中の loggerdump など)。"
    L"少し待ってから、やり直してください。\n";
constexpr wchar_t RefusedInUseLinux[] =
    L"ほかのプログラムが使用中です (同じフォルダで実行中の loggerdump や、"
    L"ファイルをロックしているプログラムなど)。少し待ってから、やり直してください。\n";
constexpr wchar_t RefusedSystem[] = L"ファイルを作成できません (%ls)。\n";  // system's text
constexpr wchar_t RefusedNameTooLong[] = L"フォルダのパスが長すぎます。\n";

// A port that cannot be opened: the first line, then what, (the system's
// words,) and what to do.
constexpr wchar_t ComOpenError[] = L"COM Open Error\n";
constexpr wchar_t PortReasonWithSystem[] = L"%ls (%ls)。%ls\n";
constexpr wchar_t PortReason[] = L"%ls。%ls\n";
constexpr wchar_t PortNotOpened[] = L"ポートを開けませんでした";
constexpr wchar_t NoSuchPort[] = L"そのポートはありません";
constexpr wchar_t NoSuchPortAdvice[] =
    L"ロガーがつながっているか確かめ、一覧にあるポートの番号を入力してください。";
constexpr wchar_t PortAccessDenied[] = L"ポートを開く権限がありません";
constexpr wchar_t PortInUse[] = L"ポートは他のプログラムが使用中です";
constexpr wchar_t PortInUseAdvice[] = L"そのプログラムを終了してから、やり直してください。";
constexpr wchar_t PortBusy[] =
    L"ポートは使用中として開けませんでしたが、使っているプログラムは見つかりません";
constexpr wchar_t PortBusyAdvice[] =
    L"ほかのユーザーのプログラムが使っているか、終了したプログラムがポートを確保したままです。"
    L"仮想ポートなら作ったプログラム (socat など) を起動し直し、USB アダプタなら抜き差ししてから、"
    L"やり直してください。";
constexpr wchar_t NotSerialPort[] = L"シリアルポートではありません";
constexpr wchar_t UsersTerminal[] =
    L"そのポートはこのプログラムを動かしている端末です (制御端末または標準入出力)";
constexpr wchar_t SystemConsole[] =
    L"そのポートはシステムのコンソール (/dev/console または仮想端末 /dev/tty0 から /dev/tty63) "
    L"です";
constexpr wchar_t NotSerialPortAdvice[] = L"一覧にあるポートの番号を入力してください。";
// A port named usb:... that names no port, or several: the line after "COM
// Open Error", with the name after "usb:".
constexpr wchar_t NoUsbMatch[] =
    L"USB のシリアル番号か VID:PID が %ls のポートはありません。"
    L"loggerdump --list --verbose で確かめてください。\n";
constexpr wchar_t SeveralUsbMatches[] =
    L"USB のシリアル番号か VID:PID が %ls のポートが %d 個あります: %ls。"
    L"一つに決まるシリアル番号で指定してください (loggerdump --list --verbose で表示されます)。\n";
constexpr wchar_t UsbMatchFirst[] = L"%ls(%ls)";  // the port's name, its description
constexpr wchar_t UsbMatchNext[] = L", %ls(%ls)";
constexpr wchar_t SettingsRefused[] =
    L"ポートが %ubps、8N1、フロー制御なしの設定を受け付けませんでした";  // baud rate
constexpr wchar_t SettingRefused[] =
    L"ポートが %ubps、8N1、フロー制御なしの設定を受け付けませんでした "
    L"(受け付けなかった設定: %ls)";  // baud rate, the setting below
constexpr wchar_t SettingBaudRate[] = L"通信速度";
constexpr wchar_t SettingDataBits[] = L"データビット数";
constexpr wchar_t SettingParity[] = L"パリティ";
constexpr wchar_t SettingStopBits[] = L"ストップビット";
constexpr wchar_t SettingFlowControl[] = L"フロー制御";
constexpr wchar_t SettingReadTimeout[] = L"読み出しのタイムアウト";

// A port whose earlier settings could not be put back at the end of a run.
constexpr wchar_t PortNotRestored[] =
    L"注意: ポートの設定を読み出し前の状態に戻せませんでした。"
    L"ほかのプログラムで使う前に、ポートの設定を確かめてください。\n";
constexpr wchar_t PortNotRestoredWithSystem[] =
    L"注意: ポートの設定を読み出し前の状態に戻せませんでした (%ls)。"
    L"ほかのプログラムで使う前に、ポートの設定を確かめてください。\n";  // system's text

// The command line: a problem is told after the program's name and a colon,
// then the hint; the usage text, whose statuses come from StatusMeanings.
constexpr wchar_t ProgramPrefix[] = L"%ls: ";              // the program's name
constexpr wchar_t EmptyValue[] = L"%ls の値が空です。\n";  // the option
constexpr wchar_t BadPortValue[] = L"ポートの指定が正しくありません: %ls\n";
constexpr wchar_t ValueNeeded[] = L"%ls には値が必要です。\n";
constexpr wchar_t NoValueTaken[] = L"%ls に値は付けられません。\n";
constexpr wchar_t UnknownOption[] = L"不明なオプションです: %ls\n";
constexpr wchar_t StrayArgument[] = L"余分な引数です: %ls\n";
constexpr wchar_t NoFolder[] = L"フォルダがありません: %ls\n";
constexpr wchar_t FolderPathTooLong[] = L"フォルダのパスが長すぎます: %ls\n";
constexpr wchar_t HelpHint[] = L"使い方は %ls --help で表示されます。\n";  // the program's name
constexpr wchar_t Version[] = L"%ls %ls\n";                                // name, version
constexpr wchar_t Usage[] =
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
    L"  -h, --help       この説明を表示して終了します\n"
    L"  -V, --version    バージョンを表示して終了します\n"
    L"\n"
    L"終了コード:\n";                          // the program's name
constexpr wchar_t UsageStatus[] = L"  %3d  ";  // then the meaning and a line end

}  // namespace Msg

// What each exit status means, for the usage text. The meanings are formats
// that may use, in this order, the tries per block, the bad blocks in a row
// and the seconds without a sound reply after which a run stops.
struct StatusMeaning {
  int status;
  const wchar_t* meaning;
};
constexpr StatusMeaning StatusMeanings[] = {
    {ExitComplete,
     L"正常終了 (レコードのアドレスがメモリの番地でないロガーでは、どのレコードも正しく\n"
     L"       数も合っていたこと。二度送られた応答や別のブロックの応答は見分けられない)"},
    {ExitPortOpen, L"ポートを開けない (COM Open Error)"},
    {ExitHexFile, L"logger.hex を作成・書き込みできない、または --dir のフォルダがない"},
    {ExitBinFile, L"logger.bin を作成・書き込みできない"},
    {ExitLinkLost, L"通信が途絶えた"},
    {ExitSuspectImage,
     L"%d 回読んでも不正なままのブロックがあった、アドレスでブロックを確かめられない\n"
     L"       ロガーから終了コマンドの後にレコードが届いた、\n"
     L"       %d ブロック続けて、または %d 秒の間不正で中断した、\n"
     L"       または再開 (--resume) で確かめるブロックが読めなかった"},
    {ExitUsage, L"コマンドラインの誤り"},
    {ExitInterrupted, L"中断 (Ctrl-C など)"},
};
