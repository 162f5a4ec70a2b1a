// The label file's byte rules, the same on every C runtime; how its bytes
// become ANSI text first is LabelEncoding.h's:
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

#include "LabelEncoding.h"

constexpr std::size_t kLabelMax = 255;

// The line rules on ANSI bytes.
class LabelLineReader {
 public:
  // `lead_bytes` (or, with `utf8`, the UTF-8 sequences of code page 65001):
  // where a line longer than a label is cut. Without
  // `ctrl_z_ends`, 0x1A is a byte like any other (converted text, whose
  // Ctrl-Z was found before the conversion).
  explicit LabelLineReader(const std::bitset<256>& lead_bytes = {}, bool ctrl_z_ends = true, bool utf8 = false)
      : lead_bytes_(lead_bytes), ctrl_z_ends_(ctrl_z_ends), utf8_(utf8) {}
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
  const bool utf8_;
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
