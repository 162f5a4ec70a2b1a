// The label file's byte rules, the same on every C runtime:
//   reading: CR LF becomes LF, a lone CR stays, the first 0x1A ends the
//   content; each line gives one label, its bytes before the first NUL,
//   cut to kLabelMax bytes; a last line without a line end still counts.
//   writing: every LF (inside the text too) becomes CR LF, all else unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

constexpr std::size_t kLabelMax = 255;

class LabelLineReader {
 public:
  // Takes the next bytes of the file and appends every label completed by
  // them to `labels`. Returns false once the content has ended (0x1A seen);
  // later calls then add nothing.
  bool Feed(const char* data, std::size_t size, std::vector<std::string>& labels);
  // End of the content (end of file, or after Feed returned false):
  // appends the last line when it had no line end.
  void Finish(std::vector<std::string>& labels);

 private:
  void AddByte(char c);
  void EndLine(std::vector<std::string>& labels);

  std::string label_;
  bool line_has_bytes_ = false;  // a last line counts only if it holds a byte
  bool nul_seen_ = false;        // bytes after a NUL are dropped
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

// Where a label file's bytes come from: fills `buffer` with up to `size`
// bytes and returns how many, 0 at the end of the file; sets *failed when the
// end was a read error.
using LabelSource = std::function<std::size_t(char* buffer, std::size_t size, bool* failed)>;

// Reads a label file to its end (or its 0x1A) into `store`, calling
// `on_label` with each label before it is kept. False when the file cannot be
// read to its end, the store has no room or memory runs out anywhere in the
// reading: then `store` is left empty, since half a file's labels would
// relabel half a list. Never throws.
bool ReadLabelSource(const LabelSource& source, LabelStore& store,
                     const std::function<void(const std::string&)>& on_label);
// The same from an open stream.
bool ReadLabelFile(std::FILE* file, LabelStore& store, const std::function<void(const std::string&)>& on_label);

// Convenience for whole buffers: the labels of a complete file's bytes.
std::vector<std::string> ReadLabels(const std::string& file_bytes);

// Appends `text` (up to its NUL) and a line end in the written form.
void AppendLabelLine(std::string& out, const char* text);
