#include "CommandTail.h"

#include <cstring>

const char* CommandTail(const char* command_line) {
  if (!command_line) return "";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(command_line);
  bool in_quotes = false;
  while (*p > ' ' || (*p && in_quotes)) {
    if (*p == '"') in_quotes = !in_quotes;
    ++p;
  }
  while (*p && *p <= ' ') ++p;
  return reinterpret_cast<const char*>(p);
}

std::string LabelPathFromTail(const char* tail) {
  if (!tail) return std::string();
  std::size_t len = std::strlen(tail);
  while (len > 0 && (tail[len - 1] == ' ' || tail[len - 1] == '\t')) --len;
  if (len > 1 && tail[0] == '"' && tail[len - 1] == '"') return std::string(tail + 1, len - 2);
  return std::string(tail);
}
