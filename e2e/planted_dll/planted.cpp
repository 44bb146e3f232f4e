// A DLL planted where a careless program picks it up, under the names of
// the system's libraries: beside the program (a Downloads folder) or in its
// current directory. Once loaded it would run with the user's rights; here it
// only leaves a line in the call trace beside the program, which the runner
// expects to stay empty of it. It exports nothing: a program that loaded it
// instead of the library of that name would not get far either.
//
// A scenario plants a copy under every library name of the system
// directory, so it is kept small: kernel32 alone, no C or C++ runtime.
#include <windows.h>

#include "e2e/common/program_folder.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char trace[MAX_PATH + 32];
  const int length = static_cast<int>(GetModuleFileNameA(nullptr, trace, MAX_PATH));
  int folder = length;
  while (folder > 0 && trace[folder - 1] != '\\') --folder;
  trace[folder] = '\0';
  lstrcatA(trace, e2e::callTraceFileName);

  char line[MAX_PATH + 32];
  lstrcpyA(line, "planted DLL loaded: ");
  GetModuleFileNameA(self, line + lstrlenA(line), MAX_PATH);
  lstrcatA(line, "\n");
  const HANDLE file = CreateFileA(trace, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(lstrlenA(line)), &written, nullptr);
    CloseHandle(file);
  }
  return TRUE;
}
