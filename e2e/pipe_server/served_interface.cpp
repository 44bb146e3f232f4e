#include "e2e/pipe_server/served_interface.h"

#include <cstdio>

namespace pipeserver {

namespace {

// Room for a page's worth of reports each way, so that neither side's write
// ever waits for the other's read.
constexpr DWORD pipeBufferBytes = 64 * devsim::reportBytes;
// A write into a pipe with room completes at once, and a cancelled operation
// comes back at once: these only bound a fault, far beyond what a busy
// machine takes.
constexpr DWORD inputWriteWaitMs = 60000;
constexpr DWORD retireWaitMs = 60000;

std::string hexOf(const std::uint8_t* bytes, std::size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 0xF]);
  }
  return text;
}

std::string pageNumber(std::uint16_t page) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", page);
  return text;
}

// Errors by which a pipe tells its server that the client went away.
bool clientGone(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA;
}

}  // namespace

devsim::AckPlan ScenarioScript::onPageComplete(devsim::Bootloader& device, std::uint16_t page,
                                               int attempt, bool valid) {
  if (noAckPage_ && page == *noAckPage_) {
    devsim::AckPlan silent;
    silent.kind = devsim::AckPlan::Kind::drop;
    return silent;
  }
  devsim::AckPlan plan = devsim::Script::onPageComplete(device, page, attempt, valid);
  if (lateAckPage_ && page == *lateAckPage_ && attempt == 1) plan.delayMs = lateAckMs_;
  return plan;
}

ServedInterface::ServedInterface(int number, const e2e::Interface& config, const Clock& clock,
                                 HANDLE stop)
    : number_(number),
      config_(config),
      clock_(clock),
      stop_(stop),
      script_(config),
      device_(&script_) {}

ServedInterface::~ServedInterface() {
  if (holder_ != INVALID_HANDLE_VALUE) CloseHandle(holder_);
  if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
  if (readEvent_ != nullptr) CloseHandle(readEvent_);
  if (writeEvent_ != nullptr) CloseHandle(writeEvent_);
}

void ServedInterface::event(const std::string& what, const std::string& detail) {
  std::string line = what + " " + std::to_string(number_) + " " + std::to_string(clock_.nowUs());
  if (!detail.empty()) line += " " + detail;
  events_.push_back(line);
}

bool ServedInterface::open() {
  readEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  writeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (readEvent_ == nullptr || writeEvent_ == nullptr) {
    event("error", "cannot create events");
    return false;
  }
  const std::string path = e2e::pipePrefix + config_.pipe;
  // One instance only, as a HID interface is one device; the first instance
  // flag turns a name left over from another server into an error.
  pipe_ = CreateNamedPipeA(
      path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
      pipeBufferBytes, pipeBufferBytes, 0, nullptr);
  if (pipe_ == INVALID_HANDLE_VALUE) {
    event("error", "cannot create " + path + ": error " + std::to_string(GetLastError()));
    return false;
  }
  if (config_.serve == e2e::Serve::busy) {
    holder_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (holder_ == INVALID_HANDLE_VALUE) {
      event("error", "cannot take " + path + ": error " + std::to_string(GetLastError()));
      return false;
    }
  }
  return true;
}

void ServedInterface::cancelAndRetire(OVERLAPPED& request) {
  CancelIoEx(pipe_, &request);
  if (WaitForSingleObject(request.hEvent, retireWaitMs) != WAIT_OBJECT_0)
    event("error", "a cancelled operation did not come back");
}

bool ServedInterface::awaitClient() {
  OVERLAPPED request{};
  request.hEvent = readEvent_;
  ResetEvent(readEvent_);
  if (!ConnectNamedPipe(pipe_, &request)) {
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      HANDLE waits[] = {readEvent_, stop_};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        cancelAndRetire(request);
        return false;
      }
      DWORD unused = 0;
      if (!GetOverlappedResult(pipe_, &request, &unused, FALSE)) {
        event("error", "connection failed: error " + std::to_string(GetLastError()));
        return false;
      }
    } else if (error != ERROR_PIPE_CONNECTED) {
      // ERROR_PIPE_CONNECTED: the client came between creation and this call.
      event("error", "cannot wait for a client: error " + std::to_string(error));
      return false;
    }
  }
  event(config_.serve == e2e::Serve::busy ? "held" : "connect");
  return true;
}

DWORD ServedInterface::msUntilNextInput() const {
  if (!device_.hasInput()) return INFINITE;
  const std::int64_t due = device_.nextInput().readyAtMs - clock_.nowMs();
  return due <= 0 ? 0 : static_cast<DWORD>(due);
}

void ServedInterface::sendDueInputs() {
  while (device_.hasInput() && device_.nextInput().readyAtMs <= clock_.nowMs()) {
    const devsim::Report report = device_.takeInput();
    OVERLAPPED request{};
    request.hEvent = writeEvent_;
    DWORD written = 0;
    if (!WriteFile(pipe_, report.data(), static_cast<DWORD>(report.size()), nullptr, &request) &&
        GetLastError() != ERROR_IO_PENDING) {
      const DWORD error = GetLastError();
      // A report that the device sends after the host let go is lost, as on
      // the bus: the host may close as soon as it has what it waited for.
      if (clientGone(error))
        event("lost", hexOf(report.data(), report.size()));
      else
        event("error", "input report not sent: error " + std::to_string(error));
      continue;
    }
    if (WaitForSingleObject(writeEvent_, inputWriteWaitMs) != WAIT_OBJECT_0) {
      event("error", "input report stuck in the pipe");
      cancelAndRetire(request);
      continue;
    }
    if (!GetOverlappedResult(pipe_, &request, &written, FALSE) || written != report.size()) {
      event("error", "input report not sent: error " + std::to_string(GetLastError()));
      continue;
    }
    event("input", hexOf(report.data(), report.size()));
  }
}

void ServedInterface::onReport(const devsim::Report& report) {
  event("report", hexOf(report.data(), report.size()));
  // A pipe write completes once the message is in the pipe: the device cannot
  // delay, fail or stall it, so only accepting scripts apply here.
  if (device_.planWrite(report).kind != devsim::WriteOutcome::Kind::accept)
    event("error", "the script asked for a write outcome that a pipe cannot give");
  device_.receive(clock_.nowMs(), report);
  sendDueInputs();
}

// Completes the read on `request`; false when the session is over (`error`
// says why: 0 for the stop event).
bool ServedInterface::finishRead(OVERLAPPED& request, DWORD& got, DWORD& error) {
  for (;;) {
    HANDLE waits[] = {readEvent_, stop_};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, msUntilNextInput());
    if (woke == WAIT_TIMEOUT) {
      sendDueInputs();
      continue;
    }
    if (woke != WAIT_OBJECT_0) {
      cancelAndRetire(request);
      error = 0;
      return false;
    }
    break;
  }
  if (GetOverlappedResult(pipe_, &request, &got, FALSE)) return true;
  error = GetLastError();
  return false;
}

bool ServedInterface::session() {
  devsim::Report report{};
  for (;;) {
    report.fill(0);
    OVERLAPPED request{};
    request.hEvent = readEvent_;
    DWORD got = 0;
    DWORD error = 0;
    const BOOL started =
        ReadFile(pipe_, report.data(), static_cast<DWORD>(report.size()), nullptr, &request);
    if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
      error = GetLastError();
    } else if (finishRead(request, got, error)) {
      if (got == report.size()) {
        onReport(report);
      } else {
        event("error", "a message of " + std::to_string(got) + " bytes");
      }
      continue;
    } else if (error == 0) {
      return false;  // stopped
    }
    if (clientGone(error)) {
      event("disconnect");
      return true;
    }
    if (error == ERROR_MORE_DATA) {
      // A message longer than a report: the rest follows as further reads.
      event("error", "a message longer than " + std::to_string(report.size()) + " bytes");
      continue;
    }
    event("error", "read failed: error " + std::to_string(error));
    return true;
  }
}

void ServedInterface::serve() {
  while (awaitClient()) {
    if (!session()) return;
    DisconnectNamedPipe(pipe_);
  }
}

void ServedInterface::appendLog(std::string& out) const {
  const std::string n = std::to_string(number_);
  out += "interface " + n + " pipe=" + config_.pipe +
         (config_.serve == e2e::Serve::busy ? " serve=busy\n" : " serve=bootloader\n");
  for (const auto& line : events_) out += line + "\n";
  for (const auto& [page, bytes] : device_.pages())
    out += "page " + n + " " + pageNumber(page) + " " + hexOf(bytes.data(), bytes.size()) + "\n";
  out += "restarts " + n + " " + std::to_string(device_.restarts()) + "\n";
  for (const auto& complaint : device_.complaints())
    out += "complaint " + n + " " + complaint + "\n";
}

}  // namespace pipeserver
