// The run checks catch what they are there to catch: runs that a faulty
// program would make, played by hand with the program's own pieces.
#include "tests/invariants.h"

#include <gtest/gtest.h>

#include "hid/device_discovery.h"
#include "hid/report_exchange.h"
#include "hid/system_libraries.h"
#include "protocol/console.h"
#include "protocol/flash2k.h"
#include "tests/faults.h"

namespace faults {
namespace {

struct BrokenRun : Faults {
  std::vector<std::string> problems;

  HANDLE open() {
    loadsystemlibraries();
    return connectToUSBHIDDevice(kalvoVendorId, bootloaderProductId, 0);
  }
  void check(int status) {
    problems = scenario::checkRun(m.world, m.device, status, scenario::builtInPlan());
  }
  // Whether some problem names `text`.
  bool found(const std::string& text) const {
    for (const auto& p : problems)
      if (p.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_F(BrokenRun, AHealthyRunHasNoProblem) {
  check(run());
  EXPECT_TRUE(problems.empty()) << scenario::describe(problems);
}

TEST_F(BrokenRun, ASearchBeforeTheLibrariesCameFromTheSystemDirectory) {
  {
    // The functions' addresses, from a machine that loaded the libraries:
    // this one has seen no load when the search begins.
    scenario::Machine earlier;
    loadsystemlibraries();
  }
  const HANDLE device = connectToUSBHIDDevice(kalvoVendorId, bootloaderProductId, 0);
  loadsystemlibraries();
  CloseHandle(device);
  say("No Kalvo found. Please restart Kalvo in bootloader mode (press and hold CONFIG during "
      "power on).\n");
  check(exitNoBootloader);
  EXPECT_TRUE(found("platform call 0 is not GetModuleHandleA")) << scenario::describe(problems);
}

TEST_F(BrokenRun, AHealthyRunOnAWindows7WithoutTheLoaderUpdateHasNoProblem) {
  // No SetDefaultDllDirectories and no LOAD_LIBRARY_SEARCH flags: the run
  // takes the current directory out of the search and loads with the altered
  // search order.
  m.world.defaultDllDirectories = false;
  check(run());
  EXPECT_TRUE(problems.empty()) << scenario::describe(problems);
}

TEST_F(BrokenRun, ADotWithoutAReadInItsPage) {
  open();
  say("Updating FPGA.");
  say(".");
  say(" failed.\n");
  check(exitPageFailed);
  EXPECT_TRUE(found("the dot for page 0x1000 follows no read in its page"))
      << scenario::describe(problems);
}

TEST_F(BrokenRun, ADotAfterAnotherPagesAcknowledgement) {
  m.script.ack = onAckOf(0x1000, 0, ackNaming(0x0FFF));
  const HANDLE device = open();
  say("Updating FPGA.");
  const std::array<std::uint8_t, 2048> page{};
  EXPECT_EQ(flash2k(device, 0x1000, page), 0);
  say(".");
  say(" failed.\n");
  check(exitPageFailed);
  EXPECT_TRUE(found("the dot for page 0x1000 follows a read from " + scenario::kalvoPath +
                    " bringing 00 46 2B FF 0F"))
      << scenario::describe(problems);
}

TEST_F(BrokenRun, ADotForAPageTheDeviceNeverTook) {
  // The right acknowledgement, left over from before, but no page sent.
  m.device.queueInput(0, m.device.acknowledgement(0x1000));
  const HANDLE device = open();
  TransferContext context;
  opentransfer(context);
  Report ack{};
  say("Updating FPGA.");
  EXPECT_EQ(getresult(device, ack, context), 1);
  say(".");
  say(" failed.\n");
  closetransfer(context);
  check(exitPageFailed);
  EXPECT_TRUE(found("which the device never accepted")) << scenario::describe(problems);
}

TEST_F(BrokenRun, AConfirmedPageShownAsFailed) {
  // A device that acknowledges whatever it gets, here a page without its checksum.
  m.script.ack = [](auto&, std::uint16_t, int, bool) { return AckPlan{}; };
  const HANDLE device = open();
  TransferContext context;
  opentransfer(context);
  Report frame{};
  frame[1] = 'F';
  frame[2] = '*';
  frame[4] = scenario::firstFpgaPage >> 8;
  say("Updating FPGA.");
  for (std::uint8_t block = 0; block < framesPerPage; ++block) {
    frame[5] = block;
    EXPECT_EQ(sendblock(device, frame, context), 1);
  }
  Report ack{};
  EXPECT_EQ(getresult(device, ack, context), 1);
  say(" failed.\n");
  closetransfer(context);
  check(exitPageFailed);
  EXPECT_TRUE(found("page 0x1000 failed though a read confirmed it"))
      << scenario::describe(problems);
}

TEST_F(BrokenRun, AReportToAnInterfaceThatFailedIdentification) {
  m.world.interfaces.insert(m.world.interfaces.begin(), decoy("\\\\?\\hid#lookalike", kalvoVendorId,
                                                              bootloaderProductId, u"FX"));
  loadsystemlibraries();
  int index = 0;
  const HANDLE lookalike = connectToIthUSBHIDDevice(index);
  TransferContext context;
  opentransfer(context);
  EXPECT_EQ(sendblock(lookalike, Report{}, context), 1);
  closetransfer(context);
  CloseHandle(lookalike);
  check(run());
  EXPECT_TRUE(found("on \\\\?\\hid#lookalike, which is not the bootloader found"))
      << scenario::describe(problems);
}

TEST_F(BrokenRun, Status0WithAPageUnconfirmed) {
  m.script.ack = onAckOf(0x1002, 0, {AckPlan::Kind::drop, 0, 0, {}});
  EXPECT_EQ(run(), exitPageFailed);
  check(exitUpdated);
  EXPECT_TRUE(found("status 0 after page 0x1002 failed")) << scenario::describe(problems);
}

TEST_F(BrokenRun, Status0WithAnEventLeftOpen) {
  EXPECT_EQ(run(), exitUpdated);
  const HANDLE leaked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  check(exitUpdated);
  EXPECT_TRUE(found("open at the end with status 0: [event]")) << scenario::describe(problems);
  CloseHandle(leaked);
}

TEST_F(BrokenRun, OutputAfterTheEnd) {
  EXPECT_EQ(run(), exitUpdated);
  say(".");
  check(exitUpdated);
  EXPECT_TRUE(found("output after the run's end")) << scenario::describe(problems);
}

}  // namespace
}  // namespace faults
