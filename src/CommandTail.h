// What follows the program's own name on the command line, in bytes of the
// ANSI code page (char) or as Windows has it (wchar_t), by the same rules.
#pragma once

#include <string>

// Skips the program name (the leading run of characters above 32, a stretch
// between double quotes counting as part of it) and the characters 1..32
// after it. Characters compare as unsigned, so a tail that starts with a
// Shift JIS lead byte is kept whole. Never null; points into `command_line`.
template <typename Char>
const Char* CommandTail(const Char* command_line);

// The label file path a tail names: a tail that, without its trailing
// blanks, is wrapped in double quotes names what stands between them
// (a dropped file whose path holds a blank arrives so). Otherwise the tail
// itself, unchanged.
template <typename Char>
std::basic_string<Char> LabelPathFromTail(const Char* tail);

// What a tail asks for: the dump ("/dump" anywhere in it, so a label file
// cannot be named by a path that holds it), the default label file (an
// empty tail: config.txt, exported first when there is none), or the label
// file it names.
enum class TailMode { kDump, kDefault, kLabelFile };
template <typename Char>
TailMode ModeOfTail(const Char* tail);

extern template const char* CommandTail(const char*);
extern template const wchar_t* CommandTail(const wchar_t*);
extern template std::string LabelPathFromTail(const char*);
extern template std::wstring LabelPathFromTail(const wchar_t*);
extern template TailMode ModeOfTail(const char*);
extern template TailMode ModeOfTail(const wchar_t*);
