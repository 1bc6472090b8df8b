// The plain rules behind the Windows program's files and console, checked
// here as functions: joining a folder and a file name, the extended-length
// form of a long path, which reparse points are refused, the code page of
// redirected text (its characters: messages_test), and how long a closing
// console waits.
#include <string>

#include "platform/console.h"
#include "dump/dump.h"
#include "platform/paths.h"
#include "gtest/gtest.h"
#include "testutil.h"

namespace {

std::string Join(const char* dir, PathStyle style, size_t size = OutputPathSize) {
  char path[OutputPathSize];
  if (!JoinPath(dir, "logger.hex", style, path, size)) return "(too long)";
  return path;
}

TEST(OutputPath, FolderAndNameAreJoinedOnce) {
  EXPECT_EQ(Join(nullptr, PathStyle::Windows), "logger.hex");
  EXPECT_EQ(Join("", PathStyle::Posix), "logger.hex");
  EXPECT_EQ(Join("dumps", PathStyle::Posix), "dumps/logger.hex");
  EXPECT_EQ(Join("dumps/", PathStyle::Posix), "dumps/logger.hex");
  EXPECT_EQ(Join("a\\b", PathStyle::Posix), "a\\b/logger.hex");  // a backslash is a name's own
  EXPECT_EQ(Join("D:\\dumps", PathStyle::Windows), "D:\\dumps\\logger.hex");
  EXPECT_EQ(Join("D:\\", PathStyle::Windows), "D:\\logger.hex");
  EXPECT_EQ(Join("D:/dumps/", PathStyle::Windows), "D:/dumps/logger.hex");
  // A bare drive is that drive's current folder, not its root.
  EXPECT_EQ(Join("D:", PathStyle::Windows), "D:logger.hex");
  EXPECT_EQ(Join("DD:", PathStyle::Windows), "DD:\\logger.hex");
  EXPECT_EQ(Join("\\\\server\\share", PathStyle::Windows), "\\\\server\\share\\logger.hex");
  // "d/logger.hex" and its terminator need 13 bytes.
  EXPECT_EQ(Join("d", PathStyle::Posix, 13), "d/logger.hex");
  EXPECT_EQ(Join("d", PathStyle::Posix, 12), "(too long)");
}

std::wstring Extended(const wchar_t* full, size_t size = 64) {
  wchar_t out[64];
  if (!ExtendedLengthPath(full, out, size)) return L"(too long)";
  return out;
}

TEST(OutputPath, LongWindowsPathsTakeTheExtendedForm) {
  EXPECT_EQ(Extended(L"C:\\x\\logger.hex"), L"\\\\?\\C:\\x\\logger.hex");
  EXPECT_EQ(Extended(L"\\\\server\\share\\x"), L"\\\\?\\UNC\\server\\share\\x");
  EXPECT_EQ(Extended(L"\\\\?\\C:\\x"), L"\\\\?\\C:\\x");
  EXPECT_EQ(Extended(L"\\\\.\\COM3"), L"\\\\.\\COM3");
  EXPECT_EQ(Extended(L"C:\\x", 9), L"\\\\?\\C:\\x");
  EXPECT_EQ(Extended(L"C:\\x", 8), L"(too long)");
}

// "logger.hex" typed in a folder of the given length, as GetFullPathNameW
// makes it full, then as the system is given it.
std::wstring InFolderOf(size_t folderLength, size_t size = OutputPathSize) {
  const std::wstring full = L"C:\\" + std::wstring(folderLength - 3, L'd') + L"\\logger.hex";
  wchar_t out[OutputPathSize];
  if (!SystemPath(full.c_str(), out, size)) return L"(too long)";
  return out;
}

// The full path decides, not the short name typed: 259 characters are taken
// as they are, 260 reach the system's limit.
TEST(OutputPath, TheFullPathsLengthDecidesTheForm) {
  EXPECT_EQ(InFolderOf(248), L"C:\\" + std::wstring(245, L'd') + L"\\logger.hex");
  EXPECT_EQ(InFolderOf(249), L"\\\\?\\C:\\" + std::wstring(246, L'd') + L"\\logger.hex");
  EXPECT_EQ(InFolderOf(249, 264), L"(too long)");
  EXPECT_EQ(InFolderOf(248, 259), L"(too long)");
}

TEST(OutputPath, OnlyNameSurrogateReparsePointsAreRefused) {
  EXPECT_TRUE(RefusedReparseTag(0xA000000CUL));   // symbolic link
  EXPECT_TRUE(RefusedReparseTag(0xA0000003UL));   // junction, mount point
  EXPECT_TRUE(RefusedReparseTag(0xA000001DUL));   // WSL symbolic link
  EXPECT_FALSE(RefusedReparseTag(0x80000013UL));  // data deduplication
  EXPECT_FALSE(RefusedReparseTag(0x80000017UL));  // compressed (WOF)
  EXPECT_FALSE(RefusedReparseTag(0x9000001AUL));  // cloud file
  EXPECT_FALSE(RefusedReparseTag(0x80000023UL));  // AF_UNIX socket
}

bool EncodesOnly932(unsigned codePage) {
  return codePage == 932;
}

TEST(RedirectedText, ConsoleCodePageWhenItEncodesTheMessagesElseUtf8) {
  EXPECT_EQ(RedirectCodePage(932, 1252, EncodesOnly932), 932u);
  EXPECT_EQ(RedirectCodePage(437, 932, EncodesOnly932), Utf8CodePage);  // the console decides
  EXPECT_EQ(RedirectCodePage(0, 932, EncodesOnly932), 932u);            // no console: the system's
  EXPECT_EQ(RedirectCodePage(0, 1252, EncodesOnly932), Utf8CodePage);
  EXPECT_EQ(RedirectCodePage(Utf8CodePage, 1252, EncodesOnly932), Utf8CodePage);
  EXPECT_EQ(RedirectCodePage(0, 0, EncodesOnly932), Utf8CodePage);
}

TEST(ClosingConsole, WaitsOnlyWhileFilesAreOpenAndWithinTheSystemsTimeOut) {
  EXPECT_EQ(CloseWaitMs(false, 5000), 0u);  // the prompt, the countdown: end at once
  EXPECT_EQ(CloseWaitMs(true, 5000), 5000u);
  EXPECT_EQ(CloseWaitMs(true, 0), 5000u);      // unknown: the default
  EXPECT_EQ(CloseWaitMs(true, 2000), 2000u);   // a lower time-out set by the user
  EXPECT_EQ(CloseWaitMs(true, 20000), 5000u);  // a closing console ends after 5 s anyway
}

}  // namespace
