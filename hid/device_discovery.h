// Finding and opening the bootloader among the HID interfaces present.
#pragma once

#include <windows.h>

// Opens the first HID interface that can be opened at or after `index` in a
// fresh enumeration, leaving `index` at the interface opened. Returns the
// invalid handle when there is none, or when an interface's path cannot be
// fetched.
HANDLE connectToIthUSBHIDDevice(int& index);

// Returns the open handle of the first HID interface whose vendor, product
// and (unless `version` is 0) version match and whose string index 4 begins
// with "FW"; every other interface opened on the way is closed again.
HANDLE connectToUSBHIDDevice(int vendorId, int productId, int version);
