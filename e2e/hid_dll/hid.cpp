// A hid.dll for the end-to-end tests: the HidD_ calls that kalvo-update.exe
// makes, answered from the interface list beside this DLL. A device handle is
// the client end of the interface's named pipe, which the program opened
// itself with CreateFileA, so the interface is found again by the pipe's name.
#include <windows.h>
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "e2e/common/program_folder.h"
#include "e2e/common/hid_class.h"
#include "e2e/common/interfaces.h"

namespace {

constexpr ULONG identificationStringIndex = 4;

// The name of the pipe behind `device` without its leading backslash, or empty
// when `device` is not a pipe handle. FileNameInfo on a pipe handle gives the
// name within the pipe file system ("\NAME"), on Windows and on Wine alike.
std::string pipeNameOf(HANDLE device) {
  alignas(FILE_NAME_INFO) unsigned char buffer[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(WCHAR)];
  auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
  if (!GetFileInformationByHandleEx(device, FileNameInfo, info, sizeof buffer)) return "";
  std::string name;
  for (DWORD i = 0; i < info->FileNameLength / sizeof(WCHAR); ++i) {
    const WCHAR c = info->FileName[i];
    name.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  if (!name.empty() && name[0] == '\\') name.erase(0, 1);
  return name;
}

// The interface behind `device`, looked up in a fresh read of the list, and
// the pipe's name for the trace.
bool lookUp(HANDLE device, e2e::Interface& found, std::string& pipe) {
  pipe = pipeNameOf(device);
  std::string error;
  const std::vector<e2e::Interface> interfaces =
      e2e::loadInterfaces(e2e::programFolder() + e2e::interfacesFileName, error);
  if (!error.empty()) e2e::traceCall("anomaly: " + error);
  const e2e::Interface* hid = e2e::findByPipe(interfaces, pipe);
  if (hid == nullptr) return false;
  found = *hid;
  return true;
}

}  // namespace

extern "C" {

void WINAPI HidD_GetHidGuid(LPGUID guid) {
  e2e::traceCall("HidD_GetHidGuid");
  *guid = e2e::hidClassGuid;
}

BOOLEAN WINAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  e2e::Interface hid;
  std::string pipe;
  if (attributes == nullptr || !lookUp(device, hid, pipe)) {
    e2e::traceCall("HidD_GetAttributes pipe=" + pipe + " failed");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // A HID handle delivers one whole input report per read; a pipe client
  // reads whole messages only in message mode, which it has to ask for.
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(device, &mode, nullptr, nullptr))
    e2e::traceCall("anomaly: message mode refused on pipe " + pipe);
  attributes->Size = sizeof(HIDD_ATTRIBUTES);
  attributes->VendorID = hid.vendorId;
  attributes->ProductID = hid.productId;
  attributes->VersionNumber = hid.versionNumber;
  e2e::traceCall("HidD_GetAttributes pipe=" + pipe + " ok");
  return TRUE;
}

BOOLEAN WINAPI HidD_GetIndexedString(HANDLE device, ULONG index, PVOID buffer, ULONG length) {
  e2e::Interface hid;
  std::string pipe;
  const bool known = lookUp(device, hid, pipe);
  const std::string call = "HidD_GetIndexedString pipe=" + pipe +
                           " index=" + std::to_string(index) + " length=" + std::to_string(length);
  if (!known || index != identificationStringIndex || buffer == nullptr || !hid.stringReadable) {
    e2e::traceCall(call + " failed");
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  // UTF-16LE with its terminator, cut short where the buffer ends.
  std::vector<unsigned char> text;
  for (const char c : hid.string4) {
    text.push_back(static_cast<unsigned char>(c));
    text.push_back(0);
  }
  text.push_back(0);
  text.push_back(0);
  std::memcpy(buffer, text.data(), std::min<std::size_t>(length, text.size()));
  e2e::traceCall(call + " ok");
  return TRUE;
}

}  // extern "C"
