/* A Windows program for the tests of the scripts: it runs the steps named on
 * its command line, one output line each, and so shows what a program in the
 * launcher's sandbox sees and may do.
 *   args N A1..AN            prints each argument in brackets
 *   write PATH BYTES         writes BYTES bytes to PATH (made anew), 1 KiB at a time
 *   write-in NAME FILE BYTES the same, in the folder the variable NAME names
 *   sleep MS                 sleeps
 *   time                     prints the time in ms since 1601
 *   exit CODE                ends with that exit code
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void write_file(const char *path, unsigned long bytes) {
  char chunk[1024];
  unsigned long done = 0;
  DWORD wrote = 0;
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  memset(chunk, 'x', sizeof chunk);
  if (file != INVALID_HANDLE_VALUE) {
    while (done < bytes) {
      DWORD part = bytes - done < sizeof chunk ? (DWORD)(bytes - done) : (DWORD)sizeof chunk;
      if (!WriteFile(file, chunk, part, &wrote, NULL) || wrote != part) break;
      done += wrote;
    }
    if (!CloseHandle(file) && done == bytes) done = 0;
  }
  printf("write %s: %lu of %lu\n", path, done, bytes);
}

int main(int argc, char **argv) {
  int i = 1;
  while (i < argc) {
    const char *step = argv[i++];
    if (strcmp(step, "args") == 0 && i < argc) {
      int n = atoi(argv[i++]);
      for (; n > 0 && i < argc; --n) printf("[%s]\n", argv[i++]);
    } else if (strcmp(step, "write") == 0 && i + 1 < argc) {
      write_file(argv[i], strtoul(argv[i + 1], NULL, 10));
      i += 2;
    } else if (strcmp(step, "write-in") == 0 && i + 2 < argc) {
      char path[MAX_PATH];
      const char *dir = getenv(argv[i]);
      snprintf(path, sizeof path, "%s\\%s", dir ? dir : "(unset)", argv[i + 1]);
      write_file(path, strtoul(argv[i + 2], NULL, 10));
      i += 3;
    } else if (strcmp(step, "sleep") == 0 && i < argc) {
      Sleep((DWORD)strtoul(argv[i++], NULL, 10));
      printf("slept\n");
    } else if (strcmp(step, "time") == 0) {
      FILETIME now;
      ULARGE_INTEGER t;
      GetSystemTimeAsFileTime(&now);
      t.LowPart = now.dwLowDateTime;
      t.HighPart = now.dwHighDateTime;
      printf("time %llu\n", t.QuadPart / 10000ULL);
    } else if (strcmp(step, "exit") == 0 && i < argc) {
      fflush(stdout);
      return atoi(argv[i]);
    } else {
      fprintf(stderr, "winprog: bad step '%s'\n", step);
      return 2;
    }
    fflush(stdout);
  }
  return 0;
}
