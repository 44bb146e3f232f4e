// The simulated Windows machine of the host build: the HID interfaces present,
// the Kalvo bootloaders behind them, a virtual clock that only moves while the
// program waits, and the bookkeeping that tests inspect afterwards. A test
// makes one World, runs product code against it and then looks at it; while a
// World lives it is what every stand-in Win32 call talks to.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devsim/bootloader.h"

namespace winstub {

struct HidInterface {
  std::string path;
  bool opens = true;            // false: CreateFileA refuses it
  std::uint32_t openError = 5;  // ERROR_ACCESS_DENIED unless told otherwise
  bool detailFails = false;     // SetupDiGetDeviceInterfaceDetailA refuses it
  bool attributesReadable = true;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t versionNumber = 0;
  bool stringReadable = true;            // HID string index 4
  std::u16string string4;                // UTF-16 code units, without terminator
  devsim::Bootloader* device = nullptr;  // the bootloader behind it, if any
};

// One call into the stand-in that a test may want to see in order.
struct CallRecord {
  std::int64_t atMs = 0;
  std::string function;
  std::string path;  // the interface concerned, where there is one
  std::uint32_t access = 0, share = 0, disposition = 0, flags = 0;  // CreateFileA's arguments
  std::uint32_t stringIndex = 0, bufferLength = 0;                  // HidD_GetIndexedString's
  bool succeeded = false;
  std::size_t outputsBefore = 0;  // pieces of standard output written before the call
  // The stand-in Win32 calls made in this world before this one, recorded or
  // not: 0 for the very first.
  std::size_t platformCallsBefore = 0;
};

struct OutputPiece {
  std::int64_t atMs = 0;
  std::string text;
};

// An overlapped write or read on a HID interface that came back (with
// success, an error or cancelled), in the order they came back. A read that
// came back with success brought `bytes` into the program's buffer.
struct Completion {
  std::int64_t atMs = 0;
  std::size_t outputsBefore = 0;  // pieces of standard output written before it came back
  std::string path;
  bool isRead = false;
  bool succeeded = false;
  bool cancelled = false;  // CancelIoEx had asked for it first: the program had stopped waiting
  devsim::Report bytes{};  // a read: what it brought in; a write: what it carried
};

struct InterfaceTraffic {
  std::string path;
  std::size_t writesStarted = 0;
  std::size_t readsStarted = 0;
};

class World {
 public:
  World();
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // The world the stand-in serves now: the newest live one, else a default
  // world holding one healthy Kalvo that echoes output (the host demo).
  static World& current();

  // --- set-up ---
  std::vector<HidInterface> interfaces;  // present now, in enumeration order
  // Called before every new snapshot of the present interfaces, numbered from 0,
  // so that interfaces can come and go between two steps of a walk.
  std::function<void(World&, int snapshot)> beforeSnapshot;
  int eventCreationsToFail = 0;  // the next so many CreateEventA calls fail
  // What GetSystemDirectoryA reports (empty: it fails), and the libraries
  // that LoadLibraryExA finds there. Nothing else is ever loaded: a library
  // by name or from any other folder is a violation, since on Windows that
  // search starts in the program's own folder.
  std::string systemDirectory = "C:\\Windows\\system32";
  std::vector<std::string> systemLibraries = {"hid.dll", "setupapi.dll"};
  // Functions that GetProcAddress does not find in those libraries, as in a
  // system whose hid.dll or setupapi.dll lacks an export.
  std::vector<std::string> missingFunctions;
  // Whether kernel32 has SetDefaultDllDirectories, and LoadLibraryExA the
  // LOAD_LIBRARY_SEARCH flags: Windows 8 and later, Windows 7 with KB2533623.
  bool defaultDllDirectories = true;
  bool echoOutput = false;  // also write standard output to the real one
  // false: writes and reads that came back are not kept in completions(), for
  // runs of tens of thousands of pages that only look at the device.
  bool keepCompletions = true;
  // Called after each call recorded in calls() and after each piece of
  // standard output, so that a test can change the machine at that very
  // point: pull the device out right after it was opened, or between phases.
  std::function<void(World&, const CallRecord&)> afterCall;
  std::function<void(World&, const OutputPiece&)> afterOutput;
  // A healthy Kalvo bootloader interface for the given device.
  static HidInterface kalvo(devsim::Bootloader& device, std::uint16_t vendorId,
                            std::string path = "\\\\?\\hid#kalvo#bootloader");
  // The device vanishes now: its pending operations fail and later ones are refused.
  void unplug(const std::string& path);

  // --- inspection ---
  std::int64_t nowMs() const;
  std::string transcript() const;
  const std::vector<OutputPiece>& output() const;
  const std::vector<CallRecord>& calls() const;
  std::vector<CallRecord> callsTo(const std::string& function) const;
  const std::vector<std::string>& violations() const;
  std::vector<std::string> openHandles() const;  // descriptions of what is still open
  std::size_t outstandingOperations() const;
  std::size_t eventsCreated() const;
  InterfaceTraffic traffic(const std::string& path) const;
  std::vector<InterfaceTraffic> allTraffic() const;  // every interface written or read
  const std::vector<Completion>& completions() const;

  struct State;
  State& state() { return *state_; }

 private:
  std::unique_ptr<State> state_;
  World* previous_ = nullptr;
};

}  // namespace winstub
