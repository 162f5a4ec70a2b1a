#include "CommandTail.h"

#include <cstddef>
#include <type_traits>

namespace {

template <typename Char>
unsigned long Code(Char c) {
  return static_cast<std::make_unsigned_t<Char>>(c);
}

}  // namespace

template <typename Char>
const Char* CommandTail(const Char* command_line) {
  static const Char kEmpty[1] = {};
  if (!command_line) return kEmpty;
  const Char* p = command_line;
  bool in_quotes = false;
  while (Code(*p) > ' ' || (*p && in_quotes)) {
    if (*p == '"') in_quotes = !in_quotes;
    ++p;
  }
  while (*p && Code(*p) <= ' ') ++p;
  return p;
}

template <typename Char>
std::basic_string<Char> LabelPathFromTail(const Char* tail) {
  if (!tail) return std::basic_string<Char>();
  std::size_t len = std::char_traits<Char>::length(tail);
  while (len > 0 && (tail[len - 1] == ' ' || tail[len - 1] == '\t')) --len;
  if (len > 1 && tail[0] == '"' && tail[len - 1] == '"') return std::basic_string<Char>(tail + 1, len - 2);
  return std::basic_string<Char>(tail);
}

template <typename Char>
TailMode ModeOfTail(const Char* tail) {
  if (!tail || !*tail) return TailMode::kDefault;
  static const Char kDump[] = {'/', 'd', 'u', 'm', 'p', 0};
  for (const Char* p = tail; *p; ++p) {
    std::size_t i = 0;
    while (i < 5 && p[i] == kDump[i]) ++i;  // stops at the tail's NUL
    if (i == 5) return TailMode::kDump;
  }
  return TailMode::kLabelFile;
}

template const char* CommandTail(const char*);
template const wchar_t* CommandTail(const wchar_t*);
template std::string LabelPathFromTail(const char*);
template std::wstring LabelPathFromTail(const wchar_t*);
template TailMode ModeOfTail(const char*);
template TailMode ModeOfTail(const wchar_t*);
