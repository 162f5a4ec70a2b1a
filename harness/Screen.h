// The screen: what a window shows, and which icon a message box shows.
#pragma once

#include <windows.h>

#include <vector>

// What the screen shows of `window`, as 0x00RRGGBB values, top row first;
// empty when the window has no area.
std::vector<DWORD> WindowPixels(HWND window, int* width, int* height);

// Which icon a box's icon control shows, told by its handle or its pixels: 0 for none,
// MB_ICONERROR, MB_ICONINFORMATION, or -1 for one that is neither.
int IconKind(HWND control);
