/* kalvo_vhidstr.sys: the function driver on the virtual Kalvo's HID
 * collection. Wine sends a handle's requests to the top of the device's
 * stack, so this driver sees every request the program makes on the
 * collection. It passes everything down except IOCTL_HID_GET_INDEXED_STRING,
 * which Wine 8's class driver does not handle: string index 4 is answered by
 * asking the class driver for the serial number string instead, which the
 * minidriver fills with its index-4 text; other indexes fail as for a device
 * without them.
 *
 * Every open and close of the collection is appended to the file that the
 * service's Parameters\Log value names, as "open INSTANCE TICKS FILE OPTIONS"
 * and "close INSTANCE TICKS FILE" (TICKS from the performance counter, FILE
 * the file object, OPTIONS the open's create options), so that the tests can
 * tell which devices a program opened and closed: the system opens HID
 * collections too (Wine's raw input keeps a synchronous handle on each). */
#include <ntddk.h>

#include "hid_minidriver.h"

#define IDENTIFICATION_INDEX 4
#define INSTANCE_CHARS 64
#define LOG_PATH_CHARS 260
#define LINE_BYTES 128

typedef struct {
  DEVICE_OBJECT *lower;
  char instance[INSTANCE_CHARS];
} Collection;

/* The service's Parameters key, where the log's path is looked up at each
 * event: the driver stays loaded from one scenario to the next. */
static WCHAR parametersPath[LOG_PATH_CHARS];

static Collection *collectionOf(DEVICE_OBJECT *device) {
  return (Collection *)device->DeviceExtension;
}

static NTSTATUS passDown(DEVICE_OBJECT *device, IRP *irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(collectionOf(device)->lower, irp);
}

/* ---- the log ---------------------------------------------------------- */

static void appendNumber(char *line, ULONG *at, ULONGLONG value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0 && *at + 1 < LINE_BYTES) line[(*at)++] = digits[--n];
}

static void appendText(char *line, ULONG *at, const char *text) {
  while (*text != 0 && *at + 1 < LINE_BYTES) line[(*at)++] = *text++;
}

/* The log's path, empty when there is none. */
static void readLogPath(WCHAR *logPath) {
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + LOG_PATH_CHARS * sizeof(WCHAR)];
  KEY_VALUE_PARTIAL_INFORMATION *value = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
  UNICODE_STRING keyName, valueName;
  OBJECT_ATTRIBUTES attributes;
  HANDLE key;
  ULONG got = 0, chars;
  logPath[0] = 0;
  RtlInitUnicodeString(&keyName, parametersPath);
  InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return;
  RtlInitUnicodeString(&valueName, L"Log");
  if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, value, sizeof buffer,
                                 &got)) &&
      value->Type == REG_SZ) {
    chars = value->DataLength / sizeof(WCHAR);
    if (chars >= LOG_PATH_CHARS) chars = LOG_PATH_CHARS - 1;
    RtlCopyMemory(logPath, value->Data, chars * sizeof(WCHAR));
    logPath[chars] = 0;
  }
  ZwClose(key);
}

static void logEvent(Collection *collection, const char *what, IO_STACK_LOCATION *stack) {
  char line[LINE_BYTES];
  WCHAR logPath[LOG_PATH_CHARS];
  ULONG at = 0;
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK io;
  HANDLE file;
  readLogPath(logPath);
  if (logPath[0] == 0) return;
  appendText(line, &at, what);
  appendText(line, &at, " ");
  appendText(line, &at, collection->instance);
  appendText(line, &at, " ");
  appendNumber(line, &at, (ULONGLONG)KeQueryPerformanceCounter(NULL).QuadPart);
  appendText(line, &at, " ");
  appendNumber(line, &at, (ULONG_PTR)stack->FileObject);
  if (stack->MajorFunction == IRP_MJ_CREATE) {
    appendText(line, &at, " ");
    appendNumber(line, &at, stack->Parameters.Create.Options & 0xFFFFFF);
  }
  line[at++] = '\n';
  RtlInitUnicodeString(&name, logPath);
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  if (!NT_SUCCESS(ZwCreateFile(&file, FILE_APPEND_DATA | SYNCHRONIZE, &attributes, &io, NULL,
                               FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                               NULL, 0)))
    return;
  ZwWriteFile(file, NULL, NULL, NULL, &io, line, at, NULL, NULL);
  ZwClose(file);
}

static void setParametersPath(UNICODE_STRING *registryPath) {
  UNICODE_STRING path;
  path.Buffer = parametersPath;
  path.Length = 0;
  path.MaximumLength = sizeof parametersPath - sizeof(WCHAR);
  RtlAppendUnicodeStringToString(&path, registryPath);
  RtlAppendUnicodeToString(&path, L"\\Parameters");
  parametersPath[path.Length / sizeof(WCHAR)] = 0;
}

/* ---- requests --------------------------------------------------------- */

static NTSTATUS WINAPI openOrClose(DEVICE_OBJECT *device, IRP *irp) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  logEvent(collectionOf(device), stack->MajorFunction == IRP_MJ_CREATE ? "open" : "close", stack);
  return passDown(device, irp);
}

static NTSTATUS WINAPI control(DEVICE_OBJECT *device, IRP *irp) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  IO_STACK_LOCATION *next;
  ULONG index;
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_HID_GET_INDEXED_STRING)
    return passDown(device, irp);
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) ||
      irp->AssociatedIrp.SystemBuffer == NULL) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  index = *(ULONG *)irp->AssociatedIrp.SystemBuffer;
  if (index != IDENTIFICATION_INDEX) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  /* Both requests return their text through the same output buffer. */
  IoCopyCurrentIrpStackLocationToNext(irp);
  next = IoGetNextIrpStackLocation(irp);
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_GET_SERIALNUMBER_STRING;
  next->Parameters.DeviceIoControl.InputBufferLength = 0;
  return IoCallDriver(collectionOf(device)->lower, irp);
}

/* The collection's instance identifier, for the log. */
static void readInstance(DEVICE_OBJECT *pdo, Collection *collection) {
  KEVENT done;
  IO_STATUS_BLOCK io;
  IRP *irp;
  IO_STACK_LOCATION *stack;
  ULONG i;
  collection->instance[0] = '?';
  collection->instance[1] = 0;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, NULL, 0, NULL, &done, &io);
  if (irp == NULL) return;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  stack = IoGetNextIrpStackLocation(irp);
  stack->MinorFunction = IRP_MN_QUERY_ID;
  stack->Parameters.QueryId.IdType = BusQueryInstanceID;
  if (IoCallDriver(pdo, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  if (!NT_SUCCESS(io.Status) || io.Information == 0) return;
  {
    const WCHAR *id = (const WCHAR *)io.Information;
    for (i = 0; id[i] != 0 && i + 1 < INSTANCE_CHARS; ++i)
      collection->instance[i] = id[i] < 0x80 ? (char)id[i] : '?';
    collection->instance[i] = 0;
    ExFreePool((void *)io.Information);
  }
}

static NTSTATUS WINAPI plugAndPlay(DEVICE_OBJECT *device, IRP *irp) {
  Collection *collection = collectionOf(device);
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  if (stack->MinorFunction != IRP_MN_REMOVE_DEVICE) return passDown(device, irp);
  status = passDown(device, irp);
  IoDetachDevice(collection->lower);
  IoDeleteDevice(device);
  return status;
}

static NTSTATUS WINAPI addDevice(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo) {
  DEVICE_OBJECT *device;
  Collection *collection;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Collection), NULL, pdo->DeviceType,
                                   pdo->Characteristics, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  collection = collectionOf(device);
  readInstance(pdo, collection);
  collection->lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (collection->lower == NULL) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  /* Reads and writes reach the class driver with its own buffering. */
  device->Flags |= collection->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void WINAPI unload(DRIVER_OBJECT *driver) { (void)driver; }

static NTSTATUS WINAPI passDownDispatch(DEVICE_OBJECT *device, IRP *irp) {
  return passDown(device, irp);
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registryPath) {
  ULONG i;
  setParametersPath(registryPath);
  for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = passDownDispatch;
  driver->MajorFunction[IRP_MJ_CREATE] = openOrClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = openOrClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = control;
  driver->MajorFunction[IRP_MJ_PNP] = plugAndPlay;
  driver->DriverExtension->AddDevice = addDevice;
  driver->DriverUnload = unload;
  return STATUS_SUCCESS;
}
