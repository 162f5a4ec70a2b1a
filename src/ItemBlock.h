// The block Vemtrell mirrors in the list view's process: one list-view item
// record and the text area its pszText names, right behind it. The bench and
// the tests' count of blocks left in a process use this one definition.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstddef>

#include "LabelText.h"

constexpr int kItemTextMax = 256;

struct ItemBlock {
  LVITEMA item;
  char text[kItemTextMax];
};

constexpr DWORD kItemBlockSize = sizeof(ItemBlock);

static_assert(offsetof(ItemBlock, text) == sizeof(LVITEMA), "the text area follows the record");
static_assert(sizeof(ItemBlock) == sizeof(LVITEMA) + kItemTextMax, "no padding after the text area");
static_assert(kItemTextMax == kLabelMax + 1, "a label and its NUL fill the text area");
#ifndef _WIN64
// The layout a 32-bit Padmorph reads.
static_assert(sizeof(tagLVITEMA) == 60, "32-bit LVITEMA");
static_assert(offsetof(tagLVITEMA, pszText) == 20, "32-bit LVITEMA.pszText");
static_assert(offsetof(tagLVITEMA, cchTextMax) == 24, "32-bit LVITEMA.cchTextMax");
static_assert(offsetof(ItemBlock, text) == 60, "32-bit text area");
static_assert(kItemBlockSize == 316, "32-bit item block");
#endif
