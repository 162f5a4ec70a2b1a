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

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

struct ReadCase {
  int line;
  std::string bytes;
  Labels labels;
};

std::vector<ReadCase> ReadCases() {
  using namespace std::string_literals;
  const std::string a254 = Repeat('a', 254), a255 = Repeat('a', 255);
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
      {__LINE__, "\xEF\xBB\xBF" "A\r\n", {"\xEF\xBB\xBF" "A"}},
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
  };
}

Labels ReadBytewise(const std::string& bytes) {
  Labels labels;
  LabelLineReader reader;
  for (char c : bytes)
    if (!reader.Feed(&c, 1, labels)) break;
  reader.Finish(labels);
  return labels;
}

TEST(LabelText, ReadsOneLabelPerLineByTheTextModeRules) {
  for (const ReadCase& c : ReadCases()) {
    SCOPED_TRACE("case at line " + std::to_string(c.line));
    EXPECT_EQ(ReadLabels(c.bytes), c.labels);
    // A CR LF or a NUL split over two reads must read the same.
    EXPECT_EQ(ReadBytewise(c.bytes), c.labels);
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

// Serves `bytes`, then fails once `fail_at` bytes have been read (never, when
// fail_at is past the end).
LabelSource Serving(const std::string& bytes, std::size_t fail_at = std::string::npos) {
  auto at = std::make_shared<std::size_t>(0);
  return [bytes, fail_at, at](char* buffer, std::size_t size, bool* failed) -> std::size_t {
    if (*at >= fail_at) {
      *failed = true;
      return 0;
    }
    const std::size_t n = std::min({size, bytes.size() - *at, fail_at - *at});
    std::memcpy(buffer, bytes.data() + *at, n);
    *at += n;
    return n;
  };
}

struct FileResult {
  bool ok;
  Labels kept;   // what the store holds afterwards
  Labels called; // what the callback saw
};

FileResult ReadThrough(const LabelSource& source, LabelStore& store) {
  FileResult result = {false, {}, {}};
  result.ok = ReadLabelSource(source, store, [&result](const std::string& label) { result.called.push_back(label); });
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
  for (const bool length_error : {false, true}) {
    SCOPED_TRACE(length_error ? "length_error thrown" : "bad_alloc thrown");
    g_length_error = length_error;
    bool read = false;
    long failing_at = 0;
    for (; !read && failing_at < 100000; ++failing_at) {
      const LabelSource source = Serving(bytes);
      LabelStore store;
      Labels called;
      called.reserve(100);
      bool threw = false;
      g_allocations_left = failing_at;
      try {
        read = ReadLabelSource(source, store, [&called](const std::string& label) { called.push_back(label); });
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
    ASSERT_EQ(ReadLabels(file), labels) << "round " << round;
  }
}

}  // namespace
