// One page to the device and back: its frames byte for byte, its attempts,
// and the dot that only a confirmed page earns.
#include "protocol/flash2k.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

#include "tests/scenario.h"

namespace {

using devsim::AckPlan;
using devsim::Report;
using scenario::kalvoPath;
using Page = std::array<std::uint8_t, 2048>;

constexpr std::uint16_t mcuPage = 4;

struct PageTransfer : ::testing::Test {
  scenario::Machine m;
  HANDLE device = INVALID_HANDLE_VALUE;

  void SetUp() override {
    device = scenario::openKalvo();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    EXPECT_TRUE(m.world.violations().empty()) << scenario::describe(m.world.violations());
    EXPECT_EQ(m.world.outstandingOperations(), 0u);
    CloseHandle(device);
    // Each call made its own event and released it again.
    EXPECT_TRUE(m.world.openHandles().empty()) << scenario::describe(m.world.openHandles());
  }
  std::vector<Report> frames() const {
    std::vector<Report> all;
    for (const auto& r : m.device.received()) all.push_back(r.bytes);
    return all;
  }
  std::size_t reads() const { return m.world.traffic(kalvoPath).readsStarted; }
};

TEST_F(PageTransfer, TheZeroPageGoesOutAs36FramesWithItsChecksumInTheLast) {
  const Page zeros{};
  EXPECT_EQ(flash2k(device, mcuPage, zeros), 1);
  const auto sent = frames();
  ASSERT_EQ(sent.size(), 36u);
  for (std::size_t j = 0; j < sent.size(); ++j) {
    const Report& f = sent[j];
    EXPECT_EQ(f[0], 0x00);
    EXPECT_EQ(f[1], 0x46);
    EXPECT_EQ(f[2], 0x2A);
    EXPECT_EQ(f[3], 0x04);
    EXPECT_EQ(f[4], 0x00);
    EXPECT_EQ(f[5], j) << "frames go out in block order";
    EXPECT_EQ(f[63], 0x00);
    if (j < 35) {
      for (std::size_t i = 6; i < 63; ++i) EXPECT_EQ(f[i], 0x00);
    }
  }
  Report last{};
  last[1] = 0x46;
  last[2] = 0x2A;
  last[3] = 0x04;
  last[5] = 35;
  last[59] = 0x2E;  // 53 page bytes, then the checksum 0x402E low byte first, then 0x00 0x00
  last[60] = 0x40;
  EXPECT_EQ(sent[35], last);
  EXPECT_EQ(m.world.transcript(), ".");
  EXPECT_TRUE(m.device.complaints().empty()) << scenario::describe(m.device.complaints());
}

TEST_F(PageTransfer, EveryFrameOfAConfirmedPageReassemblesToThePage) {
  std::mt19937 random(7);
  for (std::uint16_t number : {0x1000, 0x10FC, 0x0004, 0xABCD}) {
    Page page;
    for (auto& b : page) b = static_cast<std::uint8_t>(random());
    EXPECT_EQ(flash2k(device, number, page), 1);
    ASSERT_EQ(m.device.pages().count(number), 1u);
    EXPECT_EQ(m.device.pages().at(number), page);
  }
  EXPECT_EQ(m.world.transcript(), "....");
  // The device checked every checksum and trailing byte itself.
  EXPECT_TRUE(m.device.complaints().empty()) << scenario::describe(m.device.complaints());
  EXPECT_EQ(m.world.eventsCreated(), 4u);
}

TEST_F(PageTransfer, AShortSourceIsZeroFilledAndAnOverlongOneIsRefused) {
  const std::array<std::uint8_t, 3> head = {0xDE, 0xAD, 0xBE};
  EXPECT_EQ(flash2k(device, mcuPage, head), 1);
  Page expected{};
  std::copy(head.begin(), head.end(), expected.begin());
  EXPECT_EQ(m.device.pages().at(mcuPage), expected);

  // One byte more than a page would overrun the page buffer: nothing is sent.
  const std::array<std::uint8_t, 2049> overlong{};
  const std::size_t before = m.device.received().size();
  EXPECT_EQ(flash2k(device, 5, overlong), 0);
  EXPECT_EQ(m.device.received().size(), before);
  EXPECT_EQ(m.world.eventsCreated(), 1u);
  EXPECT_EQ(m.world.transcript(), ".");
}

TEST_F(PageTransfer, APageConfirmedOnItsThirdAttemptPrintsOneDot) {
  m.script.ack = [](auto&, std::uint16_t, int attempt, bool) {
    AckPlan plan;
    if (attempt < 3) plan.kind = AckPlan::Kind::drop;
    return plan;
  };
  EXPECT_EQ(flash2k(device, mcuPage, Page{}), 1);
  EXPECT_EQ(m.world.transcript(), ".");
  EXPECT_EQ(m.device.attemptsOf(mcuPage), 3);
  EXPECT_EQ(m.device.received().size(), 3u * 36);
  EXPECT_EQ(reads(), 2u * 3 + 1);
  // Two attempts lost their reads: 2 x 3 x 2000 ms.
  EXPECT_EQ(m.world.nowMs(), 12000);
}

TEST_F(PageTransfer, AnAcknowledgementForAnotherPageLosesTheAttempt) {
  m.script.ack = [](auto&, std::uint16_t page, int attempt, bool) {
    AckPlan plan;
    if (attempt == 1) {
      plan.kind = AckPlan::Kind::otherPage;
      plan.otherPage = static_cast<std::uint16_t>(page + 1);
    }
    return plan;
  };
  EXPECT_EQ(flash2k(device, 0x1005, Page{}), 1);
  const auto sent = frames();
  ASSERT_EQ(sent.size(), 72u);
  // The page is sent again from its first block.
  EXPECT_EQ(sent[36][5], 0);
  EXPECT_EQ(m.device.attemptsOf(0x1005), 2);
  EXPECT_EQ(m.world.transcript(), ".");
  EXPECT_EQ(m.world.nowMs(), 0) << "a wrong acknowledgement costs no wait";
}

TEST_F(PageTransfer, ThePageNumberIsComparedLowByteFirst) {
  // 0x3412 is 0x1234 with its bytes swapped: not this page's acknowledgement.
  m.script.ack = [](auto&, std::uint16_t, int, bool) {
    AckPlan plan;
    plan.kind = AckPlan::Kind::otherPage;
    plan.otherPage = 0x3412;
    return plan;
  };
  EXPECT_EQ(flash2k(device, 0x1234, Page{}), 0);
  EXPECT_EQ(m.device.attemptsOf(0x1234), 4);
  EXPECT_EQ(m.world.transcript(), "");
}

TEST_F(PageTransfer, OnlyBytesOneToFourOfAnAcknowledgementAreExamined) {
  m.script.ack = [](devsim::Bootloader& d, std::uint16_t page, int, bool) {
    AckPlan plan;
    plan.kind = AckPlan::Kind::garbage;
    plan.garbage = d.acknowledgement(page);
    plan.garbage[0] = 0x55;
    for (std::size_t i = 5; i < plan.garbage.size(); ++i) plan.garbage[i] = 0xAA;
    return plan;
  };
  EXPECT_EQ(flash2k(device, 0x1007, Page{}), 1);
  EXPECT_EQ(m.device.attemptsOf(0x1007), 1);

  m.script.ack = [](devsim::Bootloader& d, std::uint16_t page, int, bool) {
    AckPlan plan;
    plan.kind = AckPlan::Kind::garbage;
    plan.garbage = d.acknowledgement(page);
    plan.garbage[2] = '*';  // an echo of a block frame's prefix is no acknowledgement
    return plan;
  };
  EXPECT_EQ(flash2k(device, 0x1008, Page{}), 0);
  EXPECT_EQ(m.world.transcript(), ".");
}

TEST_F(PageTransfer, ADeviceThatNeverAnswersGets144FramesAndNoDot) {
  m.script.ack = [](auto&, std::uint16_t, int, bool) { return AckPlan{AckPlan::Kind::drop}; };
  EXPECT_EQ(flash2k(device, mcuPage, Page{}), 0);
  EXPECT_EQ(m.device.received().size(), 144u);
  EXPECT_EQ(reads(), 12u);
  EXPECT_EQ(m.world.transcript(), "");
  // Four attempts, each waiting out three reads of 2000 ms; well inside the
  // 110.4 s that a page may take at most.
  EXPECT_EQ(m.world.nowMs(), 24000);
}

TEST_F(PageTransfer, AWriteThatFailsEndsItsAttemptWithoutLaterBlocksOrARead) {
  // Block 17 of the first attempt is never taken.
  m.script.write = [](auto&, const devsim::Frame& f) {
    return f.isBlock && f.block == 17 && f.attempt == 1 ? scenario::stall()
                                                        : devsim::WriteOutcome{};
  };
  EXPECT_EQ(flash2k(device, mcuPage, Page{}), 1);
  const auto sent = frames();
  ASSERT_EQ(sent.size(), 17u + 36u);
  EXPECT_EQ(sent[16][5], 16);
  EXPECT_EQ(sent[17][5], 0) << "the next attempt starts from block 0";
  EXPECT_EQ(reads(), 1u);
  EXPECT_EQ(m.world.traffic(kalvoPath).writesStarted, 17u + 3u + 36u);
  EXPECT_EQ(m.world.nowMs(), 600);
  EXPECT_EQ(m.world.transcript(), ".");
}

TEST_F(PageTransfer, AnEventThatCannotBeCreatedLosesEveryAttemptAtOnce) {
  m.world.eventCreationsToFail = 1;
  EXPECT_EQ(flash2k(device, mcuPage, Page{}), 0);
  EXPECT_TRUE(m.device.received().empty());
  EXPECT_EQ(m.world.nowMs(), 0);
  EXPECT_EQ(m.world.transcript(), "");
  // The next page has its event again.
  EXPECT_EQ(flash2k(device, mcuPage, Page{}), 1);
}

}  // namespace
