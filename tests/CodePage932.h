// Code page 932 for the byte rules' unit tests and the fuzzer, which run
// where the system's calls are not at hand: its real lead bytes, its byte
// structure as the validity test, and stand-ins for the conversions. The
// system's own conversions are tested end to end (tests/e2e).
#pragma once

#include <string>

#include "LabelText.h"

namespace codepage932 {

inline bool IsLead(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

// Single bytes, and lead bytes followed by a trail byte. A0 and FD-FF as
// Wine has them, invalid; Windows may map them to private-use characters:
// no test depends on them.
inline bool IsText(const char* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if (byte == 0xA0 || byte >= 0xFD) return false;
    if (!IsLead(byte)) continue;
    if (++i == size) return false;
    const unsigned char trail = static_cast<unsigned char>(bytes[i]);
    if (trail < 0x40 || trail == 0x7F || trail > 0xFC) return false;
  }
  return true;
}

// The Shift JIS form of the characters the tests name, which are the only
// ones with a form of their own; null for any other.
inline const char* NamedForm(char32_t c) {
  switch (c) {
    case U'あ': return "\x82\xA0";
    case U'漢': return "\x8A\xBF";
    case U'ラ': return "\x83\x89";
    case U'ベ': return "\x83\x78";
    case U'ル': return "\x83\x8B";
    case U'帚': return "\x9B\xE2";
    default: return nullptr;
  }
}

// The named characters' forms; '?' for the replacement, a lone surrogate and
// the rest below U+0800 (as the system has no form for Ł); any other a
// made-up double-byte character, as a best fit would be, whose second byte
// may look like a lead byte, so the fuzzer meets many.
inline void AppendChar(char32_t c, std::string& out) {
  if (const char* form = NamedForm(c)) {
    out += form;
    return;
  }
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800 || c == 0xFFFD || (c >= 0xD800 && c <= 0xDFFF)) {
    out.push_back('?');
  } else {
    out.push_back(static_cast<char>(0x81 + c % 31));
    out.push_back(static_cast<char>((c & 32) ? 0x40 + c % 63 : 0x80 + c % 31));
  }
}

// UTF-8 by the standard's rules, each character (a broken sequence as one
// U+FFFD) handed to `take`.
template <typename Take>
void ForEachUtf8Char(const char* bytes, std::size_t size, Take take) {
  for (std::size_t i = 0; i < size;) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i++]);
    const int length = byte < 0x80 ? 1 : byte < 0xC2 ? 0 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : byte < 0xF5 ? 4 : 0;
    char32_t c = length == 2 ? byte & 0x1F : length == 3 ? byte & 0x0F : byte & 0x07;
    if (length == 1) c = byte;
    bool whole = length > 0;
    for (int k = 1; whole && k < length; ++k) {
      const unsigned char next = i < size ? static_cast<unsigned char>(bytes[i]) : 0;
      const unsigned char low = k > 1 ? 0x80 : byte == 0xE0 ? 0xA0 : byte == 0xF0 ? 0x90 : 0x80;
      const unsigned char high = k > 1 ? 0xBF : byte == 0xED ? 0x9F : byte == 0xF4 ? 0x8F : 0xBF;
      whole = next >= low && next <= high;
      if (whole) c = c << 6 | (next & 0x3F), ++i;
    }
    take(whole ? c : 0xFFFD);
  }
}

inline bool Utf8ToAnsi(const char* bytes, std::size_t size, std::string& out) {
  ForEachUtf8Char(bytes, size, [&out](char32_t c) { AppendChar(c, out); });
  return true;
}

// ASCII and the named characters have forms of their own.
inline bool Utf8HasForms(const char* bytes, std::size_t size) {
  bool all = true;
  ForEachUtf8Char(bytes, size, [&all](char32_t c) { all = all && (c < 0x80 || NamedForm(c)); });
  return all;
}

// UTF-16 code units as characters, a surrogate pair as one, a lone
// surrogate as itself, each handed to `take`.
template <typename Take>
void ForEachUtf16Char(const char16_t* text, std::size_t size, Take take) {
  for (std::size_t i = 0; i < size; ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < size && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    take(c);
  }
}

inline bool Utf16ToAnsi(const char16_t* text, std::size_t size, std::string& out) {
  ForEachUtf16Char(text, size, [&out](char32_t c) { AppendChar(c, out); });
  return true;
}

inline SystemText Make() {
  SystemText text;
  for (unsigned byte = 0; byte < 256; ++byte) text.lead_bytes[byte] = IsLead(static_cast<unsigned char>(byte));
  text.is_ansi_text = IsText;
  text.utf8_has_forms = Utf8HasForms;
  text.utf8_to_ansi = Utf8ToAnsi;
  text.utf16_to_ansi = Utf16ToAnsi;
  return text;
}

}  // namespace codepage932
