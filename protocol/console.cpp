#include "protocol/console.h"

#include <windows.h>

#include <cstring>

void say(const char* text) {
  // WriteFile straight to the standard output handle: no C runtime buffer
  // stands between the text and a console, a pipe or a file. Output that
  // cannot be written is not an error the user could act on.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(out, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}
