#include "hid/system_libraries.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace {

// Neither is one of Windows' known DLLs, so a load by name looks in the
// program's own folder first: a hid.dll lying beside the program in a
// Downloads folder would run with the user's rights. The program does not
// import them: it loads each by full path and takes its functions from the
// module that load returned.
constexpr std::string_view hidLibrary = "hid.dll";
constexpr std::string_view setupLibrary = "setupapi.dll";

SystemFunctions found;

// `name` in `module` as the function type it is declared with, or false.
template <typename Function>
bool findfunction(HMODULE module, const char* name, Function& function) {
  const FARPROC address = GetProcAddress(module, name);
  if (address == nullptr) return false;
  // Through void(*)(), the one function type any other converts to silently.
  function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  return true;
}

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

// Takes the program's folder and the current directory out of every later
// search for a DLL in this process: Windows' own DLLs load theirs by name
// (the Setup API its delay-loaded dependencies, say), and so does whatever a
// security product injects. Returns the flags that load a library by full
// path from the system directory, its dependencies from there too.
DWORD confinesearch() {
  // Windows 8 and Windows 7 with KB2533623 have SetDefaultDllDirectories;
  // imported, it would keep the program from starting on a Windows 7 without
  // that update, so it is looked up in kernel32, which every process has.
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  BOOL(WINAPI * setdefault)(DWORD) = nullptr;
  if (kernel32 != nullptr && findfunction(kernel32, "SetDefaultDllDirectories", setdefault)) {
    // From here on every search is the system directory alone. The altered
    // search order must not be asked for beside it (Windows refuses the
    // combination) nor instead of it (it ends in the current directory).
    if (setdefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return LOAD_LIBRARY_SEARCH_SYSTEM32;
  }
  // Without it the LOAD_LIBRARY_SEARCH flags do not exist either, and a load
  // by name still looks in the program's folder first: nothing takes that
  // out. What can go is the current directory, here for the rest of the
  // process. The altered search order then looks for a library's dependencies
  // in its own folder, the system directory, first.
  SetDllDirectoryA("");
  return LOAD_WITH_ALTERED_SEARCH_PATH;
}

// `name` loaded by full path from the system directory `folder`, or null.
HMODULE loadfromsystem(const Path& folder, UINT length, std::string_view name, DWORD flags) {
  Path path{};
  if (!systempath(folder, length, name, path)) return nullptr;
  return LoadLibraryExA(path.data(), nullptr, flags);
}

}  // namespace

int loadsystemlibraries() {
  found = SystemFunctions{};
  const DWORD flags = confinesearch();
  Path folder{};
  // The result is the length without the terminator when the folder fits,
  // the size it needs when it does not, and 0 on failure.
  const UINT length = GetSystemDirectoryA(folder.data(), static_cast<UINT>(folder.size()));
  if (length == 0 || length >= folder.size()) return 0;
  const HMODULE hid = loadfromsystem(folder, length, hidLibrary, flags);
  if (hid == nullptr) return 0;
  const HMODULE setup = loadfromsystem(folder, length, setupLibrary, flags);
  if (setup == nullptr) return 0;
  // Every one or none: a search must never reach a function that is missing.
  SystemFunctions f;
  if (!findfunction(hid, "HidD_GetHidGuid", f.HidD_GetHidGuid) ||
      !findfunction(hid, "HidD_GetAttributes", f.HidD_GetAttributes) ||
      !findfunction(hid, "HidD_GetIndexedString", f.HidD_GetIndexedString) ||
      !findfunction(setup, "SetupDiGetClassDevsA", f.SetupDiGetClassDevsA) ||
      !findfunction(setup, "SetupDiEnumDeviceInterfaces", f.SetupDiEnumDeviceInterfaces) ||
      !findfunction(setup, "SetupDiGetDeviceInterfaceDetailA",
                    f.SetupDiGetDeviceInterfaceDetailA) ||
      !findfunction(setup, "SetupDiDestroyDeviceInfoList", f.SetupDiDestroyDeviceInfoList))
    return 0;
  found = f;
  return 1;
}

const SystemFunctions& systemfunctions() { return found; }
