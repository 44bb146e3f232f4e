// One simulated HID interface served on a message-mode named pipe: 64-byte
// messages each way, one output report per message from the program and one
// input report per message back, with a simulated Kalvo bootloader (or an
// interface that another client holds) behind it. Everything it sees goes into
// its own event log, which the server writes out when it ends.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "devsim/bootloader.h"
#include "e2e/common/interfaces.h"
#include "e2e/pipe_server/clock.h"

namespace pipeserver {

// The bootloader's behaviour in a scenario: healthy, except for a page it may
// never acknowledge and a page whose first acknowledgement it may send late.
class ScenarioScript : public devsim::Script {
 public:
  explicit ScenarioScript(const e2e::Interface& config)
      : noAckPage_(config.noAckPage),
        lateAckPage_(config.lateAckPage),
        lateAckMs_(config.lateAckMs) {}
  devsim::AckPlan onPageComplete(devsim::Bootloader& device, std::uint16_t page, int attempt,
                                 bool valid) override;

 private:
  std::optional<std::uint16_t> noAckPage_;
  std::optional<std::uint16_t> lateAckPage_;
  std::int64_t lateAckMs_;
};

class ServedInterface {
 public:
  ServedInterface(int number, const e2e::Interface& config, const Clock& clock, HANDLE stop);
  ~ServedInterface();
  ServedInterface(const ServedInterface&) = delete;
  ServedInterface& operator=(const ServedInterface&) = delete;

  // Creates the pipe (and, for a busy interface, takes its only instance);
  // false when that fails, with the reason in the log.
  bool open();
  // Serves clients one after another until the stop event is signalled.
  void serve();
  // The event log, then the pages the bootloader stored, its restart count and
  // its complaints, as lines of the server's log.
  void appendLog(std::string& out) const;

 private:
  bool awaitClient();
  bool session();
  bool finishRead(OVERLAPPED& request, DWORD& got, DWORD& error);
  void onReport(const devsim::Report& report);
  void sendDueInputs();
  DWORD msUntilNextInput() const;
  void cancelAndRetire(OVERLAPPED& request);
  void event(const std::string& what, const std::string& detail = "");

  int number_;
  e2e::Interface config_;
  const Clock& clock_;
  HANDLE stop_;
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  HANDLE holder_ = INVALID_HANDLE_VALUE;  // the other client of a busy interface
  HANDLE readEvent_ = nullptr;
  HANDLE writeEvent_ = nullptr;
  ScenarioScript script_;
  devsim::Bootloader device_;
  std::vector<std::string> events_;
};

}  // namespace pipeserver
