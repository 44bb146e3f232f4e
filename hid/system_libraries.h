// Where the program's libraries come from, and the entry points it takes from them.
#pragma once

#include <windows.h>
// The SDK's setupapi.h and hidsdi.h need windows.h first; hidsdi.h also
// lacks the C linkage that its functions have.
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

// The HID and Setup API functions the device search calls, each found by
// name in the very module that was loaded from the system directory. The
// program links neither library: no import slot for them exists to be
// written at run time, whatever the linker makes of the import tables.
struct SystemFunctions {
  decltype(&::HidD_GetHidGuid) HidD_GetHidGuid = nullptr;
  decltype(&::HidD_GetAttributes) HidD_GetAttributes = nullptr;
  decltype(&::HidD_GetIndexedString) HidD_GetIndexedString = nullptr;
  decltype(&::SetupDiGetClassDevsA) SetupDiGetClassDevsA = nullptr;
  decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces = nullptr;
  decltype(&::SetupDiGetDeviceInterfaceDetailA) SetupDiGetDeviceInterfaceDetailA = nullptr;
  decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList = nullptr;
};

// Confines every later search for a DLL in this process to the system
// directory (where Windows cannot, takes the current directory out of it),
// loads hid.dll and setupapi.dll from the system directory by full path and
// finds in them every function of `SystemFunctions`, before anything calls
// into them. Returns 1 when all are found, 0 when a library or a function
// cannot be had from there.
int loadsystemlibraries();

// The functions the last call of `loadsystemlibraries` found: all of them
// after it returned 1, none (every pointer null) otherwise or before.
const SystemFunctions& systemfunctions();
