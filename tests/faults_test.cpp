// Whole runs against a device whose writes, reads and acknowledgements go
// wrong: the run never shows a page as done that its own acknowledgement did
// not confirm, never exits 0 with a page unconfirmed, and never outlasts its
// limits. Every case also passes scenario::checkRun; simulated time is exact.
#include "tests/faults.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace faults {
namespace {

using scenario::readStall;
using scenario::stall;

// --- writes that never complete ----------------------------------------------

struct StalledBlock : Faults, ::testing::WithParamInterface<int> {
  int block() const { return GetParam(); }
};

TEST_P(StalledBlock, ALostTryCostsItsWaitAndIsTriedAgain) {
  m.script.write = onBlock(midPage, block(), 1, stall());
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 200);
  EXPECT_EQ(writes(), healthyWrites + 1);
  EXPECT_EQ(m.device.attemptsOf(midPage), 1);
  EXPECT_TRUE(m.device.complaints().empty()) << scenario::describe(m.device.complaints());
}

TEST_P(StalledBlock, ALostAttemptSendsThePageAgainFromItsFirstBlock) {
  m.script.write = onBlock(midPage, block(), 3, stall());
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 600);
  // Blocks 0 to block-1 went out once, block `block` was tried three times,
  // then the whole page again.
  EXPECT_EQ(writes(), healthyWrites + static_cast<std::size_t>(block()) + 3);
  const auto frames = framesOf(midPage);
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(block()) + framesPerPage);
  for (std::size_t i = 0; i < frames.size(); ++i)
    EXPECT_EQ(frames[i][5], i < static_cast<std::size_t>(block()) ? i : i - block()) << i;
  EXPECT_TRUE(m.device.complaints().empty()) << scenario::describe(m.device.complaints());
}

TEST_P(StalledBlock, APageThatNeverGoesThroughFailsAfterFourAttempts) {
  m.script.write = onBlock(midPage, block(), -1, stall());
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.transcript(), failedAfter(midIndex));
  EXPECT_EQ(m.world.nowMs(), 4 * 600);
  EXPECT_EQ(writes(), midIndex * framesPerPage + 4 * (static_cast<std::size_t>(block()) + 3));
  EXPECT_EQ(reads(), midIndex);
  EXPECT_EQ(m.device.pages().count(midPage), 0u);
  EXPECT_EQ(m.device.restarts(), 0);
}

INSTANTIATE_TEST_SUITE_P(Blocks, StalledBlock, ::testing::Values(0, 17, 35));

TEST_F(Faults, AnMcuPageThatNeverGoesThroughEndsTheMcuLine) {
  m.script.write = onBlock(6, 17, -1, stall());
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.transcript(), failedAfter(fpgaPages + 2));
  EXPECT_EQ(m.world.nowMs(), 4 * 600);
}

// --- writes that complete with an error --------------------------------------

TEST_F(Faults, AWriteThatCompletesWithAnErrorIsAFailedTry) {
  m.script.write = onBlock(midPage, 17, 1, writeFailingAfter(5));
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 5);
  EXPECT_EQ(writes(), healthyWrites + 1);
  EXPECT_EQ(m.device.attemptsOf(midPage), 1);
}

TEST_F(Faults, ABlockWhoseWritesAlwaysFailFailsItsPageWithoutWaitingOutTheLimits) {
  m.script.write = onBlock(midPage, 17, -1, writeFailingAfter(5));
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.transcript(), failedAfter(midIndex));
  EXPECT_EQ(m.world.nowMs(), 4 * 3 * 5);
  EXPECT_EQ(writes(), midIndex * framesPerPage + 4 * (17 + 3));
}

// --- reads that never complete -------------------------------------------------

TEST_F(Faults, AReadThatNeverCompletesIsRetiredAndReadAgain) {
  m.script.read = onReadsOf(midPage, 1, readStall());
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 2000);
  EXPECT_EQ(reads(), healthyReads + 1);
  EXPECT_EQ(writes(), healthyWrites);
}

TEST_F(Faults, AnAcknowledgementLeftFromALostAttemptIsStaleForTheNextPage) {
  // The three reads of the first attempt never complete; the second attempt
  // reads the first attempt's acknowledgement, and the second one stays
  // queued: every later page first reads its predecessor's and needs a
  // second attempt, yet each is confirmed by its own.
  m.script.read = onReadsOf(midPage, 3, readStall());
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 6000);
  const std::size_t later = allPages - midIndex - 1;
  EXPECT_EQ(m.device.attemptsOf(midPage), 2);
  EXPECT_EQ(m.device.attemptsOf(midPage + 1), 2);
  EXPECT_EQ(m.device.attemptsOf(10), 2);
  EXPECT_EQ(writes(), healthyWrites + framesPerPage * (1 + later));
  EXPECT_EQ(reads(), healthyReads + 3 + later);
  // One acknowledgement, the last page's second, is never read.
  EXPECT_EQ(m.device.inputsSent() - m.device.readsServed(), 1u);
}

TEST_F(Faults, ADeviceThatNeverAnswersFailsTheFirstPageAfterFourAttempts) {
  m.script.read = [](auto&, std::size_t) { return readStall(); };
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.transcript(), failedAfter(0));
  EXPECT_EQ(m.world.nowMs(), 4 * 3 * 2000);
  EXPECT_EQ(writes(), 4 * framesPerPage);
  EXPECT_EQ(reads(), 4u * 3);
}

// --- reads that complete with an error -----------------------------------------

TEST_F(Faults, AReadThatCompletesWithAnErrorIsAFailedTry) {
  m.script.read = onReadsOf(midPage, 1, readFailingAfter(10));
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 10);
  EXPECT_EQ(reads(), healthyReads + 1);
  EXPECT_EQ(m.device.attemptsOf(midPage), 1);
}

TEST_F(Faults, ReadsThatAlwaysFailFailTheFirstPage) {
  m.script.read = [](auto&, std::size_t) { return readFailingAfter(10); };
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.transcript(), failedAfter(0));
  EXPECT_EQ(m.world.nowMs(), 4 * 3 * 10);
  // The device acknowledged every attempt; no failed read took one.
  EXPECT_EQ(m.device.inputsSent(), 4u);
  EXPECT_EQ(m.device.readsServed(), 0u);
}

// --- acknowledgements for another page ---------------------------------------

struct OtherPage : Faults, ::testing::WithParamInterface<std::uint16_t> {};

TEST_P(OtherPage, IsALostAttempt) {
  m.script.ack = onAckOf(midPage, 1, ackNaming(GetParam()));
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 0);
  EXPECT_EQ(m.device.attemptsOf(midPage), 2);
  EXPECT_EQ(writes(), healthyWrites + framesPerPage);
  EXPECT_EQ(reads(), healthyReads + 1);
}

TEST_P(OtherPage, EveryTimeFailsThePage) {
  m.script.ack = onAckOf(midPage, 0, ackNaming(GetParam()));
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.transcript(), failedAfter(midIndex));
  EXPECT_EQ(m.world.nowMs(), 0);
  EXPECT_EQ(m.device.attemptsOf(midPage), 4);
  // The device took the page each time; the program cannot know.
  EXPECT_EQ(m.device.pages().count(midPage), 1u);
}

INSTANTIATE_TEST_SUITE_P(Pages, OtherPage,
                         ::testing::Values(midPage - 1,            // the previous page
                                           midPage + 1,            // the next
                                           midLow << 8 | midHigh,  // this one's bytes swapped
                                           midLow,                 // this one's low byte alone
                                           0x0000, 0x0004, 0xFFFF));

// --- reports that are not acknowledgements -------------------------------------

// A report that is not an acknowledgement: its first bytes, the rest `rest`.
struct NotAnAck {
  const char* name;
  std::vector<std::uint8_t> head;
  std::uint8_t rest = 0;

  devsim::Report report() const {
    devsim::Report r;
    r.fill(rest);
    std::copy(head.begin(), head.end(), r.begin());
    return r;
  }
  friend void PrintTo(const NotAnAck& c, std::ostream* os) { *os << c.name; }
};

struct Garbage : Faults, ::testing::WithParamInterface<NotAnAck> {};

TEST_P(Garbage, IsALostAttempt) {
  m.script.ack = onAckOf(midPage, 1, garbage(GetParam().report()));
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.device.attemptsOf(midPage), 2);
  EXPECT_EQ(reads(), healthyReads + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, Garbage,
    ::testing::Values(NotAnAck{"AllZero", {}}, NotAnAck{"AllOnes", {}, 0xFF},
                      NotAnAck{"TheBlockFrameEchoed", {0, 'F', '*', midLow, midHigh}},
                      NotAnAck{"LowerCasePrefix", {0, 'f', '+', midLow, midHigh}},
                      NotAnAck{"SwappedPrefix", {0, '+', 'F', midLow, midHigh}},
                      NotAnAck{"AckAByteEarly", {'F', '+', midLow, midHigh}},
                      NotAnAck{"AckAByteLate", {0, 0, 'F', '+', midLow, midHigh}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Faults, AnAcknowledgementIsJudgedOnlyByItsPrefixAndPageNumber) {
  // Byte 0 and bytes 5 to 63 hold noise on every acknowledgement.
  m.script.ack = [](devsim::Bootloader& d, std::uint16_t page, int, bool valid) {
    devsim::Report noisy = d.acknowledgement(page);
    noisy[0] = 0x5A;
    std::fill(noisy.begin() + 5, noisy.end(), 0xA5);
    return valid ? garbage(noisy) : AckPlan{AckPlan::Kind::drop, 0, 0, {}};
  };
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(writes(), healthyWrites);
  EXPECT_EQ(reads(), healthyReads);
}

// --- late and stale acknowledgements -------------------------------------------

TEST_F(Faults, AnAcknowledgementLaterThanOneTryIsReadByTheNext) {
  m.script.ack = onAckOf(midPage, 1, ackAfter(2500));
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 2500);
  EXPECT_EQ(reads(), healthyReads + 1);
  EXPECT_EQ(m.device.attemptsOf(midPage), 1);
}

TEST_F(Faults, AnAcknowledgementLaterThanAllThreeTriesIsReadByTheNextAttempt) {
  // It arrives at 7000 ms, after the first attempt's reads gave up at 6000 ms;
  // the second attempt reads it, and its own acknowledgement is left over for
  // the next page, which reads it first and rejects it.
  m.script.ack = onAckOf(midPage, 1, ackAfter(7000));
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 7000);
  EXPECT_EQ(m.device.attemptsOf(midPage), 2);
  EXPECT_EQ(m.device.attemptsOf(midPage + 1), 2);
}

TEST_F(Faults, AnAcknowledgementArrivingWhileItsReadIsCancelledDoesNotCount) {
  // The first read gives up at 2000 ms; its cancellation takes 500 ms, and
  // at 2100 ms the acknowledgement completes it instead. That read is
  // retired, not examined: the two further tries find nothing, and only the
  // second attempt's acknowledgement confirms the page.
  m.script.ack = onAckOf(midPage, 1, ackAfter(2100));
  m.script.cancel = [](auto&, bool isRead) {
    return devsim::CancelOutcome{true, isRead ? 500 : 0};
  };
  allow.retireMs = 500;
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 2100 + 2 * (2000 + 500));
  EXPECT_EQ(m.device.attemptsOf(midPage), 2);
  EXPECT_EQ(reads(), healthyReads + 3);
}

TEST_F(Faults, ADeviceThatAlwaysAnswersLateCostsOneTryAPage) {
  m.script.ack = [](auto&, std::uint16_t, int, bool valid) {
    return valid ? ackAfter(2100) : AckPlan{AckPlan::Kind::drop, 0, 0, {}};
  };
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), static_cast<std::int64_t>(allPages) * 2100);
  EXPECT_EQ(reads(), 2 * healthyReads);
}

TEST_F(Faults, AnAcknowledgementLaterThanEveryAttemptFailsThePage) {
  m.script.ack = onAckOf(midPage, 0, ackAfter(4 * 6000 + 1));
  EXPECT_EQ(runChecked(), 3);
  EXPECT_EQ(m.world.transcript(), failedAfter(midIndex));
  EXPECT_EQ(m.world.nowMs(), 4 * 6000);
}

TEST_F(Faults, AnAcknowledgementLeftFromAnEarlierRunIsRejectedByTheFirstPage) {
  m.device.queueInput(0, m.device.acknowledgement(0x10FC));
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 0);
  // From then on each page reads its predecessor's second acknowledgement first.
  EXPECT_EQ(m.device.attemptsOf(0x1000), 2);
  EXPECT_EQ(m.device.attemptsOf(10), 2);
  EXPECT_EQ(reads(), 2 * healthyReads);
}

// --- a write delivered twice ----------------------------------------------------

struct DeliveredTwice : Faults, ::testing::WithParamInterface<int> {};

TEST_P(DeliveredTwice, AWriteTakenButConfirmedLateIsSentAgain) {
  // The device takes the frame at once but confirms it only after 300 ms:
  // past cancelling, it comes back on its own within the retirement wait,
  // and the second try delivers the same frame again.
  const int block = GetParam();
  m.script.write = onBlock(midPage, block, 1, {WriteOutcome::Kind::accept, 0, 300});
  allow.retireMs = 100;
  EXPECT_EQ(runChecked(), 0);
  EXPECT_EQ(m.world.nowMs(), 300);
  const auto frames = framesOf(midPage);
  ASSERT_EQ(frames.size(), framesPerPage + 1);
  EXPECT_EQ(frames[static_cast<std::size_t>(block)], frames[static_cast<std::size_t>(block) + 1]);
  // A repeated last block reaches a device that has already finished the
  // page: it complains about the stray block and drops it, and the page's
  // one acknowledgement still confirms it.
  if (block == 35)
    EXPECT_EQ(m.device.complaints().size(), 2u) << scenario::describe(m.device.complaints());
  else
    EXPECT_TRUE(m.device.complaints().empty()) << scenario::describe(m.device.complaints());
}

INSTANTIATE_TEST_SUITE_P(Blocks, DeliveredTwice, ::testing::Values(0, 17, 35));

}  // namespace
}  // namespace faults
