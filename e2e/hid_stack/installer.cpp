// kalvo_vhid_install: puts the virtual Kalvo bootloaders of one end-to-end
// scenario into a Wine prefix as root-enumerated devices under Wine's own HID
// stack, and takes them out again.
//
//   kalvo_vhid_install drivers FOLDER [open-read-gate]
//   kalvo_vhid_install install LIST COLLECTIONS_LOG DEVICES_LOG
//   kalvo_vhid_install remove INSTANCE_ID
//   kalvo_vhid_install remove-all
//
// drivers copies the two drivers from FOLDER into system32\drivers, before
// any device uses them, and sets the minidriver's read gate to be shut, or
// open with open-read-gate (to see Wine's class driver hold a report back). install removes what an
// earlier run left, writes the drivers' INF into the INF folder (one collection model for each
// vendor and product in LIST), and makes one device for each interface in LIST (the end-to-end
// interface list), in its order: device name VID_xxxx&PID_yyyy, which gives the HID interface a
// path shaped as on Windows, its settings in the device's "Device Parameters" key. It returns once
// every device's HID interface is there and prints "device N INSTANCE_ID INTERFACE_PATH" for each.
// COLLECTIONS_LOG is the file that the function driver appends the collections' opens, reads and
// closes to, DEVICES_LOG the one the minidriver appends what became of each report to. remove takes
// one device out as if it were unplugged; remove-all takes out every virtual bootloader. Paths are
// Windows paths. The exit status is 0 on success.
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <newdev.h>
#include <cfgmgr32.h>
// clang-format on

#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "e2e/common/hid_class.h"
#include "e2e/common/interfaces.h"
#include "e2e/common/write_file.h"

namespace {

constexpr const char* hardwareId = "ROOT\\KALVO_VHID";
constexpr const char* infName = "kalvo_vhid.inf";
constexpr const char* drivers[] = {"kalvo_vhid.sys", "kalvo_vhidstr.sys"};
// Each driver's settings: the path of its log, the minidriver's read gate.
constexpr const char* functionDriverParameters =
    "System\\CurrentControlSet\\Services\\kalvo_vhidstr\\Parameters";
constexpr const char* minidriverParameters =
    "System\\CurrentControlSet\\Services\\kalvo_vhid\\Parameters";
// The HID class's setup class, under which the root devices are made.
constexpr GUID hidSetupClass = {
    0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};
// The device starts after UpdateDriverForPlugAndPlayDevices returns; a start
// takes well under a second, the first one in a prefix a few. This only
// bounds a fault, far beyond what a busy machine takes (and within the
// runner's own bound on the installer).
constexpr DWORD interfaceWaitMs = 180000;
constexpr DWORD pollMs = 20;

const char* const infText =
    "[Version]\r\n"
    "Signature=\"$WINDOWS NT$\"\r\n"
    "Class=HIDClass\r\n"
    "ClassGuid={745a17a0-74d3-11d0-b6fe-00a0c90f57da}\r\n"
    "Provider=%Provider%\r\n"
    "DriverVer=12/01/2026,1.0.0.0\r\n"
    "\r\n"
    "[Manufacturer]\r\n"
    "%Provider%=Models,NTamd64\r\n"
    "\r\n"
    "[Models.NTamd64]\r\n"
    "%Bootloader%=Bootloader,ROOT\\KALVO_VHID\r\n"
    "@COLLECTIONS@"
    "\r\n"
    "[Bootloader.NTamd64]\r\n"
    "[Bootloader.NTamd64.Services]\r\n"
    "AddService=kalvo_vhid,0x00000002,Bootloader_Service\r\n"
    "[Bootloader_Service]\r\n"
    "ServiceType=1\r\n"
    "StartType=3\r\n"
    "ErrorControl=1\r\n"
    "ServiceBinary=%12%\\kalvo_vhid.sys\r\n"
    "\r\n"
    "[Collection.NTamd64]\r\n"
    "[Collection.NTamd64.Services]\r\n"
    "AddService=kalvo_vhidstr,0x00000002,Collection_Service\r\n"
    "[Collection_Service]\r\n"
    "ServiceType=1\r\n"
    "StartType=3\r\n"
    "ErrorControl=1\r\n"
    "ServiceBinary=%12%\\kalvo_vhidstr.sys\r\n"
    "\r\n"
    "[Strings]\r\n"
    "Provider=\"kalvo-update tests\"\r\n"
    "Bootloader=\"Virtual Kalvo bootloader\"\r\n"
    "Collection=\"Virtual Kalvo bootloader collection\"\r\n";

int fail(const std::string& what) {
  std::fprintf(stderr, "kalvo_vhid_install: %s (error %lu)\n", what.c_str(), GetLastError());
  return 1;
}

std::string deviceName(std::uint16_t vendor, std::uint16_t product) {
  char name[32];
  std::snprintf(name, sizeof name, "VID_%04X&PID_%04X", vendor, product);
  return name;
}

std::string lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The paths of the present HID interfaces that have one of `names` in them.
std::vector<std::string> presentInterfaces(const std::set<std::string>& names) {
  GUID hid = e2e::hidClassGuid;
  std::vector<std::string> paths;
  HDEVINFO set =
      SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &data); ++i) {
    char buffer[1024];
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buffer, nullptr, nullptr))
      continue;
    const std::string path = lower(detail->DevicePath);
    for (const auto& name : names)
      if (path.find(lower(name)) != std::string::npos) paths.push_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

bool waitForInterfaces(const std::set<std::string>& names, int expected) {
  for (DWORD waited = 0; waited < interfaceWaitMs; waited += pollMs) {
    if (presentInterfaces(names).size() == static_cast<std::size_t>(expected)) return true;
    Sleep(pollMs);
  }
  return false;
}

bool isVirtualBootloader(HDEVINFO set, SP_DEVINFO_DATA& device) {
  char ids[256] = {};
  if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                         reinterpret_cast<BYTE*>(ids), sizeof ids - 2, nullptr))
    return false;
  return lstrcmpiA(ids, hardwareId) == 0;
}

// Takes out every virtual bootloader (or only `instance`), as if unplugged.
int removeDevices(const char* instance) {
  HDEVINFO set = SetupDiGetClassDevsA(nullptr, "ROOT", nullptr, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return fail("cannot list the root devices");
  std::set<std::string> names;
  int removed = 0;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    char id[MAX_DEVICE_ID_LEN];
    if (!isVirtualBootloader(set, device) ||
        !SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr))
      continue;
    if (instance != nullptr && lstrcmpiA(id, instance) != 0) continue;
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
      return fail(std::string("cannot remove ") + id);
    const std::string path = id;
    names.insert(path.substr(path.find('\\') + 1, path.rfind('\\') - path.find('\\') - 1));
    ++removed;
  }
  SetupDiDestroyDeviceInfoList(set);
  if (instance != nullptr && removed == 0) return fail(std::string("no device ") + instance);
  if (!names.empty() && !waitForInterfaces(names, 0))
    return fail("the removed devices' interfaces stay");
  return 0;
}

// Copies `from` to `to` unless `to` holds the same bytes already.
bool installFile(const std::string& from, const std::string& to) {
  std::string have, want;
  if (e2e::readWholeFile(to, have) && e2e::readWholeFile(from, want) && have == want) return true;
  return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool setText(HKEY key, const char* name, const std::string& value) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool setNumber(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value) == ERROR_SUCCESS;
}

// The drivers go in before any device uses them: a loaded driver's file stays
// in use until Wine's driver host ends.
int installDrivers(const std::string& folder, bool gateOpen) {
  char system[MAX_PATH];
  GetSystemDirectoryA(system, MAX_PATH);
  for (const char* driver : drivers)
    if (!installFile(folder + "\\" + driver, std::string(system) + "\\drivers\\" + driver))
      return fail(std::string("cannot copy ") + driver);
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, minidriverParameters, 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return fail("cannot make the minidriver's parameters");
  const bool set = setNumber(key, "ReadGate", gateOpen ? 0 : 1);
  RegCloseKey(key);
  return set ? 0 : fail("cannot set the read gate");
}

bool setLog(const char* keyName, const std::string& path) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const bool set = setText(key, "Log", "\\??\\" + path);
  RegCloseKey(key);
  return set;
}

int install(const std::string& listPath, const std::string& collectionsLog,
            const std::string& devicesLog) {
  std::string error;
  const std::vector<e2e::Interface> interfaces = e2e::loadInterfaces(listPath, error);
  if (!error.empty()) return fail(error);
  if (removeDevices(nullptr) != 0) return 1;

  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, MAX_PATH);
  std::set<std::string> names;
  for (const auto& hid : interfaces) names.insert(deviceName(hid.vendorId, hid.productId));
  std::string models;
  for (const auto& name : names) models += "%Collection%=Collection,HID\\" + name + "\r\n";
  std::string inf = infText;
  inf.replace(inf.find("@COLLECTIONS@"), 13, models);
  const std::string infPath = std::string(windows) + "\\inf\\" + infName;
  if (!e2e::writeFile(infPath, inf)) return fail("cannot write " + infPath);

  if (!setLog(functionDriverParameters, collectionsLog) ||
      !setLog(minidriverParameters, devicesLog))
    return fail("cannot set the drivers' logs");

  HDEVINFO set = SetupDiCreateDeviceInfoList(&hidSetupClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) return fail("cannot make a device list");
  std::vector<std::string> instances;
  for (const auto& hid : interfaces) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    const std::string ids = std::string(hardwareId) + '\0' + '\0';
    if (!SetupDiCreateDeviceInfoA(set, deviceName(hid.vendorId, hid.productId).c_str(),
                                  &hidSetupClass, nullptr, nullptr, DICD_GENERATE_ID, &device) ||
        !SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(ids.data()),
                                           static_cast<DWORD>(ids.size())) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
      return fail("cannot make the device for " + hid.pipe);
    HKEY parameters =
        SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (parameters == INVALID_HANDLE_VALUE) return fail("cannot open the device's parameters");
    const bool ok = setText(parameters, "Pipe", hid.pipe) &&
                    setText(parameters, "Identification", hid.stringReadable ? hid.string4 : "") &&
                    setNumber(parameters, "VendorID", hid.vendorId) &&
                    setNumber(parameters, "ProductID", hid.productId) &&
                    setNumber(parameters, "VersionNumber", hid.versionNumber);
    RegCloseKey(parameters);
    char id[MAX_DEVICE_ID_LEN];
    if (!ok || !SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr))
      return fail("cannot set the device's parameters");
    instances.push_back(id);
  }
  SetupDiDestroyDeviceInfoList(set);

  BOOL reboot = FALSE;
  if (!interfaces.empty() && !UpdateDriverForPlugAndPlayDevicesA(
                                 nullptr, hardwareId, infPath.c_str(), INSTALLFLAG_FORCE, &reboot))
    return fail("cannot install the driver");
  if (!waitForInterfaces(names, static_cast<int>(interfaces.size())))
    return fail("the devices' HID interfaces did not come");
  const std::vector<std::string> paths = presentInterfaces(names);
  for (std::size_t i = 0; i < instances.size(); ++i) {
    // ROOT\NAME\NUMBER: the collection's path holds name#number#.
    std::string key = instances[i].substr(instances[i].find('\\') + 1);
    key[key.find('\\')] = '#';
    std::string path = "-";
    for (const auto& candidate : paths)
      if (lower(candidate).find(lower(key) + "#") != std::string::npos) path = candidate;
    std::printf("device %zu %s %s\n", i, instances[i].c_str(), path.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "drivers" && argc == 3) return installDrivers(argv[2], false);
  if (command == "drivers" && argc == 4 && std::string(argv[3]) == "open-read-gate")
    return installDrivers(argv[2], true);
  if (command == "install" && argc == 5) return install(argv[2], argv[3], argv[4]);
  if (command == "remove" && argc == 3) return removeDevices(argv[2]);
  if (command == "remove-all" && argc == 2) return removeDevices(nullptr);
  std::fprintf(stderr,
               "usage: kalvo_vhid_install drivers FOLDER [open-read-gate] | "
               "install LIST COLLECTIONS_LOG DEVICES_LOG | "
               "remove INSTANCE_ID | remove-all\n");
  return 2;
}
