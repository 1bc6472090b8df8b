// The message table: every message in both languages, with the same printf
// conversions in the same order, English in ASCII, switched as a whole; and
// the characters besides ASCII whose code page shows the Japanese ones.
#include <algorithm>
#include <iterator>
#include <set>
#include <string>

#include "dump/messages.h"
#include "gtest/gtest.h"
#include "platform/console.h"
#include "testutil.h"

namespace {

// The conversions of a printf format in order: length modifiers and letter
// ("%%" counts as one, alike in both languages).
std::string Conversions(const wchar_t* format) {
  std::string found;
  for (const wchar_t* c = std::wcschr(format, L'%'); c != nullptr; c = std::wcschr(c + 1, L'%')) {
    c += 1 + std::wcsspn(c + 1, L"-+ #0123456789.");
    while (*c == L'l' || *c == L'h') found += static_cast<char>(*c++);
    if (*c == L'\0') return found + "(cut off)";
    found += static_cast<char>(*c);
    found += ' ';
  }
  return found;
}

TEST(MessageTable, EveryMessageInBothLanguagesAlike) {
  ASSERT_GT(messageCount, 80);
  EXPECT_LT(messageCount, MessageRoom * 7 / 8)
      << "the table is nearly full: make MessageRoom larger";
  for (int i = 0; i < messageCount; ++i) {
    const wchar_t* japanese = messageTable[i].text[static_cast<int>(Language::Japanese)];
    const wchar_t* english = messageTable[i].text[static_cast<int>(Language::English)];
    SCOPED_TRACE(Utf8(japanese));
    ASSERT_TRUE(japanese[0] != L'\0' && english[0] != L'\0');
    EXPECT_EQ(Conversions(japanese), Conversions(english)) << Utf8(english);
    EXPECT_TRUE(std::all_of(english, english + std::wcslen(english), [](wchar_t c) {
      return c > 0 && c < 0x80;
    })) << Utf8(english);
    // Room for the values in one Print.
    EXPECT_LT(std::max(std::wcslen(japanese), std::wcslen(english)), ConsoleTextSize / 2);
  }
}

TEST(MessageTable, OneChoiceSwitchesEveryMessage) {
  SelectLanguage(Language::English);
  EXPECT_STREQ(Msg::Interrupted, L"Interrupted.\n");
  EXPECT_STREQ(StatusMeanings[0].meaning.chosen, StatusMeanings[0].meaning.text[1]);
  int english = 0;
  for (int i = 0; i < messageCount; ++i)
    english += messageTable[i].chosen == messageTable[i].text[1];
  SelectLanguage(Language::Japanese);
  EXPECT_EQ(english, messageCount);
  EXPECT_STREQ(Msg::Interrupted, L"中断しました。\n");
}

// Which code page shows the messages is decided on MessageCharacters: it must
// hold every character besides ASCII the Japanese texts use, and nothing else.
TEST(MessageTable, MessageCharactersAreExactlyThoseOfTheJapaneseTexts) {
  std::set<wchar_t> used;
  for (int i = 0; i < messageCount; ++i) {
    for (const wchar_t* c = messageTable[i].text[0]; *c != L'\0'; ++c) {
      if (*c >= 0x80) used.insert(*c);
    }
  }
  const std::set<wchar_t> listed(std::begin(MessageCharacters), std::end(MessageCharacters) - 1);
  std::wstring missing, unused;
  std::set_difference(used.begin(), used.end(), listed.begin(), listed.end(),
                      std::back_inserter(missing));
  std::set_difference(listed.begin(), listed.end(), used.begin(), used.end(),
                      std::back_inserter(unused));
  EXPECT_TRUE(missing.empty()) << "missing: " << Utf8(missing.c_str());
  EXPECT_TRUE(unused.empty()) << "used by no message: " << Utf8(unused.c_str());
}

}  // namespace
