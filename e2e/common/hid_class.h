// The HID device interface class, {4D1E55B2-F16F-11CF-88CB-001111000030}:
// what HidD_GetHidGuid hands out and what SetupDiGetClassDevsA is asked for.
#pragma once

#include <windows.h>

namespace e2e {

inline constexpr GUID hidClassGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

inline bool isHidClass(const GUID* guid) {
  if (guid == nullptr || guid->Data1 != hidClassGuid.Data1 || guid->Data2 != hidClassGuid.Data2 ||
      guid->Data3 != hidClassGuid.Data3)
    return false;
  for (int i = 0; i < 8; ++i)
    if (guid->Data4[i] != hidClassGuid.Data4[i]) return false;
  return true;
}

}  // namespace e2e
