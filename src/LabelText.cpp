#include "LabelText.h"

#include <algorithm>
#include <cstring>
#include <exception>

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

// The longest start of `text`, at most `limit` bytes, made of whole
// characters: in Shift JIS a trail byte can look like a lead byte, so the
// walk starts at the beginning.
std::size_t WholeCharacters(const std::string& text, std::size_t limit, const std::bitset<256>& lead_bytes) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t next = at + (lead_bytes[static_cast<unsigned char>(text[at])] ? 2 : 1);
    if (next > limit) break;
    at = next;
  }
  return std::min(at, text.size());
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
  return mark_ == 0 && !invalid_ && continuations_ == 0 && above_7f_ && !long_sequence_;
}

LabelEncoding EncodingDetector::Encoding(bool ansi_text) const {
  if (mark_ != 0) return encoding_;
  if (invalid_ || continuations_ > 0 || !above_7f_) return LabelEncoding::kAnsi;
  return long_sequence_ || !ansi_text ? LabelEncoding::kUtf8 : LabelEncoding::kAnsi;
}

std::size_t EncodingDetector::MarkSize() const { return mark_; }

bool AnsiTextTest::Feed(const char* data, std::size_t size) {
  if (ended_ || !valid_) return false;
  const char* ctrl_z = static_cast<const char*>(std::memchr(data, kCtrlZ, size));
  const std::size_t content = ctrl_z ? static_cast<std::size_t>(ctrl_z - data) : size;
  ended_ = ctrl_z != nullptr;
  std::size_t start = 0;
  if (has_lead_ && content > 0) {
    const char pair[2] = {lead_, data[0]};
    has_lead_ = false;
    valid_ = system_.is_ansi_text(pair, 2);
    start = 1;
  }
  // Up to the last whole character; a lead byte at the end waits for its pair.
  std::size_t at = start;
  while (at < content) {
    if (!system_.lead_bytes[static_cast<unsigned char>(data[at])]) {
      ++at;
    } else if (at + 1 < content) {
      at += 2;
    } else {
      has_lead_ = true;
      lead_ = data[at];
      break;
    }
  }
  if (valid_ && at > start) valid_ = system_.is_ansi_text(data + start, at - start);
  return !ended_ && valid_;
}

bool AnsiTextTest::Finish() {
  if (has_lead_ && valid_) valid_ = system_.is_ansi_text(&lead_, 1);
  has_lead_ = false;
  return valid_;
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

bool LabelLineReader::Feed(const char* data, std::size_t size, const Sink& sink) {
  for (std::size_t i = 0; i < size && !ended_; ++i) {
    const char c = data[i];
    if (c == kCtrlZ && ctrl_z_ends_) {
      ended_ = true;
      break;
    }
    if (pending_cr_) {
      pending_cr_ = false;
      if (c == '\n') {
        EndLine(sink);
        continue;
      }
      AddByte('\r');
    }
    if (c == '\r') {
      pending_cr_ = true;
    } else if (c == '\n') {
      EndLine(sink);
    } else {
      AddByte(c);
    }
  }
  return !ended_;
}

void LabelLineReader::Finish(const Sink& sink) {
  if (pending_cr_) {
    pending_cr_ = false;
    AddByte('\r');
  }
  if (line_has_bytes_) EndLine(sink);
  ended_ = true;
}

bool LabelLineReader::Feed(const char* data, std::size_t size, std::vector<std::string>& labels) {
  return Feed(data, size, [&labels](const std::string& label) { labels.push_back(label); });
}

void LabelLineReader::Finish(std::vector<std::string>& labels) {
  Finish([&labels](const std::string& label) { labels.push_back(label); });
}

void LabelLineReader::AddByte(char c) {
  line_has_bytes_ = true;
  if (label_done_) return;
  if (c == '\0') {
    label_done_ = true;
  } else if (label_.size() < kLabelMax) {
    label_.push_back(c);
  } else {
    // Longer than a label: the whole characters that fit, never half of one.
    label_.resize(WholeCharacters(label_, kLabelMax, lead_bytes_));
    label_done_ = true;
  }
}

void LabelLineReader::EndLine(const Sink& sink) {
  sink(label_);
  label_.clear();
  line_has_bytes_ = false;
  label_done_ = false;
}

void LabelStore::Reserve(std::size_t bytes) {
  try {
    bytes_.reserve(bytes);
  } catch (const std::exception&) {  // bad_alloc, or length_error past max_size
  }
}

bool LabelStore::Append(const std::string& label) {
  // On a 32-bit build the buffer holds far less than the offsets could name:
  // past its max_size, append would throw length_error.
  const std::size_t limit = std::min<std::size_t>({max_bytes_, UINT32_MAX, bytes_.max_size()});
  if (bytes_.size() >= limit || label.size() >= limit - bytes_.size()) return false;
  const std::size_t old_bytes = bytes_.size(), old_count = starts_.size();
  // Out of memory ends the list where it stands, never the program.
  try {
    starts_.push_back(static_cast<std::uint32_t>(old_bytes));
    bytes_.append(label.data(), label.size());
    bytes_.push_back('\0');
  } catch (const std::exception&) {
    bytes_.resize(old_bytes);
    starts_.resize(old_count);
    return false;
  }
  return true;
}

void LabelStore::Clear() {
  // Gives the memory back: a store cleared after running out holds a lot.
  std::string().swap(bytes_);
  std::vector<std::uint32_t>().swap(starts_);
}

namespace {

// Reads from the first byte until `take` wants no more; false on a read
// error before that.
bool ReadUntil(const LabelSource& source, std::vector<char>& chunk,
               const std::function<bool(const char*, std::size_t)>& take) {
  if (!source.rewind()) return false;
  bool failed = false;
  for (;;) {
    const std::size_t got = source.read(chunk.data(), chunk.size(), &failed);
    if (got == 0) return !failed;
    if (!take(chunk.data(), got)) return true;
  }
}

// How the file is to be read, from as many of its bytes as that takes: a
// mark, or the first byte that is no UTF-8, or else all its content.
bool TellEncoding(const LabelSource& source, const SystemText& system, std::vector<char>& chunk,
                  LabelEncoding* encoding, std::size_t* mark_size) {
  EncodingDetector detector;
  if (!ReadUntil(source, chunk, [&](const char* data, std::size_t size) { return detector.Feed(data, size); }))
    return false;
  bool ansi_text = true;
  if (detector.AsksAnsiTest()) {
    AnsiTextTest test(system);
    if (!ReadUntil(source, chunk, [&](const char* data, std::size_t size) { return test.Feed(data, size); }))
      return false;
    ansi_text = test.Finish();
  }
  *encoding = detector.Encoding(ansi_text);
  *mark_size = detector.MarkSize();
  return true;
}

bool ReadWholeFile(const LabelSource& source, const SystemText& system, LabelStore& store,
                   const LabelCallbacks& callbacks, std::size_t chunk_size) {
  std::vector<char> chunk(std::max<std::size_t>(chunk_size, 1));
  LabelEncoding encoding = LabelEncoding::kAnsi;
  std::size_t mark_size = 0;
  if (!TellEncoding(source, system, chunk, &encoding, &mark_size)) return false;
  if (callbacks.on_encoding) callbacks.on_encoding(encoding);

  // Hands each label on as it is completed, without a copy; nothing more
  // once the store has no room.
  bool room = true;
  const LabelLineReader::Sink take = [&](const std::string& label) {
    if (!room) return;
    if (callbacks.on_label) callbacks.on_label(label);
    room = store.Append(label);
  };
  const bool ansi = encoding == LabelEncoding::kAnsi;
  LabelLineReader reader(system.lead_bytes, ansi);
  LabelDecoder decoder(encoding, mark_size, system);
  std::string text;  // converted
  bool more = true, failed = false;
  if (!source.rewind()) return false;
  while (more && room) {
    const std::size_t got = source.read(chunk.data(), chunk.size(), &failed);
    if (got == 0) break;
    if (ansi) {
      more = reader.Feed(chunk.data(), got, take);
    } else {
      text.clear();
      more = decoder.Feed(chunk.data(), got, text);
      if (decoder.Failed()) return false;
      reader.Feed(text.data(), text.size(), take);
    }
  }
  // A read error after the content ended (Ctrl-Z) loses nothing.
  if (!room || (more && failed)) return false;
  if (!ansi) {
    text.clear();
    if (!decoder.Finish(text)) return false;
    reader.Feed(text.data(), text.size(), take);
  }
  reader.Finish(take);
  return room;
}

}  // namespace

bool ReadLabelSource(const LabelSource& source, const SystemText& system, LabelStore& store,
                     const LabelCallbacks& callbacks, std::size_t chunk_size) {
  bool read = false;
  // The reader's own buffers and the caller's callbacks may run out of
  // memory too: that is a file not read, never the end of the program.
  try {
    read = ReadWholeFile(source, system, store, callbacks, chunk_size);
  } catch (const std::exception&) {
    read = false;
  }
  if (!read) store.Clear();
  return read;
}

bool ReadLabelFile(std::FILE* file, const SystemText& system, LabelStore& store, const LabelCallbacks& callbacks) {
  LabelSource source;
  source.read = [file](char* buffer, std::size_t size, bool* failed) {
    const std::size_t got = std::fread(buffer, 1, size, file);
    // A short read is the end of the file or a read error; only ferror tells.
    if (std::ferror(file)) *failed = true;
    return got;
  };
  source.rewind = [file] {
    std::clearerr(file);
    return std::fseek(file, 0, SEEK_SET) == 0;
  };
  return ReadLabelSource(source, system, store, callbacks);
}

std::size_t LabelRoom(long long file_size, LabelEncoding encoding) {
  if (file_size <= 0) return 0;
  // The labels and their NULs seldom take more than the file and one NUL.
  // UTF-16 takes two bytes a character: ASCII text gives half of them,
  // Japanese as many, and the store grows for those. Past 64 MiB it grows
  // as it goes.
  const bool utf16 = encoding == LabelEncoding::kUtf16Le || encoding == LabelEncoding::kUtf16Be;
  const long long room = (utf16 ? file_size / 2 : file_size) + 1;
  return static_cast<std::size_t>(std::min(room, 64LL << 20));
}

std::vector<std::string> ReadLabels(const std::string& file_bytes, const SystemText& system) {
  std::size_t at = 0;
  LabelSource source;
  source.read = [&](char* buffer, std::size_t size, bool*) {
    const std::size_t n = file_bytes.copy(buffer, size, at);
    at += n;
    return n;
  };
  source.rewind = [&] {
    at = 0;
    return true;
  };
  std::vector<std::string> labels;
  LabelStore store;
  LabelCallbacks callbacks;
  callbacks.on_label = [&labels](const std::string& label) { labels.push_back(label); };
  if (!ReadLabelSource(source, system, store, callbacks)) labels.clear();
  return labels;
}

void AppendLabelLine(std::string& out, const char* text) {
  for (const char* p = text; *p; ++p) {
    if (*p == '\n') out.push_back('\r');
    out.push_back(*p);
  }
  out.append("\r\n");
}
