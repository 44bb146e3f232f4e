// A DLL planted where a careless program picks it up, under the name of a
// system library: beside the program (a Downloads folder) or in its current
// directory. Once loaded it would run with the user's rights; here it only
// leaves a line in the call trace beside the program, which the runner
// expects to stay empty of it.
#include <windows.h>

#include <string>

#include "e2e/common/program_folder.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(self, path, MAX_PATH);
    e2e::traceCall(std::string("planted DLL loaded: ") + path);
  }
  return TRUE;
}
