// What the tests, the demo and the bench share, one header for all of it:
#pragma once

#include "Files.h"           // files: whole files, folder listings, temporary folders
#include "Handle.h"          // the owner of a kernel handle
#include "Isolation.h"       // the desktop and the job of the programs a test starts
#include "ItemBlocks.h"      // Vemtrell's item blocks left in a process
#include "Screen.h"          // pixels of a window, the icon of a box
#include "StandinProcess.h"  // the stand-in's process: started, its windows, its items
#include "Text.h"            // code pages, and values as the trace lines print them
#include "VemtrellRun.h"     // Vemtrell.exe run as a debuggee: traces, boxes, exit code
