#include "TraceFormat.h"

#include <gtest/gtest.h>

#include <climits>
#include <iterator>
#include <locale>
#include <string>

namespace {

const char kFile[] = "C:\\build\\src\\Vemtrell.cpp";

struct Case {
  int line;  // of the case, so a failure points at it
  std::string got;
  std::string expected;
};

void ExpectAll(const Case* cases, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    SCOPED_TRACE("case at line " + std::to_string(cases[i].line));
    EXPECT_EQ(cases[i].got, cases[i].expected);
  }
}

TEST(TraceFormat, LineNumberFillsFourColumnsAndIsNeverCut) {
  const Case cases[] = {
      {__LINE__, TraceEventLine(kFile, 5, "---start"), "Vemtrell.cpp(   5) : ---start"},
      {__LINE__, TraceEventLine(kFile, 94, "---start"), "Vemtrell.cpp(  94) : ---start"},
      {__LINE__, TraceEventLine(kFile, 155, "---end"), "Vemtrell.cpp( 155) : ---end"},
      {__LINE__, TraceEventLine(kFile, 1234, "x"), "Vemtrell.cpp(1234) : x"},
      {__LINE__, TraceEventLine(kFile, 12345, "x"), "Vemtrell.cpp(12345) : x"},
  };
  ExpectAll(cases, std::size(cases));
}

TEST(TraceFormat, FileNameLosesEveryDirectoryPart) {
  const Case cases[] = {
      {__LINE__, TraceBaseName("/work/main/src/Vemtrell.cpp"), "Vemtrell.cpp"},
      {__LINE__, TraceBaseName("src\\Vemtrell.cpp"), "Vemtrell.cpp"},
      {__LINE__, TraceBaseName("C:/a\\b/Vemtrell.cpp"), "Vemtrell.cpp"},
      {__LINE__, TraceBaseName("Vemtrell.cpp"), "Vemtrell.cpp"},
      {__LINE__, TraceEventLine("../src/Vemtrell.cpp", 94, "e"), "Vemtrell.cpp(  94) : e"},
  };
  ExpectAll(cases, std::size(cases));
}

TEST(TraceFormat, BodyFormsWriteValuesAsTheyStand) {
  const std::string long_text(259, 'd');
  const Case cases[] = {
      {__LINE__, TraceTextLine(kFile, 95, "cmd_line", ""), "Vemtrell.cpp(  95) : cmd_line="},
      {__LINE__, TraceTextLine(kFile, 95, "cmd_line", nullptr), "Vemtrell.cpp(  95) : cmd_line=<NULL>"},
      {__LINE__, TraceTextLine(kFile, 73, "pch", "\x83\x65\x83\x58\x83\x67 \r\xFF"),
       "Vemtrell.cpp(  73) : pch=\x83\x65\x83\x58\x83\x67 \r\xFF"},
      {__LINE__, TraceTextLine(kFile, 99, "path", long_text.c_str()), "Vemtrell.cpp(  99) : path=" + long_text},
      {__LINE__, TraceNumberLine(kFile, 39, "n_items", 0), "Vemtrell.cpp(  39) : n_items=0"},
      {__LINE__, TraceNumberLine(kFile, 39, "n_items", 7), "Vemtrell.cpp(  39) : n_items=7"},
      {__LINE__, TraceNumberLine(kFile, 39, "n_items", -1), "Vemtrell.cpp(  39) : n_items=-1"},
      {__LINE__, TraceNumberLine(kFile, 39, "n_items", 1000000), "Vemtrell.cpp(  39) : n_items=1000000"},
      {__LINE__, TraceNumberLine(kFile, 39, "n_items", INT_MIN), "Vemtrell.cpp(  39) : n_items=-2147483648"},
      {__LINE__, TraceNumberLine(kFile, 39, "n_items", INT_MAX), "Vemtrell.cpp(  39) : n_items=2147483647"},
      {__LINE__, TraceHandleLine(kFile, 107, "hw", 0), "Vemtrell.cpp( 107) : hw=00000000"},
      {__LINE__, TraceHandleLine(kFile, 107, "hw", 0x1A2B), "Vemtrell.cpp( 107) : hw=00001A2B"},
      {__LINE__, TraceHandleLine(kFile, 7, "hw", 0xDEADBEEF), "Vemtrell.cpp(   7) : hw=DEADBEEF"},
      {__LINE__, TraceMessageTextLine(kFile, 28, "Failed to open for writing : ", "dump.txt"),
       "Vemtrell.cpp(  28) : Failed to open for writing : dump.txt"},
      {__LINE__, TraceMessageTextLine(kFile, 28, "Failed to write : ", ""),
       "Vemtrell.cpp(  28) : Failed to write : "},
  };
  ExpectAll(cases, std::size(cases));
}

// A user locale with digit grouping must not reach the trace: counts are
// read by tools, not people.
struct Grouping : std::numpunct<char> {
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(TraceFormat, GlobalLocaleWithGroupingDoesNotReachTheLine) {
  const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new Grouping));
  const std::string number = TraceNumberLine(kFile, 1234, "n_items", 1234567);
  const std::string handle = TraceHandleLine(kFile, 1234, "hw", 0x12345678);
  std::locale::global(previous);
  EXPECT_EQ(number, "Vemtrell.cpp(1234) : n_items=1234567");
  EXPECT_EQ(handle, "Vemtrell.cpp(1234) : hw=12345678");
}

}  // namespace
