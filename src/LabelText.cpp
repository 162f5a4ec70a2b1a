#include "LabelText.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace {

constexpr char kCtrlZ = '\x1a';

// The longest start of `text`, at most `limit` bytes, made of whole
// characters: in Shift JIS a trail byte can look like a lead byte, so the
// walk starts at the beginning.
std::size_t WholeCharacters(const std::string& text, std::size_t limit, const std::bitset<256>& lead_bytes,
                            bool utf8) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t next = at + CharacterLength(lead_bytes, utf8, static_cast<unsigned char>(text[at]));
    if (next > limit) break;
    at = next;
  }
  return std::min(at, text.size());
}

}  // namespace

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
    label_.resize(WholeCharacters(label_, kLabelMax, lead_bytes_, utf8_));
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
  bool ansi_text = true, whole_forms = true;
  if (detector.AsksAnsiTest()) {
    AnsiTextTest test(system);
    if (!ReadUntil(source, chunk, [&](const char* data, std::size_t size) { return test.Feed(data, size); }))
      return false;
    ansi_text = test.Finish();
  }
  if (detector.AsksWholeFormTest(ansi_text)) {
    WholeFormTest test(system);
    if (!ReadUntil(source, chunk, [&](const char* data, std::size_t size) { return test.Feed(data, size); }))
      return false;
    whole_forms = test.Finish();
  }
  *encoding = detector.Encoding(ansi_text, whole_forms);
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
  LabelLineReader reader(system.lead_bytes, ansi, system.utf8);
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
