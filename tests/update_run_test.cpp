// Whole runs of the program: search, both images, restart, exit status.
#include "updater/update_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/scenario.h"
#include "updater/images.h"

namespace {

using devsim::AckPlan;
using devsim::Report;
using scenario::kalvoPath;

const std::string notFound =
    "No Kalvo found. Please restart Kalvo in bootloader mode (press and hold CONFIG during power "
    "on).\n";

std::string fullTranscript() {
  return "Updating FPGA." + std::string(253, '.') + " done.\n" + "Updating MCU." +
         std::string(7, '.') + " done.\n" + "Restarting...\n";
}

Report restartCommand() {
  Report command{};
  command[1] = 0x46;
  command[2] = 0x2A;
  command[3] = 0x47;
  command[4] = 0x00;
  command[5] = 0xFF;
  return command;
}

void expectClean(const scenario::Machine& m) {
  EXPECT_TRUE(m.world.violations().empty()) << scenario::describe(m.world.violations());
  EXPECT_EQ(m.world.outstandingOperations(), 0u);
}

TEST(NotFound, WithNoInterfacesOnlyTheNotFoundLineIsPrinted) {
  winstub::World world;
  EXPECT_EQ(run(), 2);
  EXPECT_EQ(world.transcript(), notFound);
  EXPECT_TRUE(world.openHandles().empty());
  EXPECT_TRUE(world.violations().empty());
}

TEST(NotFound, InterfacesThatFailIdentificationAreClosedAndNeverWritten) {
  devsim::Bootloader lookalike;
  winstub::World world;
  winstub::HidInterface wrongString = winstub::World::kalvo(lookalike, kalvoVendorId, "\\\\?\\a");
  wrongString.string4 = u"XW";
  winstub::HidInterface wrongVendor = winstub::World::kalvo(lookalike, 0x0001, "\\\\?\\b");
  winstub::HidInterface wrongProduct = winstub::World::kalvo(lookalike, kalvoVendorId, "\\\\?\\c");
  wrongProduct.productId = 0x00D3;
  winstub::HidInterface held = winstub::World::kalvo(lookalike, kalvoVendorId, "\\\\?\\d");
  held.opens = false;
  world.interfaces = {wrongString, wrongVendor, wrongProduct, held};
  EXPECT_EQ(run(), 2);
  EXPECT_EQ(world.transcript(), notFound);
  EXPECT_TRUE(lookalike.received().empty());
  for (const char* path : {"\\\\?\\a", "\\\\?\\b", "\\\\?\\c", "\\\\?\\d"})
    EXPECT_EQ(world.traffic(path).writesStarted + world.traffic(path).readsStarted, 0u) << path;
  EXPECT_TRUE(world.openHandles().empty());
  EXPECT_TRUE(world.violations().empty());
}

// hid.dll and setupapi.dll, and every function the search calls in them,
// come from the system directory or not at all: a run that cannot have them
// all ends as a failed search, before calling any of them.
TEST(NotFound, WithoutTheSystemsOwnHidAndSetupApiLibrariesTheSearchIsNeverMade) {
  // A folder of `length` characters. A path holds 259 and its terminator:
  // "\\hid.dll" fits after 251 of them, "\\setupapi.dll" after 246.
  const auto folderOf = [](std::size_t length) { return "C:\\" + std::string(length - 3, 'w'); };
  const struct {
    const char* what;
    std::function<void(winstub::World&)> change;
    std::size_t loadsTried, lookupsTried;
  } rows[] = {
      {"no hid.dll", [](auto& w) { w.systemLibraries = {"setupapi.dll"}; }, 1, 0},
      {"no setupapi.dll", [](auto& w) { w.systemLibraries = {"hid.dll"}; }, 2, 0},
      {"no system directory", [](auto& w) { w.systemDirectory.clear(); }, 0, 0},
      {"a system directory longer than a path",
       [](auto& w) { w.systemDirectory = "C:\\" + std::string(300, 'w'); }, 0, 0},
      {"hid.dll fits to the last byte, setupapi.dll not",
       [&](auto& w) { w.systemDirectory = folderOf(251); }, 1, 0},
      {"hid.dll would need one byte more", [&](auto& w) { w.systemDirectory = folderOf(252); }, 0,
       0},
      {"hid.dll without HidD_GetHidGuid", [](auto& w) { w.missingFunctions = {"HidD_GetHidGuid"}; },
       2, 1},
      {"setupapi.dll without SetupDiDestroyDeviceInfoList",
       [](auto& w) { w.missingFunctions = {"SetupDiDestroyDeviceInfoList"}; }, 2, 7},
  };
  for (const auto& row : rows) {
    scenario::Machine m;
    row.change(m.world);
    EXPECT_EQ(run(), 2) << row.what;
    EXPECT_EQ(m.world.transcript(), notFound) << row.what;
    EXPECT_EQ(m.world.callsTo("LoadLibraryExA").size(), row.loadsTried) << row.what;
    // Before the loads: kernel32's handle, SetDefaultDllDirectories looked
    // up and called, the system directory; after them, the lookups.
    EXPECT_EQ(m.world.calls().size(), 4 + row.loadsTried + row.lookupsTried) << row.what;
    // Nor can a search started by hand afterwards reach a function not found.
    EXPECT_EQ(connectToUSBHIDDevice(kalvoVendorId, 0x00D2, 0), INVALID_HANDLE_VALUE) << row.what;
    EXPECT_TRUE(m.world.callsTo("SetupDiGetClassDevsA").empty()) << row.what;
    EXPECT_TRUE(m.world.openHandles().empty()) << row.what;
    EXPECT_TRUE(m.world.violations().empty())
        << row.what << scenario::describe(m.world.violations());
  }
}

TEST(Update, ASuccessfulRunWritesBothImagesAndRestarts) {
  scenario::Machine m;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(m.world.transcript(), fullTranscript());

  // 260 pages of 36 frames, then the restart command, nothing else.
  const auto& received = m.device.received();
  ASSERT_EQ(received.size(), 260u * 36 + 1);
  EXPECT_EQ(received.back().bytes, restartCommand());
  EXPECT_EQ(m.device.restarts(), 1);
  EXPECT_EQ(m.device.readsServed(), 260u);
  EXPECT_EQ(m.world.traffic(kalvoPath).readsStarted, 260u);
  EXPECT_TRUE(m.device.complaints().empty()) << scenario::describe(m.device.complaints());

  // Pages in order: FPGA 0x1000 to 0x10FC, then MCU 4 to 10.
  std::vector<std::uint16_t> order;
  for (std::uint16_t n = 0x1000; n <= 0x10FC; ++n) order.push_back(n);
  for (std::uint16_t n = 4; n <= 10; ++n) order.push_back(n);
  EXPECT_EQ(m.device.acceptedOrder(), order);

  // The device's pages rebuild the FPGA stream (length header, image, zero
  // tail) and the MCU image exactly.
  std::vector<std::uint8_t> stream = {0x00, 0x07, 0xE7, 0xF0};
  stream.insert(stream.end(), fpgabin, fpgabin + fpgaImageLength);
  stream.resize(253 * 2048, 0x00);
  std::vector<std::uint8_t> stored;
  for (std::uint16_t n = 0x1000; n <= 0x10FC; ++n)
    stored.insert(stored.end(), m.device.pages().at(n).begin(), m.device.pages().at(n).end());
  EXPECT_TRUE(stored == stream) << "the FPGA pages differ from the stream";
  std::vector<std::uint8_t> mcu;
  for (std::uint16_t n = 4; n <= 10; ++n)
    mcu.insert(mcu.end(), m.device.pages().at(n).begin(), m.device.pages().at(n).end());
  EXPECT_TRUE(mcu == std::vector<std::uint8_t>(mcubin, mcubin + mcuImageLength));

  // The device handle, every event and every device information set are released.
  EXPECT_TRUE(m.world.openHandles().empty()) << scenario::describe(m.world.openHandles());
  EXPECT_EQ(m.world.eventsCreated(), 261u);
  expectClean(m);
}

TEST(Update, EachLineAndDotIsOutBeforeTheTrafficItAnnounces) {
  // Every report takes a millisecond, so output and traffic have distinct times.
  scenario::Machine m;
  m.script.write = [](auto&, auto&) {
    return devsim::WriteOutcome{devsim::WriteOutcome::Kind::accept, 1, 1};
  };
  EXPECT_EQ(run(), 0);
  const auto& out = m.world.output();
  ASSERT_EQ(out.size(), 1u + 253 + 1 + 1 + 7 + 1 + 1);
  EXPECT_EQ(out[0].text, "Updating FPGA.");
  EXPECT_EQ(out[0].atMs, 0);
  ASSERT_GT(m.device.received().size(), 36u);
  EXPECT_EQ(m.device.received().front().atMs, 1);
  // The first dot comes when the first page's acknowledgement is read: after
  // its 36 frames, before any frame of the next page.
  EXPECT_EQ(out[1].text, ".");
  EXPECT_EQ(out[1].atMs, 36);
  EXPECT_EQ(m.device.received()[36].atMs, 37);
  // "Restarting..." is out before the restart command is sent.
  EXPECT_EQ(out.back().text, "Restarting...\n");
  EXPECT_LT(out.back().atMs, m.device.received().back().atMs);
  expectClean(m);
}

TEST(Restart, ACommandNeverTakenStillEndsTheRunWithStatusZero) {
  scenario::Machine m;
  m.script.write = [](auto&, const devsim::Frame& f) {
    return f.isRestart ? scenario::stall() : devsim::WriteOutcome{};
  };
  EXPECT_EQ(run(), 0);
  ASSERT_EQ(m.world.transcript(), fullTranscript());
  EXPECT_EQ(m.device.restarts(), 0);
  // Three tries of 200 ms after "Restarting..." was printed.
  EXPECT_EQ(m.world.nowMs() - m.world.output().back().atMs, 600);
  EXPECT_EQ(m.world.traffic(kalvoPath).writesStarted, 260u * 36 + 3);
  EXPECT_TRUE(m.world.openHandles().empty()) << scenario::describe(m.world.openHandles());
  expectClean(m);
}

TEST(Restart, AnEventThatCannotBeCreatedSendsNothingAndStillEndsWithStatusZero) {
  scenario::Machine m;
  m.script.ack = [&](auto&, std::uint16_t page, int, bool) {
    // The restart command's event is the next one made after the last page.
    if (page == 10) m.world.eventCreationsToFail = 1;
    return AckPlan{};
  };
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(m.world.transcript(), fullTranscript());
  EXPECT_EQ(m.device.restarts(), 0);
  EXPECT_EQ(m.device.received().size(), 260u * 36);
  EXPECT_TRUE(m.world.openHandles().empty()) << scenario::describe(m.world.openHandles());
  expectClean(m);
}

// Runs the whole program with a restart write whose cancellation hangs and
// exits 7 when it ended as it should.
[[noreturn]] void runWithHungRestart() {
  scenario::Machine m;
  m.script.write = [](auto&, const devsim::Frame& f) {
    return f.isRestart ? scenario::stall() : devsim::WriteOutcome{};
  };
  m.script.cancel = [](auto&, bool) { return devsim::CancelOutcome{false, 0}; };
  const int status = run();
  // One try of 200 ms and the bounded wait of 1000 ms for the cancellation;
  // the device handle and the event stay with the outstanding write.
  const bool ok = status == 0 && m.world.transcript() == fullTranscript() &&
                  m.world.nowMs() - m.world.output().back().atMs == 1200 &&
                  m.world.traffic(kalvoPath).writesStarted == 260u * 36 + 1 &&
                  m.world.openHandles().size() == 2 && m.world.violations().empty();
  std::exit(ok ? 7 : 1);
}

TEST(RestartDeathTest, AWriteWhoseCancellationHangsEndsTheRunAndLeavesItsStorageAlone) {
  // Stranded storage stays stranded for the rest of the process, so this
  // runs in a child of its own.
  EXPECT_EXIT(runWithHungRestart(), ::testing::ExitedWithCode(7), "");
}

TEST(PageFailure, TheFirstFpgaPageFailingEndsTheRunWithStatus3) {
  scenario::Machine m;
  m.script.ack = [](auto&, std::uint16_t, int, bool) { return AckPlan{AckPlan::Kind::drop}; };
  EXPECT_EQ(run(), 3);
  EXPECT_EQ(m.world.transcript(), "Updating FPGA. failed.\n");
  EXPECT_EQ(m.device.received().size(), 4u * 36);
  EXPECT_EQ(m.device.restarts(), 0);
  EXPECT_EQ(m.world.nowMs(), 24000);
  expectClean(m);
}

TEST(PageFailure, TheThirdMcuPageFailingLeavesTwoDotsOnTheMcuLine) {
  scenario::Machine m;
  m.script.ack = [](auto&, std::uint16_t page, int, bool) {
    AckPlan plan;
    if (page == 6) plan.kind = AckPlan::Kind::drop;
    return plan;
  };
  EXPECT_EQ(run(), 3);
  EXPECT_EQ(m.world.transcript(), "Updating FPGA." + std::string(253, '.') + " done.\n" +
                                      "Updating MCU." + std::string(2, '.') + " failed.\n");
  EXPECT_EQ(m.device.attemptsOf(6), 4);
  EXPECT_EQ(m.device.attemptsOf(7), 0);
  EXPECT_EQ(m.device.restarts(), 0);
  expectClean(m);
}

}  // namespace
