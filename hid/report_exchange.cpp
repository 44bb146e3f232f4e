#include "hid/report_exchange.h"

namespace {

constexpr int triesPerTransfer = 3;
constexpr DWORD writeWaitMs = 200;
constexpr DWORD readWaitMs = 2000;
// How long a cancelled operation may take to come back. A device pulled out
// mid-transfer can leave a cancellation hanging; the program must not.
constexpr DWORD retireWaitMs = 1000;

// Cancels the very operation on `context` and waits for it to come back, so
// that its record, event and buffer may serve again. Returns false when it
// did not come back in time.
bool retire(HANDLE device, TransferContext& context) {
  // CancelIoEx fails with ERROR_NOT_FOUND when the operation completed in the
  // meantime; either way its completion signals the event.
  CancelIoEx(device, &context.request);
  if (WaitForSingleObject(context.event, retireWaitMs) != WAIT_OBJECT_0) return false;
  DWORD moved = 0;
  if (!GetOverlappedResult(device, &context.request, &moved, FALSE) &&
      GetLastError() == ERROR_IO_INCOMPLETE)
    return false;
  return true;
}

// One write (of `outgoing`) or one read (into `incoming`), tried up to three times.
int transfer(HANDLE device, const Report* outgoing, Report* incoming, TransferContext& context) {
  // Without an event nothing started could be waited for or retired, so
  // nothing is started: every try fails at once. A stranded context may still
  // be in use by the platform.
  if (context.stranded || context.event == nullptr) return 0;
  const DWORD waitMs = outgoing != nullptr ? writeWaitMs : readWaitMs;
  for (int attempt = 0; attempt < triesPerTransfer; ++attempt) {
    context.request.hEvent = context.event;
    const BOOL done = outgoing != nullptr
                          ? WriteFile(device, outgoing->data(), static_cast<DWORD>(reportSize),
                                      nullptr, &context.request)
                          : ReadFile(device, incoming->data(), static_cast<DWORD>(reportSize),
                                     nullptr, &context.request);
    // A start refused at once leaves nothing outstanding; its event stays
    // unsignalled, so the wait below runs out as it would for a silent device.
    const bool started = done || GetLastError() == ERROR_IO_PENDING;
    const DWORD waited = WaitForSingleObject(context.event, waitMs);
    if (!started) continue;
    if (waited == WAIT_OBJECT_0) {
      DWORD moved = 0;
      // Signalled is not the same as succeeded: a write or read that the
      // driver completed with an error is a failed try.
      if (GetOverlappedResult(device, &context.request, &moved, FALSE)) return 1;
      if (GetLastError() != ERROR_IO_INCOMPLETE) continue;
    }
    if (!retire(device, context)) {
      context.stranded = true;
      return 0;
    }
  }
  return 0;
}

}  // namespace

int sendblock(HANDLE device, const Report& report, TransferContext& context) {
  return transfer(device, &report, nullptr, context);
}

int getresult(HANDLE device, Report& report, TransferContext& context) {
  return transfer(device, nullptr, &report, context);
}
