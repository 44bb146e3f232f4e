// kernel32 as the program meets it on Windows: overlapped file I/O on HID
// interfaces, events, waits and the console, on the simulated machine.
#include <unistd.h>
#include <windows.h>

#include <algorithm>

#include "winstub/platform_call.h"
#include "winstub/src/state.h"

using winstub::Handle;
using winstub::Kind;
using winstub::Operation;

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;
constexpr std::uintptr_t consoleHandle = 0x7;
constexpr std::size_t hidReportBytes = 64;

DWORD win32Error(ULONG_PTR status) {
  switch (status) {
    case winstub::statusSuccess:
      return ERROR_SUCCESS;
    case winstub::statusCancelled:
      return ERROR_OPERATION_ABORTED;
    case winstub::statusDeviceNotConnected:
      return ERROR_DEVICE_NOT_CONNECTED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

bool overlaps(const Operation& op, const void* buffer, DWORD length) {
  const auto* begin = static_cast<const std::uint8_t*>(buffer);
  return begin < op.buffer + op.length && op.buffer < begin + length;
}

BOOL startTransfer(HANDLE file, const void* buffer, DWORD length, LPDWORD transferred,
                   LPOVERLAPPED request, bool isRead) {
  auto& world = winstub::state();
  const char* what = isRead ? "ReadFile" : "WriteFile";
  if (reinterpret_cast<std::uintptr_t>(file) == consoleHandle && !isRead) {
    world.write(std::string(static_cast<const char*>(buffer), length));
    if (winstub::World::current().echoOutput) {
      const auto* text = static_cast<const char*>(buffer);
      for (DWORD done = 0; done < length;) {
        const ssize_t n = ::write(1, text + done, length - done);
        if (n <= 0) break;
        done += static_cast<DWORD>(n);
      }
    }
    if (transferred != nullptr) *transferred = length;
    return TRUE;
  }
  Handle* handle = world.find(file, Kind::file);
  if (handle == nullptr) {
    world.violation(std::string(what) + " on a handle that is not an open file");
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (request == nullptr || !handle->overlapped) {
    world.violation(std::string(what) + " without overlapped operation on a HID interface");
    lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const auto event = reinterpret_cast<std::uintptr_t>(request->hEvent);
  for (const auto& op : world.pending) {
    if (op.request == request)
      world.violation(std::string(what) +
                      " reuses a request record whose operation is outstanding");
    if (event != 0 && op.event == event)
      world.violation(std::string(what) + " reuses an event whose operation is outstanding");
    if (overlaps(op, buffer, length))
      world.violation(std::string(what) + " reuses a buffer whose operation is outstanding");
  }
  if (event != 0 && world.find(request->hEvent, Kind::event) == nullptr)
    world.violation(std::string(what) + " with an event that is not open");
  if (event == 0) world.violation(std::string(what) + " with a request record without an event");

  auto& traffic = world.traffic[handle->path];
  traffic.path = handle->path;
  ++(isRead ? traffic.readsStarted : traffic.writesStarted);

  // The I/O manager resets the event before the request goes anywhere, and a
  // request refused at once never signals it.
  if (Handle* e = world.find(request->hEvent, Kind::event)) e->signalled = false;
  request->Internal = STATUS_PENDING;
  request->InternalHigh = 0;

  auto& live = winstub::World::current();
  winstub::HidInterface* hid = world.present(handle->path, live.interfaces);
  devsim::Bootloader* device = hid != nullptr ? hid->device : nullptr;
  if (hid == nullptr || (device != nullptr && !device->connected())) {
    lastError = ERROR_DEVICE_NOT_CONNECTED;
    return FALSE;
  }
  if (length != hidReportBytes) {
    // HID class drivers insist on exactly one report of the device's report length.
    world.violation(std::string(what) + " of " + std::to_string(length) + " bytes");
    lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }

  Operation op;
  op.file = reinterpret_cast<std::uintptr_t>(file);
  op.event = event;
  op.request = request;
  op.isRead = isRead;
  op.buffer = static_cast<std::uint8_t*>(const_cast<void*>(buffer));
  op.length = length;
  op.path = handle->path;
  op.device = device;
  op.startedAt = world.now;
  std::copy_n(static_cast<const std::uint8_t*>(buffer), hidReportBytes, op.atStart.begin());
  if (!isRead) op.data = op.atStart;
  if (device != nullptr) {
    if (isRead) {
      op.read = device->planRead();
      if (op.read.kind == devsim::ReadOutcome::Kind::unplug) {
        live.unplug(handle->path);
        lastError = ERROR_DEVICE_NOT_CONNECTED;
        return FALSE;
      }
    } else {
      op.write = device->planWrite(op.data);
      if (op.write.kind == devsim::WriteOutcome::Kind::unplug) {
        live.unplug(handle->path);
        lastError = ERROR_DEVICE_NOT_CONNECTED;
        return FALSE;
      }
    }
  }
  world.pending.push_back(op);
  // Whatever is due at once completes before the call returns, as a report
  // already buffered by the HID class driver does on Windows.
  while (world.step(world.now)) {
  }
  if (HasOverlappedIoCompleted(request)) {
    if (request->Internal != winstub::statusSuccess) {
      lastError = win32Error(request->Internal);
      return FALSE;
    }
    if (transferred != nullptr) *transferred = static_cast<DWORD>(request->InternalHigh);
    return TRUE;
  }
  lastError = ERROR_IO_PENDING;
  return FALSE;
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) {
  const winstub::PlatformCall inside;
  return lastError;
}

void WINAPI SetLastError(DWORD code) {
  const winstub::PlatformCall inside;
  lastError = code;
}

HANDLE WINAPI GetStdHandle(DWORD which) {
  const winstub::PlatformCall inside;
  if (which == STD_OUTPUT_HANDLE) return reinterpret_cast<HANDLE>(consoleHandle);
  return INVALID_HANDLE_VALUE;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
  const winstub::PlatformCall inside;
  auto& world = winstub::state();
  winstub::CallRecord call;
  call.function = "CreateFileA";
  call.path = name != nullptr ? name : "";
  call.access = access;
  call.share = share;
  call.disposition = disposition;
  call.flags = flags;
  if (security != nullptr || templateFile != nullptr)
    world.violation("CreateFileA with security attributes or a template");
  winstub::HidInterface* hid = world.present(call.path, winstub::World::current().interfaces);
  if (hid == nullptr) {
    world.record(call);
    lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  if (!hid->opens) {
    lastError = hid->openError;
    world.record(call);
    return INVALID_HANDLE_VALUE;
  }
  // The handle exists before the call is recorded: the test's hook may pull
  // the interface out from under it.
  Handle handle;
  handle.kind = Kind::file;
  handle.path = hid->path;
  handle.overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
  const std::uintptr_t opened = world.add(handle);
  call.succeeded = true;
  world.record(call);
  return reinterpret_cast<HANDLE>(opened);
}

BOOL WINAPI CloseHandle(HANDLE object) {
  const winstub::PlatformCall inside;
  auto& world = winstub::state();
  const auto value = reinterpret_cast<std::uintptr_t>(object);
  const auto found = world.handles.find(value);
  if (found == world.handles.end() || found->second.kind == Kind::deviceSet ||
      found->second.kind == Kind::console) {
    world.violation("CloseHandle on a handle that is not open");
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  for (const auto& op : world.pending) {
    if (op.event == value)
      world.violation("CloseHandle on an event whose operation is outstanding");
    if (op.file == value) world.violation("CloseHandle on a file with an operation outstanding");
  }
  const bool isFile = found->second.kind == Kind::file;
  winstub::CallRecord call;
  call.function = "CloseHandle";
  call.path = found->second.path;
  call.succeeded = true;
  // Gone before the call is recorded, as the test's hook will see it.
  world.handles.erase(found);
  if (isFile) world.record(call);
  return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
  const winstub::PlatformCall inside;
  auto& world = winstub::state();
  auto& live = winstub::World::current();
  if (security != nullptr || name != nullptr)
    world.violation("CreateEventA with security attributes or a name");
  if (live.eventCreationsToFail > 0) {
    --live.eventCreationsToFail;
    lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  Handle handle;
  handle.kind = Kind::event;
  handle.manualReset = manualReset != FALSE;
  handle.signalled = initialState != FALSE;
  ++world.eventsCreated;
  return reinterpret_cast<HANDLE>(world.add(handle));
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written,
                      LPOVERLAPPED request) {
  const winstub::PlatformCall inside;
  return startTransfer(file, buffer, length, written, request, false);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED request) {
  const winstub::PlatformCall inside;
  return startTransfer(file, buffer, length, read, request, true);
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  const winstub::PlatformCall inside;
  auto& world = winstub::state();
  Handle* event = world.find(object, Kind::event);
  if (event == nullptr) {
    lastError = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  const std::int64_t deadline =
      milliseconds == INFINITE ? INT64_MAX : world.now + static_cast<std::int64_t>(milliseconds);
  for (;;) {
    event = world.find(object, Kind::event);
    if (event->signalled) {
      if (!event->manualReset) event->signalled = false;
      return WAIT_OBJECT_0;
    }
    if (!world.step(deadline)) break;
  }
  if (milliseconds == INFINITE) {
    world.violation("WaitForSingleObject without a time limit on an event that is never signalled");
    lastError = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  world.now = deadline;
  return WAIT_TIMEOUT;
}

BOOL WINAPI CancelIoEx(HANDLE file, LPOVERLAPPED request) {
  const winstub::PlatformCall inside;
  auto& world = winstub::state();
  const Handle* handle = world.find(file, Kind::file);
  if (handle == nullptr) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  winstub::CallRecord call;
  call.function = "CancelIoEx";
  call.path = handle->path;
  bool any = false;
  for (auto& op : world.pending) {
    if (op.file != reinterpret_cast<std::uintptr_t>(file) || op.cancelled) continue;
    if (request != nullptr && op.request != request) continue;
    any = true;
    world.checkBuffer(op);
    op.cancelled = true;
    const devsim::CancelOutcome outcome =
        op.device != nullptr ? op.device->planCancel(op.isRead) : devsim::CancelOutcome{};
    if (outcome.completes) op.cancelDoneAt = world.now + outcome.afterMs;
  }
  if (any) {
    while (world.step(world.now)) {
    }
  }
  call.succeeded = any;
  world.record(call);
  if (!any) {
    lastError = ERROR_NOT_FOUND;
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED request, LPDWORD transferred, BOOL wait) {
  const winstub::PlatformCall inside;
  auto& world = winstub::state();
  if (world.find(file, Kind::file) == nullptr) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (!HasOverlappedIoCompleted(request)) {
    const bool known = std::any_of(world.pending.begin(), world.pending.end(),
                                   [&](const Operation& op) { return op.request == request; });
    if (wait && known) {
      while (!HasOverlappedIoCompleted(request) && world.step(INT64_MAX)) {
      }
    }
    if (!HasOverlappedIoCompleted(request)) {
      if (wait) world.violation("GetOverlappedResult waits for an operation that never completes");
      lastError = ERROR_IO_INCOMPLETE;
      return FALSE;
    }
  }
  if (transferred != nullptr) *transferred = static_cast<DWORD>(request->InternalHigh);
  if (request->Internal != winstub::statusSuccess) {
    lastError = win32Error(request->Internal);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
