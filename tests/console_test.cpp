// Console text on Linux: the bytes it becomes and how it reaches the stream.
#include <sys/socket.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "dump/messages.h"
#include "platform/platform.h"
#include "gtest/gtest.h"

namespace {

constexpr wchar_t ProgressText[] =
    L"\r11300 経過時間 0.12秒 平均転送レート=567741.94byte/秒 残り 0.34秒";

// Characters a locale may not encode: accented Latin, kanji, a typographic
// apostrophe, a surrogate, a full-width letter, a value beyond Unicode.
constexpr wchar_t HardText[] = {L'a',   0xE9, L'b',   0x65E5, L'c',     0x2019, L'd',
                                0xD800, L'e', 0xFF21, L'f',   0x110000, L'\n',  0};

// A stream that records every write that reaches its "device".
struct Device {
  std::vector<std::string> writes;
  bool fail = false;
};

ssize_t DeviceWrite(void* cookie, const char* bytes, size_t size) {
  Device* device = static_cast<Device*>(cookie);
  if (device->fail) return 0;
  device->writes.emplace_back(bytes, size);
  return static_cast<ssize_t>(size);
}

FILE* OpenDevice(Device* device) {
  const cookie_io_functions_t functions = {nullptr, DeviceWrite, nullptr, nullptr};
  FILE* file = fopencookie(device, "w", functions);
  setvbuf(file, nullptr, _IOFBF, 4096);
  return file;
}

// The bytes in the file under the stream, whatever the stream's orientation.
std::string ReadBack(FILE* file) {
  std::fflush(file);
  std::string bytes;
  char chunk[256];
  ssize_t n;
  for (off_t at = 0; (n = pread(fileno(file), chunk, sizeof chunk, at)) > 0; at += n) {
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}

// What glibc's own wide output makes of text under the current locale.
std::string WideStreamBytes(const wchar_t* text) {
  FILE* file = std::tmpfile();
  std::fputws(text, file);
  std::string bytes = ReadBack(file);
  std::fclose(file);
  return bytes;
}

std::string ConsoleBytes(const wchar_t* text, bool* ok) {
  FILE* file = std::tmpfile();
  *ok = ConsoleWrite(file, text);
  std::string bytes = ReadBack(file);
  std::fclose(file);
  return bytes;
}

class ConsoleText : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (std::setlocale(LC_ALL, GetParam()) == nullptr) GTEST_SKIP() << "no locale " << GetParam();
  }
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_P(ConsoleText, SameBytesAsTheWideStream) {
  for (const wchar_t* text : {ProgressText, HardText, L"", L"COM Open Error\n"}) {
    bool ok = false;
    EXPECT_EQ(ConsoleBytes(text, &ok), WideStreamBytes(text)) << GetParam();
    EXPECT_TRUE(ok);
  }
}

INSTANTIATE_TEST_SUITE_P(Locales, ConsoleText, ::testing::Values("C.UTF-8", "C", "ja_JP.UTF-8"));

// A stream whose writes stay apart: each write on a sequenced-packet socket
// arrives as one message.
struct PacketStream {
  int ends[2] = {-1, -1};
  FILE* file = nullptr;
  PacketStream() {
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) return;
    file = fdopen(ends[0], "w");
    setvbuf(file, nullptr, _IOFBF, 4096);
  }
  ~PacketStream() {
    if (file != nullptr) std::fclose(file);
    if (ends[1] >= 0) close(ends[1]);
  }
  std::vector<std::string> Writes() {
    std::vector<std::string> writes;
    char message[8192];
    ssize_t n;
    while ((n = recv(ends[1], message, sizeof message, MSG_DONTWAIT)) > 0) {
      writes.emplace_back(message, static_cast<size_t>(n));
    }
    return writes;
  }
};

TEST(ConsoleWrite, ProgressLineIsOneWrite) {
  std::setlocale(LC_ALL, "C.UTF-8");
  PacketStream stream;
  ASSERT_NE(stream.file, nullptr);
  EXPECT_TRUE(ConsoleWrite(stream.file, ProgressText));
  std::vector<std::string> writes = stream.Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], WideStreamBytes(ProgressText));
  EXPECT_TRUE(ConsoleWrite(stream.file, ProgressText));
  EXPECT_EQ(stream.Writes().size(), 1u);  // flushed at once, not held back
  std::setlocale(LC_ALL, "C");
}

TEST(ConsoleWrite, LongTextArrivesWhole) {
  std::setlocale(LC_ALL, "C.UTF-8");
  std::wstring text;
  for (int i = 0; i < 300; ++i) text += Msg::PortListHeading;
  Device device;
  FILE* out = OpenDevice(&device);
  EXPECT_TRUE(ConsoleWrite(out, text.c_str()));
  std::fclose(out);
  std::string all;
  for (const std::string& w : device.writes) all += w;
  EXPECT_TRUE(all == WideStreamBytes(text.c_str()));
  std::setlocale(LC_ALL, "C");
}

TEST(ConsoleWrite, ReportsAStreamThatCannotBeWritten) {
  std::setlocale(LC_ALL, "C.UTF-8");
  Device device;
  device.fail = true;
  FILE* out = OpenDevice(&device);
  EXPECT_FALSE(ConsoleWrite(out, ProgressText));
  std::fclose(out);
  std::setlocale(LC_ALL, "C");
}

}  // namespace
