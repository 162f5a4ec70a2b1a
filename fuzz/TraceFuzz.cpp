// Arbitrary file names, names, values and numbers through the trace line
// formatter, checked against a plain printf of the same line.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TraceFormat.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Splits the input at NULs into NUL-terminated parts.
std::string Part(const std::string& bytes, std::size_t& at) {
  const std::size_t end = std::min(bytes.find('\0', at), bytes.size());
  std::string part = bytes.substr(at, end - at);
  at = end < bytes.size() ? end + 1 : end;
  return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  std::int32_t line, number;
  std::memcpy(&line, data, 4);
  std::memcpy(&number, data + 4, 4);
  line &= 0x7FFFFFFF;  // a source line is never negative
  const std::string rest(reinterpret_cast<const char*>(data + 8), size - 8);
  std::size_t at = 0;
  const std::string file = Part(rest, at), name = Part(rest, at), value = Part(rest, at);

  const std::size_t slash = file.find_last_of("/\\");
  const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
  char head[64];
  std::snprintf(head, sizeof head, "(%4" PRId32 ") : ", line);
  const std::string prefix = base + head;

  Check(TraceEventLine(file.c_str(), line, value.c_str()) == prefix + value);
  Check(TraceTextLine(file.c_str(), line, name.c_str(), value.c_str()) == prefix + name + "=" + value);
  Check(TraceTextLine(file.c_str(), line, name.c_str(), nullptr) == prefix + name + "=<NULL>");
  Check(TraceMessageTextLine(file.c_str(), line, name.c_str(), value.c_str()) == prefix + name + value);
  char digits[32];
  std::snprintf(digits, sizeof digits, "%" PRId32, number);
  Check(TraceNumberLine(file.c_str(), line, name.c_str(), number) == prefix + name + "=" + digits);
  std::snprintf(digits, sizeof digits, "%08" PRIX32, static_cast<std::uint32_t>(number));
  Check(TraceHandleLine(file.c_str(), line, name.c_str(), static_cast<std::uint32_t>(number)) ==
        prefix + name + "=" + digits);
  return 0;
}
