// The label file's encodings, the same on every C runtime: a file that
// begins with a byte-order mark is read in the encoding it names (UTF-8,
// UTF-16 LE or BE); one without is UTF-8 when its bytes before the first
// 0x1A are valid UTF-8 with a byte above 0x7F and either no valid ANSI
// reading, or a sequence of three or four bytes and a UTF-8 reading whose
// every character has a form of its own in the ANSI code page (a file the
// dump wrote in Shift JIS can be valid UTF-8 of other characters); any other
// file is ANSI bytes as they stand. UTF-8 and UTF-16 text is converted to the ANSI code page by
// the system, and the line rules (LabelText.h) apply to what comes out.
#pragma once

#include <bitset>
#include <cstddef>
#include <functional>
#include <string>

enum class LabelEncoding { kAnsi, kUtf8, kUtf16Le, kUtf16Be };

// As the trace names it ("UTF-8", "UTF-16LE", "UTF-16BE"); null for ANSI.
const char* LabelEncodingName(LabelEncoding encoding);

// What the reader needs of the system's ANSI code page. On Windows the
// system's own calls (SystemText.h); the native tests bring code page 932's
// lead bytes and stand-ins for the calls.
struct SystemText {
  // Bytes that begin a double-byte character; none in a single-byte code page.
  std::bitset<256> lead_bytes;
  // The code page is UTF-8 (65001, Windows' "Beta: Use Unicode UTF-8"),
  // whose characters of two to four bytes no lead byte names.
  bool utf8 = false;
  // Whether `size` bytes, whole characters, are valid text of the code page.
  std::function<bool(const char* bytes, std::size_t size)> is_ansi_text;
  // Whether every character of `size` bytes of UTF-8, whole sequences, has a
  // form of its own in the code page: neither its default character nor a
  // best fit. Always true on a UTF-8 code page.
  std::function<bool(const char* utf8, std::size_t size)> utf8_has_forms;
  // Append the text converted to the code page, a broken sequence and a
  // character without a form there as the system's replacement. Given whole
  // sequences (and surrogate pairs) but at the end of the content. False
  // when the conversion failed.
  std::function<bool(const char* utf8, std::size_t size, std::string& out)> utf8_to_ansi;
  std::function<bool(const char16_t* utf16, std::size_t size, std::string& out)> utf16_to_ansi;
};

// The bytes of the character that `byte` begins in the code page: on a
// UTF-8 code page its sequence's length, elsewhere 2 for a lead byte, else 1.
std::size_t CharacterLength(const std::bitset<256>& lead_bytes, bool utf8, unsigned char byte);

// Decides how a file is read, from its bytes: its mark, else whether its
// content (the bytes before the first 0x1A) is UTF-8.
class EncodingDetector {
 public:
  // Takes the file's next bytes; false once the answer needs no more.
  bool Feed(const char* data, std::size_t size);
  // True when the answer, for the bytes fed so far as the whole file, hangs
  // on whether the content is valid ANSI text: valid UTF-8 with a byte above
  // 0x7F, which Shift JIS texts can be.
  bool AsksAnsiTest() const;
  // True when, valid both ways (`ansi_text`), the answer hangs on whether
  // the UTF-8 reading's characters all have forms of their own in the code
  // page: a file with a sequence of three or four bytes.
  bool AsksWholeFormTest(bool ansi_text) const;
  // The answer; `ansi_text` is asked only where AsksAnsiTest(), `whole_forms`
  // only where AsksWholeFormTest().
  LabelEncoding Encoding(bool ansi_text, bool whole_forms = true) const;
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
  // The answer, once the last piece (a character begun, held back) is asked
  // too.
  bool Finish();

 private:
  std::size_t Length(char byte) const {
    return CharacterLength(system_.lead_bytes, system_.utf8, static_cast<unsigned char>(byte));
  }

  const SystemText& system_;
  bool ended_ = false, valid_ = true;
  std::string held_;  // a character whose other bytes are in the next piece
};

// Whether every character of a UTF-8 file's content (its bytes before the
// first 0x1A) has a form of its own in the ANSI code page, asked of the
// system in pieces of whole sequences.
class WholeFormTest {
 public:
  explicit WholeFormTest(const SystemText& system) : system_(system) {}
  // False once the answer needs no more: the content ended, or a character
  // has no form.
  bool Feed(const char* data, std::size_t size);
  // The answer, once what was held back is asked too.
  bool Finish();

 private:
  const SystemText& system_;
  std::string held_;  // a sequence the next piece completes
  bool ended_ = false, whole_ = true;
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
