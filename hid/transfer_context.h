// The request record and the event that one series of writes and reads shares.
#pragma once

#include <windows.h>

struct TransferContext {
  OVERLAPPED request{};
  HANDLE event = nullptr;
  // Set when an operation timed out and its cancellation did not complete in
  // time either: the platform may still write into the buffer or the record
  // and signal the event, so none of them may serve again or be released.
  bool stranded = false;
};

// A manual-reset event, not signalled, behind a request record at offset 0.
// An event that cannot be created leaves the context without one; every
// transfer on it then fails at once. A stranded context is left exactly as it
// is: the platform may still own its record, and the mark must stay.
inline void opentransfer(TransferContext& context) {
  if (context.stranded) return;
  context = TransferContext{};
  context.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  context.request.Offset = 0;
  context.request.OffsetHigh = 0;
  context.request.hEvent = context.event;
}

// Releases the event unless an operation on it could not be retired.
inline void closetransfer(TransferContext& context) {
  if (context.stranded || context.event == nullptr) return;
  CloseHandle(context.event);
  context.event = nullptr;
}
