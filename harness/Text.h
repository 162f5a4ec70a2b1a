// Text: code page conversions, and values as the trace lines print them.
#pragma once

#include <windows.h>

#include <string>

// Wide text as bytes of `code_page`, and back.
std::string Narrow(const std::wstring& wide, UINT code_page);
std::wstring Widen(const std::string& text, UINT code_page);
// UTF-8 text as ANSI code page 932 bytes.
std::string Sjis(const std::string& utf8);
// A handle as the trace lines print it: eight upper-case hex digits.
std::string Hex8(const void* handle);
