// Arbitrary bytes through the label-line reader the program uses, checking
// its promises on every input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LabelText.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::vector<std::string> ReadInTwo(const std::string& bytes, std::size_t cut) {
  std::vector<std::string> labels;
  LabelLineReader reader;
  if (reader.Feed(bytes.data(), cut, labels)) reader.Feed(bytes.data() + cut, bytes.size() - cut, labels);
  reader.Finish(labels);
  return labels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> labels = ReadLabels(bytes);

  for (const std::string& label : labels) {
    Check(label.size() <= kLabelMax);
    Check(label.find('\n') == std::string::npos);
    Check(label.find('\0') == std::string::npos);
    Check(label.find('\x1a') == std::string::npos);
  }
  // One label per line before the first 0x1A; a last line without a line
  // end counts when it holds a byte.
  const std::string content = bytes.substr(0, bytes.find('\x1a'));
  std::size_t lines = 0;
  for (char c : content) lines += c == '\n';
  if (!content.empty() && content.back() != '\n') ++lines;
  Check(labels.size() == lines);
  // Where the reads split does not matter.
  Check(ReadInTwo(bytes, size == 0 ? 0 : data[0] % (size + 1)) == labels);
  // What the dump would write reads back the same.
  std::string written;
  for (const std::string& label : labels) AppendLabelLine(written, label.c_str());
  Check(ReadLabels(written) == labels);
  // The program's own file loop, served in short reads of any length, keeps
  // the same labels and hands every one back whole.
  LabelStore store;
  store.Reserve(size == 0 ? 0 : data[size - 1]);  // too small, or more than needed: either must work
  const std::size_t step = size == 0 ? 1 : data[0] % 7 + 1;
  std::size_t at = 0, called = 0;
  const LabelSource source = [&](char* buffer, std::size_t room, bool*) {
    const std::size_t n = std::min({room, step, bytes.size() - at});
    std::memcpy(buffer, bytes.data() + at, n);
    at += n;
    return n;
  };
  Check(ReadLabelSource(source, store, [&](const std::string& label) { Check(label == labels[called++]); }));
  Check(called == labels.size());
  Check(store.size() == labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) Check(labels[i] == store[i]);
  return 0;
}
