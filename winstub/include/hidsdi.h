// Host-build stand-in for the part of <hidsdi.h> that kalvo-update uses.
#pragma once

#include <windows.h>

typedef struct _HIDD_ATTRIBUTES {
  ULONG Size;
  USHORT VendorID;
  USHORT ProductID;
  USHORT VersionNumber;
} HIDD_ATTRIBUTES, *PHIDD_ATTRIBUTES;

// Declared for their types alone. Nothing defines these names: the program
// links no hid.dll and takes each function's address from GetProcAddress, so a
// direct call does not link here either.
extern "C" {
void WINAPI HidD_GetHidGuid(LPGUID HidGuid);
BOOLEAN WINAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes);
BOOLEAN WINAPI HidD_GetIndexedString(HANDLE HidDeviceObject, ULONG StringIndex, PVOID Buffer,
                                     ULONG BufferLength);
}
