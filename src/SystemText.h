// The system's ANSI code page and its conversions, as the label reader
// takes them: Windows calls, kept out of the byte rules.
#pragma once

#include "LabelText.h"

// Made once per run: the lead bytes do not change while it runs.
const SystemText& AnsiSystemText();
