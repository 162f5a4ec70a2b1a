// Formatting of one trace line: "<file>(<line>) : <body>", no line end.
// Kept free of Windows so the native build can test it; the trace points
// themselves all stand in Vemtrell.cpp.
#pragma once

#include <cstdint>
#include <string>

// The file name without any directory part (either separator).
const char* TraceBaseName(const char* path);

std::string TraceEventLine(const char* file, int line, const char* message);
// A null value is written as "<NULL>".
std::string TraceTextLine(const char* file, int line, const char* name, const char* value);
std::string TraceNumberLine(const char* file, int line, const char* name, int value);
// The handle's low 32 bits as eight upper-case hex digits.
std::string TraceHandleLine(const char* file, int line, const char* name, std::uint32_t handle);
std::string TraceMessageTextLine(const char* file, int line, const char* message, const char* text);
