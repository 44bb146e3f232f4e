// sendblock and getresult against devices that answer at once, late, wrongly
// or never; simulated time is exact.
#include "hid/report_exchange.h"

#include <gtest/gtest.h>

#include "tests/scenario.h"

namespace {

using devsim::WriteOutcome;
using scenario::kalvoPath;

struct Exchange : ::testing::Test {
  scenario::Machine m;
  HANDLE device = INVALID_HANDLE_VALUE;
  TransferContext context;
  Report report{};

  void SetUp() override {
    device = scenario::openKalvo();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    opentransfer(context);
    report[1] = 'F';
    report[2] = '*';
    report[5] = 7;
  }
  void TearDown() override {
    EXPECT_TRUE(m.world.violations().empty()) << scenario::describe(m.world.violations());
    if (!context.stranded) {
      EXPECT_EQ(m.world.outstandingOperations(), 0u);
      closetransfer(context);
      CloseHandle(device);
      EXPECT_TRUE(m.world.openHandles().empty());
    }
  }
  std::size_t writes() const { return m.world.traffic(kalvoPath).writesStarted; }
  std::size_t reads() const { return m.world.traffic(kalvoPath).readsStarted; }
};

TEST_F(Exchange, AReportTakenAtOnceNeedsOneWriteAndOneWait) {
  EXPECT_EQ(sendblock(device, report, context), 1);
  EXPECT_EQ(writes(), 1u);
  EXPECT_EQ(m.world.nowMs(), 0);
  ASSERT_EQ(m.device.received().size(), 1u);
  EXPECT_EQ(m.device.received()[0].bytes, report);
}

TEST_F(Exchange, ADeviceThatNeverTakesReportsCostsThreeTriesOf200ms) {
  m.script.write = [](auto&, auto&) { return scenario::stall(); };
  EXPECT_EQ(sendblock(device, report, context), 0);
  EXPECT_EQ(writes(), 3u);
  EXPECT_EQ(m.world.nowMs(), 600);
  EXPECT_TRUE(m.device.received().empty());
}

TEST_F(Exchange, AReadThatNeverCompletesCostsThreeTriesOf2000ms) {
  EXPECT_EQ(getresult(device, report, context), 0);
  EXPECT_EQ(reads(), 3u);
  EXPECT_EQ(m.world.nowMs(), 6000);
}

TEST_F(Exchange, AReadReturnsTheDevicesReportWhenItArrives) {
  Report ack = m.device.acknowledgement(0x1234);
  m.device.queueInput(1500, ack);
  Report in{};
  EXPECT_EQ(getresult(device, in, context), 1);
  EXPECT_EQ(in, ack);
  EXPECT_EQ(m.world.nowMs(), 1500);
  EXPECT_EQ(reads(), 1u);
}

TEST_F(Exchange, ATimedOutTryIsRetiredBeforeTheNextBegins) {
  // The first write would be taken at 300 ms, after its wait; it is cancelled
  // at 200 ms, so the device never sees it and the second try goes through.
  m.script.write = [](auto&, const devsim::Frame& f) {
    return f.index == 0 ? WriteOutcome{WriteOutcome::Kind::accept, 300, 300} : WriteOutcome{};
  };
  EXPECT_EQ(sendblock(device, report, context), 1);
  EXPECT_EQ(writes(), 2u);
  EXPECT_EQ(m.world.nowMs(), 200);
  EXPECT_EQ(m.device.received().size(), 1u);
  // The stand-in flags any reuse of a record, event or buffer while its
  // operation is outstanding: none happened (checked in TearDown).
}

TEST_F(Exchange, AWriteDeliveredButConfirmedLateIsSentAgain) {
  // Taken at once but confirmed only at 300 ms: past cancelling, it completes
  // on its own; the try still failed, and the retry delivers the report twice.
  m.script.write = [](auto&, const devsim::Frame& f) {
    return f.index == 0 ? WriteOutcome{WriteOutcome::Kind::accept, 0, 300} : WriteOutcome{};
  };
  EXPECT_EQ(sendblock(device, report, context), 1);
  EXPECT_EQ(m.world.nowMs(), 300);
  ASSERT_EQ(m.device.received().size(), 2u);
  EXPECT_EQ(m.device.received()[0].bytes, m.device.received()[1].bytes);
}

TEST_F(Exchange, ACompletionWithAnErrorIsAFailedTry) {
  m.script.write = [](auto&, auto&) { return scenario::failAfter(5); };
  EXPECT_EQ(sendblock(device, report, context), 0);
  EXPECT_EQ(writes(), 3u);
  EXPECT_EQ(m.world.nowMs(), 15);
  m.script.write = [](auto&, const devsim::Frame& f) {
    return f.index == 3 ? scenario::failAfter(5) : WriteOutcome{};
  };
  EXPECT_EQ(sendblock(device, report, context), 1);
  EXPECT_EQ(writes(), 5u);

  m.script.read = [](auto&, std::size_t) {
    return devsim::ReadOutcome{devsim::ReadOutcome::Kind::fail, 10};
  };
  m.device.queueInput(0, m.device.acknowledgement(1));
  EXPECT_EQ(getresult(device, report, context), 0);
  EXPECT_EQ(reads(), 3u);
}

TEST_F(Exchange, AStartRefusedAtOnceWaitsItsLimitAndLeavesNothingToRetire) {
  m.world.unplug(kalvoPath);
  EXPECT_EQ(sendblock(device, report, context), 0);
  EXPECT_EQ(writes(), 3u);
  EXPECT_EQ(m.world.nowMs(), 600);
  EXPECT_EQ(getresult(device, report, context), 0);
  EXPECT_EQ(m.world.nowMs(), 6600);
}

TEST_F(Exchange, WithoutAnEventNothingIsStartedAndEveryTryFailsAtOnce) {
  closetransfer(context);
  m.world.eventCreationsToFail = 1;
  opentransfer(context);
  ASSERT_EQ(context.event, nullptr);
  EXPECT_EQ(sendblock(device, report, context), 0);
  EXPECT_EQ(getresult(device, report, context), 0);
  EXPECT_EQ(writes(), 0u);
  EXPECT_EQ(reads(), 0u);
  EXPECT_EQ(m.world.nowMs(), 0);
}

TEST_F(Exchange, ACancellationThatNeverCompletesStrandsTheContextWithinItsBound) {
  m.script.write = [](auto&, auto&) { return scenario::stall(); };
  m.script.cancel = [](auto&, bool) { return devsim::CancelOutcome{false, 0}; };
  EXPECT_EQ(sendblock(device, report, context), 0);
  EXPECT_TRUE(context.stranded);
  // One wait of 200 ms and one of 1000 ms for the cancellation; no second try
  // reuses the record, event or buffer of the operation still outstanding.
  EXPECT_EQ(m.world.nowMs(), 1200);
  EXPECT_EQ(writes(), 1u);
  EXPECT_EQ(m.world.outstandingOperations(), 1u);
  // Nothing more is started on a stranded context, and it is neither
  // released nor made anew over the record the platform still owns.
  EXPECT_EQ(getresult(device, report, context), 0);
  EXPECT_EQ(reads(), 0u);
  const std::size_t open = m.world.openHandles().size();
  closetransfer(context);
  const HANDLE event = context.event;
  opentransfer(context);
  EXPECT_TRUE(context.stranded);
  EXPECT_EQ(context.event, event);
  EXPECT_EQ(context.request.Internal, static_cast<ULONG_PTR>(STATUS_PENDING));
  EXPECT_EQ(m.world.openHandles().size(), open);
  EXPECT_EQ(m.world.eventsCreated(), 1u);
}

// The stand-in owns an outstanding operation's buffer: a program that writes
// into it after giving up on the operation is caught, as soon as the
// operation comes back or, if it never does, at the end of the run.
TEST(StandIn, SeesAWriteBufferChangedWhileItsOperationIsOutstanding) {
  scenario::Machine m;
  m.script.write = [](auto&, auto&) { return scenario::stall(); };
  m.script.cancel = [](auto&, bool) { return devsim::CancelOutcome{false, 0}; };
  const HANDLE device = scenario::openKalvo();
  TransferContext context;
  opentransfer(context);
  Report frame{};
  ASSERT_EQ(sendblock(device, frame, context), 0);
  ASSERT_TRUE(context.stranded);
  EXPECT_TRUE(m.world.violations().empty()) << scenario::describe(m.world.violations());
  frame[5] = 0x01;
  ASSERT_EQ(m.world.violations().size(), 1u);
  EXPECT_NE(m.world.violations()[0].find("a write's buffer changed"), std::string::npos);
}

TEST_F(Exchange, ALateCancellationWithinItsBoundLetsTheNextTryGo) {
  int cancels = 0;
  m.script.write = [](auto&, const devsim::Frame& f) {
    return f.index == 0 ? scenario::stall() : WriteOutcome{};
  };
  m.script.cancel = [&](auto&, bool) {
    ++cancels;
    return devsim::CancelOutcome{true, 900};
  };
  EXPECT_EQ(sendblock(device, report, context), 1);
  EXPECT_EQ(cancels, 1);
  EXPECT_EQ(m.world.nowMs(), 1100);
  EXPECT_FALSE(context.stranded);
}

}  // namespace
