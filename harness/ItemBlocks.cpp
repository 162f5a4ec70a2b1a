#include "ItemBlocks.h"

#include "Handle.h"
#include "ItemBlock.h"

int CountItemBlocks(DWORD process_id) {
  const Handle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id));
  if (!process) return -1;
  int count = 0;
  MEMORY_BASIC_INFORMATION info;
  for (const char* at = nullptr; VirtualQueryEx(process.Get(), at, &info, sizeof info) == sizeof info;
       at = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
    if (info.State != MEM_COMMIT || info.Type != MEM_PRIVATE || info.Protect != PAGE_READWRITE) continue;
    ItemBlock block;
    SIZE_T got = 0;
    if (!ReadProcessMemory(process.Get(), info.BaseAddress, &block.item, sizeof block.item, &got) ||
        got != sizeof block.item)
      continue;
    if (block.item.mask == LVIF_TEXT && block.item.cchTextMax == kItemTextMax &&
        block.item.pszText == static_cast<char*>(info.BaseAddress) + offsetof(ItemBlock, text))
      ++count;
  }
  return count;
}
