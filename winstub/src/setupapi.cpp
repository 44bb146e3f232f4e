// The Setup API's view of the present HID interfaces: each device information
// set is a snapshot taken when it is made.
#include <setupapi.h>

#include <cstddef>
#include <cstring>

#include "winstub/platform_call.h"
#include "winstub/src/hid_guid.h"
#include "winstub/src/state.h"

using winstub::Handle;
using winstub::Kind;

namespace winstub {
namespace {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                     DWORD flags) {
  const winstub::PlatformCall inside;
  winstub::state().enter("SetupDiGetClassDevsA");
  auto& world = winstub::state();
  auto& live = winstub::World::current();
  if (classGuid == nullptr || !winstub::isHidGuid(*classGuid) || enumerator != nullptr ||
      parent != nullptr || flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
    world.violation("SetupDiGetClassDevsA asked for something other than present HID interfaces");
  }
  if (live.beforeSnapshot) live.beforeSnapshot(live, world.snapshots);
  ++world.snapshots;
  Handle set;
  set.kind = Kind::deviceSet;
  set.snapshot = live.interfaces;
  winstub::CallRecord call;
  call.function = "SetupDiGetClassDevsA";
  call.succeeded = true;
  world.record(call);
  return reinterpret_cast<HDEVINFO>(world.add(set));
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceData,
                                        const GUID* classGuid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
  const winstub::PlatformCall inside;
  winstub::state().enter("SetupDiEnumDeviceInterfaces");
  auto& world = winstub::state();
  Handle* handle = world.find(set, Kind::deviceSet);
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (deviceData != nullptr || classGuid == nullptr || !winstub::isHidGuid(*classGuid))
    world.violation("SetupDiEnumDeviceInterfaces with a device filter or another class");
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    world.violation("SetupDiEnumDeviceInterfaces with an interface record of the wrong size");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (index >= handle->snapshot.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = *classGuid;
  data->Flags = 1;  // SPINT_ACTIVE
  data->Reserved = index;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                             DWORD detailSize, LPDWORD requiredSize,
                                             PSP_DEVINFO_DATA deviceData) {
  const winstub::PlatformCall inside;
  winstub::state().enter("SetupDiGetDeviceInterfaceDetailA");
  auto& world = winstub::state();
  Handle* handle = world.find(set, Kind::deviceSet);
  if (handle == nullptr || data == nullptr || data->Reserved >= handle->snapshot.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (deviceData != nullptr) world.violation("SetupDiGetDeviceInterfaceDetailA with device data");
  const winstub::HidInterface& hid = handle->snapshot[data->Reserved];
  winstub::CallRecord call;
  call.function = "SetupDiGetDeviceInterfaceDetailA";
  call.path = hid.path;
  if (hid.detailFails) {
    world.record(call);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                          hid.path.size() + 1);
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detail == nullptr) {
    if (detailSize != 0)
      SetLastError(ERROR_INVALID_USER_BUFFER);
    else
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
    world.record(call);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    world.violation("SetupDiGetDeviceInterfaceDetailA with a detail record whose cbSize is " +
                    std::to_string(detail->cbSize));
    world.record(call);
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detailSize < needed) {
    world.record(call);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, hid.path.c_str(), hid.path.size() + 1);
  call.succeeded = true;
  world.record(call);
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  const winstub::PlatformCall inside;
  winstub::state().enter("SetupDiDestroyDeviceInfoList");
  auto& world = winstub::state();
  if (world.find(set, Kind::deviceSet) == nullptr) {
    world.violation("SetupDiDestroyDeviceInfoList on a set that is not open");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  world.handles.erase(reinterpret_cast<std::uintptr_t>(set));
  return TRUE;
}

}  // namespace

FARPROC setupExport(const std::string& name) {
  if (name == "SetupDiGetClassDevsA") return procAddress(&SetupDiGetClassDevsA);
  if (name == "SetupDiEnumDeviceInterfaces") return procAddress(&SetupDiEnumDeviceInterfaces);
  if (name == "SetupDiGetDeviceInterfaceDetailA")
    return procAddress(&SetupDiGetDeviceInterfaceDetailA);
  if (name == "SetupDiDestroyDeviceInfoList") return procAddress(&SetupDiDestroyDeviceInfoList);
  return nullptr;
}

}  // namespace winstub
