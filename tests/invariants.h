// The promises a run keeps whatever the device does, checked after the run
// against the simulated machine. Shared by the fault scenarios and the fuzzer,
// so it reports problems as text instead of asserting.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "devsim/bootloader.h"
#include "tests/scenario.h"
#include "winstub/world.h"

namespace scenario {

// The bootloader's USB product identifier.
inline constexpr std::uint16_t bootloaderProductId = 0x00D2;
// The device's page numbers: FPGA pages from 0x1000, MCU pages from 4.
inline constexpr std::uint16_t firstFpgaPage = 0x1000;
inline constexpr std::uint16_t firstMcuPage = 4;

// A page as the device must end up holding it.
struct PlannedPage {
  std::uint16_t number = 0;
  devsim::Page bytes{};
};

// What a run sets out to do: its pages in the order they go out.
struct RunPlan {
  std::vector<PlannedPage> fpga;
  std::vector<PlannedPage> mcu;
  // A whole run prints the not-found line or ends with the restart; the two
  // phases driven on their own print neither.
  bool wholeRun = true;
};

// The FPGA stream (its length, most significant byte first, then the image)
// and the MCU image, cut into zero-padded pages numbered from 0x1000 and 4.
RunPlan planFor(std::span<const std::uint8_t> fpgaImage, std::span<const std::uint8_t> mcuImage,
                bool wholeRun);
// The whole run with the images built in.
const RunPlan& builtInPlan();

// What the machine is allowed beyond a run on a device whose cancelled
// operations come back at once.
struct Allowances {
  std::string bootloaderPath = kalvoPath;  // the only interface that may see a report
  // How long retiring one cancelled operation may take: 0 when every
  // cancelled operation comes back at once, up to the program's own bound of
  // 1000 ms when they take time.
  std::int64_t retireMs = 0;
  // A cancellation may never come back: one operation may stay outstanding,
  // with its event and the device handle left open.
  bool mayStrand = false;
};

// The device's side of the limits: a page is tried 4 times, each time as 36
// block frames and one acknowledgement; a write has 3 tries of 200 ms, a read
// 3 tries of 2000 ms.
inline constexpr std::int64_t attemptsPerPage = 4;
inline constexpr std::int64_t framesPerPage = 36;
inline constexpr std::int64_t triesPerTransfer = 3;
inline constexpr std::int64_t writeTryMs = 200;
inline constexpr std::int64_t readTryMs = 2000;
// The longest a page may take before it is given up, and the restart command,
// when every cancelled operation comes back at once.
inline constexpr std::int64_t pageBoundMs =
    attemptsPerPage *
    (framesPerPage * triesPerTransfer * writeTryMs + triesPerTransfer * readTryMs);
static_assert(pageBoundMs == 110400);
inline constexpr std::int64_t restartBoundMs = triesPerTransfer * writeTryMs;
// How long the program waits for a cancelled operation to come back.
inline constexpr std::int64_t retireBoundMs = 1000;

// Every way in which the run broke a promise, one line each; empty when it
// kept them all:
// - the exit status is 0, 2 or 3, and the transcript is exactly what that
//   status calls for, a dot at a time;
// - every dot follows, in its own page's stretch of the run, a read that came
//   back with success from the bootloader carrying that page's
//   acknowledgement, and the device holds that page as planned (so status 0
//   means the device holds every page); conversely a page whose own
//   acknowledgement came back while the program waited for it gets its dot;
// - no page takes longer than pageBoundMs plus `retireMs` for each
//   cancellation issued in it, nor more tries than it has; the restart likewise;
//   nothing else takes time;
// - no stand-in violation (reuse or release of a record, event or buffer while
//   its operation is outstanding, a buffer changed under it, unknown handles,
//   unbounded waits, a library loaded from anywhere but the system directory
//   or with a search for its dependencies that reaches the program's folder or
//   the current directory);
// - a whole run's first platform calls confine every later search for a DLL
//   to the system directory (SetDefaultDllDirectories, looked up in kernel32;
//   where it is missing, SetDllDirectoryA("")), then load hid.dll and
//   setupapi.dll from the system directory with the flags that go with it;
// - no report to any interface but the bootloader, none at all on status 2;
// - nothing left open on status 0 but what a stranded operation holds; on
//   status 3 only the device (and what a stranded operation holds); never a
//   device information set.
std::vector<std::string> checkRun(const winstub::World& world, const devsim::Bootloader& device,
                                  int status, const RunPlan& plan, const Allowances& allow = {});

}  // namespace scenario
