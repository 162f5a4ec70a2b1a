#include "CommandTail.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Wide(const char* bytes) {
  std::wstring wide;
  for (const char* p = bytes; *p; ++p) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
  return wide;
}

TEST(CommandTail, SkipsTheProgramNameAndTheBlanksAfterIt) {
  struct Case {
    int line;
    const char* command_line;
    const char* tail;
  } const cases[] = {
      {__LINE__, "Vemtrell.exe", ""},
      {__LINE__, "Vemtrell.exe /dump", "/dump"},
      {__LINE__, "\"C:\\Program Files\\V\\Vemtrell.exe\" /dump", "/dump"},
      {__LINE__, "\"C:\\Program Files\\V\\Vemtrell.exe\"", ""},
      {__LINE__, "\"C:\\Program Files\\V\\Vemtrell.exe\"labels.txt", ""},  // one run: all name
      {__LINE__, "C:\\V\\\"Program Files\"\\Vemtrell.exe x", "x"},
      {__LINE__, "Vemtrell.exe   \t  ", ""},
      {__LINE__, "Vemtrell.exe\t\t a b  ", "a b  "},
      {__LINE__, "Vemtrell.exe \"my labels.txt\" ", "\"my labels.txt\" "},
      {__LINE__, "Vemtrell.exe \x01\x1f\x20", ""},
      {__LINE__, "\"unterminated name with blanks", ""},
      {__LINE__, "", ""},
      // Bytes above 0x7F compare as unsigned: part of the name, kept in the tail.
      {__LINE__, "Vemtrell.exe \x83\x65\x83\x58\x83\x67.txt", "\x83\x65\x83\x58\x83\x67.txt"},
      {__LINE__, "Vemtrell.exe\t\x82\xA0 \xFF", "\x82\xA0 \xFF"},
      {__LINE__, "\x83\x65\x83\x58\x83\x67.exe /dump", "/dump"},
      {__LINE__, "C:\\\x95\x5C\\Vemtrell.exe x", "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("case at line " + std::to_string(c.line));
    EXPECT_EQ(std::string(CommandTail(c.command_line)), c.tail);
    // The wide command line by the same rules: each byte as a character.
    const std::wstring wide = Wide(c.command_line);
    EXPECT_EQ(std::wstring(CommandTail(wide.c_str())), Wide(c.tail));
  }
  EXPECT_STREQ(CommandTail<char>(nullptr), "");
  EXPECT_STREQ(CommandTail<wchar_t>(nullptr), L"");
  // Characters past one byte: part of the name or of the tail, never blanks.
  EXPECT_STREQ(CommandTail(L"\uB77C.exe \u3000\uB77C\uBCA8.txt"), L"\u3000\uB77C\uBCA8.txt");
}

// The mode comes from the wide command line's tail: the 8-bit one is the
// code page's best fit of it, which may gain a quote or a blank.
TEST(CommandTail, ModeOfTheTail) {
  struct Case {
    int line;
    const char* tail;
    TailMode mode;
  } const cases[] = {
      {__LINE__, "", TailMode::kDefault},
      {__LINE__, "/dump", TailMode::kDump},
      {__LINE__, "x /dump y", TailMode::kDump},
      {__LINE__, "C:/dump/labels.txt", TailMode::kDump},
      {__LINE__, "/dum", TailMode::kLabelFile},
      {__LINE__, "/DUMP", TailMode::kLabelFile},
      {__LINE__, "\"\"", TailMode::kLabelFile},
      {__LINE__, "labels.txt", TailMode::kLabelFile},
      {__LINE__, "\x83/dump", TailMode::kDump},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("case at line " + std::to_string(c.line));
    EXPECT_EQ(ModeOfTail(c.tail), c.mode);
    EXPECT_EQ(ModeOfTail(Wide(c.tail).c_str()), c.mode);
  }
  EXPECT_EQ(ModeOfTail<char>(nullptr), TailMode::kDefault);
  // U+FF02 in a folder's name: its best fit on code page 1252 is a quote,
  // which ends the 8-bit name early and takes the tail into it.
  EXPECT_EQ(ModeOfTail(CommandTail(L"\"C:\\T\uFF02X\\Vemtrell.exe\" labels.txt")), TailMode::kLabelFile);
  EXPECT_EQ(ModeOfTail(CommandTail("\"C:\\T\"X\\Vemtrell.exe\" labels.txt")), TailMode::kDefault);
}

TEST(CommandTail, TailPointsIntoTheCommandLine) {
  const char command_line[] = "\"a b.exe\"  rest";
  EXPECT_EQ(CommandTail(command_line), command_line + 11);
}

TEST(CommandTail, QuotedTailNamesWhatStandsBetweenTheQuotes) {
  struct Case {
    int line;
    const char* tail;
    const char* path;
  } const cases[] = {
      {__LINE__, "", ""},
      {__LINE__, "config.txt", "config.txt"},
      {__LINE__, "labels.txt  ", "labels.txt  "},  // unquoted: unchanged
      {__LINE__, "\"C:\\my labels.txt\"", "C:\\my labels.txt"},
      {__LINE__, "\"C:\\my labels.txt\" \t ", "C:\\my labels.txt"},
      {__LINE__, "\"\x83\x65 \x83\x58.txt\"", "\x83\x65 \x83\x58.txt"},
      {__LINE__, "\"\"", ""},
      {__LINE__, "\"", "\""},
      {__LINE__, "\"  ", "\"  "},
      {__LINE__, "a\"", "a\""},
      {__LINE__, "\"a", "\"a"},
      {__LINE__, " \"a\"", " \"a\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("case at line " + std::to_string(c.line));
    EXPECT_EQ(LabelPathFromTail(c.tail), c.path);
    EXPECT_EQ(LabelPathFromTail(Wide(c.tail).c_str()), Wide(c.path));
  }
  EXPECT_EQ(LabelPathFromTail<char>(nullptr), "");
  EXPECT_EQ(LabelPathFromTail<wchar_t>(nullptr), L"");
}

}  // namespace
