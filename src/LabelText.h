// The label file's byte rules, the same on every C runtime:
//   encoding: a file that begins with a byte-order mark is read in the
//   encoding it names (UTF-8, UTF-16 LE or BE); one without is UTF-8 when its
//   bytes before the first 0x1A are valid UTF-8 with a byte above 0x7F and
//   either a sequence of three or four bytes or no valid ANSI reading; any
//   other file is ANSI bytes as they stand. UTF-8 and UTF-16 text is
//   converted to the ANSI code page by the system, and the rules below apply
//   to what comes out.
//   reading: CR LF becomes LF, a lone CR stays, the first 0x1A (in UTF-16 the
//   character U+001A) ends the content; each line gives one label, its bytes
//   before the first NUL; one longer than kLabelMax keeps the whole
//   characters that fit; a last line without a line end still counts.
//   writing: every LF (inside the text too) becomes CR LF, all else unchanged.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

constexpr std::size_t kLabelMax = 255;

enum class LabelEncoding { kAnsi, kUtf8, kUtf16Le, kUtf16Be };

// As the trace names it ("UTF-8", "UTF-16LE", "UTF-16BE"); null for ANSI.
const char* LabelEncodingName(LabelEncoding encoding);

// What the reader needs of the system's ANSI code page. On Windows the
// system's own calls (SystemText.h); the native tests bring code page 932's
// lead bytes and stand-ins for the calls.
struct SystemText {
  // Bytes that begin a double-byte character; none in a single-byte code page.
  std::bitset<256> lead_bytes;
  // Whether `size` bytes, whole characters, are valid text of the code page.
  std::function<bool(const char* bytes, std::size_t size)> is_ansi_text;
  // Append the text converted to the code page, a broken sequence and a
  // character without a form there as the system's replacement. Given whole
  // sequences (and surrogate pairs) but at the end of the content. False
  // when the conversion failed.
  std::function<bool(const char* utf8, std::size_t size, std::string& out)> utf8_to_ansi;
  std::function<bool(const char16_t* utf16, std::size_t size, std::string& out)> utf16_to_ansi;
};

// Decides how a file is read, from its bytes: its mark, else whether its
// content (the bytes before the first 0x1A) is UTF-8.
class EncodingDetector {
 public:
  // Takes the file's next bytes; false once the answer needs no more.
  bool Feed(const char* data, std::size_t size);
  // True when the answer, for the bytes fed so far as the whole file, hangs
  // on whether the content is valid ANSI text: valid UTF-8 with two-byte
  // sequences only, which short Shift JIS texts can be.
  bool AsksAnsiTest() const;
  // The answer; `ansi_text` is asked only where AsksAnsiTest().
  LabelEncoding Encoding(bool ansi_text) const;
  // Bytes of the mark at the start of the file: 0, 2 or 3.
  std::size_t MarkSize() const;

 private:
  void Check(unsigned char byte);
  static std::size_t SkipAscii(const char* data, std::size_t at, std::size_t size);
  bool Decided() const { return mark_ != 0 || (head_size_ == 3 && (ended_ || invalid_)); }

  unsigned char head_[3] = {0, 0, 0};
  std::size_t head_size_ = 0;
  std::size_t mark_ = 0;  // mark_ bytes of a mark found, in encoding_
  LabelEncoding encoding_ = LabelEncoding::kAnsi;
  bool ended_ = false;    // 0x1A seen
  bool invalid_ = false;  // not UTF-8
  int continuations_ = 0; // continuation bytes the current sequence still needs
  unsigned char low_ = 0x80, high_ = 0xBF;  // the range of the next one
  bool above_7f_ = false, long_sequence_ = false;
};

// Whether a file's content (its bytes before the first 0x1A) is valid text
// of the ANSI code page, asked of the system in pieces of whole characters.
class AnsiTextTest {
 public:
  explicit AnsiTextTest(const SystemText& system) : system_(system) {}
  // False once the answer needs no more: the content ended, or is not valid.
  bool Feed(const char* data, std::size_t size);
  // The answer, once the last piece (a lead byte held back) is asked too.
  bool Finish();

 private:
  const SystemText& system_;
  bool ended_ = false, valid_ = true, has_lead_ = false;
  char lead_ = 0;  // a lead byte whose second byte is in the next piece
};

// Turns a UTF-8 or UTF-16 file's bytes into text of the ANSI code page,
// skipping the mark and holding back a sequence, a surrogate pair or a code
// unit that the next bytes complete.
class LabelDecoder {
 public:
  LabelDecoder(LabelEncoding encoding, std::size_t mark_size, const SystemText& system)
      : encoding_(encoding), mark_left_(mark_size), system_(system) {}
  // Appends the text of the next bytes to `out`. False once the content has
  // ended (Ctrl-Z) or a conversion failed (then Failed()).
  bool Feed(const char* data, std::size_t size, std::string& out);
  // The end of the file: what was held back, broken, as the system shows it.
  bool Finish(std::string& out);
  bool Failed() const { return failed_; }

 private:
  bool Convert(bool at_end, std::string& out);
  bool ConvertUtf8(bool at_end, std::string& out);
  bool ConvertUtf16(bool at_end, std::string& out);

  const LabelEncoding encoding_;
  std::size_t mark_left_;
  const SystemText& system_;
  std::string bytes_;  // held back, then the new bytes
  std::u16string units_;
  bool ended_ = false, failed_ = false;
};

// The line rules on ANSI bytes.
class LabelLineReader {
 public:
  // `lead_bytes`: where a line longer than a label is cut. Without
  // `ctrl_z_ends`, 0x1A is a byte like any other (converted text, whose
  // Ctrl-Z was found before the conversion).
  explicit LabelLineReader(const std::bitset<256>& lead_bytes = {}, bool ctrl_z_ends = true)
      : lead_bytes_(lead_bytes), ctrl_z_ends_(ctrl_z_ends) {}
  // Each label as it is completed; valid for the call only.
  using Sink = std::function<void(const std::string& label)>;
  // Takes the next bytes of the file and hands every label completed by
  // them to `sink`. Returns false once the content has ended (0x1A seen);
  // later calls then hand nothing.
  bool Feed(const char* data, std::size_t size, const Sink& sink);
  // End of the content (end of file, or after Feed returned false): hands
  // the last line on when it had no line end.
  void Finish(const Sink& sink);
  // The same, appending to `labels`.
  bool Feed(const char* data, std::size_t size, std::vector<std::string>& labels);
  void Finish(std::vector<std::string>& labels);

 private:
  void AddByte(char c);
  void EndLine(const Sink& sink);

  const std::bitset<256> lead_bytes_;
  const bool ctrl_z_ends_;
  std::string label_;
  bool line_has_bytes_ = false;  // a last line counts only if it holds a byte
  bool label_done_ = false;      // after a NUL, or once cut: the line's bytes are dropped
  bool pending_cr_ = false;      // a CR waits to see whether LF follows
  bool ended_ = false;
};

// The labels of a run, in file order, each a NUL-terminated copy. Kept in one
// buffer with an offset per label: a million short labels take little more
// than their own bytes, where a string per label would take three times more.
class LabelStore {
 public:
  // At most `max_bytes` bytes of labels and NULs, and never more than the
  // offsets (4 GiB) or the buffer (its max_size) can hold.
  explicit LabelStore(std::size_t max_bytes = UINT32_MAX) : max_bytes_(max_bytes) {}
  // Room for `bytes` bytes of labels and NULs, so reading a file of that
  // size never copies the buffer to grow it. Only a hint: without the
  // memory, the buffer grows as labels come.
  void Reserve(std::size_t bytes);
  // False, and nothing added, when the label does not fit or there is no
  // memory for it.
  bool Append(const std::string& label);
  void Clear();
  std::size_t size() const { return starts_.size(); }
  const char* operator[](std::size_t index) const { return bytes_.data() + starts_[index]; }

 private:
  std::size_t max_bytes_;
  std::string bytes_;
  std::vector<std::uint32_t> starts_;
};

// Where a label file's bytes come from. The reader reads the start of the
// file more than once: to tell its encoding, then to read it.
struct LabelSource {
  // Fills `buffer` with up to `size` bytes and returns how many, 0 at the
  // end of the file; sets *failed when the end was a read error.
  std::function<std::size_t(char* buffer, std::size_t size, bool* failed)> read;
  // Back to the first byte; false when it cannot go there.
  std::function<bool()> rewind;
};

struct LabelCallbacks {
  // Once the encoding is known, before the first label.
  std::function<void(LabelEncoding)> on_encoding;
  // With each label, before it is kept.
  std::function<void(const std::string&)> on_label;
};

// Reads a label file to its end (or its Ctrl-Z) into `store`. False when the
// file cannot be read to its end, the store has no room or memory runs out
// anywhere in the reading: then `store` is left empty, since half a file's
// labels would relabel half a list. Never throws. `chunk_size`: the size of
// each read.
bool ReadLabelSource(const LabelSource& source, const SystemText& system, LabelStore& store,
                     const LabelCallbacks& callbacks, std::size_t chunk_size = std::size_t{64} * 1024);
// The same from an open stream.
bool ReadLabelFile(std::FILE* file, const SystemText& system, LabelStore& store, const LabelCallbacks& callbacks);

// Room to reserve for the labels of a file of `file_size` bytes once its
// encoding is known; a hint, the store grows past it.
std::size_t LabelRoom(long long file_size, LabelEncoding encoding);

// Convenience for whole buffers: the labels of a complete file's bytes.
std::vector<std::string> ReadLabels(const std::string& file_bytes, const SystemText& system);

// Appends `text` (up to its NUL) and a line end in the written form.
void AppendLabelLine(std::string& out, const char* text);
