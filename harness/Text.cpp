#include "Text.h"

#include <cstdint>
#include <cstdio>

std::string Narrow(const std::wstring& wide, UINT code_page) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int length = WideCharToMultiByte(code_page, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), size, &out[0], length, nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& text, UINT code_page) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(code_page, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), size, &out[0], length);
  return out;
}

std::string Sjis(const std::string& utf8) { return Narrow(Widen(utf8, CP_UTF8), 932); }

std::string Hex8(const void* handle) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle)));
  return text;
}
