#include "updater/update_run.h"

#include <windows.h>

#include "hid/device_discovery.h"
#include "hid/report_exchange.h"
#include "hid/system_libraries.h"
#include "kalvo_build.h"  // generated: the bootloader's vendor identifier
#include "protocol/console.h"
#include "updater/image_update.h"

namespace {

constexpr int kalvoProductId = 0x00D2;
constexpr int anyVersion = 0;

// The restart command shares the block frame's prefix; 0xFF stands where a
// block index would, outside the indices 0 to 35 that frames use.
constexpr std::uint8_t commandPrefix = 'F';
constexpr std::uint8_t commandMarker = '*';
constexpr std::uint8_t restartCode = 'G';
constexpr std::uint8_t restartMarker = 0xFF;

// Lives beyond the run: if its write could not be retired the platform may
// still read the command or complete into the record when the run ends.
struct RestartTransfer {
  TransferContext context;
  Report command;
};

void restart(HANDLE device) {
  static RestartTransfer t;
  if (t.context.stranded) return;
  t.command.fill(0);
  t.command[1] = commandPrefix;
  t.command[2] = commandMarker;
  t.command[3] = restartCode;
  t.command[4] = 0x00;
  t.command[5] = restartMarker;
  opentransfer(t.context);
  // The device restarts without answering; whether the command arrived is
  // not something the run can act on.
  sendblock(device, t.command, t.context);
  closetransfer(t.context);
  // A handle whose write could not be retired is left to the system.
  if (!t.context.stranded) CloseHandle(device);
}

}  // namespace

int run() {
  // Before anything else touches the HID or Setup API: without the system's
  // own libraries there is no way to the device.
  HANDLE device = loadsystemlibraries()
                      ? connectToUSBHIDDevice(kalvoVendorId, kalvoProductId, anyVersion)
                      : INVALID_HANDLE_VALUE;
  if (device == INVALID_HANDLE_VALUE) {
    say("No Kalvo found. Please restart Kalvo in bootloader mode (press and hold CONFIG during "
        "power on).\n");
    return exitNoBootloader;
  }
  // A failed page ends the run there: no restart, and the handle is left to
  // the system.
  if (!updatefpga(device) || !updatemcu(device)) return exitPageFailed;
  say("Restarting...\n");
  restart(device);
  return exitUpdated;
}
