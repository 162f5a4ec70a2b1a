#include "TraceFormat.h"

#include <iomanip>
#include <sstream>

const char* TraceBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

namespace {

// A fresh stream per line: no width, fill or flag carries over from another.
void WriteHead(std::ostringstream& out, const char* file, int line) {
  out.imbue(std::locale::classic());
  out << TraceBaseName(file) << '(' << std::setw(4) << line << ") : ";
}

}  // namespace

std::string TraceEventLine(const char* file, int line, const char* message) {
  std::ostringstream out;
  WriteHead(out, file, line);
  out << message;
  return out.str();
}

std::string TraceTextLine(const char* file, int line, const char* name, const char* value) {
  std::ostringstream out;
  WriteHead(out, file, line);
  out << name << '=' << (value ? value : "<NULL>");
  return out.str();
}

std::string TraceNumberLine(const char* file, int line, const char* name, int value) {
  std::ostringstream out;
  WriteHead(out, file, line);
  out << name << '=' << value;
  return out.str();
}

std::string TraceHandleLine(const char* file, int line, const char* name, std::uint32_t handle) {
  std::ostringstream out;
  WriteHead(out, file, line);
  out << name << '=' << std::uppercase << std::hex << std::setfill('0') << std::setw(8) << handle;
  return out.str();
}

std::string TraceMessageTextLine(const char* file, int line, const char* message, const char* text) {
  std::ostringstream out;
  WriteHead(out, file, line);
  out << message << text;
  return out.str();
}
