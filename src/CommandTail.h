// What follows the program's own name on the command line.
#pragma once

#include <string>

// Skips the program name (the leading run of bytes above 32, a stretch
// between double quotes counting as part of it) and the bytes 1..32 after
// it. Bytes compare as unsigned, so a tail that starts with a Shift JIS lead
// byte is kept whole. Never null; points into `command_line`.
const char* CommandTail(const char* command_line);

// The label file path a tail names: a tail that, without its trailing
// blanks, is wrapped in double quotes names what stands between them
// (a dropped file whose path holds a blank arrives so). Otherwise the tail
// itself, unchanged.
std::string LabelPathFromTail(const char* tail);
