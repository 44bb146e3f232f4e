/* What a HID minidriver and a driver above a HID collection exchange with the
 * HID class driver, declared from Microsoft's driver documentation: MinGW-w64
 * ships no hidport.h, and the IOCTL_HID_* values in its ddk/hidclass.h are
 * marked as wrong. */
#pragma once

#include <ntddk.h>

#define KALVO_FILE_DEVICE_KEYBOARD 0x0000000b
/* Requests from the class driver to a minidriver: METHOD_NEITHER. */
#define KALVO_HID_CTL_CODE(id) \
  CTL_CODE(KALVO_FILE_DEVICE_KEYBOARD, (id), METHOD_NEITHER, FILE_ANY_ACCESS)
/* Requests from programs to a HID collection that return data: METHOD_OUT_DIRECT. */
#define KALVO_HID_OUT_CTL_CODE(id) \
  CTL_CODE(KALVO_FILE_DEVICE_KEYBOARD, (id), METHOD_OUT_DIRECT, FILE_ANY_ACCESS)

#define IOCTL_HID_GET_DEVICE_DESCRIPTOR KALVO_HID_CTL_CODE(0)
#define IOCTL_HID_GET_REPORT_DESCRIPTOR KALVO_HID_CTL_CODE(1)
#define IOCTL_HID_READ_REPORT KALVO_HID_CTL_CODE(2)
#define IOCTL_HID_WRITE_REPORT KALVO_HID_CTL_CODE(3)
#define IOCTL_HID_GET_STRING KALVO_HID_CTL_CODE(4)
#define IOCTL_HID_ACTIVATE_DEVICE KALVO_HID_CTL_CODE(7)
#define IOCTL_HID_DEACTIVATE_DEVICE KALVO_HID_CTL_CODE(8)
#define IOCTL_HID_GET_DEVICE_ATTRIBUTES KALVO_HID_CTL_CODE(9)

#define IOCTL_HID_GET_SERIALNUMBER_STRING KALVO_HID_OUT_CTL_CODE(112)
#define IOCTL_HID_GET_INDEXED_STRING KALVO_HID_OUT_CTL_CODE(120)

/* IOCTL_HID_GET_STRING's string identifiers (low word of its argument). */
#define HID_STRING_ID_IMANUFACTURER 14
#define HID_STRING_ID_IPRODUCT 15
#define HID_STRING_ID_ISERIALNUMBER 16

#define HID_REVISION 0x00000001
#define HID_HID_DESCRIPTOR_TYPE 0x21
#define HID_REPORT_DESCRIPTOR_TYPE 0x22

typedef struct _HID_MINIDRIVER_REGISTRATION {
  ULONG Revision;
  PDRIVER_OBJECT DriverObject;
  PUNICODE_STRING RegistryPath;
  ULONG DeviceExtensionSize;
  BOOLEAN DevicesArePolled;
  UCHAR Reserved[3];
} HID_MINIDRIVER_REGISTRATION, *PHID_MINIDRIVER_REGISTRATION;

typedef struct _HID_DEVICE_EXTENSION {
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  PVOID MiniDeviceExtension;
} HID_DEVICE_EXTENSION, *PHID_DEVICE_EXTENSION;

/* The pragma itself, not <pshpack1.h>: clang warns of a header that changes
 * the packing of the file including it. */
#pragma pack(push, 1)
typedef struct _HID_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdHID;
  UCHAR bCountry;
  UCHAR bNumDescriptors;
  struct _HID_DESCRIPTOR_DESC_LIST {
    UCHAR bReportType;
    USHORT wReportLength;
  } DescriptorList[1];
} HID_DESCRIPTOR, *PHID_DESCRIPTOR;
#pragma pack(pop)

typedef struct _HID_DEVICE_ATTRIBUTES {
  ULONG Size;
  USHORT VendorID;
  USHORT ProductID;
  USHORT VersionNumber;
  USHORT Reserved[11];
} HID_DEVICE_ATTRIBUTES, *PHID_DEVICE_ATTRIBUTES;

typedef struct _HID_XFER_PACKET {
  PUCHAR reportBuffer;
  ULONG reportBufferLen;
  UCHAR reportId;
} HID_XFER_PACKET, *PHID_XFER_PACKET;

NTSTATUS NTAPI HidRegisterMinidriver(PHID_MINIDRIVER_REGISTRATION registration);
