// How a simulated Kalvo bootloader behaves on the wire: when it takes an output
// report, when an input report reaches the host, what it answers to a finished
// page. The default is a healthy device that answers at once; tests and the
// fuzzer override single decisions. Times are milliseconds of simulated (or,
// for the pipe server, real) time measured from the moment of the decision.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace devsim {

inline constexpr std::size_t reportBytes = 64;
using Report = std::array<std::uint8_t, reportBytes>;

class Bootloader;

// What the device saw in an output report, as far as it could tell.
struct Frame {
  std::size_t index = 0;  // position among all output reports offered, from 0
  bool isBlock = false;   // "F*" with a block index 0..35
  bool isRestart = false;
  std::uint16_t page = 0;
  int block = -1;
  int attempt = 0;  // for a block frame: how many times block 0 of this page has arrived
};

struct WriteOutcome {
  enum class Kind {
    accept,  // the device takes the report after deliverAfterMs; the host sees
             // completion after completeAfterMs (never before delivery)
    fail,    // the write completes with an error after completeAfterMs; nothing delivered
    stall,   // the device never takes the report; it stays pending until cancelled
    unplug,  // the device vanishes now, this write included
  };
  Kind kind = Kind::accept;
  std::int64_t deliverAfterMs = 0;
  std::int64_t completeAfterMs = 0;
};

struct ReadOutcome {
  enum class Kind {
    normal,  // completes with the oldest waiting input report, latencyMs after both the
             // read and the report are there
    fail,    // completes with an error after latencyMs, taking no report
    stall,   // never completes, whatever the device sends
    unplug,  // the device vanishes now
  };
  Kind kind = Kind::normal;
  std::int64_t latencyMs = 0;
};

struct CancelOutcome {
  bool completes = true;  // false: the cancelled operation never completes
  std::int64_t afterMs = 0;
};

struct AckPlan {
  enum class Kind { send, drop, otherPage, garbage };
  Kind kind = Kind::send;
  std::int64_t delayMs = 0;
  std::uint16_t otherPage = 0;  // for otherPage
  Report garbage{};             // for garbage: sent as it stands
};

class Script {
 public:
  virtual ~Script() = default;
  virtual WriteOutcome onWrite(Bootloader&, const Frame&) { return {}; }
  virtual ReadOutcome onRead(Bootloader&, std::size_t readIndex) {
    (void)readIndex;
    return {};
  }
  virtual CancelOutcome onCancel(Bootloader&, bool isRead) {
    (void)isRead;
    return {};
  }
  // Called when block 35 completes a page; valid says whether the page buffer
  // was whole, its checksum right and its two trailing bytes zero.
  virtual AckPlan onPageComplete(Bootloader&, std::uint16_t page, int attempt, bool valid) {
    (void)page;
    (void)attempt;
    AckPlan plan;
    if (!valid) plan.kind = AckPlan::Kind::drop;
    return plan;
  }
};

// A full-speed interrupt endpoint: one output report and at most one input
// report per 1 ms frame.
// The clock moves in whole frames, so every operation starts on a frame
// boundary: a write is carried in the frame it starts in and completes at
// that frame's end; a read is served in the first frame in which both the
// read and the input report are there, and completes at its end. The
// one-report-per-frame limit holds for a host with at most one operation
// outstanding per direction; overlapping operations are not spread over frames.
class BusLimitedScript : public Script {
 public:
  static constexpr std::int64_t frameMs = 1;
  // The least time this device allows a host that starts each of its writes
  // and reads the instant the previous one completes: one frame each, the
  // device's answer to a page being ready at the end of the page's last frame.
  static constexpr std::int64_t floorMs(std::int64_t writes, std::int64_t reads) {
    return (writes + reads) * frameMs;
  }
  WriteOutcome onWrite(Bootloader&, const Frame&) override {
    return {WriteOutcome::Kind::accept, frameMs, frameMs};
  }
  ReadOutcome onRead(Bootloader&, std::size_t) override {
    return {ReadOutcome::Kind::normal, frameMs};
  }
};

}  // namespace devsim
