// Loads each DLL named on its command line by name, as a program that
// imports it at start does: the proof that the recorders a check planted lie
// where such a search finds them, so that their absence from kalvo-update.exe
// means something. Exit status 0 when every load succeeded.
#include <windows.h>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (LoadLibraryA(argv[i]) == nullptr) return 1;
  return argc > 1 ? 0 : 2;
}
