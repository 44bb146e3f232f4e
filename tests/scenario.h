// What the scenario tests share: a simulated machine with one Kalvo, and a
// device script whose single decisions a test can replace.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "devsim/bootloader.h"
#include "hid/device_discovery.h"
#include "hid/system_libraries.h"
#include "kalvo_build.h"
#include "winstub/world.h"

namespace scenario {

inline const std::string kalvoPath = "\\\\?\\hid#kalvo#bootloader";

// A device script made of replaceable decisions; unset ones are healthy.
struct Scripted : devsim::Script {
  std::function<devsim::WriteOutcome(devsim::Bootloader&, const devsim::Frame&)> write;
  std::function<devsim::ReadOutcome(devsim::Bootloader&, std::size_t)> read;
  std::function<devsim::CancelOutcome(devsim::Bootloader&, bool)> cancel;
  std::function<devsim::AckPlan(devsim::Bootloader&, std::uint16_t, int, bool)> ack;

  devsim::WriteOutcome onWrite(devsim::Bootloader& d, const devsim::Frame& f) override {
    return write ? write(d, f) : devsim::Script::onWrite(d, f);
  }
  devsim::ReadOutcome onRead(devsim::Bootloader& d, std::size_t i) override {
    return read ? read(d, i) : devsim::Script::onRead(d, i);
  }
  devsim::CancelOutcome onCancel(devsim::Bootloader& d, bool isRead) override {
    return cancel ? cancel(d, isRead) : devsim::Script::onCancel(d, isRead);
  }
  devsim::AckPlan onPageComplete(devsim::Bootloader& d, std::uint16_t p, int a, bool v) override {
    return ack ? ack(d, p, a, v) : devsim::Script::onPageComplete(d, p, a, v);
  }
};

// One machine with one Kalvo bootloader interface behind `script`.
struct Machine {
  Scripted script;
  devsim::Bootloader device{&script};
  winstub::World world;

  Machine() { world.interfaces.push_back(winstub::World::kalvo(device, kalvoVendorId, kalvoPath)); }
};

// An interface that is not the bootloader, or only looks like it.
inline winstub::HidInterface decoy(std::string path, std::uint16_t vendorId,
                                   std::uint16_t productId, std::u16string string4 = u"XX") {
  winstub::HidInterface hid;
  hid.path = std::move(path);
  hid.vendorId = vendorId;
  hid.productId = productId;
  hid.versionNumber = 0x0100;
  hid.string4 = std::move(string4);
  return hid;
}

// Opens the simulated Kalvo the way the program's own run does: the system's
// libraries first, then the search.
inline HANDLE openKalvo() {
  return loadsystemlibraries() ? connectToUSBHIDDevice(kalvoVendorId, 0x00D2, 0)
                               : INVALID_HANDLE_VALUE;
}

inline devsim::WriteOutcome stall() { return {devsim::WriteOutcome::Kind::stall, 0, 0}; }
inline devsim::WriteOutcome failAfter(std::int64_t ms) {
  return {devsim::WriteOutcome::Kind::fail, 0, ms};
}
inline devsim::ReadOutcome readStall() { return {devsim::ReadOutcome::Kind::stall, 0}; }

// A block frame as the device sees it, for tests that build their own.
std::string describe(const std::vector<std::string>& lines);

}  // namespace scenario
