// Whole runs on a machine that changes under the program: the device vanishes
// mid-page or between phases, interfaces come and go during the search,
// hundreds of interfaces stand before the bootloader, events cannot be made,
// cancellations are slow. Every case also passes scenario::checkRun.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "tests/faults.h"

namespace faults {
namespace {

using scenario::kalvoPath;
using winstub::CallRecord;
using winstub::OutputPiece;
using winstub::World;

constexpr WriteOutcome vanishOnWrite{WriteOutcome::Kind::unplug, 0, 0};
constexpr ReadOutcome vanishOnRead{ReadOutcome::Kind::unplug, 0};

std::size_t opensOf(const World& world, const std::string& path) {
  std::size_t n = 0;
  for (const auto& call : world.callsTo("CreateFileA")) n += call.path == path ? 1 : 0;
  return n;
}

// --- the device vanishing --------------------------------------------------------

TEST_F(Faults, ADeviceThatVanishesMidPageRefusesEveryLaterReport) {
  m.script.write = onBlock(midPage, 17, 1, vanishOnWrite);
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.transcript(), failedAfter(midIndex));
  // Block 17 and its two retries are refused at once and wait out 200 ms
  // each; so do the three tries of block 0 in each later attempt.
  EXPECT_EQ(m.world.nowMs(), 4 * 600);
  EXPECT_EQ(writes(), midIndex * framesPerPage + 17 + 3 + 3 * 3);
  EXPECT_EQ(reads(), midIndex);
  EXPECT_EQ(framesOf(midPage).size(), 17u);
}

TEST_F(Faults, ADeviceThatVanishesAtTheAcknowledgementFailsThePage) {
  m.script.read = onReadsOf(midPage, 1, vanishOnRead);
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.nowMs(), 3 * 2000 + 3 * 600);
  EXPECT_EQ(reads(), midIndex + 3);
}

TEST_F(Faults, ADeviceThatVanishesWithAWriteOutstandingCompletesItWithAnError) {
  // Block 35 arrives at once but would be confirmed only after 100 ms; the
  // device vanishes the moment it has the page, failing that write.
  m.script.write = onBlock(midPage, 35, 1, {WriteOutcome::Kind::accept, 0, 100});
  m.script.ack = [](devsim::Bootloader& d, std::uint16_t page, int, bool valid) {
    if (page == midPage) d.unplug();
    return valid && page != midPage ? AckPlan{} : AckPlan{AckPlan::Kind::drop, 0, 0, {}};
  };
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.transcript(), failedAfter(midIndex));
  EXPECT_EQ(m.world.nowMs(), 2 * 200 + 3 * 600);
}

TEST_F(Faults, ADeviceThatVanishesBetweenThePhasesFailsTheFirstMcuPage) {
  m.world.afterOutput = [](World& w, const OutputPiece& piece) {
    if (piece.text == " done.\n") w.unplug(kalvoPath);
  };
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.transcript(), failedAfter(fpgaPages));
  EXPECT_EQ(m.world.nowMs(), 4 * 600);
  EXPECT_EQ(m.device.pages().size(), fpgaPages);
  EXPECT_EQ(m.device.pages().count(4), 0u);
}

TEST_F(Faults, ADeviceThatVanishesBeforeTheRestartStillEndsTheRunWithStatus0) {
  m.world.afterOutput = [](World& w, const OutputPiece& piece) {
    if (piece.text == "Restarting...\n") w.unplug(kalvoPath);
  };
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.transcript(), completeRun());
  EXPECT_EQ(m.world.nowMs(), 600);
  EXPECT_EQ(writes(), healthyWrites + 2);
  EXPECT_EQ(m.device.restarts(), 0);
}

// --- interfaces coming and going during the search -------------------------------

struct ChangingSearch : Faults {
  winstub::HidInterface kalvo = m.world.interfaces.front();
  winstub::HidInterface keyboard = decoy("\\\\?\\hid#keyboard", 0x1111, 0x2222, u"KB");
  winstub::HidInterface mouse = decoy("\\\\?\\hid#mouse", 0x1111, 0x3333, u"MS");
};

TEST_F(ChangingSearch, AnInterfaceVanishingBeforeTheBootloaderShiftsItToTheNextStep) {
  m.world.interfaces = {keyboard, mouse, kalvo};
  m.world.beforeSnapshot = [](World& w, int snapshot) {
    if (snapshot == 1) w.interfaces.erase(w.interfaces.begin());
  };
  EXPECT_EQ(runChecked(), 0);
  // The mouse moved to position 0, behind the walk, and was never looked at.
  EXPECT_EQ(opensOf(m.world, mouse.path), 0u);
  EXPECT_EQ(m.world.callsTo("SetupDiGetClassDevsA").size(), 2u);
}

TEST_F(ChangingSearch, AnInterfaceVanishingCanShiftTheBootloaderBehindTheWalk) {
  m.world.interfaces = {keyboard, kalvo, mouse};
  m.world.beforeSnapshot = [](World& w, int snapshot) {
    if (snapshot == 1) w.interfaces.erase(w.interfaces.begin());
  };
  EXPECT_EQ(runChecked(), 2);
  EXPECT_EQ(opensOf(m.world, kalvoPath), 0u);
  EXPECT_EQ(opensOf(m.world, mouse.path), 1u);
}

TEST_F(ChangingSearch, InterfacesAppearingInFrontMakeTheWalkLookAgain) {
  m.world.interfaces = {keyboard, kalvo};
  m.world.beforeSnapshot = [this](World& w, int snapshot) {
    if (snapshot >= 1 && snapshot <= 5) {
      winstub::HidInterface fresh = mouse;
      fresh.path += std::to_string(snapshot);
      w.interfaces.insert(w.interfaces.begin(), fresh);
    }
  };
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(opensOf(m.world, keyboard.path), 6u);
  EXPECT_EQ(m.world.callsTo("SetupDiGetClassDevsA").size(), 7u);
}

TEST_F(ChangingSearch, ABootloaderPluggedInDuringTheSearchIsFound) {
  m.world.interfaces = {keyboard};
  m.world.beforeSnapshot = [this](World& w, int snapshot) {
    if (snapshot == 1) w.interfaces.push_back(kalvo);
  };
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.transcript(), completeRun());
}

TEST_F(ChangingSearch, ABootloaderThatVanishesOnceOpenedIsClosedAndNotFound) {
  m.world.afterCall = [](World& w, const CallRecord& call) {
    if (call.function == "CreateFileA" && call.path == kalvoPath && call.succeeded)
      w.unplug(kalvoPath);
  };
  EXPECT_EQ(runChecked(), 2);
  EXPECT_EQ(m.world.callsTo("CloseHandle").size(), 1u);
  EXPECT_TRUE(m.world.callsTo("HidD_GetIndexedString").empty());
}

TEST_F(ChangingSearch, ABootloaderThatVanishesOnceIdentifiedFailsTheFirstPage) {
  m.world.afterCall = [](World& w, const CallRecord& call) {
    if (call.function == "HidD_GetIndexedString" && call.succeeded) w.unplug(kalvoPath);
  };
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.transcript(), failedAfter(0));
  EXPECT_EQ(m.world.nowMs(), 4 * 600);
  EXPECT_TRUE(m.device.received().empty());
}

TEST_F(ChangingSearch, TwoHundredInterfacesWithTheBootloaderLastHearNothingFromTheProgram) {
  // 199 interfaces of every kind that must not be taken for the bootloader,
  // some with a bootloader behind them that would answer.
  std::vector<std::unique_ptr<devsim::Bootloader>> lookalikes;
  std::vector<winstub::HidInterface> all;
  std::size_t unopenable = 0;
  for (int i = 0; i < 199; ++i) {
    const std::string path = "\\\\?\\hid#decoy#" + std::to_string(i);
    const auto vid = static_cast<std::uint16_t>(kalvoVendorId);
    winstub::HidInterface hid;
    switch (i % 8) {
      case 0:
        hid = decoy(path, 0x1111, 0x2222, u"FW01");
        break;
      case 1:
        hid = decoy(path, vid, bootloaderProductId + 1, u"FW01");
        break;
      case 2:
        hid = decoy(path, vid, bootloaderProductId, u"FX01");
        break;
      case 3:
        hid = decoy(path, vid, bootloaderProductId, u"FW01");
        hid.stringReadable = false;
        break;
      case 4:
        hid = decoy(path, vid, bootloaderProductId, u"fw01");
        break;
      case 5:
        // A Kalvo held by another program: never opened, never written.
        hid = decoy(path, vid, bootloaderProductId, u"FW01");
        hid.opens = false;
        ++unopenable;
        break;
      case 6:
        hid = decoy(path, vid, bootloaderProductId, u"WF01");
        break;
      default:
        hid = decoy(path, vid, bootloaderProductId, u"F");
        break;
    }
    if (i % 8 >= 2) {
      lookalikes.push_back(std::make_unique<devsim::Bootloader>());
      hid.device = lookalikes.back().get();
    }
    all.push_back(hid);
  }
  all.push_back(m.world.interfaces.front());
  m.world.interfaces = all;
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.transcript(), completeRun());
  for (const auto& d : lookalikes) EXPECT_TRUE(d->received().empty());
  // Each interface that opened was looked at in a snapshot of its own and,
  // but for the bootloader, closed again.
  const std::size_t opened = all.size() - unopenable;
  EXPECT_EQ(m.world.callsTo("SetupDiGetClassDevsA").size(), opened);
  ASSERT_EQ(m.world.callsTo("CloseHandle").size(), opened);  // the last: the bootloader's
  EXPECT_EQ(m.world.callsTo("CloseHandle").back().path, kalvoPath);
}

// --- events that cannot be made ---------------------------------------------------

TEST_F(Faults, WithoutAnEventAPageFailsAtOnceAndNothingIsSent) {
  m.world.eventCreationsToFail = 1;
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.transcript(), failedAfter(0));
  EXPECT_EQ(m.world.nowMs(), 0);
  EXPECT_EQ(writes(), 0u);
}

TEST_F(Faults, WithoutAnEventForTheRestartTheRunStillEndsWithStatus0) {
  m.world.afterOutput = [](World& w, const OutputPiece& piece) {
    if (piece.text == "Restarting...\n") w.eventCreationsToFail = 1;
  };
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(writes(), healthyWrites - 1);
  EXPECT_EQ(m.device.restarts(), 0);
}

// --- the limits -------------------------------------------------------------------

// The slowest page that can fail: every block goes through on its third try
// and the acknowledgement never comes; `cancelMs` is how long each timed-out
// operation takes to come back when cancelled.
struct Slowest : Faults {
  void slowestPage(std::int64_t cancelMs) {
    auto tries = std::make_shared<std::map<int, int>>();
    m.script.write = [tries](devsim::Bootloader&, const Frame& f) {
      if (f.isBlock && f.page == midPage && (*tries)[f.block]++ % 3 != 2) return scenario::stall();
      return WriteOutcome{};
    };
    m.script.read = onReadsOf(midPage, -1, scenario::readStall());
    m.script.cancel = [cancelMs](devsim::Bootloader&, bool) {
      return devsim::CancelOutcome{true, cancelMs};
    };
  }
};

TEST_F(Slowest, AFailingPageStaysWithinItsBound) {
  slowestPage(0);
  EXPECT_EQ(runChecked(), 3);
  // Per attempt 36 blocks of two 200 ms waits and a read of three 2000 ms
  // waits; below 110.4 s, which counts a lost attempt's writes as if all of
  // its blocks could fail all three tries.
  EXPECT_EQ(m.world.nowMs(), 4 * (36 * 2 * 200 + 3 * 2000));
  EXPECT_LE(m.world.nowMs(), scenario::pageBoundMs);
}

TEST_F(Slowest, SlowCancellationsAddTheirTimeUpToTheRetirementWaitEach) {
  slowestPage(999);
  allow.retireMs = 999;
  EXPECT_EQ(runChecked(), 3);
  const std::int64_t cancels = 4 * (36 * 2 + 3);
  EXPECT_EQ(static_cast<std::int64_t>(m.world.callsTo("CancelIoEx").size()), cancels);
  EXPECT_EQ(m.world.nowMs(), 4 * (36 * 2 * (200 + 999) + 3 * (2000 + 999)));
  // Beyond 110.4 s: the bound holds only with the retirement time added.
  EXPECT_GT(m.world.nowMs(), scenario::pageBoundMs);
  allow.retireMs = 0;
  EXPECT_FALSE(scenario::checkRun(m.world, m.device, 3, scenario::builtInPlan(), allow).empty());
}

TEST_F(Faults, ACancellationThatTakesTheWholeRetirementWaitStillCounts) {
  m.script.write = onBlock(midPage, 17, 1, scenario::stall());
  m.script.cancel = [](devsim::Bootloader&, bool) {
    return devsim::CancelOutcome{true, scenario::retireBoundMs};
  };
  allow.retireMs = scenario::retireBoundMs;
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 200 + scenario::retireBoundMs);
}

}  // namespace
}  // namespace faults
