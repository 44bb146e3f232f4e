#include "tests/invariants.h"

#include <algorithm>
#include <cstdio>

#include "updater/images.h"

namespace scenario {

namespace {

constexpr std::size_t lengthHeaderBytes = 4;

const std::string notFoundLine =
    "No Kalvo found. Please restart Kalvo in bootloader mode (press and hold CONFIG during power "
    "on).\n";
const std::string dot = ".";
const std::string doneText = " done.\n";
const std::string failedText = " failed.\n";
const std::string restartingLine = "Restarting...\n";

std::string hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

std::string bytesOf(const devsim::Report& report, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02X ", report[i]);
    text += byte;
  }
  return text;
}

std::vector<PlannedPage> cut(std::span<const std::uint8_t> stream, std::uint16_t firstNumber) {
  std::vector<PlannedPage> pages;
  for (std::size_t offset = 0; offset < stream.size(); offset += devsim::pageBytes) {
    PlannedPage page;
    page.number = static_cast<std::uint16_t>(firstNumber + pages.size());
    const std::size_t take = std::min(devsim::pageBytes, stream.size() - offset);
    std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(offset), take, page.bytes.begin());
    pages.push_back(page);
  }
  return pages;
}

// One stretch of the run: what happened between two pieces of output.
struct Stretch {
  std::vector<const winstub::Completion*> completions;
  std::size_t cancels = 0;
};

class Checker {
 public:
  Checker(const winstub::World& world, const devsim::Bootloader& device, const RunPlan& plan,
          const Allowances& allow)
      : world_(world), device_(device), plan_(plan), allow_(allow), out_(world.output()) {
    stretches_.resize(out_.size() + 1);
    for (const auto& done : world.completions())
      if (done.outputsBefore < stretches_.size())
        stretches_[done.outputsBefore].completions.push_back(&done);
    for (const auto& call : world.calls())
      if (call.function == "CancelIoEx" && call.outputsBefore < stretches_.size())
        ++stretches_[call.outputsBefore].cancels;
  }

  std::vector<std::string> check(int status) {
    for (const auto& v : world_.violations()) fail("stand-in violation " + v);
    checkLibraries();
    checkTraffic(status);
    checkOpen(status);
    if (status == 2) {
      checkNotFound();
    } else if (status == 0 || status == 3) {
      checkTranscript(status);
    } else {
      fail("exit status " + std::to_string(status));
    }
    return problems_;
  }

 private:
  void fail(std::string what) { problems_.push_back(std::move(what)); }

  std::int64_t elapsedTo(std::size_t piece) const {
    return out_[piece].atMs - (piece == 0 ? 0 : out_[piece - 1].atMs);
  }

  void checkNotFound() {
    const std::string expected = plan_.wholeRun ? notFoundLine : "";
    if (world_.transcript() != expected)
      fail("status 2 with output \"" + world_.transcript() + "\"");
    // The search never waits.
    if (world_.nowMs() != 0) fail("status 2 after " + std::to_string(world_.nowMs()) + " ms");
  }

  // Output that marks a step of the run but ends no page: nothing happens
  // before it, in time or on the wire.
  void checkInstant(std::size_t piece) {
    if (elapsedTo(piece) != 0 || !stretches_[piece].completions.empty())
      fail("\"" + out_[piece].text + "\" is preceded by " + std::to_string(elapsedTo(piece)) +
           " ms and " + std::to_string(stretches_[piece].completions.size()) + " transfers");
  }

  // The page stretch that ends in output piece `piece` (a dot or " failed.").
  void checkPageStretch(std::size_t piece, const PlannedPage& page) {
    const Stretch& stretch = stretches_[piece];
    const std::int64_t bound =
        pageBoundMs + static_cast<std::int64_t>(stretch.cancels) * allow_.retireMs;
    if (elapsedTo(piece) > bound)
      fail("page " + hex(page.number) + " took " + std::to_string(elapsedTo(piece)) +
           " ms, more than " + std::to_string(bound) + " ms");
    std::int64_t writes = 0, reads = 0;
    for (const auto* done : stretch.completions) ++(done->isRead ? reads : writes);
    if (writes > attemptsPerPage * framesPerPage * triesPerTransfer ||
        reads > attemptsPerPage * triesPerTransfer)
      fail("page " + hex(page.number) + " took " + std::to_string(writes) + " writes and " +
           std::to_string(reads) + " reads");
  }

  static bool acknowledges(const winstub::Completion& done, std::uint16_t page) {
    const auto& b = done.bytes;
    return done.succeeded && b[1] == 'F' && b[2] == '+' && (b[3] | (b[4] << 8)) == page;
  }

  // Reads in the stretch that the program saw come back with this page's
  // acknowledgement: each confirms the page, and so must be the last read
  // before its dot.
  std::size_t confirmations(const Stretch& stretch, const PlannedPage& page) const {
    std::size_t n = 0;
    for (const auto* done : stretch.completions)
      if (done->isRead && !done->cancelled && done->path == allow_.bootloaderPath &&
          acknowledges(*done, page.number))
        ++n;
    return n;
  }

  void checkDot(std::size_t piece, const PlannedPage& page) {
    const Stretch& stretch = stretches_[piece];
    const winstub::Completion* last = nullptr;
    for (const auto* done : stretch.completions)
      if (done->isRead) last = done;
    const std::string name = "the dot for page " + hex(page.number);
    if (last == nullptr) {
      fail(name + " follows no read in its page");
      return;
    }
    if (last->path != allow_.bootloaderPath || !acknowledges(*last, page.number))
      fail(name + " follows a read " + (last->succeeded ? "" : "that failed ") + "from " +
           last->path + " bringing " + bytesOf(last->bytes, 8));
    else if (last->cancelled)
      fail(name + " follows a read that came back only once cancelled");
    if (confirmations(stretch, page) > 1)
      fail("page " + hex(page.number) + " was confirmed " +
           std::to_string(confirmations(stretch, page)) + " times before its dot");
    const auto held = device_.pages().find(page.number);
    if (held == device_.pages().end())
      fail(name + ", which the device never accepted");
    else if (held->second != page.bytes)
      fail(name + ", which the device holds with other content");
  }

  // One phase from its line on; returns false when the run ended in it.
  bool checkPhase(std::size_t& i, const char* line, const std::vector<PlannedPage>& pages) {
    if (i >= out_.size() || out_[i].text != line) {
      fail(std::string("expected \"") + line + "\" as output piece " + std::to_string(i));
      return false;
    }
    checkInstant(i);
    ++i;
    for (std::size_t k = 0;; ++i) {
      if (i >= out_.size()) {
        fail(std::string("the output ends within \"") + line + "\" after " + std::to_string(k) +
             " dots");
        return false;
      }
      const std::string& text = out_[i].text;
      if (text == dot || text == failedText) {
        if (k >= pages.size()) {
          fail(std::string("more than ") + std::to_string(pages.size()) + " pages in \"" + line +
               "\"");
          return false;
        }
        checkPageStretch(i, pages[k]);
        if (text == failedText && confirmations(stretches_[i], pages[k]) != 0)
          fail("page " + hex(pages[k].number) + " failed though a read confirmed it");
        if (text == failedText) {
          ++i;
          failedAt_ = pages[k].number;
          return false;
        }
        checkDot(i, pages[k]);
        ++k;
      } else if (text == doneText) {
        if (k != pages.size())
          fail(std::string("\"") + line + "\" done after " + std::to_string(k) + " of " +
               std::to_string(pages.size()) + " pages");
        checkInstant(i);
        ++i;
        return true;
      } else {
        fail("unexpected output \"" + text + "\"");
        return false;
      }
    }
  }

  void checkTranscript(int status) {
    std::size_t i = 0;
    const bool complete =
        checkPhase(i, "Updating FPGA.", plan_.fpga) && checkPhase(i, "Updating MCU.", plan_.mcu);
    if (!complete) {
      if (failedAt_ < 0) return;  // already reported
      if (status != 3)
        fail("status " + std::to_string(status) + " after page " + hex(failedAt_) + " failed");
      if (world_.nowMs() != out_[i - 1].atMs)
        fail("the run went on for " + std::to_string(world_.nowMs() - out_[i - 1].atMs) +
             " ms after \" failed.\"");
    } else if (plan_.wholeRun) {
      if (i >= out_.size() || out_[i].text != restartingLine) {
        fail("no \"Restarting...\" after both phases");
        return;
      }
      checkInstant(i);
      ++i;
      const Stretch& restart = stretches_[i];
      const std::int64_t bound =
          restartBoundMs + static_cast<std::int64_t>(restart.cancels) * allow_.retireMs;
      if (world_.nowMs() - out_[i - 1].atMs > bound)
        fail("the restart took " + std::to_string(world_.nowMs() - out_[i - 1].atMs) + " ms");
      // One command, no acknowledgement.
      const auto reads = std::count_if(restart.completions.begin(), restart.completions.end(),
                                       [](const auto* done) { return done->isRead; });
      if (reads != 0 || restart.completions.size() > triesPerTransfer)
        fail("the restart took " + std::to_string(restart.completions.size()) + " transfers");
      if (status != 0) fail("status " + std::to_string(status) + " after a complete run");
    } else if (status != 0) {
      fail("status " + std::to_string(status) + " after both phases went through");
    }
    if (i < out_.size()) fail("output after the run's end: \"" + out_[i].text + "\"");
  }

  // The run's very first platform calls confine every later search for a
  // DLL to the system directory (where the system has the means; else they
  // take the current directory out), then take hid.dll and setupapi.dll from
  // there and find in them the functions the search calls: nothing may reach
  // them, or anything else, before.
  void checkLibraries() {
    if (!plan_.wholeRun) return;
    const std::string folder = world_.systemDirectory + "\\";
    const bool confined = world_.defaultDllDirectories;
    // Confined, a library's dependencies come from the system directory
    // alone; otherwise the altered search order looks there first.
    const std::uint32_t flags =
        confined ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH;
    struct Call {
      std::string function, path;
      std::uint32_t flags;
      bool succeeds;
    };
    const std::vector<Call> first = {
        {"GetModuleHandleA", "kernel32.dll", 0, true},
        {"GetProcAddress", "SetDefaultDllDirectories", 0, confined},
        confined ? Call{"SetDefaultDllDirectories", "", LOAD_LIBRARY_SEARCH_SYSTEM32, true}
                 : Call{"SetDllDirectoryA", "", 0, true},
        {"GetSystemDirectoryA", world_.systemDirectory, 0, true},
        {"LoadLibraryExA", folder + "hid.dll", flags, true},
        {"LoadLibraryExA", folder + "setupapi.dll", flags, true},
        // Every function the search calls, from the very modules just
        // loaded (the stand-in finds each in its own library alone).
        {"GetProcAddress", "HidD_GetHidGuid", 0, true},
        {"GetProcAddress", "HidD_GetAttributes", 0, true},
        {"GetProcAddress", "HidD_GetIndexedString", 0, true},
        {"GetProcAddress", "SetupDiGetClassDevsA", 0, true},
        {"GetProcAddress", "SetupDiEnumDeviceInterfaces", 0, true},
        {"GetProcAddress", "SetupDiGetDeviceInterfaceDetailA", 0, true},
        {"GetProcAddress", "SetupDiDestroyDeviceInfoList", 0, true}};
    const auto& calls = world_.calls();
    for (std::size_t i = 0; i < first.size(); ++i) {
      if (i < calls.size() && calls[i].function == first[i].function &&
          calls[i].path == first[i].path && calls[i].flags == first[i].flags &&
          calls[i].platformCallsBefore == i && calls[i].succeeded == first[i].succeeds)
        continue;
      fail("platform call " + std::to_string(i) + " is not " + first[i].function + " of \"" +
           first[i].path + "\"" +
           (first[i].flags ? " with flags " + std::to_string(first[i].flags) : ""));
      return;
    }
  }

  void checkTraffic(int status) {
    for (const auto& t : world_.allTraffic()) {
      if (t.writesStarted + t.readsStarted == 0) continue;
      if (t.path != allow_.bootloaderPath || status == 2)
        fail(std::to_string(t.writesStarted) + " writes and " + std::to_string(t.readsStarted) +
             " reads on " + t.path + ", which is not the bootloader found");
    }
  }

  void checkOpen(int status) {
    const std::size_t outstanding = world_.outstandingOperations();
    if (outstanding > (allow_.mayStrand ? 1u : 0u))
      fail(std::to_string(outstanding) + " operations still outstanding");
    std::vector<std::string> open = world_.openHandles();
    std::vector<std::string> allowed;
    if (status == 3 || (status == 0 && outstanding > 0))
      allowed.push_back("file " + allow_.bootloaderPath);
    if (outstanding > 0) allowed.push_back("event");
    std::sort(open.begin(), open.end());
    std::sort(allowed.begin(), allowed.end());
    if (status == 2) allowed.clear();
    if (open != allowed) {
      std::string all;
      for (const auto& o : open) all += "[" + o + "] ";
      fail("open at the end with status " + std::to_string(status) + ": " + all);
    }
  }

  const winstub::World& world_;
  const devsim::Bootloader& device_;
  const RunPlan& plan_;
  const Allowances& allow_;
  const std::vector<winstub::OutputPiece>& out_;
  std::vector<Stretch> stretches_;
  std::vector<std::string> problems_;
  int failedAt_ = -1;
};

}  // namespace

RunPlan planFor(std::span<const std::uint8_t> fpgaImage, std::span<const std::uint8_t> mcuImage,
                bool wholeRun) {
  std::vector<std::uint8_t> stream(lengthHeaderBytes + fpgaImage.size());
  const auto length = static_cast<std::uint32_t>(fpgaImage.size());
  for (std::size_t i = 0; i < lengthHeaderBytes; ++i)
    stream[i] = static_cast<std::uint8_t>(length >> (8 * (lengthHeaderBytes - 1 - i)));
  std::copy(fpgaImage.begin(), fpgaImage.end(), stream.begin() + lengthHeaderBytes);
  RunPlan plan;
  plan.fpga = cut(stream, firstFpgaPage);
  plan.mcu = cut(mcuImage, firstMcuPage);
  plan.wholeRun = wholeRun;
  return plan;
}

const RunPlan& builtInPlan() {
  static const RunPlan plan =
      planFor(std::span<const std::uint8_t>(fpgabin, fpgaImageLength), mcubin, true);
  return plan;
}

std::vector<std::string> checkRun(const winstub::World& world, const devsim::Bootloader& device,
                                  int status, const RunPlan& plan, const Allowances& allow) {
  return Checker(world, device, plan, allow).check(status);
}

}  // namespace scenario
