// Arbitrary bytes through the label reader the program uses (with code page
// 932's lead bytes and the tests' stand-ins for the system's conversions),
// checking its promises on every input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../tests/CodePage65001.h"
#include "../tests/CodePage932.h"
#include "LabelText.h"

namespace {

const SystemText k932 = codepage932::Make();
const SystemText k65001 = codepage65001::Make();

void Check(bool condition) {
  if (!condition) std::abort();
}

// Whether `text` ends with a whole character of code page 932.
bool EndsWhole(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size()) at += k932.lead_bytes[static_cast<unsigned char>(text[at])] ? 2 : 1;
  return at == text.size();
}

struct Reading {
  bool ok = false;
  int encodings = 0;
  LabelEncoding encoding = LabelEncoding::kAnsi;
  std::vector<std::string> labels;  // as the callback saw them
  std::vector<std::string> kept;    // as the store keeps them
};

// Served in reads of `step` bytes into a buffer of that size, so a read past
// what a read gave meets the end of the buffer.
Reading Read(const std::string& bytes, std::size_t step, std::size_t reserve, const SystemText& system = k932) {
  auto at = std::make_shared<std::size_t>(0);
  LabelSource source;
  source.read = [&bytes, at](char* buffer, std::size_t room, bool*) {
    const std::size_t n = std::min(room, bytes.size() - *at);
    std::memcpy(buffer, bytes.data() + *at, n);
    *at += n;
    return n;
  };
  source.rewind = [at] {
    *at = 0;
    return true;
  };
  Reading reading;
  LabelCallbacks callbacks;
  callbacks.on_encoding = [&reading](LabelEncoding encoding) {
    ++reading.encodings;
    reading.encoding = encoding;
  };
  callbacks.on_label = [&reading](const std::string& label) { reading.labels.push_back(label); };
  LabelStore store;
  store.Reserve(reserve);  // too small, or more than needed: either must work
  reading.ok = ReadLabelSource(source, system, store, callbacks, step);
  for (std::size_t i = 0; i < store.size(); ++i) reading.kept.push_back(store[i]);
  return reading;
}

// The labels of ANSI content by the rules, plainly: CR LF to LF, a line per
// LF, a last one if it holds a byte, each up to its NUL, a longer one cut to
// the whole characters that fit in 255 bytes. Converted text has its Ctrl-Z
// found before: there 0x1A is a byte like any other.
std::vector<std::string> AnsiLabels(const std::string& bytes, bool ctrl_z_ends = true) {
  const std::string content = ctrl_z_ends ? bytes.substr(0, bytes.find('\x1a')) : bytes;
  std::string text;
  for (std::size_t i = 0; i < content.size(); ++i)
    if (!(content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n')) text.push_back(content[i]);
  std::vector<std::string> labels;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string label = text.substr(start, end - start);
    label = label.substr(0, label.find('\0'));
    if (label.size() > kLabelMax) {
      std::size_t whole = 0;
      while (true) {
        const std::size_t next = whole + (k932.lead_bytes[static_cast<unsigned char>(label[whole])] ? 2 : 1);
        if (next > kLabelMax) break;
        whole = next;
      }
      label.resize(whole);
    }
    labels.push_back(label);
    start = end + 1;
  }
  return labels;
}

// A UTF-8 or UTF-16 file's text, plainly: its content after the mark and
// before its Ctrl-Z, converted in one piece, an odd last byte as U+FFFD.
std::string Converted(const std::string& bytes, LabelEncoding encoding) {
  std::string text;
  if (encoding == LabelEncoding::kUtf8) {
    const std::string content = bytes.substr(bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0);
    const std::string before = content.substr(0, content.find('\x1a'));
    codepage932::Utf8ToAnsi(before.data(), before.size(), text);
    return text;
  }
  std::u16string units;
  std::size_t at = 2;
  for (; at + 1 < bytes.size(); at += 2) {
    const unsigned char first = static_cast<unsigned char>(bytes[at]), second = static_cast<unsigned char>(bytes[at + 1]);
    const char16_t unit = encoding == LabelEncoding::kUtf16Be ? static_cast<char16_t>(first << 8 | second)
                                                              : static_cast<char16_t>(second << 8 | first);
    if (unit == 0x001A) break;
    units.push_back(unit);
  }
  if (at + 1 == bytes.size()) units.push_back(0xFFFD);
  codepage932::Utf16ToAnsi(units.data(), units.size(), text);
  return text;
}

// Labels of the code page made of the input: its lines, each kept to the
// characters that are valid text alone (no NUL, no 0x1A) or as a lead and a
// trail byte, at most 255 bytes of them.
std::vector<std::string> CodePageLabels(const std::string& bytes) {
  std::vector<std::string> labels(1);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\n') {
      labels.emplace_back();
      continue;
    }
    const std::size_t length = k932.lead_bytes[static_cast<unsigned char>(c)] ? 2 : 1;
    if (c == '\0' || c == '\x1a' || i + length > bytes.size() || !codepage932::IsText(&bytes[i], length)) continue;
    if (labels.back().size() + length <= kLabelMax) labels.back().append(bytes, i, length);
    i += length - 1;
  }
  return labels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const Reading whole = Read(bytes, std::size_t{64} * 1024, 0);
  Check(whole.ok && whole.encodings == 1);
  Check(whole.kept == whole.labels);
  for (const std::string& label : whole.labels) {
    Check(label.size() <= kLabelMax);
    Check(label.find('\n') == std::string::npos);
    Check(label.find('\0') == std::string::npos);
    Check(label.find('\x1a') == std::string::npos);
    // Converted text is whole characters; ANSI text is cut only between them.
    Check(whole.encoding == LabelEncoding::kAnsi || EndsWhole(label));
  }
  if (whole.encoding == LabelEncoding::kAnsi) Check(whole.labels == AnsiLabels(bytes));
  else Check(whole.labels == AnsiLabels(Converted(bytes, whole.encoding), false));
  // Where the reads split does not matter.
  const Reading pieces = Read(bytes, size == 0 ? 1 : data[0] % 7 + 1, size == 0 ? 0 : data[size - 1]);
  Check(pieces.ok && pieces.encoding == whole.encoding && pieces.labels == whole.labels && pieces.kept == whole.kept);
  // On code page 65001 (UTF-8, characters of up to four bytes) too: the
  // same in pieces as whole, each label at most 255 bytes, and converted
  // text cut only between characters.
  const Reading utf8 = Read(bytes, std::size_t{64} * 1024, 0, k65001);
  const Reading utf8_pieces = Read(bytes, size == 0 ? 1 : data[0] % 7 + 1, 0, k65001);
  Check(utf8.ok && utf8_pieces.ok && utf8.encoding == utf8_pieces.encoding && utf8.labels == utf8_pieces.labels);
  for (const std::string& label : utf8.labels) {
    Check(label.size() <= kLabelMax);
    Check(utf8.encoding == LabelEncoding::kAnsi || k65001.is_ansi_text(label.data(), label.size()));
  }
  // What the dump would write reads back the same by the line rules.
  std::string written;
  for (const std::string& label : whole.labels) AppendLabelLine(written, label.c_str());
  std::vector<std::string> again;
  LabelLineReader reader(k932.lead_bytes);
  reader.Feed(written.data(), written.size(), again);
  reader.Finish(again);
  Check(again == whole.labels);
  // Labels of the code page, as the dump writes them, read back as they were
  // through the whole reader: the file is ANSI, unless it is valid UTF-8
  // with a sequence of three or four bytes whose every character has a form
  // of its own, which the detector and the stand-in's test tell here. A
  // first label that begins with the UTF-8 mark's bytes (EF BB and BF are
  // Shift JIS characters too) is a marked file, as every editor takes it.
  const std::vector<std::string> labels = CodePageLabels(bytes);
  std::string dump;
  for (const std::string& label : labels) AppendLabelLine(dump, label.c_str());
  if (dump.compare(0, 3, "\xEF\xBB\xBF") == 0) return 0;
  const Reading back = Read(dump, std::size_t{64} * 1024, 0);
  Check(back.ok);
  if (back.encoding == LabelEncoding::kAnsi) {
    Check(back.labels == labels);
  } else {
    EncodingDetector detector;
    detector.Feed(dump.data(), dump.size());
    Check(back.encoding == LabelEncoding::kUtf8 && detector.AsksWholeFormTest(true) &&
          codepage932::Utf8HasForms(dump.data(), dump.size()));
  }
  return 0;
}
