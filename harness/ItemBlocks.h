// Vemtrell's item blocks as a process holds them in its memory.
#pragma once

#include <windows.h>

// Item blocks (a record whose pszText names the text area right behind it,
// laid out as Vemtrell's ItemBlock) that the process holds: the ones
// Vemtrell left behind.
int CountItemBlocks(DWORD process_id);
