// Against a device limited by the USB bus (one output and one input report
// per 1 ms frame), a whole update takes exactly the least time that device
// allows: the program adds no pause of its own anywhere.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "devsim/bootloader.h"
#include "kalvo_build.h"
#include "kalvo_images.h"
#include "updater/update_run.h"
#include "winstub/world.h"

namespace {

using devsim::BusLimitedScript;

const std::string path = "\\\\?\\hid#kalvo#bootloader";
constexpr auto pages = static_cast<std::int64_t>(fpgaPageCount + mcuPageCount);
constexpr std::int64_t framesPerPage = devsim::blocksPerPage + 1;  // the blocks and the answer

struct BusMachine {
  BusLimitedScript script;
  devsim::Bootloader device{&script};
  winstub::World world;
  BusMachine() { world.interfaces.push_back(winstub::World::kalvo(device, kalvoVendorId, path)); }
};

TEST(BusLimited, AWholeUpdateTakesExactlyTheFloorOfTheBus) {
  BusMachine m;
  ASSERT_EQ(run(), exitUpdated);
  const std::int64_t floor = BusLimitedScript::floorMs(pages * devsim::blocksPerPage + 1, pages);
  EXPECT_EQ(m.world.nowMs(), floor);
  EXPECT_TRUE(m.world.violations().empty());
  EXPECT_EQ(m.device.received().size(),
            static_cast<std::size_t>(pages * devsim::blocksPerPage + 1));
  EXPECT_EQ(m.device.readsServed(), static_cast<std::size_t>(pages));
  EXPECT_EQ(m.device.restarts(), 1);
}

TEST(BusLimited, EveryReportArrivesInTheFrameRightAfterThePreviousOperation) {
  // Block b of the p-th page reaches the device at the end of frame
  // p * 37 + b; the frame after each page's last block carries its answer.
  BusMachine m;
  ASSERT_EQ(run(), exitUpdated);
  const auto& received = m.device.received();
  ASSERT_EQ(received.size(), static_cast<std::size_t>(pages * devsim::blocksPerPage + 1));
  for (std::size_t i = 0; i < received.size(); ++i) {
    const auto page = static_cast<std::int64_t>(i) / devsim::blocksPerPage;
    const auto block = static_cast<std::int64_t>(i) % devsim::blocksPerPage;
    const std::int64_t due = (page * framesPerPage + block + 1) * BusLimitedScript::frameMs;
    ASSERT_EQ(received[i].atMs, due)
        << "output report " << i << " (page " << page << ", block " << block << ")";
  }
}

TEST(BusLimited, EachOperationTakesOneFrameAndAReadWaitsForItsReport) {
  BusMachine m;
  HANDLE device =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED request{};
  request.hEvent = event;
  DWORD moved = 0;

  devsim::Report report{};  // not a frame the device knows: it only logs it
  EXPECT_FALSE(WriteFile(device, report.data(), devsim::reportBytes, nullptr, &request));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_OBJECT_0);
  EXPECT_EQ(m.world.nowMs(), 1);
  EXPECT_TRUE(GetOverlappedResult(device, &request, &moved, FALSE));

  // An input report that becomes ready at 5 ms is read in the frame that
  // follows, whenever the read was started before it.
  m.device.queueInput(5, m.device.acknowledgement(0x1000));
  EXPECT_FALSE(ReadFile(device, report.data(), devsim::reportBytes, nullptr, &request));
  EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_OBJECT_0);
  EXPECT_EQ(m.world.nowMs(), 6);
  EXPECT_TRUE(GetOverlappedResult(device, &request, &moved, FALSE));
  EXPECT_EQ(report, m.device.acknowledgement(0x1000));

  // One already waiting is read in the frame the read starts in.
  m.device.queueInput(0, m.device.acknowledgement(0x1001));
  EXPECT_FALSE(ReadFile(device, report.data(), devsim::reportBytes, nullptr, &request));
  EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_OBJECT_0);
  EXPECT_EQ(m.world.nowMs(), 7);
  EXPECT_TRUE(GetOverlappedResult(device, &request, &moved, FALSE));

  CloseHandle(event);
  CloseHandle(device);
  EXPECT_TRUE(m.world.violations().empty());
}

}  // namespace
