// Code page 65001 (UTF-8 as the ANSI code page, Windows' "Beta: Use Unicode
// UTF-8") for the byte rules' unit tests: no lead bytes, UTF-8 sequences as
// its characters, valid UTF-8 as its text, and conversions that keep every
// character (a broken sequence or a lone surrogate as U+FFFD).
#pragma once

#include <string>

#include "CodePage932.h"

namespace codepage65001 {

inline void AppendUtf8(char32_t c, std::string& out) {
  if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
    return;
  }
  const int length = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  out.push_back(static_cast<char>((0xF00 >> length) | (c >> (6 * (length - 1)))));
  for (int k = length - 2; k >= 0; --k) out.push_back(static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F)));
}

inline SystemText Make() {
  SystemText text;
  text.utf8 = true;
  text.is_ansi_text = [](const char* bytes, std::size_t size) {
    std::string again;
    codepage932::ForEachUtf8Char(bytes, size, [&again](char32_t c) { AppendUtf8(c, again); });
    return again == std::string(bytes, size);
  };
  text.utf8_has_forms = [](const char*, std::size_t) { return true; };
  text.utf8_to_ansi = [](const char* bytes, std::size_t size, std::string& out) {
    codepage932::ForEachUtf8Char(bytes, size, [&out](char32_t c) { AppendUtf8(c, out); });
    return true;
  };
  text.utf16_to_ansi = [](const char16_t* units, std::size_t size, std::string& out) {
    codepage932::ForEachUtf16Char(units, size, [&out](char32_t c) { AppendUtf8(c, out); });
    return true;
  };
  return text;
}

}  // namespace codepage65001
