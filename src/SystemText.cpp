#include "SystemText.h"

#include <windows.h>

#include <climits>
#include <string>

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 is Windows' wide text");

// A character without a form in the code page becomes its best fit or its
// default character ('?' in code page 932); a lone surrogate the default.
bool AppendAnsi(const wchar_t* wide, std::size_t size, std::string& out) {
  if (size == 0) return true;
  if (size > INT_MAX / 2) return false;
  const int length = static_cast<int>(size);
  const std::size_t old_size = out.size();
  // Two bytes a unit hold any double-byte code page: no call to measure first.
  out.resize(old_size + 2 * size);
  int bytes = WideCharToMultiByte(CP_ACP, 0, wide, length, &out[old_size], 2 * length, nullptr, nullptr);
  if (bytes <= 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {  // a code page of longer characters
    bytes = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
      out.resize(old_size + static_cast<std::size_t>(bytes));
      bytes = WideCharToMultiByte(CP_ACP, 0, wide, length, &out[old_size], bytes, nullptr, nullptr);
    }
  }
  out.resize(old_size + static_cast<std::size_t>(bytes > 0 ? bytes : 0));
  return bytes > 0;
}

bool IsAnsiText(const char* bytes, std::size_t size) {
  if (size == 0) return true;
  if (size > INT_MAX) return false;
  return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(size), nullptr, 0) > 0;
}

// A broken sequence becomes U+FFFD, which the code page shows as its default.
bool Utf8ToAnsi(const char* bytes, std::size_t size, std::string& out) {
  if (size == 0) return true;
  if (size > INT_MAX) return false;
  // No more units than bytes.
  std::wstring wide(size, L'\0');
  const int units = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), &wide[0], static_cast<int>(size));
  return units > 0 && AppendAnsi(wide.data(), static_cast<std::size_t>(units), out);
}

// Code page 65001 refuses WC_NO_BEST_FIT_CHARS and the used-default
// question (ERROR_INVALID_PARAMETER); every character has a form there.
bool Utf8HasForms(const char* bytes, std::size_t size) {
  if (size == 0 || GetACP() == CP_UTF8) return true;
  if (size > INT_MAX) return false;
  std::wstring wide(size, L'\0');
  const int units = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), &wide[0], static_cast<int>(size));
  if (units <= 0) return false;
  BOOL used_default = FALSE;
  const int length =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), units, nullptr, 0, nullptr, &used_default);
  return length > 0 && !used_default;
}

bool Utf16ToAnsi(const char16_t* text, std::size_t size, std::string& out) {
  return AppendAnsi(reinterpret_cast<const wchar_t*>(text), size, out);
}

SystemText Make() {
  SystemText text;
  for (unsigned byte = 0; byte < 256; ++byte)
    text.lead_bytes[byte] = IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(byte)) != FALSE;
  // IsDBCSLeadByteEx names no lead byte there: its characters are UTF-8's.
  text.utf8 = GetACP() == CP_UTF8;
  text.is_ansi_text = IsAnsiText;
  text.utf8_has_forms = Utf8HasForms;
  text.utf8_to_ansi = Utf8ToAnsi;
  text.utf16_to_ansi = Utf16ToAnsi;
  return text;
}

}  // namespace

const SystemText& AnsiSystemText() {
  static const SystemText text = Make();
  return text;
}
