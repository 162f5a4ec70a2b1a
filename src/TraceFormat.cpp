#include "TraceFormat.h"

#include <cstring>

const char* TraceBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

// Plain appends rather than a string stream: no locale can reach the digits,
// and a line costs a fraction of a stream's set-up, once per item of a dump.
namespace {

void AppendDecimal(std::string& out, int value) {
  char digits[12];
  int count = 0;
  // Through unsigned, so the most negative value has a magnitude too.
  unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) out.push_back('-');
  while (count > 0) out.push_back(digits[--count]);
}

std::string Head(const char* file, int line) {
  std::string out = TraceBaseName(file);
  out.push_back('(');
  std::string number;
  AppendDecimal(number, line);
  if (number.size() < 4) out.append(4 - number.size(), ' ');
  out += number;
  out += ") : ";
  return out;
}

}  // namespace

std::string TraceEventLine(const char* file, int line, const char* message) {
  return Head(file, line) + message;
}

std::string TraceTextLine(const char* file, int line, const char* name, const char* value) {
  std::string out = Head(file, line);
  out += name;
  out.push_back('=');
  out += value ? value : "<NULL>";
  return out;
}

std::string TraceNumberLine(const char* file, int line, const char* name, int value) {
  std::string out = Head(file, line);
  out += name;
  out.push_back('=');
  AppendDecimal(out, value);
  return out;
}

std::string TraceHandleLine(const char* file, int line, const char* name, std::uint32_t handle) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = Head(file, line);
  out += name;
  out.push_back('=');
  for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHex[(handle >> shift) & 0xF]);
  return out;
}

std::string TraceMessageTextLine(const char* file, int line, const char* message, const char* text) {
  std::string out = Head(file, line);
  out += message;
  out += text;
  return out;
}
