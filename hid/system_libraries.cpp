#include "hid/system_libraries.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace {

// Neither is one of Windows' known DLLs, so a load by name looks in the
// program's own folder first: a hid.dll lying beside the program in a
// Downloads folder would run with the user's rights. The program imports both
// on first use (delay-loaded); once a module of that name is loaded, Windows
// resolves those imports to it and searches no folder.
constexpr std::array<std::string_view, 2> systemLibraries = {"hid.dll", "setupapi.dll"};

using Path = std::array<char, MAX_PATH>;

// The full path of `name` in the system directory `folder` (of `length`
// characters), or false when it would not fit.
bool systempath(const Path& folder, UINT length, std::string_view name, Path& path) {
  if (length + 1 + name.size() + 1 > path.size()) return false;
  path.fill('\0');
  std::copy_n(folder.begin(), length, path.begin());
  path[length] = '\\';
  std::copy(name.begin(), name.end(), path.begin() + length + 1);
  return true;
}

}  // namespace

int loadsystemlibraries() {
  Path folder{};
  // The result is the length without the terminator when the folder fits,
  // the size it needs when it does not, and 0 on failure.
  const UINT length = GetSystemDirectoryA(folder.data(), static_cast<UINT>(folder.size()));
  if (length == 0 || length >= folder.size()) return 0;
  for (const std::string_view name : systemLibraries) {
    Path path{};
    if (!systempath(folder, length, name, path)) return 0;
    // With a full path, the altered search order looks for the library's own
    // dependencies in its folder, the system directory, before any other.
    if (LoadLibraryExA(path.data(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) == nullptr) return 0;
  }
  return 1;
}
