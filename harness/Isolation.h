// Where the programs a test starts live: on a desktop of the test program's
// own, where FindWindow sees only the windows started there (never a
// Padmorph the maintainer has open, nor another test program's stand-in),
// and in a job that ends them with the test program, also when it crashes.
#pragma once

#include <windows.h>

#include <string>

// The desktop for STARTUPINFO.lpDesktop, made on the first call; null where
// none could be made (or VEMTRELL_TEST_DESKTOP=none asks for none): then the
// programs share the caller's desktop, and ForeignPadmorph guards them.
char* TestDesktop();
// Puts the calling thread, which must have no window yet, on that desktop,
// so that its window lookups see what the tests started. Idempotent.
void EnterTestDesktop();
// Starts `command_line` on the test desktop, in the job, as CreateProcessA
// would with these arguments; the process is in the job before it runs.
bool StartOnTestDesktop(const char* application, std::string command_line, DWORD flags, const char* directory,
                        PROCESS_INFORMATION* started);
// The same with a wide command line, as Windows passes a name that the ANSI
// code page cannot spell.
bool StartOnTestDesktop(const wchar_t* application, std::wstring command_line, DWORD flags, const wchar_t* directory,
                        PROCESS_INFORMATION* started);
// A Padmorph main window (the class and title Vemtrell looks for) that no
// program this test started owns, as "<program> (process N)"; empty when
// there is none. Such a window would receive what a test sends.
std::string ForeignPadmorph();
// The message a test fails with when ForeignPadmorph found one.
std::string ForeignPadmorphMessage(const std::string& foreign);
