#pragma once

#include <windows.h>

namespace winstub {

// The HID interface class, {4D1E55B2-F16F-11CF-88CB-001111000030}.
inline constexpr GUID hidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

inline bool isHidGuid(const GUID& guid) {
  if (guid.Data1 != hidGuid.Data1 || guid.Data2 != hidGuid.Data2 || guid.Data3 != hidGuid.Data3)
    return false;
  for (int i = 0; i < 8; ++i)
    if (guid.Data4[i] != hidGuid.Data4[i]) return false;
  return true;
}

}  // namespace winstub
