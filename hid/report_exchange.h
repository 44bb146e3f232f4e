// Moving single 64-byte reports to and from the bootloader under time limits.
#pragma once

#include <windows.h>

#include "hid/report.h"
#include "hid/transfer_context.h"

// Writes one output report: 1 when a write completed without error within
// its wait, else 0, after at most three tries of 200 ms.
int sendblock(HANDLE device, const Report& report, TransferContext& context);

// Reads one input report into `report`: 1 when a read completed without error
// within its wait, else 0 (and the buffer is not to be examined), after at
// most three tries of 2000 ms.
int getresult(HANDLE device, Report& report, TransferContext& context);
