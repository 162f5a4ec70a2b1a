// What the tests, the demo and the bench share, one header for all of it:
#pragma once

#include "Files.h"           // text and files: code pages, whole files, temporary folders
#include "Handle.h"          // the owner of a kernel handle
#include "Screen.h"          // pixels of a window, the icon of a box
#include "StandinProcess.h"  // the stand-in's process: started, its windows, its items
#include "VemtrellRun.h"     // Vemtrell.exe run as a debuggee: traces, boxes, exit code
