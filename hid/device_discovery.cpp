#include "hid/device_discovery.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "hid/system_libraries.h"

namespace {

constexpr ULONG identificationStringIndex = 4;
// Four UTF-16 code units: the test needs only the first two.
constexpr ULONG identificationStringBytes = 8;
constexpr std::uint8_t identificationFirst = 'F';
constexpr std::uint8_t identificationSecond = 'W';

// Returns the device information set to the system however the walk ends.
struct DeviceSet {
  const SystemFunctions& api;
  HDEVINFO set;
  DeviceSet(const SystemFunctions& a, HDEVINFO s) : api(a), set(s) {}
  ~DeviceSet() {
    if (set != INVALID_HANDLE_VALUE) api.SetupDiDestroyDeviceInfoList(set);
  }
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;
};

struct FreeRecord {
  void operator()(void* record) const { std::free(record); }
};
using DetailRecord = std::unique_ptr<SP_DEVICE_INTERFACE_DETAIL_DATA_A, FreeRecord>;

// The temporary record that holds one interface's device path, or none when
// the path cannot be had.
DetailRecord fetchdetail(const SystemFunctions& api, HDEVINFO set,
                         SP_DEVICE_INTERFACE_DATA& interfaceData) {
  DWORD required = 0;
  // The size query fails by design, with ERROR_INSUFFICIENT_BUFFER; any other
  // failure, or a size too small to hold a path, means no path.
  if (api.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
      required <= offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath))
    return nullptr;
  DetailRecord detail(static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::malloc(required)));
  if (!detail) return nullptr;
  // cbSize is the size of the fixed part as this platform defines it (8 on
  // 64-bit Windows, 5 on 32-bit), not the size of the allocation.
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!api.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail.get(), required, nullptr,
                                            nullptr))
    return nullptr;
  return detail;
}

bool isbootloader(const SystemFunctions& api, HANDLE device, const HIDD_ATTRIBUTES& attributes,
                  int vendorId, int productId, int version) {
  if (attributes.VendorID != vendorId || attributes.ProductID != productId) return false;
  if (version != 0 && attributes.VersionNumber != version) return false;
  std::uint8_t text[identificationStringBytes] = {};
  if (!api.HidD_GetIndexedString(device, identificationStringIndex, text,
                                 identificationStringBytes))
    return false;
  // UTF-16LE: the low byte of each code unit comes first.
  return text[0] == identificationFirst && text[2] == identificationSecond;
}

}  // namespace

HANDLE connectToIthUSBHIDDevice(int& index) {
  const SystemFunctions& api = systemfunctions();
  // Before the system's own libraries are loaded there is nothing to call.
  if (api.SetupDiDestroyDeviceInfoList == nullptr) return INVALID_HANDLE_VALUE;
  GUID hidGuid;
  api.HidD_GetHidGuid(&hidGuid);
  // Every call takes a new snapshot: interfaces may come and go between calls.
  DeviceSet devices(api, api.SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (devices.set == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  for (;;) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (index < 0 || !api.SetupDiEnumDeviceInterfaces(devices.set, nullptr, &hidGuid,
                                                      static_cast<DWORD>(index), &interfaceData))
      return INVALID_HANDLE_VALUE;
    HANDLE device = INVALID_HANDLE_VALUE;
    {
      const DetailRecord detail = fetchdetail(api, devices.set, interfaceData);
      if (!detail) return INVALID_HANDLE_VALUE;
      device = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }
    if (device != INVALID_HANDLE_VALUE) return device;
    // Held exclusively by the system or another program: skip it.
    ++index;
  }
}

HANDLE connectToUSBHIDDevice(int vendorId, int productId, int version) {
  const SystemFunctions& api = systemfunctions();
  int index = 0;
  for (;;) {
    HANDLE device = connectToIthUSBHIDDevice(index);
    if (device == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(HIDD_ATTRIBUTES);
    if (!api.HidD_GetAttributes(device, &attributes)) {
      CloseHandle(device);
      return INVALID_HANDLE_VALUE;
    }
    if (isbootloader(api, device, attributes, vendorId, productId, version)) return device;
    CloseHandle(device);
    ++index;
  }
}
