#include "LabelText.h"

#include <algorithm>
#include <exception>

bool LabelLineReader::Feed(const char* data, std::size_t size, std::vector<std::string>& labels) {
  for (std::size_t i = 0; i < size && !ended_; ++i) {
    const char c = data[i];
    if (c == '\x1a') {
      ended_ = true;
      break;
    }
    if (pending_cr_) {
      pending_cr_ = false;
      if (c == '\n') {
        EndLine(labels);
        continue;
      }
      AddByte('\r');
    }
    if (c == '\r') {
      pending_cr_ = true;
    } else if (c == '\n') {
      EndLine(labels);
    } else {
      AddByte(c);
    }
  }
  return !ended_;
}

void LabelLineReader::Finish(std::vector<std::string>& labels) {
  if (pending_cr_) {
    pending_cr_ = false;
    AddByte('\r');
  }
  if (line_has_bytes_) EndLine(labels);
  ended_ = true;
}

void LabelLineReader::AddByte(char c) {
  line_has_bytes_ = true;
  if (c == '\0') nul_seen_ = true;
  if (nul_seen_ || label_.size() >= kLabelMax) return;
  label_.push_back(c);
}

void LabelLineReader::EndLine(std::vector<std::string>& labels) {
  labels.push_back(label_);
  label_.clear();
  line_has_bytes_ = false;
  nul_seen_ = false;
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

bool ReadWholeFile(const LabelSource& source, LabelStore& store,
                   const std::function<void(const std::string&)>& on_label) {
  std::vector<std::string> labels;
  // Hands the completed labels on; false once the store has no room.
  auto take_labels = [&]() {
    for (const std::string& label : labels) {
      on_label(label);
      if (!store.Append(label)) return false;
    }
    labels.clear();
    return true;
  };
  LabelLineReader reader;
  std::vector<char> chunk(std::size_t{64} * 1024);
  bool more = true, room = true, failed = false;
  while (more && room) {
    const std::size_t got = source(chunk.data(), chunk.size(), &failed);
    if (got == 0) break;
    more = reader.Feed(chunk.data(), got, labels);
    room = take_labels();
  }
  // A read error after the content ended (0x1A) loses nothing.
  if (room && (!more || !failed)) {
    reader.Finish(labels);
    return take_labels();
  }
  return false;
}

}  // namespace

bool ReadLabelSource(const LabelSource& source, LabelStore& store,
                     const std::function<void(const std::string&)>& on_label) {
  bool read = false;
  // The reader's own buffers and the caller's callback may run out of memory
  // too: that is a file not read, never the end of the program.
  try {
    read = ReadWholeFile(source, store, on_label);
  } catch (const std::exception&) {
    read = false;
  }
  if (!read) store.Clear();
  return read;
}

bool ReadLabelFile(std::FILE* file, LabelStore& store, const std::function<void(const std::string&)>& on_label) {
  return ReadLabelSource(
      [file](char* buffer, std::size_t size, bool* failed) {
        const std::size_t got = std::fread(buffer, 1, size, file);
        // A short read is the end of the file or a read error; only ferror tells.
        if (std::ferror(file)) *failed = true;
        return got;
      },
      store, on_label);
}

std::vector<std::string> ReadLabels(const std::string& file_bytes) {
  std::vector<std::string> labels;
  LabelLineReader reader;
  reader.Feed(file_bytes.data(), file_bytes.size(), labels);
  reader.Finish(labels);
  return labels;
}

void AppendLabelLine(std::string& out, const char* text) {
  for (const char* p = text; *p; ++p) {
    if (*p == '\n') out.push_back('\r');
    out.push_back(*p);
  }
  out.append("\r\n");
}
