/* Built 32-bit by scripts/wow64: prints "bits=32 wow64=1" when it runs as a
   32-bit process on a 64-bit system, as the program we ship does. */
#include <windows.h>
#include <stdio.h>

int main(void) {
  BOOL wow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &wow64)) return 1;
  printf("bits=%u wow64=%d\n", (unsigned)(sizeof(void*) * 8), wow64 ? 1 : 0);
  return 0;
}
