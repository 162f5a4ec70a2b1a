// The encoding a label file is read in, from its bytes alone.
#include "LabelEncoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "CodePage65001.h"
#include "CodePage932.h"
#include "Rows.h"

namespace {

const SystemText k932 = codepage932::Make();

// Feeds `bytes` from the first in reads of `chunk` bytes until `test`
// needs no more.
template <typename Test>
void FeedAll(Test& test, const std::string& bytes, std::size_t chunk) {
  for (std::size_t at = 0; at < bytes.size(); at += chunk)
    if (!test.Feed(bytes.data() + at, std::min(chunk, bytes.size() - at))) return;
}

// As the reader asks: the detector, then, where it asks, the ANSI test, and
// then the whole-form test, each from the first byte.
LabelEncoding Tell(const std::string& bytes, std::size_t chunk, const SystemText& system) {
  EncodingDetector detector;
  FeedAll(detector, bytes, chunk);
  bool ansi_text = true, whole_forms = true;
  if (detector.AsksAnsiTest()) {
    AnsiTextTest test(system);
    FeedAll(test, bytes, chunk);
    ansi_text = test.Finish();
  }
  if (detector.AsksWholeFormTest(ansi_text)) {
    WholeFormTest test(system);
    FeedAll(test, bytes, chunk);
    whole_forms = test.Finish();
  }
  return detector.Encoding(ansi_text, whole_forms);
}

const char* Named(LabelEncoding encoding) {
  const char* name = LabelEncodingName(encoding);
  return name ? name : "ANSI";
}

TEST(LabelEncoding, TellsTheEncodingFromTheBytes) {
  using namespace std::string_literals;
  const LabelEncoding ansi = LabelEncoding::kAnsi, utf8 = LabelEncoding::kUtf8;
  struct Case {
    int line;
    std::string bytes;
    LabelEncoding encoding;
  } const cases[] = {
      {__LINE__, "", ansi},
      {__LINE__, "A\r\n", ansi},
      {__LINE__, "\xEF\xBB\xBF", utf8},
      {__LINE__, "\xEF\xBB\xBF\xFF\x81", utf8},  // the mark decides
      {__LINE__, "\xEF\xBB", ansi},
      {__LINE__, "\xFF\xFE", LabelEncoding::kUtf16Le},
      {__LINE__, "\xFE\xFF" "A", LabelEncoding::kUtf16Be},
      {__LINE__, "\xFF", ansi},
      {__LINE__, "A\xFF\xFE", ansi},
      {__LINE__, "\xE3\x81\x82", utf8},          // three bytes, no Shift JIS reading
      // Valid both ways: UTF-8 where every character has a form of its own
      // (ラベル), Shift JIS where one has none (苺ア as the dump writes it,
      // in UTF-8 U+4543 and A), wherever that character stands.
      {__LINE__, "\xE3\x83\xA9\xE3\x83\x99\xE3\x83\xAB\r\n", utf8},
      {__LINE__, "A\r\n\xE4\x95\x83" "A\r\nB\r\n", ansi},
      {__LINE__, "\xE3\x83\xA9\xE3\x83\x99\xE4\x95\x83" "A", ansi},
      {__LINE__, "\xE4\x95\x83" "A\x1a\xE3\x83\xA9", ansi},
      {__LINE__, "\xE3\x83\xA9\x1a\xE4\x95\x83" "A", utf8},   // only the content counts
      {__LINE__, "\xF0\x9F\x98\x80\xE3\x81\x82", utf8},  // four bytes; 82 last, no Shift JIS reading
      {__LINE__, "\xF0\x9F\x98\x80", ansi},      // Shift JIS too, and no form for the emoji
      {__LINE__, "\xC3\xBD", ansi},              // two bytes, valid Shift JIS
      {__LINE__, "\xC5\x81\r\n", utf8},          // two bytes, 81 a lead byte without its trail
      {__LINE__, "\xC5\x81", utf8},
      {__LINE__, "\xE3\x81\x82\x83", ansi},      // a sequence cut short
      {__LINE__, "\xE3\x81", ansi},
      {__LINE__, "\xC0\x80", ansi},              // overlong
      {__LINE__, "\xE0\x80\x80", ansi},
      {__LINE__, "\xED\xA0\x80", ansi},          // a surrogate
      {__LINE__, "\xF4\x90\x80\x80", ansi},      // past U+10FFFF
      {__LINE__, "\xF4\x8F\xBF\xBF\xE3\x81\x82", utf8},
      // Bytes that begin no sequence: C0 and C1 (overlong two-byte forms;
      // 81 after them, a lead byte without its trail, so that no Shift JIS
      // reading hides a detector that took them), F5-F7 (four-byte forms
      // past U+10FFFF, though continuation bytes follow), F8-FE (five- and
      // six-byte forms).
      {__LINE__, "\xC0\x81", ansi},
      {__LINE__, "\xC1\x81", ansi},
      {__LINE__, "\xF5\x80\x80\x80", ansi},
      {__LINE__, "\xF6\x80\x80\x80", ansi},
      {__LINE__, "\xF7\xBF\xBF\xBF", ansi},
      {__LINE__, "\xF8\x88\x80\x80\x80", ansi},
      {__LINE__, "\xFB\xBF\xBF\xBF\xBF", ansi},
      {__LINE__, "\xFC\x84\x80\x80\x80\x80", ansi},
      {__LINE__, "\xFD\xBF\xBF\xBF\xBF\xBF", ansi},
      {__LINE__, "\xFE\x80", ansi},
      // Only the bytes before the first 0x1A count.
      {__LINE__, "A\x1a\xE3\x81\x82", ansi},
      {__LINE__, "\xE3\x81\x82\x1a\xFF", utf8},
      {__LINE__, "\xE3\x81\x1a\x82", ansi},
      {__LINE__, "\xC3\xBD\x1a\x81", ansi},
      {__LINE__, "\xC5\x81\x1a\x40", utf8},      // 81 40 would be Shift JIS, but the content ends first
      {__LINE__, "\x1a\xEF\xBB\xBF", ansi},
      {__LINE__, "\xE3\x81\x82" "abc\x1a" "efgh\xFF", utf8},  // a Ctrl-Z among eight ASCII bytes
  };
  ForEachRow(cases, [](const Case& c) {
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{64} * 1024}) {
      SCOPED_TRACE("reads of " + std::to_string(chunk) + " bytes");
      EXPECT_STREQ(Named(Tell(c.bytes, chunk, k932)), Named(c.encoding));
    }
  });
  // On code page 65001 valid UTF-8 is ANSI text too, asked of the system in
  // whole sequences however the reads split them; it reads the same either way.
  const SystemText utf8_code_page = codepage65001::Make();
  const Case on_65001[] = {
      {__LINE__, "\xC3\xA9\r\n\xC3\xA9", ansi},
      {__LINE__, "\xF0\x9F\x98\x80\xC3\xA9", utf8},
      {__LINE__, "\xC3\xA9\xC3", ansi},  // a sequence cut short: no UTF-8
  };
  ForEachRow(on_65001, [&utf8_code_page](const Case& c) {
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{64} * 1024}) {
      SCOPED_TRACE("reads of " + std::to_string(chunk) + " bytes");
      EXPECT_STREQ(Named(Tell(c.bytes, chunk, utf8_code_page)), Named(c.encoding));
    }
  });
}

// The ANSI test asks the system of whole characters only, however the
// reads split them: a character's bytes in two reads are one character, and
// one cut short by the end of the content is no valid text.
TEST(LabelEncoding, AnsiTestAsksOfWholeCharacters) {
  const SystemText utf8_code_page = codepage65001::Make();
  struct Case {
    int line;
    const SystemText* system;
    std::string bytes;
    bool valid;
  } const cases[] = {
      {__LINE__, &k932, "A\x82\xA0" "B", true},
      {__LINE__, &k932, "A\x82", false},
      {__LINE__, &k932, "\x82\x1a\xA0", false},  // the content ends inside it
      {__LINE__, &utf8_code_page, "\xF0\x9F\x98\x80\xE3\x81\x82", true},
      {__LINE__, &utf8_code_page, "A\xE3\x81", false},
      {__LINE__, &utf8_code_page, "\xE3" "AB", false},
  };
  ForEachRow(cases, [](const Case& c) {
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{64} * 1024}) {
      SCOPED_TRACE("reads of " + std::to_string(chunk) + " bytes");
      AnsiTextTest test(*c.system);
      FeedAll(test, c.bytes, chunk);
      EXPECT_EQ(test.Finish(), c.valid);
    }
  });
}

}  // namespace
