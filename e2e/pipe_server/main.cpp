// pipe_server: serves the HID interfaces of one end-to-end scenario as named
// pipes, with a simulated Kalvo bootloader behind each one that has one, for
// kalvo-update.exe running under Wine with the test hid.dll and setupapi.dll,
// or for the virtual bootloader minidriver under Wine's own HID stack.
//
//   pipe_server.exe INTERFACES LOG
//
// INTERFACES is the scenario's interface list (the file the test DLLs read).
// Once every pipe exists the server creates LOG.ready; it stops when its
// standard input reaches its end (the runner closes it, and it ends with the
// runner too), and then writes LOG: every report each interface received and
// every report it sent (or lost, the client being gone), with their times in
// microseconds since the server started, its connections, the pages its
// bootloader stored, and the performance counter at its start ("clock TICKS
// TICKS_PER_SECOND").
// The exit status is 0 when nothing went wrong on the server's side.
#include <windows.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/common/interfaces.h"
#include "e2e/common/write_file.h"
#include "e2e/pipe_server/clock.h"
#include "e2e/pipe_server/served_interface.h"

namespace {

constexpr const char* readySuffix = ".ready";

void say(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

// Signals `stop` once standard input ends: the runner's way to end the server,
// which also ends it when the runner itself goes away.
void watchInput(HANDLE stop) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char chunk[256];
  DWORD got = 0;
  while (input != nullptr && input != INVALID_HANDLE_VALUE &&
         ReadFile(input, chunk, sizeof chunk, &got, nullptr) && got != 0) {
  }
  SetEvent(stop);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    say("usage: pipe_server INTERFACES LOG\n");
    return 2;
  }
  const std::string logPath = argv[2];
  std::string error;
  const std::vector<e2e::Interface> interfaces = e2e::loadInterfaces(argv[1], error);
  if (!error.empty()) {
    say("pipe_server: " + error + "\n");
    return 2;
  }

  const pipeserver::Clock clock;
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<std::unique_ptr<pipeserver::ServedInterface>> served;
  bool healthy = stop != nullptr;
  for (std::size_t i = 0; i < interfaces.size() && healthy; ++i) {
    if (interfaces[i].serve == e2e::Serve::none) continue;
    served.push_back(std::make_unique<pipeserver::ServedInterface>(static_cast<int>(i),
                                                                   interfaces[i], clock, stop));
    healthy = served.back()->open();
  }

  std::vector<std::thread> threads;
  if (healthy) {
    for (auto& one : served) threads.emplace_back([&one] { one->serve(); });
    // Every pipe exists now, so the program can open them.
    healthy = e2e::writeFile(logPath + readySuffix, "ready\n");
    std::thread(watchInput, stop).detach();
    WaitForSingleObject(stop, INFINITE);
  }
  for (auto& thread : threads) thread.join();

  std::string log = "# pipe_server log: times in microseconds since the server started\n";
  log += "clock " + std::to_string(clock.startTicks()) + " " +
         std::to_string(clock.ticksPerSecond()) + "\n";
  for (const auto& one : served) one->appendLog(log);
  log += "end " + std::to_string(clock.nowUs()) + "\n";
  if (!e2e::writeFile(logPath, log)) {
    say("pipe_server: cannot write " + logPath + "\n");
    healthy = false;
  }
  // Error lines in the log stand for trouble on the server's side.
  if (log.find("\nerror ") != std::string::npos) healthy = false;
  return healthy ? 0 : 1;
}
