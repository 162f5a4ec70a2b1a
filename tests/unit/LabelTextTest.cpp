#include "LabelText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "CodePage65001.h"
#include "CodePage932.h"
#include "Rows.h"
#ifdef _WIN32
#include "SystemText.h"
#endif

// Running out of memory on demand, for this whole test program: armed with n,
// the n-th allocation from then on fails, and every one after it.
namespace {
long g_allocations_left = -1;  // -1: never fail
// What a failing allocation throws: bad_alloc, or the length_error of a
// size past max_size (on a 32-bit build the reader meets both).
bool g_length_error = false;
}  // namespace

void* operator new(std::size_t size) {
  if (g_allocations_left == 0 && g_length_error) {
    g_allocations_left = -1;  // the exception's message takes memory of its own
    const std::length_error error("past max_size");
    g_allocations_left = 0;
    throw error;
  }
  if (g_allocations_left == 0) throw std::bad_alloc();
  if (g_allocations_left > 0) --g_allocations_left;
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}
// GCC takes free() of what a new expression gave for a mismatch, not seeing
// that this operator new is malloc's.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace {

using Labels = std::vector<std::string>;

const SystemText k932 = codepage932::Make();

template <typename Char>
std::basic_string<Char> Repeat(const Char* text, std::size_t n) {
  std::basic_string<Char> out;
  for (std::size_t i = 0; i < n; ++i) out += text;
  return out;
}
std::string Repeat(const std::string& text, std::size_t n) { return Repeat(text.c_str(), n); }
std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

// UTF-16 bytes of ASCII text and the characters given as code units.
std::string Utf16(std::u16string text, bool big_endian) {
  std::string out;
  for (char16_t unit : text) {
    const char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
    out += big_endian ? std::string{high, low} : std::string{low, high};
  }
  return out;
}

// Serves `bytes`, then fails once `fail_at` bytes have been read (never, when
// fail_at is past the end); from the start again on every rewind, unless
// it `rewinds` not.
LabelSource Serving(const std::string& bytes, std::size_t fail_at = std::string::npos, bool rewinds = true) {
  auto at = std::make_shared<std::size_t>(0);
  LabelSource source;
  source.read = [bytes, fail_at, at](char* buffer, std::size_t size, bool* failed) -> std::size_t {
    if (*at >= fail_at) {
      *failed = true;
      return 0;
    }
    const std::size_t n = std::min({size, bytes.size() - *at, fail_at - *at});
    std::memcpy(buffer, bytes.data() + *at, n);
    *at += n;
    return n;
  };
  source.rewind = [at, rewinds] {
    if (rewinds) *at = 0;
    return rewinds;
  };
  return source;
}

struct ReadCase {
  int line;
  std::string bytes;
  Labels labels;
};

std::vector<ReadCase> ReadCases() {
  using namespace std::string_literals;
  const std::string a254 = Repeat('a', 254), a255 = Repeat('a', 255);
  const std::string kan = "\x8A\xBF", a = "\x82\xA0";  // 漢 and あ in Shift JIS
  const std::string le = "\xFF\xFE", be = "\xFE\xFF", mark8 = "\xEF\xBB\xBF";
  return {
      {__LINE__, "", {}},
      {__LINE__, "A\r\nB\r\n", {"A", "B"}},
      {__LINE__, "A\nB", {"A", "B"}},
      {__LINE__, "A\r\n\r\nC\r\n", {"A", "", "C"}},
      {__LINE__, "\n", {""}},
      {__LINE__, "\r\n\r\n", {"", ""}},
      {__LINE__, "A\rB\n", {"A\rB"}},
      {__LINE__, "A\r\r\n", {"A\r"}},
      {__LINE__, "A\r", {"A\r"}},
      {__LINE__, "\r", {"\r"}},
      {__LINE__, "A\r\nB\x1a" "C\r\n", {"A", "B"}},
      {__LINE__, "\x1a" "A\r\n", {}},
      {__LINE__, "A\r\x1a", {"A\r"}},
      {__LINE__, "A\n\x1a\n", {"A"}},
      {__LINE__, "AB\0CD\n"s, {"AB"}},
      {__LINE__, "\0X\nY\n"s, {"", "Y"}},
      {__LINE__, "\0"s, {""}},
      {__LINE__, "A\0\r\nB"s, {"A", "B"}},
      {__LINE__, "\x83\x65\x83\x58\r\n\x82\xA0", {"\x83\x65\x83\x58", "\x82\xA0"}},
      {__LINE__, a254 + "\r\nB\r\n", {a254, "B"}},
      // One label per line, cut to 255 bytes: later lines stay on their items.
      {__LINE__, a255 + "\r\nB\r\n", {a255, "B"}},
      {__LINE__, a255, {a255}},
      {__LINE__, Repeat('a', 256) + "\nB", {a255, "B"}},
      {__LINE__, Repeat('a', 300) + "\r\nB\r\n", {a255, "B"}},
      {__LINE__, Repeat('a', 510) + "\r\n", {a255}},
      {__LINE__, Repeat('a', 100) + "\0"s + Repeat('b', 300) + "\n", {Repeat('a', 100)}},
      {__LINE__, Repeat('a', 254) + "\r\r\n", {a254 + "\r"}},
      {__LINE__, Repeat('a', 255) + "\r\r\n", {a255}},
      // ... at a whole character, walked from the line's start: 81 81 is one
      // character, so the byte before the cut is a trail byte like a lead.
      {__LINE__, Repeat(kan, 128) + "\r\nB", {Repeat(kan, 127), "B"}},
      {__LINE__, "a" + Repeat(kan, 128) + "\r\nB", {"a" + Repeat(kan, 127), "B"}},
      {__LINE__, "a" + Repeat("\x81\x81", 128) + "\r\n", {"a" + Repeat("\x81\x81", 127)}},
      // A line that fits keeps its last byte, a lead byte or not.
      {__LINE__, a254 + "\x81\r\nB", {a254 + "\x81", "B"}},
      {__LINE__, a254 + "\x81\0x"s, {a254 + "\x81"}},
      // UTF-8 and UTF-16, with their mark or none, converted before the line
      // rules apply: the mark is no label's, U+001A ends them.
      {__LINE__, mark8 + "A\r\n", {"A"}},
      {__LINE__, mark8 + u8"あ\r\n\r\n漢", {a, "", kan}},
      {__LINE__, u8"あ\r\n\r\n漢\r\n", {a, "", kan}},
      {__LINE__, u8"ラベル", {"\x83\x89\x83\x78\x83\x8B"}},       // also valid Shift JIS
      {__LINE__, "\xC5\x81\r\nB", {"?", "B"}},                    // Ł: not Shift JIS
      {__LINE__, "\xC3\xBD\r\n", {"\xC3\xBD"}},                   // ﾃｽ, also UTF-8 ý
      {__LINE__, mark8 + "A\xE3\x81\r\nB\xFF\r\n", {"A?", "B?"}},  // broken sequences
      {__LINE__, mark8 + u8"あ\x1a" "\xE3\x81\x82", {a}},
      {__LINE__, Repeat(u8"あ", 100) + "\r\nB", {Repeat(a, 100), "B"}},  // 300 bytes, 200 converted
      {__LINE__, Repeat(u8"漢", 128) + "\r\nB", {Repeat(kan, 127), "B"}},
      {__LINE__, le + Utf16(u"A\r\n\r\nあ\r\nB", false), {"A", "", a, "B"}},
      {__LINE__, be + Utf16(u"A\r\n\r\nあ\r\nB", true), {"A", "", a, "B"}},
      {__LINE__, le + Utf16(u"帚\x1a" "C\r\n", false), {"\x9B\xE2"}},  // 帚 is 1A 5E
      {__LINE__, be + Utf16(u"A\0B\r\nC"s, true), {"A", "C"}},
      {__LINE__, le + Utf16(u"A\r\nB", false) + "C", {"A", "B?"}},  // an odd last byte
      {__LINE__, le + Utf16(u"A\xD800\r\n\xDC00" "B", false), {"A?", "?B"}},  // lone surrogates
      {__LINE__, le + Utf16(u"\xD83D\xDE00\r\n", false), {"\x92\x91"}},  // a pair, one character
      {__LINE__, le + Utf16(u"A\xD800", false), {"A?"}},  // a high surrogate last
      {__LINE__, u8"😀\r\nBあ", {"\x92\x91", "B\x82\xA0"}},  // four bytes, one character
      // As the dump writes 苺ア: valid UTF-8 too, of a character code page
      // 932 has no form for, so read back as written.
      {__LINE__, "A\r\n\xE4\x95\x83" "A\r\nB\r\n", {"A", "\xE4\x95\x83" "A", "B"}},
      {__LINE__, le + Utf16(Repeat(u"漢", 128), false), {Repeat(kan, 127)}},
  };
}

// Through the whole reader, with every read a byte long: a mark, a CR LF, a
// NUL, a UTF-8 sequence, a code unit or a surrogate pair split over two reads
// must read the same.
Labels ReadBytewise(const std::string& bytes, const SystemText& system = k932) {
  Labels labels;
  LabelStore store;
  LabelCallbacks callbacks;
  callbacks.on_label = [&labels](const std::string& label) { labels.push_back(label); };
  EXPECT_TRUE(ReadLabelSource(Serving(bytes), system, store, callbacks, 1));
  return labels;
}

TEST(LabelText, ReadsOneLabelPerLineByTheTextModeRules) {
  for (const ReadCase& c : ReadCases()) {
    SCOPED_TRACE("case at line " + std::to_string(c.line));
    EXPECT_EQ(ReadLabels(c.bytes, k932), c.labels);
    EXPECT_EQ(ReadBytewise(c.bytes), c.labels);
#ifdef _WIN32
    // The system's own conversions give the same labels whatever the reads.
    EXPECT_EQ(ReadBytewise(c.bytes, AnsiSystemText()), ReadLabels(c.bytes, AnsiSystemText()));
#endif
  }
}

// On code page 65001 no lead byte names a character: a long line keeps the
// whole UTF-8 characters that fit, and UTF-8 text, marked or not, reads as
// it stands.
TEST(LabelText, CutsAtAWholeCharacterOnAUtf8CodePage) {
  const SystemText utf8 = codepage65001::Make();
  const std::string a = u8"あ", smile = u8"😀", label = u8"ラベル";
  const ReadCase cases[] = {
      {__LINE__, "a" + Repeat(a, 86), {"a" + Repeat(a, 84)}},     // 259 bytes: 253, not 255
      {__LINE__, "ab" + Repeat(smile, 64) + "\r\nB", {"ab" + Repeat(smile, 63), "B"}},
      {__LINE__, Repeat(a, 85) + "\r\n", {Repeat(a, 85)}},          // 255 bytes: whole
      {__LINE__, label + "\r\n\xC3\xBD\r\n", {label, "\xC3\xBD"}},
      {__LINE__, "\xEF\xBB\xBF" + label, {label}},
      {__LINE__, "\xFF\xFE" + Utf16(u"\x30E9\x30D9\x30EB", false), {label}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE("case at line " + std::to_string(c.line));
    EXPECT_EQ(ReadLabels(c.bytes, utf8), c.labels);
    EXPECT_EQ(ReadBytewise(c.bytes, utf8), c.labels);
  }
}

// The reader tells each file's encoding once, as the encoding's own rules
// (LabelEncodingTest) have it, before the first label.
TEST(LabelText, TellsTheEncodingOnceBeforeTheLabels) {
  const struct {
    int line;
    std::string bytes;
    const char* encoding;
  } cases[] = {
      {__LINE__, "A\r\n\xE4\x95\x83" "A\r\n", "ANSI"},  // the export of 苺ア
      {__LINE__, "\xE3\x83\xA9\xE3\x83\x99\xE3\x83\xAB\r\n", "UTF-8"},
      {__LINE__, "\xEF\xBB\xBF" "A", "UTF-8"},
      {__LINE__, "\xFE\xFF\x00" "A", "UTF-16BE"},
      {__LINE__, "\xC3\xBD\r\n", "ANSI"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case at line " + std::to_string(c.line));
    std::vector<std::string> events;
    LabelCallbacks callbacks;
    callbacks.on_encoding = [&events](LabelEncoding encoding) {
      const char* name = LabelEncodingName(encoding);
      events.push_back(name ? name : "ANSI");
    };
    callbacks.on_label = [&events](const std::string&) { events.push_back("label"); };
    LabelStore store;
    ASSERT_TRUE(ReadLabelSource(Serving(c.bytes), k932, store, callbacks, 2));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0], c.encoding);
    EXPECT_EQ(std::count(events.begin(), events.end(), "label"), static_cast<long>(events.size() - 1))
        << "the encoding is told once";
  }
}

TEST(LabelText, NothingIsReadAfterTheEndOfContent) {
  Labels labels;
  LabelLineReader reader;
  EXPECT_TRUE(reader.Feed("A\r", 2, labels));
  EXPECT_FALSE(reader.Feed("\x1a" "B\n", 3, labels));
  EXPECT_FALSE(reader.Feed("C\n", 2, labels));
  reader.Finish(labels);
  reader.Finish(labels);
  EXPECT_EQ(labels, Labels({"A\r"}));
}

TEST(LabelText, WritesEveryLineFeedAsCrLfAndAllElseUnchanged) {
  struct Case {
    int line;
    const char* text;
    std::string written;
  } const cases[] = {
      {__LINE__, "", "\r\n"},
      {__LINE__, "A", "A\r\n"},
      {__LINE__, "a\nb", "a\r\nb\r\n"},
      {__LINE__, "\n\n", "\r\n\r\n\r\n"},
      {__LINE__, "x\ry\x1a", "x\ry\x1a\r\n"},
      {__LINE__, "\x83\x65\xFF", "\x83\x65\xFF\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("case at line " + std::to_string(c.line));
    std::string out = "kept";
    AppendLabelLine(out, c.text);
    EXPECT_EQ(out, "kept" + c.written);
  }
}

TEST(LabelText, StoreKeepsEachLabelWholeAndInOrder) {
  const Labels labels = {"first", "", "\x83\x65\r\xFF", std::string(255, 'z'), "last"};
  LabelStore store;
  store.Reserve(8);  // smaller than needed: the buffer must still grow right
  for (const std::string& label : labels) ASSERT_TRUE(store.Append(label));
  ASSERT_EQ(store.size(), labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) EXPECT_EQ(std::string(store[i]), labels[i]) << "label " << i;
}

struct FileResult {
  bool ok;
  Labels kept;   // what the store holds afterwards
  Labels called; // what the callback saw
};

FileResult ReadThrough(const LabelSource& source, LabelStore& store) {
  FileResult result = {false, {}, {}};
  LabelCallbacks callbacks;
  callbacks.on_label = [&result](const std::string& label) { result.called.push_back(label); };
  result.ok = ReadLabelSource(source, k932, store, callbacks);
  for (std::size_t i = 0; i < store.size(); ++i) result.kept.push_back(store[i]);
  return result;
}

// The file is read to its end or not at all: a read error or a full store
// keeps no label, however many were read before.
TEST(LabelText, FileIsReadWholeOrNotAtAll) {
  std::string big;  // two reads' worth of lines, so the error can fall in the second
  for (int i = 0; i < 10000; ++i) big += "Label " + std::to_string(i) + "\r\n";
  const std::size_t never = std::string::npos;
  struct Case {
    int line;
    std::string bytes;
    std::size_t fail_at, max_bytes;
    bool ok;
    Labels kept;
  };
  const Case cases[] = {
      {__LINE__, "A\r\nB\r\nC", never, UINT32_MAX, true, {"A", "B", "C"}},
      {__LINE__, "", never, UINT32_MAX, true, {}},
      {__LINE__, "A\r\nB\r\n", 0, UINT32_MAX, false, {}},
      {__LINE__, "A\r\nB\r\nC", 4, UINT32_MAX, false, {}},           // fails after whole lines
      {__LINE__, "A\r\nB\x1a\r\nC", 5, UINT32_MAX, true, {"A", "B"}},  // the content ended first
      {__LINE__, big, 100000, UINT32_MAX, false, {}},                  // fails in the second read
      {__LINE__, "A\r\nB\r\nC", never, 4, false, {}},               // room for "A" and "B" only
      {__LINE__, "A\r\nB\r\n", never, 4, true, {"A", "B"}},           // exactly full
      {__LINE__, "\xEF\xBB\xBF" "A\r\nB", 6, UINT32_MAX, false, {}},   // converted text too
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("case at line " + std::to_string(c.line));
    LabelStore store(c.max_bytes);
    const FileResult got = ReadThrough(Serving(c.bytes, c.fail_at), store);
    EXPECT_EQ(got.ok, c.ok);
    EXPECT_EQ(got.kept, c.kept);
    if (c.ok) {
      EXPECT_EQ(got.called, c.kept);
    }
  }
  // Whole, the big file's labels arrive in order through both.
  LabelStore store;
  const FileResult whole = ReadThrough(Serving(big), store);
  ASSERT_TRUE(whole.ok);
  ASSERT_EQ(whole.kept.size(), 10000u);
  EXPECT_EQ(whole.kept[9999], "Label 9999");
  EXPECT_EQ(whole.called, whole.kept);
  // A file that cannot be read again from its start is not read at all,
  // nor one whose text the system could not convert.
  LabelStore unread;
  EXPECT_FALSE(ReadThrough(Serving("A\r\n", never, false), unread).ok);
  SystemText failing = k932;
  failing.utf8_to_ansi = [](const char*, std::size_t, std::string&) { return false; };
  LabelStore unconverted;
  LabelCallbacks callbacks;
  EXPECT_FALSE(ReadLabelSource(Serving("\xEF\xBB\xBF" "A\r\nB"), failing, unconverted, callbacks));
  EXPECT_EQ(unconverted.size(), 0u);
}

// Memory that runs out at any allocation of the reading (the reader's own
// buffers, the store, the caller's callback) gives a file not read and an
// empty store, never an exception: the program would end on it.
TEST(LabelText, RunningOutOfMemoryAnywhereIsAFileNotRead) {
#if defined(_ITERATOR_DEBUG_LEVEL) && _ITERATOR_DEBUG_LEVEL != 0
  // MSVC's checked iterators allocate inside noexcept constructors: a
  // failing allocation there ends the process, which no reader can prevent.
  GTEST_SKIP() << "MSVC's debug runtime (_ITERATOR_DEBUG_LEVEL " << _ITERATOR_DEBUG_LEVEL
               << ") allocates inside noexcept constructors; run it in Release";
#endif
  std::string bytes = std::string(300, 'w') + "\r\n";
  for (int i = 0; i < 40; ++i) bytes += "Label " + std::to_string(i) + "\r\n";
  // The ANSI reading, and the converted one with buffers of its own.
  const std::pair<const char*, bool> runs[] = {{"", false}, {"", true}, {"\xEF\xBB\xBF", false}, {"\xEF\xBB\xBF", true}};
  for (const auto& [mark, length_error] : runs) {
    SCOPED_TRACE(std::string(*mark ? "UTF-8, " : "ANSI, ") + (length_error ? "length_error thrown" : "bad_alloc thrown"));
    g_length_error = length_error;
    bool read = false;
    long failing_at = 0;
    for (; !read && failing_at < 100000; ++failing_at) {
      const LabelSource source = Serving(mark + bytes);
      LabelStore store;
      Labels called;
      called.reserve(100);
      bool threw = false;
      g_allocations_left = failing_at;
      try {
        LabelCallbacks callbacks;
        callbacks.on_label = [&called](const std::string& label) { called.push_back(label); };
        read = ReadLabelSource(source, k932, store, callbacks);
      } catch (...) {
        threw = true;
      }
      g_allocations_left = -1;
      ASSERT_FALSE(threw) << "an exception left the reader at allocation " << failing_at;
      ASSERT_EQ(store.size(), read ? 41u : 0u) << "allocation " << failing_at << " failing";
    }
    EXPECT_TRUE(read) << "never read whole";
    EXPECT_GT(failing_at, 5) << "too few allocations failed to test anything";
  }
  g_length_error = false;
}

// What the dump writes reads back as the same labels, for any label that
// holds no LF, NUL or 0x1A and fits in 255 bytes.
TEST(LabelText, WrittenLabelsReadBackUnchanged) {
  std::mt19937 random(20261207);
  const std::string alphabet = "ab \r\t\x83\x65\x82\xA0\xFF\x7F";
  for (int round = 0; round < 500; ++round) {
    Labels labels(random() % 6);
    for (std::string& label : labels) {
      const std::size_t length = random() % 3 == 0 ? 255 : random() % 20;
      for (std::size_t i = 0; i < length; ++i) label.push_back(alphabet[random() % alphabet.size()]);
    }
    std::string file;
    for (const std::string& label : labels) AppendLabelLine(file, label.c_str());
    ASSERT_EQ(ReadLabels(file, k932), labels) << "round " << round;
  }
}

}  // namespace
