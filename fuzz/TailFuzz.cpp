// Arbitrary command lines through the tail rule and the quoted-path rule.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CommandTail.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string command_line(reinterpret_cast<const char*>(data), size);  // cut at a NUL by c_str()
  const char* start = command_line.c_str();
  const std::size_t length = std::strlen(start);
  const char* tail = CommandTail(start);
  // A suffix of the command line that starts with no blank or control byte.
  Check(tail >= start && tail <= start + length);
  Check(*tail == '\0' || static_cast<unsigned char>(*tail) > ' ');
  // Everything before it is the name and the blanks after it: the name ends
  // at a blank outside quotes, or at the end.
  bool in_quotes = false;
  const char* p = start;
  while (p < tail && (static_cast<unsigned char>(*p) > ' ' || in_quotes)) {
    if (*p == '"') in_quotes = !in_quotes;
    ++p;
  }
  for (; p < tail; ++p) Check(static_cast<unsigned char>(*p) <= ' ');

  const std::string path = LabelPathFromTail(tail);
  const std::string whole(tail);
  Check(path == whole || (path.size() + 2 <= whole.size() && whole.compare(1, path.size(), path) == 0 &&
                          whole[0] == '"'));
  // The wide command line, each byte a character, gives the same tail and path.
  std::wstring wide;
  for (std::size_t i = 0; i < length; ++i) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(start[i])));
  const wchar_t* wide_tail = CommandTail(wide.c_str());
  Check(wide_tail - wide.c_str() == tail - start);
  Check(LabelPathFromTail(wide_tail).size() == path.size());
  // And the same mode: the dump exactly where "/dump" stands in the tail.
  const TailMode mode = ModeOfTail(tail);
  Check(ModeOfTail(wide_tail) == mode);
  Check((mode == TailMode::kDump) == (whole.find("/dump") != std::string::npos));
  Check((mode == TailMode::kDefault) == whole.empty());
  return 0;
}
