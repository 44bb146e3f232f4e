// The loader as the program meets it on Windows: the system directory, the
// libraries found there, kernel32's exports, and where later loads search.
// Anything that would let a load search the program's own folder or the
// current directory is a violation, since on Windows that is where a planted
// DLL waits.
#include <windows.h>

#include <algorithm>

#include "winstub/platform_call.h"
#include "winstub/src/state.h"

namespace {

// Modules' handles are their load addresses, never kernel object handles.
const auto kernel32Module = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x7FF900000000u));
constexpr std::uintptr_t firstLibraryAddress = 0x180000000u;
constexpr std::uintptr_t libraryAddressStep = 0x100000u;

constexpr DWORD searchFlags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
                              LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                              LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
// What SetDefaultDllDirectories accepts.
constexpr DWORD defaultDirectoryFlags =
    LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
    LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
// Flags that bring the program's own folder into a search.
constexpr DWORD programFolderFlags =
    LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

BOOL WINAPI SetDefaultDllDirectories(DWORD flags) {
  const winstub::PlatformCall inside;
  auto& world = winstub::state();
  winstub::CallRecord call;
  call.function = "SetDefaultDllDirectories";
  call.flags = flags;
  call.succeeded = flags != 0 && (flags & ~defaultDirectoryFlags) == 0;
  world.record(call);
  if (!call.succeeded) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (flags & programFolderFlags)
    world.violation("SetDefaultDllDirectories keeps the program's folder in every later search");
  world.defaultDllDirectories = flags;
  return TRUE;
}

// Where a library's own dependencies are searched for: a violation when that
// reaches the program's folder or the current directory.
void checkDependencySearch(winstub::World::State& world, const std::string& path, DWORD flags) {
  const DWORD explicitSearch = flags & searchFlags;
  const bool altered = (flags & LOAD_WITH_ALTERED_SEARCH_PATH) != 0;
  if (explicitSearch != 0 || (!altered && world.defaultDllDirectories != 0)) {
    const DWORD searched = explicitSearch != 0 ? explicitSearch : world.defaultDllDirectories;
    if (searched & programFolderFlags)
      world.violation("LoadLibraryExA of '" + path +
                      "' searches the program's folder for its dependencies");
  } else if (altered) {
    // The altered order: the library's folder, the system and Windows
    // folders, then the current directory unless SetDllDirectoryA("") took it
    // out. Whether the default directories replace it is not documented.
    if (world.dllDirectory != std::string())
      world.violation("LoadLibraryExA of '" + path +
                      "' with the altered search order searches the current directory for its "
                      "dependencies");
  } else {
    world.violation("LoadLibraryExA of '" + path +
                    "' with the standard search order searches the program's folder first for "
                    "its dependencies");
  }
}

}  // namespace

extern "C" {

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
  const winstub::PlatformCall inside;
  auto& world = winstub::state();
  const std::string& folder = winstub::World::current().systemDirectory;
  winstub::CallRecord call;
  call.function = "GetSystemDirectoryA";
  call.path = folder;
  call.bufferLength = size;
  call.succeeded = !folder.empty();
  world.record(call);
  if (folder.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  // Too small a buffer gets nothing but the size it needs, terminator included.
  const auto length = static_cast<UINT>(folder.size());
  if (buffer == nullptr || size <= length) return length + 1;
  std::copy(folder.begin(), folder.end(), buffer);
  buffer[length] = '\0';
  return length;
}

HMODULE WINAPI LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
  const winstub::PlatformCall inside;
  auto& world = winstub::state();
  const auto& live = winstub::World::current();
  winstub::CallRecord call;
  call.function = "LoadLibraryExA";
  call.path = name != nullptr ? name : "";
  call.flags = flags;
  if (file != nullptr) world.violation("LoadLibraryExA with a file handle, which must be null");
  // Windows refuses the LOAD_LIBRARY_SEARCH flags beside the altered search
  // order, and everywhere they do not exist.
  if ((flags & searchFlags) != 0 &&
      ((flags & LOAD_WITH_ALTERED_SEARCH_PATH) != 0 || !live.defaultDllDirectories)) {
    call.succeeded = false;
    world.record(call);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if ((flags & ~(searchFlags | LOAD_WITH_ALTERED_SEARCH_PATH)) != 0)
    world.violation("LoadLibraryExA of '" + call.path + "' with flags " + std::to_string(flags) +
                    ", which do not load it as a library with its dependencies");
  const std::string folder = lower(live.systemDirectory) + "\\";
  const std::string path = lower(call.path);
  const bool inSystemDirectory = !live.systemDirectory.empty() &&
                                 path.compare(0, folder.size(), folder) == 0 &&
                                 path.find('\\', folder.size()) == std::string::npos;
  if (!inSystemDirectory)
    world.violation("LoadLibraryExA of '" + call.path +
                    "', which is not a full path in the system directory: Windows would search "
                    "the program's folder");
  checkDependencySearch(world, call.path, flags);
  std::size_t found = live.systemLibraries.size();
  for (std::size_t i = 0; i < live.systemLibraries.size() && inSystemDirectory; ++i)
    if (path.substr(folder.size()) == lower(live.systemLibraries[i])) found = i;
  call.succeeded = found < live.systemLibraries.size();
  world.record(call);
  if (!call.succeeded) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const std::uintptr_t module = firstLibraryAddress + found * libraryAddressStep;
  world.modules[module] = lower(live.systemLibraries[found]);
  return reinterpret_cast<HMODULE>(module);
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
  const winstub::PlatformCall inside;
  auto& world = winstub::state();
  winstub::CallRecord call;
  call.function = "GetModuleHandleA";
  call.path = name != nullptr ? name : "";
  // Every process has kernel32 loaded; the program asks for nothing else.
  call.succeeded = lower(call.path) == "kernel32.dll" || lower(call.path) == "kernel32";
  world.record(call);
  if (!call.succeeded) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return kernel32Module;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  const winstub::PlatformCall inside;
  auto& world = winstub::state();
  const auto& live = winstub::World::current();
  winstub::CallRecord call;
  call.function = "GetProcAddress";
  // A name whose pointer fits in 16 bits is an ordinal.
  const auto value = reinterpret_cast<std::uintptr_t>(name);
  call.path = value < 0x10000 ? "#" + std::to_string(value) : std::string(name);
  const auto library = world.modules.find(reinterpret_cast<std::uintptr_t>(module));
  FARPROC found = nullptr;
  if (module == kernel32Module) {
    if (call.path == "SetDefaultDllDirectories" && live.defaultDllDirectories)
      found = winstub::procAddress(&SetDefaultDllDirectories);
  } else if (library == world.modules.end()) {
    world.violation("GetProcAddress of '" + call.path + "' in a module that is not loaded");
  } else if (std::find(live.missingFunctions.begin(), live.missingFunctions.end(), call.path) ==
             live.missingFunctions.end()) {
    found = library->second == "hid.dll"        ? winstub::hidExport(call.path)
            : library->second == "setupapi.dll" ? winstub::setupExport(call.path)
                                                : nullptr;
  }
  call.succeeded = found != nullptr;
  world.record(call);
  if (!call.succeeded) {
    SetLastError(module == kernel32Module || library != world.modules.end() ? ERROR_PROC_NOT_FOUND
                                                                            : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (module != kernel32Module) world.lookedUp.insert(call.path);
  return found;
}

BOOL WINAPI SetDllDirectoryA(LPCSTR folder) {
  const winstub::PlatformCall inside;
  auto& world = winstub::state();
  winstub::CallRecord call;
  call.function = "SetDllDirectoryA";
  call.path = folder != nullptr ? folder : "";
  call.succeeded = true;
  world.record(call);
  if (folder == nullptr) {
    world.violation("SetDllDirectoryA(NULL) puts the current directory back into the search");
    world.dllDirectory.reset();
  } else {
    if (*folder != '\0')
      world.violation("SetDllDirectoryA adds '" + call.path + "' to every later search");
    world.dllDirectory = call.path;
  }
  return TRUE;
}

}  // extern "C"
