#include "LabelEncoding.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr char kCtrlZ = '\x1a';

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The bytes a UTF-8 sequence takes, by its first byte; 1 for a byte that
// begins none.
std::size_t Utf8Length(unsigned char byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return 2;
  if (byte >= 0xE0 && byte <= 0xEF) return 3;
  if (byte >= 0xF0 && byte <= 0xF4) return 4;
  return 1;
}

// The longest start of `bytes` that ends with no sequence cut short.
std::size_t WholeUtf8(const std::string& bytes) {
  const std::size_t size = bytes.size();
  for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
    const unsigned char byte = static_cast<unsigned char>(bytes[size - back]);
    if (IsContinuation(byte)) continue;
    return Utf8Length(byte) > back ? size - back : size;
  }
  return size;
}

}  // namespace

const char* LabelEncodingName(LabelEncoding encoding) {
  switch (encoding) {
    case LabelEncoding::kUtf8:
      return "UTF-8";
    case LabelEncoding::kUtf16Le:
      return "UTF-16LE";
    case LabelEncoding::kUtf16Be:
      return "UTF-16BE";
    case LabelEncoding::kAnsi:
      break;
  }
  return nullptr;
}

bool EncodingDetector::Feed(const char* data, std::size_t size) {
  std::size_t i = 0;
  for (; i < size && head_size_ < 3 && mark_ == 0; ++i) {
    const unsigned char byte = static_cast<unsigned char>(data[i]);
    head_[head_size_++] = byte;
    if (head_size_ == 2 && head_[0] == 0xFF && head_[1] == 0xFE) {
      mark_ = 2;
      encoding_ = LabelEncoding::kUtf16Le;
    } else if (head_size_ == 2 && head_[0] == 0xFE && head_[1] == 0xFF) {
      mark_ = 2;
      encoding_ = LabelEncoding::kUtf16Be;
    } else if (head_size_ == 3 && head_[0] == 0xEF && head_[1] == 0xBB && head_[2] == 0xBF) {
      mark_ = 3;
      encoding_ = LabelEncoding::kUtf8;
    }
    if (!ended_ && !invalid_) Check(byte);
  }
  while (i < size && !Decided()) {
    if (continuations_ == 0) i = SkipAscii(data, i, size);
    if (i < size) Check(static_cast<unsigned char>(data[i++]));
  }
  return !Decided();
}

// Most label files are mostly ASCII: eight bytes at a time while they are
// (and hold no 0x1A), up to the first byte that needs a look.
std::size_t EncodingDetector::SkipAscii(const char* data, std::size_t at, std::size_t size) {
  constexpr std::uint64_t kHigh = 0x8080808080808080u, kOnes = 0x0101010101010101u;
  for (; at + 8 <= size; at += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + at, 8);
    const std::uint64_t ctrl_z = word ^ (kOnes * 0x1A);
    if ((word & kHigh) != 0 || ((ctrl_z - kOnes) & ~ctrl_z & kHigh) != 0) break;
  }
  return at;
}

// One byte of the content through the UTF-8 rules: no overlong forms, no
// surrogates, nothing above U+10FFFF.
void EncodingDetector::Check(unsigned char byte) {
  if (byte == 0x1A) {
    ended_ = true;
    invalid_ = invalid_ || continuations_ > 0;
    return;
  }
  if (continuations_ > 0) {
    if (byte < low_ || byte > high_) {
      invalid_ = true;
      return;
    }
    --continuations_;
    low_ = 0x80;
    high_ = 0xBF;
    return;
  }
  if (byte < 0x80) return;
  above_7f_ = true;
  const std::size_t length = Utf8Length(byte);
  if (length == 1) {
    invalid_ = true;
    return;
  }
  continuations_ = static_cast<int>(length) - 1;
  long_sequence_ = long_sequence_ || length > 2;
  if (byte == 0xE0) low_ = 0xA0;
  if (byte == 0xED) high_ = 0x9F;
  if (byte == 0xF0) low_ = 0x90;
  if (byte == 0xF4) high_ = 0x8F;
}

bool EncodingDetector::AsksAnsiTest() const {
  return mark_ == 0 && !invalid_ && continuations_ == 0 && above_7f_;
}

bool EncodingDetector::AsksWholeFormTest(bool ansi_text) const {
  return AsksAnsiTest() && long_sequence_ && ansi_text;
}

LabelEncoding EncodingDetector::Encoding(bool ansi_text, bool whole_forms) const {
  if (mark_ != 0) return encoding_;
  if (invalid_ || continuations_ > 0 || !above_7f_) return LabelEncoding::kAnsi;
  if (!ansi_text) return LabelEncoding::kUtf8;
  // Valid both ways: two-byte sequences only are short Shift JIS texts
  // (half-width katakana); longer ones are UTF-8 unless that reading has
  // characters the code page cannot show, as a Shift JIS file can read.
  return long_sequence_ && whole_forms ? LabelEncoding::kUtf8 : LabelEncoding::kAnsi;
}

std::size_t EncodingDetector::MarkSize() const { return mark_; }

std::size_t CharacterLength(const std::bitset<256>& lead_bytes, bool utf8, unsigned char byte) {
  if (utf8) return Utf8Length(byte);
  return lead_bytes[byte] ? 2 : 1;
}

bool AnsiTextTest::Feed(const char* data, std::size_t size) {
  if (ended_ || !valid_) return false;
  const char* ctrl_z = static_cast<const char*>(std::memchr(data, kCtrlZ, size));
  const std::size_t content = ctrl_z ? static_cast<std::size_t>(ctrl_z - data) : size;
  ended_ = ctrl_z != nullptr;
  std::size_t start = 0;
  if (!held_.empty()) {
    start = std::min(Length(held_[0]) - held_.size(), content);
    held_.append(data, start);
    if (held_.size() == Length(held_[0])) {
      valid_ = system_.is_ansi_text(held_.data(), held_.size());
      held_.clear();
    }
  }
  // Up to the last whole character; one begun at the end waits for the rest.
  std::size_t at = start;
  while (held_.empty() && at < content) {
    const std::size_t length = Length(data[at]);
    if (at + length > content) {
      held_.assign(data + at, content - at);
      break;
    }
    at += length;
  }
  if (valid_ && at > start) valid_ = system_.is_ansi_text(data + start, at - start);
  return !ended_ && valid_;
}

bool AnsiTextTest::Finish() {
  if (!held_.empty() && valid_) valid_ = system_.is_ansi_text(held_.data(), held_.size());
  held_.clear();
  return valid_;
}

bool WholeFormTest::Feed(const char* data, std::size_t size) {
  if (ended_ || !whole_) return false;
  const char* ctrl_z = static_cast<const char*>(std::memchr(data, kCtrlZ, size));
  ended_ = ctrl_z != nullptr;
  held_.append(data, ctrl_z ? static_cast<std::size_t>(ctrl_z - data) : size);
  const std::size_t whole = ended_ ? held_.size() : WholeUtf8(held_);
  if (whole > 0) {
    whole_ = system_.utf8_has_forms(held_.data(), whole);
    held_.erase(0, whole);
  }
  return !ended_ && whole_;
}

bool WholeFormTest::Finish() {
  if (whole_ && !held_.empty()) whole_ = system_.utf8_has_forms(held_.data(), held_.size());
  held_.clear();
  return whole_;
}

bool LabelDecoder::Feed(const char* data, std::size_t size, std::string& out) {
  if (ended_ || failed_) return false;
  const std::size_t skip = std::min(mark_left_, size);
  mark_left_ -= skip;
  bytes_.append(data + skip, size - skip);
  return Convert(false, out) && !ended_;
}

bool LabelDecoder::Finish(std::string& out) {
  if (failed_) return false;
  return ended_ || Convert(true, out);
}

bool LabelDecoder::Convert(bool at_end, std::string& out) {
  const bool converted = encoding_ == LabelEncoding::kUtf8 ? ConvertUtf8(at_end, out) : ConvertUtf16(at_end, out);
  failed_ = !converted;
  return converted;
}

bool LabelDecoder::ConvertUtf8(bool at_end, std::string& out) {
  // Ctrl-Z is a byte of its own in UTF-8: never part of a sequence.
  const std::size_t ctrl_z = bytes_.find(kCtrlZ);
  if (ctrl_z != std::string::npos) {
    bytes_.resize(ctrl_z);
    ended_ = true;
  }
  const std::size_t whole = ended_ || at_end ? bytes_.size() : WholeUtf8(bytes_);
  if (whole > 0 && !system_.utf8_to_ansi(bytes_.data(), whole, out)) return false;
  bytes_.erase(0, whole);
  return true;
}

bool LabelDecoder::ConvertUtf16(bool at_end, std::string& out) {
  const bool big_endian = encoding_ == LabelEncoding::kUtf16Be;
  units_.clear();
  std::size_t used = 0;
  for (; used + 1 < bytes_.size(); used += 2) {
    const unsigned char first = static_cast<unsigned char>(bytes_[used]);
    const unsigned char second = static_cast<unsigned char>(bytes_[used + 1]);
    const char16_t unit = big_endian ? static_cast<char16_t>(first << 8 | second)
                                     : static_cast<char16_t>(second << 8 | first);
    if (unit == 0x001A) {
      ended_ = true;
      break;
    }
    units_.push_back(unit);
  }
  if (ended_) {
    bytes_.clear();
  } else if (at_end) {
    if (used < bytes_.size()) units_.push_back(0xFFFD);  // an odd last byte
    bytes_.clear();
  } else {
    // A high surrogate waits for the low one that may follow.
    if (!units_.empty() && units_.back() >= 0xD800 && units_.back() <= 0xDBFF) {
      units_.pop_back();
      used -= 2;
    }
    bytes_.erase(0, used);
  }
  return units_.empty() || system_.utf16_to_ansi(units_.data(), units_.size(), out);
}
