// A setupapi.dll for the end-to-end tests: the SetupDi calls that
// kalvo-update.exe makes to list the present HID interfaces, answered from the
// interface list beside this DLL. Every set is a snapshot of the list as it
// reads when the set is made; each interface's device path is its named pipe.
#include <windows.h>
#define _SETUPAPI_  // these are the definitions, not imports
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "e2e/common/program_folder.h"
#include "e2e/common/hid_class.h"
#include "e2e/common/interfaces.h"

namespace {

constexpr DWORD presentInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

struct DeviceSet {
  std::vector<std::string> paths;
};

// The sets handed out and not yet destroyed: anything else is not a set.
std::set<DeviceSet*>& liveSets() {
  static std::set<DeviceSet*> sets;
  return sets;
}

DeviceSet* setOf(HDEVINFO handle) {
  auto* set = static_cast<DeviceSet*>(handle);
  return liveSets().count(set) != 0 ? set : nullptr;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                     DWORD flags) {
  if (!e2e::isHidClass(classGuid) || enumerator != nullptr || parent != nullptr ||
      flags != presentInterfaces)
    e2e::traceCall(
        "anomaly: SetupDiGetClassDevsA asked for something other than present HID "
        "interfaces");
  std::string error;
  const auto interfaces = e2e::loadInterfaces(e2e::programFolder() + e2e::interfacesFileName, error);
  if (!error.empty()) {
    e2e::traceCall("anomaly: " + error);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto* set = new DeviceSet;
  for (const auto& hid : interfaces) set->paths.push_back(e2e::pipePrefix + hid.pipe);
  liveSets().insert(set);
  e2e::traceCall("SetupDiGetClassDevsA interfaces=" + std::to_string(set->paths.size()));
  return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA deviceData,
                                        const GUID* classGuid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
  const DeviceSet* set = setOf(handle);
  if (set == nullptr) {
    e2e::traceCall("anomaly: SetupDiEnumDeviceInterfaces on something that is not a set");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (deviceData != nullptr || !e2e::isHidClass(classGuid))
    e2e::traceCall("anomaly: SetupDiEnumDeviceInterfaces with a device filter or another class");
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    e2e::traceCall("anomaly: SetupDiEnumDeviceInterfaces with a record of the wrong size");
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (index >= set->paths.size()) {
    e2e::traceCall("SetupDiEnumDeviceInterfaces index=" + std::to_string(index) + " none");
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = e2e::hidClassGuid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index;
  e2e::traceCall("SetupDiEnumDeviceInterfaces index=" + std::to_string(index) + " ok");
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                             DWORD detailSize, PDWORD requiredSize,
                                             PSP_DEVINFO_DATA deviceData) {
  const DeviceSet* set = setOf(handle);
  if (set == nullptr || data == nullptr || data->Reserved >= set->paths.size()) {
    e2e::traceCall("anomaly: SetupDiGetDeviceInterfaceDetailA on an unknown set or interface");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (deviceData != nullptr)
    e2e::traceCall("anomaly: SetupDiGetDeviceInterfaceDetailA with device data");
  const std::string& path = set->paths[data->Reserved];
  const std::string call = "SetupDiGetDeviceInterfaceDetailA path=" + path;
  const auto needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detail == nullptr) {
    e2e::traceCall(call + " size");
    SetLastError(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  // The size field holds the size of the fixed part, as Windows checks it.
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    e2e::traceCall("anomaly: SetupDiGetDeviceInterfaceDetailA with cbSize " +
                   std::to_string(detail->cbSize));
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detailSize < needed) {
    e2e::traceCall(call + " short");
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  e2e::traceCall(call + " filled");
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
  DeviceSet* set = setOf(handle);
  if (set == nullptr) {
    e2e::traceCall("anomaly: SetupDiDestroyDeviceInfoList on something that is not a set");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  liveSets().erase(set);
  delete set;
  e2e::traceCall("SetupDiDestroyDeviceInfoList");
  return TRUE;
}

}  // extern "C"
