// Operations that never come back: a cancellation that never completes, or a
// write that completes only after the program stopped waiting for it. The
// program must give up within its bounds without reusing or releasing
// anything such an operation may still touch. Its transfer storage then stays
// stranded for the rest of the process, so each case runs in a child process,
// which checks everything itself and reports through its exit status.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "tests/faults.h"

namespace faults {
namespace {

using scenario::kalvoPath;

constexpr devsim::CancelOutcome neverCancelled{false, 0};

// What the child found: every broken invariant and expectation.
struct Findings {
  std::vector<std::string> problems;
  void expect(bool held, const std::string& what) {
    if (!held) problems.push_back(what);
  }
  template <typename T>
  void expectEq(const T& actual, const T& expected, const std::string& what) {
    if (!(actual == expected))
      problems.push_back(what + ": " + std::to_string(actual) + ", not " +
                         std::to_string(expected));
  }
};

// A whole run on a machine that `setUp` prepares, checked against the run's
// invariants with stranding allowed, then by `check`.
using SetUp = std::function<void(scenario::Machine&)>;
using Check = std::function<void(scenario::Machine&, int status, Findings&)>;

void strandedRun(scenario::Machine& m, Findings& found, const SetUp& setUp, const Check& check) {
  setUp(m);
  const int status = run();
  scenario::Allowances allow;
  allow.mayStrand = true;
  allow.retireMs = scenario::retireBoundMs;  // the wait for a cancellation that never comes
  for (const auto& p :
       scenario::checkRun(m.world, m.device, status, scenario::builtInPlan(), allow))
    found.problems.push_back(p);
  check(m, status, found);
}

// Ends the child: status 0 and "held" when nothing was found.
[[noreturn]] void report(const Findings& found) {
  for (const auto& p : found.problems) std::fprintf(stderr, "%s\n", p.c_str());
  std::fprintf(stderr, found.problems.empty() ? "held\n" : "broken\n");
  std::fflush(stderr);
  std::_Exit(found.problems.empty() ? 0 : 1);
}

void inChild(const SetUp& setUp, const Check& check) {
  Findings found;
  scenario::Machine m;
  strandedRun(m, found, setUp, check);
  report(found);
}

std::size_t writesOf(const scenario::Machine& m) {
  return m.world.traffic(kalvoPath).writesStarted;
}

TEST(Stranded, AWriteWhoseCancellationNeverCompletesFailsItsPageAndIsLeftAlone) {
  EXPECT_EXIT(inChild(
                  [](scenario::Machine& m) {
                    m.script.write = onBlock(midPage, 17, -1, scenario::stall());
                    m.script.cancel = [](auto&, bool) { return neverCancelled; };
                  },
                  [](scenario::Machine& m, int status, Findings& found) {
                    found.expectEq(status, 3, "status");
                    found.expect(m.world.transcript() == failedAfter(midIndex), "transcript");
                    // One wait of 200 ms, one of 1000 ms for the cancellation,
                    // and no second try on the stranded record, event or buffer.
                    found.expectEq(m.world.nowMs(), std::int64_t{200 + 1000}, "time");
                    found.expectEq(writesOf(m), midIndex * framesPerPage + 18, "writes");
                    found.expectEq(m.world.outstandingOperations(), std::size_t{1}, "outstanding");
                  }),
              ::testing::ExitedWithCode(0), "held");
}

TEST(Stranded, AReadWhoseCancellationNeverCompletesFailsItsPage) {
  EXPECT_EXIT(inChild(
                  [](scenario::Machine& m) {
                    m.script.read = onReadsOf(midPage, -1, scenario::readStall());
                    m.script.cancel = [](auto&, bool) { return neverCancelled; };
                  },
                  [](scenario::Machine& m, int status, Findings& found) {
                    found.expectEq(status, 3, "status");
                    found.expect(m.world.transcript() == failedAfter(midIndex), "transcript");
                    found.expectEq(m.world.nowMs(), std::int64_t{2000 + 1000}, "time");
                    found.expectEq(m.world.outstandingOperations(), std::size_t{1}, "outstanding");
                  }),
              ::testing::ExitedWithCode(0), "held");
}

TEST(Stranded, ARestartWhoseCancellationNeverCompletesStillEndsTheRunWithStatus0) {
  EXPECT_EXIT(inChild(
                  [](scenario::Machine& m) {
                    m.script.write = [](auto&, const Frame& f) {
                      return f.isRestart ? scenario::stall() : WriteOutcome{};
                    };
                    m.script.cancel = [](auto&, bool) { return neverCancelled; };
                  },
                  [](scenario::Machine& m, int status, Findings& found) {
                    found.expectEq(status, 0, "status");
                    found.expect(m.world.transcript() == completeRun(), "transcript");
                    found.expectEq(m.world.nowMs(), std::int64_t{200 + 1000}, "time");
                    // The device handle and the event stay with the operation.
                    found.expectEq(m.world.openHandles().size(), std::size_t{2}, "open handles");
                    found.expectEq(m.device.restarts(), 0, "restarts");
                  }),
              ::testing::ExitedWithCode(0), "held");
}

TEST(Stranded, AWriteConfirmedAfterTheRetirementWaitStrandsLikeOneNeverConfirmed) {
  // The device takes block 17 at once but confirms it only after 1500 ms:
  // past cancelling, and past the 1000 ms the program waits for it.
  EXPECT_EXIT(inChild(
                  [](scenario::Machine& m) {
                    m.script.write = onBlock(midPage, 17, 1, {WriteOutcome::Kind::accept, 0, 1500});
                  },
                  [](scenario::Machine& m, int status, Findings& found) {
                    found.expectEq(status, 3, "status");
                    found.expectEq(m.world.nowMs(), std::int64_t{200 + 1000}, "time");
                    found.expectEq(m.world.outstandingOperations(), std::size_t{1}, "outstanding");
                  }),
              ::testing::ExitedWithCode(0), "held");
}

TEST(Stranded, ACancellationOneMillisecondPastTheRetirementWaitStrands) {
  EXPECT_EXIT(inChild(
                  [](scenario::Machine& m) {
                    m.script.write = onBlock(midPage, 17, 1, scenario::stall());
                    m.script.cancel = [](auto&, bool) {
                      return devsim::CancelOutcome{true, scenario::retireBoundMs + 1};
                    };
                  },
                  [](scenario::Machine& m, int status, Findings& found) {
                    found.expectEq(status, 3, "status");
                    found.expectEq(m.world.nowMs(), 200 + scenario::retireBoundMs, "time");
                  }),
              ::testing::ExitedWithCode(0), "held");
}

TEST(Stranded, ALaterRunInTheSameProcessNeverTouchesTheStrandedStorage) {
  auto strandThenRunAgain = [] {
    Findings found;
    // The first machine lives on, its write of block 17 still outstanding:
    // the frame still belongs to that write. Block 0 of the first page, which
    // a later call would build first, differs from it in every header byte.
    scenario::Machine first;
    strandedRun(
        first, found,
        [](scenario::Machine& m) {
          m.script.write = onBlock(midPage, 17, -1, scenario::stall());
          m.script.cancel = [](auto&, bool) { return neverCancelled; };
        },
        [](scenario::Machine&, int status, Findings& f) { f.expectEq(status, 3, "first status"); });
    {
      scenario::Machine second;
      strandedRun(
          second, found, [](scenario::Machine&) {},
          [](scenario::Machine& m, int status, Findings& f) {
            f.expectEq(status, 3, "second status");
            f.expect(m.world.transcript() == failedAfter(0), "second transcript");
            f.expectEq(writesOf(m), std::size_t{0}, "second run's writes");
            f.expectEq(m.world.eventsCreated(), std::size_t{0}, "second run's events");
          });
    }
    found.expectEq(first.world.outstandingOperations(), std::size_t{1}, "first run's outstanding");
    for (const auto& v : first.world.violations()) found.problems.push_back("first machine " + v);
    report(found);
  };
  EXPECT_EXIT(strandThenRunAgain(), ::testing::ExitedWithCode(0), "held");
}

}  // namespace
}  // namespace faults
