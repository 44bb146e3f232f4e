// hid.dll's HidD_ calls on the simulated interfaces.
#include <hidsdi.h>

#include <algorithm>
#include <cstring>

#include "winstub/platform_call.h"
#include "winstub/src/hid_guid.h"
#include "winstub/src/state.h"

namespace {

winstub::HidInterface* interfaceOf(HANDLE device, std::string& path) {
  auto& world = winstub::state();
  winstub::Handle* handle = world.find(device, winstub::Kind::file);
  if (handle == nullptr) return nullptr;
  path = handle->path;
  winstub::HidInterface* hid = world.present(path, winstub::World::current().interfaces);
  if (hid != nullptr && hid->device != nullptr && !hid->device->connected()) return nullptr;
  return hid;
}

}  // namespace

namespace winstub {
namespace {

void WINAPI HidD_GetHidGuid(LPGUID guid) {
  const winstub::PlatformCall inside;
  winstub::state().enter("HidD_GetHidGuid");
  *guid = winstub::hidGuid;
}

BOOLEAN WINAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  const winstub::PlatformCall inside;
  winstub::state().enter("HidD_GetAttributes");
  auto& world = winstub::state();
  winstub::CallRecord call;
  call.function = "HidD_GetAttributes";
  winstub::HidInterface* hid = interfaceOf(device, call.path);
  if (hid == nullptr || !hid->attributesReadable || attributes == nullptr) {
    world.record(call);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  attributes->Size = sizeof(HIDD_ATTRIBUTES);
  attributes->VendorID = hid->vendorId;
  attributes->ProductID = hid->productId;
  attributes->VersionNumber = hid->versionNumber;
  call.succeeded = true;
  world.record(call);
  return TRUE;
}

BOOLEAN WINAPI HidD_GetIndexedString(HANDLE device, ULONG index, PVOID buffer, ULONG length) {
  const winstub::PlatformCall inside;
  winstub::state().enter("HidD_GetIndexedString");
  auto& world = winstub::state();
  winstub::CallRecord call;
  call.function = "HidD_GetIndexedString";
  call.stringIndex = index;
  call.bufferLength = length;
  winstub::HidInterface* hid = interfaceOf(device, call.path);
  if (hid == nullptr || !hid->stringReadable || index != 4 || buffer == nullptr) {
    world.record(call);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  // The string arrives cut short when the buffer is smaller than it; the
  // terminator goes in only where there is room.
  std::u16string text = hid->string4;
  text.push_back(u'\0');
  const std::size_t bytes = std::min<std::size_t>(length, text.size() * sizeof(char16_t));
  std::memcpy(buffer, text.data(), bytes);
  call.succeeded = true;
  world.record(call);
  return TRUE;
}

}  // namespace

FARPROC hidExport(const std::string& name) {
  if (name == "HidD_GetHidGuid") return procAddress(&HidD_GetHidGuid);
  if (name == "HidD_GetAttributes") return procAddress(&HidD_GetAttributes);
  if (name == "HidD_GetIndexedString") return procAddress(&HidD_GetIndexedString);
  return nullptr;
}

}  // namespace winstub
