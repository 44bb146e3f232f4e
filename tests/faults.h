// What the fault scenarios share: a whole run on a machine with one Kalvo
// whose device script a case replaces piece by piece, checked against the
// run's invariants, and the device decisions the cases are made of.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tests/invariants.h"
#include "tests/scenario.h"
#include "updater/images.h"
#include "updater/update_run.h"

namespace faults {

using devsim::AckPlan;
using devsim::Frame;
using devsim::ReadOutcome;
using devsim::WriteOutcome;

using scenario::bootloaderProductId;

// Pages by their place in a whole run: the FPGA pages, then the MCU pages.
inline constexpr std::size_t fpgaPages = fpgaPageCount;
inline constexpr std::size_t allPages = fpgaPageCount + mcuPageCount;
inline constexpr std::size_t framesPerPage = scenario::framesPerPage;
// A page in the middle of the FPGA image, and its place.
inline constexpr std::size_t midIndex = fpgaPages / 2;
inline constexpr std::uint16_t midPage = scenario::firstFpgaPage + midIndex;
inline constexpr std::uint8_t midLow = midPage & 0xFF;
inline constexpr std::uint8_t midHigh = midPage >> 8;
// A healthy whole run: every page's frames and the restart; one read a page.
inline constexpr std::size_t healthyWrites = allPages * framesPerPage + 1;
inline constexpr std::size_t healthyReads = allPages;

// The transcript of a run that confirmed `confirmed` pages and failed on the next.
std::string failedAfter(std::size_t confirmed);
// The transcript of a complete run.
std::string completeRun();

// The page of the newest report the device took: the page in flight.
std::uint16_t pageInFlight(const devsim::Bootloader& device);

// Write decisions: the first `count` offers of block `block` of `page` (every
// offer when count is negative) get `outcome`; every other write is healthy.
std::function<WriteOutcome(devsim::Bootloader&, const Frame&)> onBlock(std::uint16_t page,
                                                                       int block, int count,
                                                                       WriteOutcome outcome);
// Read decisions: the first `count` reads while `page` is in flight (every one
// when negative) get `outcome`.
std::function<ReadOutcome(devsim::Bootloader&, std::size_t)> onReadsOf(std::uint16_t page,
                                                                       int count,
                                                                       ReadOutcome outcome);
// Acknowledgement decisions: attempt `attempt` of `page` (every attempt when
// 0) gets `plan`; every other page is acknowledged at once.
std::function<AckPlan(devsim::Bootloader&, std::uint16_t, int, bool)> onAckOf(std::uint16_t page,
                                                                              int attempt,
                                                                              AckPlan plan);

inline WriteOutcome writeFailingAfter(std::int64_t ms) { return {WriteOutcome::Kind::fail, 0, ms}; }
inline ReadOutcome readFailingAfter(std::int64_t ms) { return {ReadOutcome::Kind::fail, ms}; }
inline AckPlan ackAfter(std::int64_t ms) { return {AckPlan::Kind::send, ms, 0, {}}; }
inline AckPlan ackNaming(std::uint16_t page) { return {AckPlan::Kind::otherPage, 0, page, {}}; }
inline AckPlan garbage(const devsim::Report& report) {
  return {AckPlan::Kind::garbage, 0, 0, report};
}

using scenario::decoy;

// A whole run on a fresh machine, checked against every invariant.
struct Faults : ::testing::Test {
  scenario::Machine m;
  scenario::Allowances allow;

  int runChecked() {
    const int status = run();
    const auto problems =
        scenario::checkRun(m.world, m.device, status, scenario::builtInPlan(), allow);
    EXPECT_TRUE(problems.empty()) << scenario::describe(problems);
    return status;
  }
  std::size_t writes() const { return m.world.traffic(scenario::kalvoPath).writesStarted; }
  std::size_t reads() const { return m.world.traffic(scenario::kalvoPath).readsStarted; }
  // Reports of `page` that reached the device, in order.
  std::vector<devsim::Report> framesOf(std::uint16_t page) const;
};

}  // namespace faults
