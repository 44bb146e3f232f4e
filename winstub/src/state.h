// Inside the simulated machine: handles, operations in flight and the clock.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "winstub/world.h"

namespace winstub {

// Kernel status values that a completed operation leaves in OVERLAPPED.Internal.
inline constexpr ULONG_PTR statusSuccess = 0;
inline constexpr ULONG_PTR statusCancelled = 0xC0000120u;
inline constexpr ULONG_PTR statusDeviceNotConnected = 0xC000009Du;
inline constexpr ULONG_PTR statusUnsuccessful = 0xC0000001u;

enum class Kind { file, event, deviceSet, console };

struct Handle {
  Kind kind = Kind::file;
  std::string path;  // file: the interface's device path
  bool overlapped = false;
  bool manualReset = true;
  bool signalled = false;
  std::vector<HidInterface> snapshot;  // deviceSet
};

struct Operation {
  std::uintptr_t file = 0;
  std::uintptr_t event = 0;
  OVERLAPPED* request = nullptr;
  bool isRead = false;
  std::uint8_t* buffer = nullptr;
  DWORD length = 0;
  devsim::Report data{};     // what a write carries
  devsim::Report atStart{};  // the buffer as it was when the operation started
  bool bufferChanged = false;
  std::string path;
  devsim::Bootloader* device = nullptr;
  std::int64_t startedAt = 0;
  devsim::WriteOutcome write;
  devsim::ReadOutcome read;
  bool delivered = false;
  bool cancelled = false;
  std::optional<std::int64_t> cancelDoneAt;  // empty: the cancellation never completes
};

struct World::State {
  std::int64_t now = 0;
  std::size_t platformCallsAtStart = 0;
  std::map<std::uintptr_t, Handle> handles;
  std::vector<Operation> pending;
  std::vector<std::string> violations;
  std::vector<CallRecord> calls;
  std::vector<OutputPiece> output;
  std::vector<Completion> completions;
  std::map<std::string, InterfaceTraffic> traffic;
  std::size_t eventsCreated = 0;
  int snapshots = 0;
  // Where later loads look, as SetDefaultDllDirectories and SetDllDirectoryA
  // left it: the default directories' flags (0: never set), and the folder
  // given (absent: never called; empty: the current directory taken out).
  DWORD defaultDllDirectories = 0;
  std::optional<std::string> dllDirectory;
  // The libraries loaded in this world, by module handle (their names in
  // lower case), and the functions the program looked up in them.
  std::map<std::uintptr_t, std::string> modules;
  std::set<std::string> lookedUp;

  std::uintptr_t add(Handle handle);
  Handle* find(HANDLE handle, Kind kind);
  HidInterface* present(const std::string& path, std::vector<HidInterface>& interfaces);
  void violation(std::string what);
  // A system library's function, entered: the program can only have its
  // address from GetProcAddress in this world, as on Windows, where neither
  // library is imported.
  void enter(const char* function);
  // Both run the test's hook afterwards, which may change the machine.
  void record(CallRecord call);
  void write(std::string text);

  // Time: run every event due at or before `until`, in time order; returns
  // whether anything happened.
  bool step(std::int64_t until);
  std::optional<std::int64_t> nextEvent(const Operation& op) const;
  void apply(std::size_t index);
  void complete(std::size_t index, ULONG_PTR status, DWORD bytes);
  void failAll(const std::string& path, ULONG_PTR status);
  // The platform owns an outstanding operation's buffer: a write may still be
  // reading it, a read may still fill it. The program must not touch it.
  void checkBuffer(Operation& op);
};

// The stand-in's current world state.
World::State& state();

// A function's address as GetProcAddress gives it.
template <typename Function>
FARPROC procAddress(Function* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// What hid.dll and setupapi.dll export, by name (null: not exported): what
// GetProcAddress finds in them. Nothing links to these functions by name.
FARPROC hidExport(const std::string& name);
FARPROC setupExport(const std::string& name);

}  // namespace winstub
