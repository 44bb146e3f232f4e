// Loads hid.dll and setupapi.dll by name, as a program that imports them at
// start does: the proof that the DLLs a scenario planted lie where such a
// search finds them, so that their absence from kalvo-update.exe means
// something.
#include <windows.h>

int main() {
  const bool both = LoadLibraryA("hid.dll") != nullptr && LoadLibraryA("setupapi.dll") != nullptr;
  return both ? 0 : 1;
}
