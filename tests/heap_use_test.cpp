// The program's own heap use during whole runs: the temporary detail record
// of each interface the search looks at, released again, and nothing else:
// nothing per page, per frame, per retry or per attempt.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "tests/heap_counter.h"
#include "tests/scenario.h"
#include "updater/update_run.h"
#include "winstub/platform_call.h"

namespace {

using devsim::AckPlan;

// What the search allocates: one detail record per interface whose path it fetched.
std::size_t detailRecordsFetched(const winstub::World& world) {
  std::size_t fetched = 0;
  for (const auto& call : world.callsTo("SetupDiGetDeviceInterfaceDetailA"))
    if (call.succeeded) ++fetched;
  return fetched;
}

heapcount::Counts countedRun(int expectedStatus) {
  heapcount::start();
  const int status = run();
  const heapcount::Counts counts = heapcount::stop();
  EXPECT_EQ(status, expectedStatus);
  return counts;
}

void* volatile sink = nullptr;

TEST(HeapCounter, SeesTheProgramsSideOnlyAndBothRoutes) {
  heapcount::start();
  auto owned = std::make_unique<int>(7);
  sink = owned.get();
  void* block = std::malloc(16);
  sink = block;
  std::free(block);
  {
    const winstub::PlatformCall inside;
    auto platformOwned = std::make_unique<int>(8);
    sink = platformOwned.get();
    void* platformBlock = std::malloc(16);
    sink = platformBlock;
    std::free(platformBlock);
  }
  const heapcount::Counts counts = heapcount::stop();
  EXPECT_EQ(counts.news, 1u);
  EXPECT_EQ(counts.mallocs, 1u);
  EXPECT_EQ(counts.frees, 1u);
  EXPECT_EQ(counts.platformAllocations, 2u);
}

TEST(HeapUse, AFullUpdateAllocatesOnlyTheSearchsDetailRecord) {
  scenario::Machine m;
  const heapcount::Counts counts = countedRun(exitUpdated);
  EXPECT_EQ(counts.news, 0u);
  EXPECT_EQ(counts.mallocs, 1u);
  EXPECT_EQ(counts.mallocs, detailRecordsFetched(m.world));
  EXPECT_EQ(counts.frees, counts.mallocs);
  // The zero is the program's: the stand-in did allocate on its behalf.
  EXPECT_GT(counts.platformAllocations, 0u);
  EXPECT_EQ(m.device.pages().size(), 260u);
}

TEST(HeapUse, TheSearchAllocatesOneRecordPerInterfaceItLooksAt) {
  scenario::Machine m;
  winstub::HidInterface wrongVendor =
      winstub::World::kalvo(m.device, 0x0001, "\\\\?\\hid#other#vendor");
  wrongVendor.device = nullptr;
  winstub::HidInterface held = winstub::World::kalvo(m.device, kalvoVendorId, "\\\\?\\hid#held");
  held.opens = false;
  held.device = nullptr;
  m.world.interfaces.insert(m.world.interfaces.begin(), {wrongVendor, held});
  const heapcount::Counts counts = countedRun(exitUpdated);
  EXPECT_EQ(counts.news, 0u);
  EXPECT_EQ(counts.mallocs, 3u);
  EXPECT_EQ(counts.mallocs, detailRecordsFetched(m.world));
  EXPECT_EQ(counts.frees, counts.mallocs);
}

TEST(HeapUse, RetriedPagesAndTimedOutReadsAllocateNothing) {
  // Three pages lose their first answer: each is read three times to the
  // time limit, cancelled and retired, then sent again from its first block.
  scenario::Machine m;
  m.script.ack = [](devsim::Bootloader&, std::uint16_t page, int attempt, bool valid) {
    AckPlan plan;
    const bool lost = page == 0x1000 || page == 0x1080 || page == 0x0006;
    if (!valid || (lost && attempt == 1)) plan.kind = AckPlan::Kind::drop;
    return plan;
  };
  const heapcount::Counts counts = countedRun(exitUpdated);
  EXPECT_EQ(m.device.attemptsOf(0x1080), 2);
  EXPECT_EQ(counts.news, 0u);
  EXPECT_EQ(counts.mallocs, 1u);
  EXPECT_EQ(counts.frees, counts.mallocs);
}

TEST(HeapUse, ARunEndingInAFailedPageAllocatesOnlyTheDetailRecord) {
  scenario::Machine m;
  m.script.ack = [](devsim::Bootloader&, std::uint16_t page, int, bool valid) {
    AckPlan plan;
    if (!valid || page == 0x1005) plan.kind = AckPlan::Kind::drop;
    return plan;
  };
  const heapcount::Counts counts = countedRun(exitPageFailed);
  EXPECT_EQ(m.device.attemptsOf(0x1005), 4);
  EXPECT_EQ(counts.news, 0u);
  EXPECT_EQ(counts.mallocs, 1u);
  EXPECT_EQ(counts.frees, counts.mallocs);
}

}  // namespace
