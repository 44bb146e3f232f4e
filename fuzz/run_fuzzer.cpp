// A whole run, or the two phases with small images, against a simulated
// machine whose every answer comes from the fuzz input: which HID interfaces
// are present and what they claim to be, how they come and go during the
// search, when each write and read completes and how, how long cancellations
// take, and what the device answers to each page. Every execution is checked
// against the run's invariants (tests/invariants.h) and aborts on the first
// broken one.
//
// The input, read front to back (an exhausted input reads as zero bytes):
//   byte 0      mode: low four bits 0 for a whole run, else the phases alone;
//               bit 5 set for a Windows 7 without KB2533623 (no
//               SetDefaultDllDirectories)
//   bytes 1-3   the phases alone: FPGA image length (1 to 6144 bytes, two
//               bytes) and MCU pages (0 to 2)
//   then        interfaces: a count (0 to 7), the bootloader's place among
//               them (or none), and two bytes for each other interface
//   then        the decision stream: at each decision (a write, a read, a
//               cancellation, a finished page, a new snapshot of the
//               interfaces) a byte below 0xC0 makes the next byte*byte/4
//               decisions healthy; a byte from 0xC0 up asks for a fault,
//               whose kind and timing follow.
//
// Left out on purpose: cancellations that never complete and writes that
// complete after the program's retirement wait. Either strands the program's
// transfer storage for the rest of the process, after which every later
// execution would only see pages refused at once; the fault scenarios cover
// them, each in a child process. Every delay here is therefore short enough
// for a cancelled operation to come back within that wait. Also left out: a
// device that acknowledges a page it has not yet been sent, or a forged
// report that reads as one. The program cannot tell such a lie from the
// truth, and the checks rightly hold it to what the device holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "hid/device_discovery.h"
#include "hid/system_libraries.h"
#include "tests/invariants.h"
#include "tests/scenario.h"
#include "updater/image_update.h"
#include "updater/images.h"
#include "updater/update_run.h"

namespace {

using devsim::AckPlan;
using devsim::Frame;
using devsim::ReadOutcome;
using devsim::WriteOutcome;

using scenario::bootloaderProductId;

constexpr std::uint8_t faultMark = 0xC0;
constexpr std::size_t maxInterfaces = 7;
constexpr int maxChurn = 8;
constexpr std::uint32_t maxSmallFpgaBytes = 3 * devsim::pageBytes;
constexpr int maxSmallMcuPages = 2;
// A cancelled operation comes back, at the latest, this long after the
// cancellation: within the program's retirement wait.
constexpr std::int64_t maxCancelMs = scenario::retireBoundMs - 1;
// A write that the device takes completes this long after it started at the
// latest: cancelled after its wait, it is back within the retirement wait.
constexpr std::int64_t writeWaitMs = scenario::writeTryMs;
constexpr std::int64_t maxWriteMs = writeWaitMs + maxCancelMs;
// Reads and acknowledgements may come late enough to miss two of a read's
// tries, and acknowledgements to miss all three and meet the next attempt.
constexpr std::int64_t maxReadMs = 5000;
constexpr std::int64_t maxAckMs = 9000;
constexpr std::int64_t maxStrayMs = 3000;  // reports that are no acknowledgement

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  std::uint16_t word() {
    const std::uint8_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
  }
  std::int64_t upTo(std::int64_t most) { return word() % (most + 1); }
  bool empty() const { return size_ == 0; }

  // Whether the next decision is a fault; see the input's layout above.
  bool fault() {
    if (healthy_ > 0) {
      --healthy_;
      return false;
    }
    if (empty()) return false;
    const std::uint8_t b = byte();
    if (b >= faultMark) return true;
    healthy_ = b * b / 4;
    return false;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  int healthy_ = 0;
};

bool isPlanned(const scenario::RunPlan& plan, std::uint16_t number) {
  for (const auto* pages : {&plan.fpga, &plan.mcu})
    for (const auto& page : *pages)
      if (page.number == number) return true;
  return false;
}

// The device's side, decided by the input.
class FuzzScript : public devsim::Script {
 public:
  FuzzScript(Input& in, const scenario::RunPlan& plan) : in_(in), plan_(plan) {}

  // The longest any retirement may take in this execution.
  std::int64_t retireMs() const { return retireMs_; }

  WriteOutcome onWrite(devsim::Bootloader&, const Frame&) override {
    if (!in_.fault()) return {};
    switch (in_.byte() % 8) {
      case 0:
      case 1: {
        const std::int64_t deliver = in_.upTo(maxWriteMs);
        const std::int64_t complete = in_.upTo(maxWriteMs);
        noteRetire(std::max(deliver, complete) - writeWaitMs);
        return {WriteOutcome::Kind::accept, deliver, complete};
      }
      case 2:
      case 3:
        return {WriteOutcome::Kind::fail, 0, in_.upTo(2 * maxWriteMs)};
      case 4:
      case 5:
        return {WriteOutcome::Kind::stall, 0, 0};
      case 6:
        return {WriteOutcome::Kind::unplug, 0, 0};
      default: {
        // Taken at once, confirmed late: a retry delivers it twice.
        const std::int64_t complete = in_.upTo(maxWriteMs);
        noteRetire(complete - writeWaitMs);
        return {WriteOutcome::Kind::accept, 0, complete};
      }
    }
  }

  ReadOutcome onRead(devsim::Bootloader&, std::size_t) override {
    if (!in_.fault()) return {};
    switch (in_.byte() % 6) {
      case 0:
      case 1:
        return {ReadOutcome::Kind::normal, in_.upTo(maxReadMs)};
      case 2:
      case 3:
        return {ReadOutcome::Kind::fail, in_.upTo(maxReadMs)};
      case 4:
        return {ReadOutcome::Kind::stall, 0};
      default:
        return {ReadOutcome::Kind::unplug, 0};
    }
  }

  devsim::CancelOutcome onCancel(devsim::Bootloader&, bool) override {
    if (!in_.fault()) return {};
    const std::int64_t ms = in_.upTo(maxCancelMs);
    noteRetire(ms);
    return {true, ms};
  }

  AckPlan onPageComplete(devsim::Bootloader& d, std::uint16_t page, int, bool valid) override {
    const AckPlan drop{AckPlan::Kind::drop, 0, 0, {}};
    if (!in_.fault()) return valid ? AckPlan{} : drop;
    switch (in_.byte() % 8) {
      case 0:
        return valid ? AckPlan{AckPlan::Kind::send, in_.upTo(maxAckMs), 0, {}} : drop;
      case 1:
        return drop;
      case 2:
        return {AckPlan::Kind::otherPage, 0, otherPage(d, page), {}};
      case 3:
        return {AckPlan::Kind::garbage, in_.upTo(maxStrayMs), 0,
                in_.byte() & 1 ? garbage(d) : nearMiss(d, page)};
      case 4: {
        if (!valid) return drop;
        // This page's acknowledgement with noise where nothing is examined.
        devsim::Report noisy = d.acknowledgement(page);
        noisy[0] = in_.byte();
        std::fill(noisy.begin() + 5, noisy.end(), in_.byte());
        return {AckPlan::Kind::garbage, in_.upTo(maxStrayMs), 0, noisy};
      }
      case 5:
        // Two acknowledgements for one page: the second turns stale.
        if (!valid) return drop;
        d.queueInput(0, d.acknowledgement(page));
        return {AckPlan::Kind::send, in_.upTo(maxStrayMs), 0, {}};
      case 6:
        d.unplug();
        return drop;
      default:
        return {AckPlan::Kind::send, 0, 0, {}};
    }
  }

 private:
  void noteRetire(std::int64_t ms) { retireMs_ = std::max(retireMs_, ms); }

  // A page number the device may name without lying: the previous page or
  // another that it holds, or one that the run never sends (0 is none of
  // the run's pages).
  std::uint16_t otherPage(const devsim::Bootloader& d, std::uint16_t page) {
    std::uint16_t candidate = 0;
    switch (in_.byte() % 4) {
      case 0:
        candidate = static_cast<std::uint16_t>(page - 1);
        break;
      case 1:  // this page with another high byte, or another low byte
        candidate = static_cast<std::uint16_t>(page ^ ((in_.byte() | 1) << 8));
        break;
      case 2:
        candidate = static_cast<std::uint16_t>(page ^ (in_.byte() | 1));
        break;
      default:
        candidate = in_.word();
        break;
    }
    if (candidate != page && (d.pages().count(candidate) != 0 || !isPlanned(plan_, candidate)))
      return candidate;
    return 0;
  }

  // This page's acknowledgement with one of the bytes that are examined changed.
  devsim::Report nearMiss(const devsim::Bootloader& d, std::uint16_t page) {
    devsim::Report report = d.acknowledgement(page);
    const std::size_t at = 1 + in_.byte() % 4;
    report[at] ^= in_.byte() | 1;
    return sanitized(d, report);
  }

  // A report that is no acknowledgement of a page the device does not hold.
  devsim::Report garbage(const devsim::Bootloader& d) {
    devsim::Report report;
    const std::uint8_t seed = in_.byte();
    for (std::size_t i = 0; i < report.size(); ++i)
      report[i] = i < 6 ? in_.byte() : static_cast<std::uint8_t>(seed + i);
    return sanitized(d, report);
  }

  devsim::Report sanitized(const devsim::Bootloader& d, devsim::Report report) {
    const auto named = static_cast<std::uint16_t>(report[3] | (report[4] << 8));
    if (report[1] == 'F' && report[2] == '+' && isPlanned(plan_, named) &&
        d.pages().count(named) == 0)
      report[2] = '-';
    return report;
  }

  Input& in_;
  const scenario::RunPlan& plan_;
  std::int64_t retireMs_ = 0;
};

// An interface that is not the bootloader, whatever the input makes of it.
winstub::HidInterface decoy(Input& in, int n,
                            std::vector<std::unique_ptr<devsim::Bootloader>>& devices) {
  winstub::HidInterface hid;
  hid.path = "\\\\?\\hid#fuzz#" + std::to_string(n);
  const std::uint8_t kind = in.byte();
  const std::uint8_t detail = in.byte();
  hid.vendorId = static_cast<std::uint16_t>(kalvoVendorId);
  hid.productId = bootloaderProductId;
  hid.versionNumber = detail;
  hid.string4 = u"FW01";
  switch (kind % 8) {
    case 0:
      hid.vendorId = static_cast<std::uint16_t>(kalvoVendorId ^ (detail | 1));
      break;
    case 1:
      hid.productId = static_cast<std::uint16_t>(bootloaderProductId ^ (detail | 1));
      break;
    case 2:
      // A string whose first two low bytes are not "FW".
      hid.string4 = {static_cast<char16_t>(detail << 8 | (detail == 'F' ? 'G' : detail)), u'W'};
      break;
    case 3:
      hid.stringReadable = false;
      break;
    case 4:
      hid.opens = false;  // a Kalvo held by another program
      break;
    case 5:
      hid.attributesReadable = false;  // ends the search
      break;
    case 6:
      hid.detailFails = true;  // ends the search
      break;
    default:
      hid.string4 = u"F";
      break;
  }
  if (kind & 0x80) {
    devices.push_back(std::make_unique<devsim::Bootloader>());
    hid.device = devices.back().get();
  }
  return hid;
}

// Whether the search, walking a list that does not change, must find the bootloader.
bool findable(const std::vector<winstub::HidInterface>& interfaces) {
  for (const auto& hid : interfaces) {
    if (hid.detailFails) return false;
    if (!hid.opens) continue;
    if (!hid.attributesReadable) return false;
    if (hid.path == scenario::kalvoPath) return true;
  }
  return false;
}

// The two phases on their own, as run() does them but without the restart.
int phases(std::span<const std::uint8_t> fpga, std::span<const std::uint8_t> mcu) {
  HANDLE device = loadsystemlibraries()
                      ? connectToUSBHIDDevice(kalvoVendorId, bootloaderProductId, 0)
                      : INVALID_HANDLE_VALUE;
  if (device == INVALID_HANDLE_VALUE) return exitNoBootloader;
  if (!writefpga(device, fpga, static_cast<std::uint32_t>(fpga.size())) || !writemcu(device, mcu))
    return exitPageFailed;
  CloseHandle(device);
  return exitUpdated;
}

// With KALVO_FUZZ_TRACE set, what each execution did, to see what an input means.
void trace(const winstub::World& world, const devsim::Bootloader& device, int status) {
  static const bool on = std::getenv("KALVO_FUZZ_TRACE") != nullptr;
  if (!on) return;
  std::string text = world.transcript();
  for (auto& c : text) c = c == '\n' ? '|' : c;
  std::fprintf(stderr,
               "status %d at %lld ms, %zu interfaces, %zu frames taken, %zu acks read: %s\n",
               status, static_cast<long long>(world.nowMs()), world.interfaces.size(),
               device.received().size(), device.readsServed(), text.c_str());
}

[[noreturn]] void broken(const std::vector<std::string>& problems) {
  for (const auto& p : problems) std::fprintf(stderr, "broken: %s\n", p.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t kind = in.byte();
  const bool wholeRun = (kind & 0x0F) == 0;
  std::span<const std::uint8_t> fpga(fpgabin, fpgaImageLength);
  std::span<const std::uint8_t> mcu(mcubin, mcuImageLength);
  scenario::RunPlan smallPlan;
  if (!wholeRun) {
    fpga = fpga.first(1 + in.word() % maxSmallFpgaBytes);
    mcu = mcu.first(devsim::pageBytes * (in.byte() % (maxSmallMcuPages + 1)));
    smallPlan = scenario::planFor(fpga, mcu, false);
  }
  const scenario::RunPlan& plan = wholeRun ? scenario::builtInPlan() : smallPlan;

  FuzzScript script(in, plan);
  devsim::Bootloader device(&script);
  std::vector<std::unique_ptr<devsim::Bootloader>> lookalikes;
  winstub::World world;
  world.defaultDllDirectories = (kind & 0x20) == 0;

  const std::size_t count = in.byte() % (maxInterfaces + 1);
  const std::size_t place = in.byte() % (count + 2);  // count + 1: no bootloader at all
  for (std::size_t i = 0; i <= count; ++i) {
    if (i == place) {
      winstub::HidInterface kalvo =
          winstub::World::kalvo(device, kalvoVendorId, scenario::kalvoPath);
      kalvo.versionNumber = in.word();
      world.interfaces.push_back(kalvo);
    }
    if (i < count) world.interfaces.push_back(decoy(in, static_cast<int>(i), lookalikes));
  }
  const std::vector<winstub::HidInterface> before = world.interfaces;

  int churn = 0;
  world.beforeSnapshot = [&](winstub::World& w, int) {
    if (churn >= maxChurn || !in.fault()) return;
    ++churn;
    const std::size_t at = in.byte() % (w.interfaces.size() + 1);
    if (in.byte() & 1 && at < w.interfaces.size())
      w.interfaces.erase(w.interfaces.begin() + static_cast<std::ptrdiff_t>(at));
    else
      w.interfaces.insert(w.interfaces.begin() + static_cast<std::ptrdiff_t>(at),
                          decoy(in, 100 + churn, lookalikes));
  };

  const int status = wholeRun ? run() : phases(fpga, mcu);

  trace(world, device, status);
  scenario::Allowances allow;
  allow.retireMs = script.retireMs();
  std::vector<std::string> problems = scenario::checkRun(world, device, status, plan, allow);
  if (churn == 0 && (status == exitNoBootloader) == findable(before))
    problems.push_back(status == exitNoBootloader ? "a bootloader to be found was not found"
                                                  : "a bootloader was found where none could be");
  for (const auto& d : lookalikes)
    if (!d->received().empty()) problems.push_back("a lookalike received a report");
  if (!problems.empty()) broken(problems);
  return 0;
}
