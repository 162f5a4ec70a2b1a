// The mirrored block against a real window in another process (the stand-in).
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstring>
#include <memory>
#include <vector>

#include "Harness.h"
#include "Rows.h"
#include "sharedmem/SharedMem.h"

namespace {

constexpr DWORD kSize = 316;
constexpr unsigned char kPattern = 0xA5;

void Fill(SharedMemBase& block, unsigned char value) { std::memset(block.LocalAddress(), value, block.Size()); }

// Index of the first byte that is not `value`, or -1.
int FirstOther(const SharedMemBase& block, unsigned char value) {
  const unsigned char* bytes = static_cast<const unsigned char*>(block.LocalAddress());
  for (DWORD i = 0; i < block.Size(); ++i)
    if (bytes[i] != value) return static_cast<int>(i);
  return -1;
}

MEMORY_BASIC_INFORMATION QueryRemote(DWORD process_id, const void* address) {
  MEMORY_BASIC_INFORMATION info = {};
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, process_id);
  VirtualQueryEx(process, address, &info, sizeof info);
  CloseHandle(process);
  return info;
}

// Byte i of the pattern a block is given before it is released.
unsigned char Marked(DWORD i) { return static_cast<unsigned char>(i * 7 + 1); }

// The block that held `address` is released: the region is free, or the
// target's own allocations have taken it again (they may, at once: a freed
// address does not stay free in a running process): committed without the
// block's marked bytes, or reserved as more than the block's one page. A
// block still there, or only decommitted (one reserved page), fails.
::testing::AssertionResult Released(DWORD process_id, const void* address) {
  const MEMORY_BASIC_INFORMATION info = QueryRemote(process_id, address);
  if (info.State == MEM_FREE) return ::testing::AssertionSuccess();
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  if (info.State == MEM_RESERVE && (info.AllocationBase != address || info.RegionSize > system.dwPageSize))
    return ::testing::AssertionSuccess() << "reserved again by the target";
  if (info.State == MEM_COMMIT) {
    std::vector<unsigned char> bytes(kSize, kPattern);
    SIZE_T got = 0;
    HANDLE process = OpenProcess(PROCESS_VM_READ, FALSE, process_id);
    const bool read = ReadProcessMemory(process, address, bytes.data(), kSize, &got) && got == kSize;
    CloseHandle(process);
    bool marked = read;
    for (DWORD i = 0; marked && i < kSize; ++i) marked = bytes[i] == Marked(i);
    if (!marked) return ::testing::AssertionSuccess() << "taken again by the target";
    return ::testing::AssertionFailure() << "the block's bytes are still at " << address << " (MEM_COMMIT)";
  }
  return ::testing::AssertionFailure() << "state " << info.State << " at " << address << ", expected MEM_FREE ("
                                       << MEM_FREE << ") or a region taken again (MEM_COMMIT, " << MEM_COMMIT << ")";
}

void Mark(SharedMemBase& block) {
  unsigned char* bytes = static_cast<unsigned char*>(block.LocalAddress());
  for (DWORD i = 0; i < block.Size(); ++i) bytes[i] = Marked(i);
}

TEST(SharedMem, WindowsThatNameNoProcessGiveAnInvalidBlockThatMovesNothing) {
  HWND dead = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(dead, nullptr);
  DestroyWindow(dead);
  const Row<HWND> owners[] = {{__LINE__, nullptr}, {__LINE__, dead}};
  ForEachRow(owners, [](const Row<HWND>& owner) {
    SharedMemT<LVITEMA> block(owner.value, kSize);
    EXPECT_FALSE(block.IsValid());
    EXPECT_NE(block.LocalAddress(), nullptr) << "the local copy comes first and stays held";
    EXPECT_EQ(block.RemoteAddress(), nullptr);
    Fill(block, kPattern);
    EXPECT_FALSE(block.Write());
    EXPECT_FALSE(block.Read());
    EXPECT_EQ(FirstOther(block, kPattern), -1) << "a failed Read must leave the local copy alone";
  });
}

// Held through the base, as an owner of blocks of any type may hold one:
// released all the same. A second block for the same list view is one of its
// own, and releasing it leaves the first whole.
TEST(SharedMem, ValidBlockLivesInTheTargetAndRoundTrips) {
  StandinProcess standin({"one", "two"});
  ASSERT_TRUE(standin.Started());
  std::unique_ptr<SharedMemBase> block(new SharedMemT<LVITEMA>(standin.ListView(), kSize));
  ASSERT_TRUE(block->IsValid());
  const void* remote = block->RemoteAddress();
  EXPECT_EQ(block->Size(), kSize);
  MEMORY_BASIC_INFORMATION info = QueryRemote(standin.ProcessId(), remote);
  EXPECT_EQ(info.State, static_cast<DWORD>(MEM_COMMIT));
  EXPECT_EQ(info.Protect, static_cast<DWORD>(PAGE_READWRITE));

  Fill(*block, kPattern);
  ASSERT_TRUE(block->Read());
  EXPECT_EQ(FirstOther(*block, 0), -1) << "a fresh remote copy reads as zeros";

  const void* other_remote = nullptr;
  {
    SharedMemT<LVITEMA> other(standin.ListView(), kSize);
    ASSERT_TRUE(other.IsValid());
    other_remote = other.RemoteAddress();
    EXPECT_NE(other_remote, remote);
    EXPECT_NE(other.LocalAddress(), block->LocalAddress());
    Mark(other);
    ASSERT_TRUE(other.Write());
    ASSERT_FALSE(Released(standin.ProcessId(), other_remote)) << "a live block reads as released";
  }
  EXPECT_TRUE(Released(standin.ProcessId(), other_remote));

  unsigned char* bytes = static_cast<unsigned char*>(block->LocalAddress());
  Mark(*block);
  ASSERT_TRUE(block->Write());
  Fill(*block, kPattern);
  ASSERT_TRUE(block->Read());
  for (DWORD i = 0; i < kSize; ++i) ASSERT_EQ(bytes[i], Marked(i)) << "byte " << i;

  char text[4] = {'x', 'x', 'x', 'x'};
  EXPECT_TRUE(block->ReadRemote(static_cast<const char*>(remote) + 1, text, 3));
  EXPECT_EQ(std::string(text, 3), std::string("\x08\x0F\x16", 3));
  EXPECT_FALSE(block->ReadRemote(reinterpret_cast<const void*>(16), text, 3)) << "unmapped page";

  block.reset();
  EXPECT_TRUE(Released(standin.ProcessId(), remote)) << "the destructor releases the remote copy";
}

// The block is the one an LVM_SETITEMA reaches the list view through: the
// record is filled through Local() and sent as Remote(), so a wrong address
// from either and the new label never arrives.
TEST(SharedMem, TargetListViewActsOnTheRemoteCopy) {
  StandinProcess standin({"old"});
  ASSERT_TRUE(standin.Started());
  {
    SharedMemT<LVITEMA> block(standin.ListView(), kSize);
    ASSERT_TRUE(block.IsValid());
    LVITEMA* item = block.Local();
    char* remote_text = static_cast<char*>(block.RemoteAddress()) + sizeof(LVITEMA);
    item->mask = LVIF_TEXT;
    item->iItem = 0;
    item->pszText = remote_text;
    std::strcpy(static_cast<char*>(block.LocalAddress()) + sizeof(LVITEMA), "new");
    ASSERT_TRUE(block.Write());
    EXPECT_TRUE(SendMessageA(standin.ListView(), LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(block.Remote())));
  }
  EXPECT_EQ(standin.CloseAndReadItems(), std::vector<std::string>({"new"}));
}

}  // namespace
