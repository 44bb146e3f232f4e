/* kalvo_vhid.sys: a virtual Kalvo bootloader for Wine's own HID stack. A HID
 * minidriver under the system's class driver that presents one vendor-defined
 * collection of 63-byte input and output reports without report identifiers,
 * with the attributes and strings its device's "Device Parameters" key holds
 * (written by the installer):
 *
 *   Pipe            REG_SZ     the pipe server's pipe for this device
 *   VendorID, ProductID, VersionNumber   REG_DWORD
 *   Identification  REG_SZ     string index 4; the serial number string carries it
 *
 * Each output report goes to the pipe as one 64-byte message (identifier byte
 * first); each message the pipe server sends back completes the class
 * driver's pending read with its 63 report bytes. When the pipe breaks or the
 * device is removed, pending and later reads fail.
 *
 * Wine 8's class driver can keep a report back from a program's read: its
 * read handler looks into the handle's report queue and, finding it empty,
 * takes the queue's lock a second time to make the read wait; a report that
 * its device thread queues in between stays in the queue while the read
 * waits for the next one. On Windows a report that comes while a read waits
 * goes to that read. So that it does under Wine too, this driver keeps the
 * two apart (the read gate): it takes over the class driver's read
 * handler, which the class driver installs in this driver's dispatch table
 * for the collection. A program's read that comes while a report is on its
 * way into the class driver waits here, and goes into the handler once the
 * report is in; a report goes in (the class driver's read of this driver
 * completes) only while no program's read is in the handler, and is on its
 * way until the class driver asks for the next one. A REG_DWORD ReadGate of 0
 * in the service's Parameters key when the driver loads leaves the gate open,
 * to see the class driver's race happen; the logs below still tell.
 *
 * When the device goes, its log lines go to the drivers' log
 * (driver_log.h): "report PIPE GIVEN BACK BYTES" for each report it gave the
 * class driver (when, when the class driver asked for the next one, and the
 * report's first bytes), then "device PIPE piped N waiting N held N
 * waited N dropped N unkept N gate-reads N": the reports read from the pipe,
 * those given to a waiting read of the class driver, those held until its
 * next read, those that waited at the read gate for a program's read, those
 * lost with the device, those beyond the records kept, and the programs'
 * reads (on any of this driver's devices) held at the gate since the last
 * such line. */
#include <ntddk.h>
#include <ntifs.h>

#include "driver_log.h"
#include "hid_minidriver.h"
#include "registry_values.h"

#define REPORT_BYTES 64 /* on the pipe: identifier byte and report */
#define PAYLOAD_BYTES (REPORT_BYTES - 1)
#define TEXT_CHARS 64
/* Reports recorded for the log over a device's life: more than any scenario
 * or benchmark session gives. */
#define DELIVERIES_KEPT 16384
#define READS_KEPT 16384
#define HEAD_BYTES 8

/* One vendor-defined application collection: usage page 0xFF00, 63 bytes in,
 * 63 bytes out, no report identifier. */
/* clang-format off */
static const UCHAR reportDescriptor[] = {
    0x06, 0x00, 0xFF,    /* usage page (vendor defined 0xFF00) */
    0x09, 0x01,          /* usage 1 */
    0xA1, 0x01,          /* collection (application) */
    0x15, 0x00,          /*   logical minimum 0 */
    0x26, 0xFF, 0x00,    /*   logical maximum 255 */
    0x75, 0x08,          /*   report size 8 bits */
    0x95, PAYLOAD_BYTES, /*   report count 63 */
    0x09, 0x01,          /*   usage 1 */
    0x81, 0x02,          /*   input (data, variable, absolute) */
    0x95, PAYLOAD_BYTES, /*   report count 63 */
    0x09, 0x02,          /*   usage 2 */
    0x91, 0x02,          /*   output (data, variable, absolute) */
    0xC0,                /* end collection */
};
/* clang-format on */

static const WCHAR manufacturerText[] = L"kalvo-update tests";
static const WCHAR productText[] = L"Virtual Kalvo bootloader";

typedef struct {
  WCHAR pipe[TEXT_CHARS];
  WCHAR identification[TEXT_CHARS];
  HID_DEVICE_ATTRIBUTES attributes;

  HANDLE link; /* the pipe */
  HANDLE readEvent;
  HANDLE writeEvent;
  HANDLE reader; /* the thread that reads the pipe */
  HANDLE stop;   /* tells the reader to end */

  KSPIN_LOCK lock;  /* guards what follows */
  LIST_ENTRY reads; /* pending IOCTL_HID_READ_REPORT requests */
  BOOLEAN gone;     /* the pipe broke or the device is being removed */
  BOOLEAN held;     /* a report came while no read was pending */
  UCHAR heldReport[REPORT_BYTES];
  KEVENT heldTaken;
  BOOLEAN inClass; /* a report is on its way into the class driver (gate) */

  /* For the log; each changed by one thread at a time (the reader thread, or
   * the class driver's device thread while the reader waits for it). */
  ULONG piped, toWaiting, heldCount, gateWaits, dropped;
  ULONG given, unkept;
  struct {
    ULONGLONG given, back;
    UCHAR head[HEAD_BYTES];
  } delivery[DELIVERIES_KEPT];
} VirtualDevice;

static LogPlace logPlace;

/* ---- the read gate ----------------------------------------------------- */

static DRIVER_DISPATCH *classRead; /* the class driver's read handler */
static BOOLEAN gateShut = TRUE;    /* FALSE: reads and reports pass at any time */
static KSPIN_LOCK gateLock;        /* guards what follows */
static LONG readsInClass;          /* programs' reads inside classRead */
static LONG reportsInClass;        /* reports given, the class driver not back yet */
static KEVENT noReadsInClass;
/* Programs' reads that came while a report was on its way in. They wait here
 * rather than hold up the thread that brought them: taking in a device's
 * first report, the class driver has Wine's raw input open the collection,
 * and that open comes through the same thread. */
static LIST_ENTRY heldReads;
static ULONG gateReads; /* reads held, since the last log line saying so */
/* The reads let into the class driver's read handler since the last log
 * lines: the request, when, and whether the handler left it waiting. */
static struct {
  IRP *irp;
  ULONGLONG in;
  BOOLEAN waiting;
} classReads[READS_KEPT];
static ULONG classReadCount, classReadsUnkept;

/* Lets `irp` into the class driver's read handler, a read counted in
 * readsInClass already, and returns what the handler did. */
static NTSTATUS readIntoClass(DEVICE_OBJECT *pdo, IRP *irp) {
  const ULONGLONG in = logTicks();
  const NTSTATUS status = classRead(pdo, irp);
  KIRQL irql;
  /* `irp` may be gone already: only its address is kept. */
  KeAcquireSpinLock(&gateLock, &irql);
  if (classReadCount < READS_KEPT) {
    classReads[classReadCount].irp = irp;
    classReads[classReadCount].in = in;
    classReads[classReadCount].waiting = status == STATUS_PENDING;
    ++classReadCount;
  } else {
    ++classReadsUnkept;
  }
  if (--readsInClass == 0) KeSetEvent(&noReadsInClass, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&gateLock, irql);
  return status;
}

static void WINAPI cancelHeldRead(DEVICE_OBJECT *pdo, IRP *irp) {
  KIRQL irql;
  (void)pdo;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&gateLock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&gateLock, irql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

static NTSTATUS WINAPI gatedRead(DEVICE_OBJECT *pdo, IRP *irp) {
  KIRQL irql;
  KeAcquireSpinLock(&gateLock, &irql);
  if (gateShut && reportsInClass != 0) {
    ++gateReads;
    IoMarkIrpPending(irp);
    InsertTailList(&heldReads, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, cancelHeldRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
      KeReleaseSpinLock(&gateLock, irql);
      irp->IoStatus.Status = STATUS_CANCELLED;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_PENDING;
    }
    KeReleaseSpinLock(&gateLock, irql);
    return STATUS_PENDING;
  }
  ++readsInClass;
  KeClearEvent(&noReadsInClass);
  KeReleaseSpinLock(&gateLock, irql);
  return readIntoClass(pdo, irp);
}

static VirtualDevice *deviceOf(DEVICE_OBJECT *fdo) {
  return (VirtualDevice *)((HID_DEVICE_EXTENSION *)fdo->DeviceExtension)->MiniDeviceExtension;
}

static DEVICE_OBJECT *lowerOf(DEVICE_OBJECT *fdo) {
  return ((HID_DEVICE_EXTENSION *)fdo->DeviceExtension)->NextDeviceObject;
}

static NTSTATUS complete(IRP *irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* ---- configuration --------------------------------------------------- */

static NTSTATUS readConfiguration(DEVICE_OBJECT *pdo, VirtualDevice *device) {
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (!NT_SUCCESS(status)) return status;
  registryText(key, L"Pipe", device->pipe, TEXT_CHARS);
  registryText(key, L"Identification", device->identification, TEXT_CHARS);
  device->attributes.Size = sizeof device->attributes;
  device->attributes.VendorID = (USHORT)registryNumber(key, L"VendorID", 0);
  device->attributes.ProductID = (USHORT)registryNumber(key, L"ProductID", 0);
  device->attributes.VersionNumber = (USHORT)registryNumber(key, L"VersionNumber", 0);
  ZwClose(key);
  return device->pipe[0] != 0 ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

/* ---- reads ------------------------------------------------------------ */

static void answerRead(IRP *irp, const UCHAR *report) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
  /* The class driver adds the identifier byte itself: it takes the report's
   * 63 bytes exactly. */
  if (room < PAYLOAD_BYTES) {
    complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    return;
  }
  RtlCopyMemory(irp->UserBuffer, report + 1, PAYLOAD_BYTES);
  complete(irp, STATUS_SUCCESS, PAYLOAD_BYTES);
}

/* Lets a report into the class driver once no program's read is in its read
 * handler, which never takes long; the report is on its way until the class
 * driver asks for the next one (leaveClass). */
static void enterClass(VirtualDevice *device) {
  KIRQL irql;
  BOOLEAN waited = FALSE;
  for (;;) {
    KeAcquireSpinLock(&gateLock, &irql);
    if (readsInClass == 0 || !gateShut) {
      ++reportsInClass;
      device->inClass = TRUE;
      if (waited) ++device->gateWaits;
      KeReleaseSpinLock(&gateLock, irql);
      return;
    }
    KeReleaseSpinLock(&gateLock, irql);
    waited = TRUE;
    KeWaitForSingleObject(&noReadsInClass, Executive, KernelMode, FALSE, NULL);
  }
}

/* The class driver asked for the next report, or will never: it has put the
 * last one in every handle's queue and given it to the reads it woke. The
 * reads held meanwhile go into its read handler now. */
static void leaveClass(VirtualDevice *device) {
  const ULONGLONG now = logTicks();
  LIST_ENTRY ready;
  LIST_ENTRY *entry;
  KIRQL irql;
  InitializeListHead(&ready);
  KeAcquireSpinLock(&gateLock, &irql);
  if (device->inClass) {
    device->inClass = FALSE;
    if (device->given > 0 && device->given <= DELIVERIES_KEPT)
      device->delivery[device->given - 1].back = now;
    if (--reportsInClass == 0) {
      while (!IsListEmpty(&heldReads)) {
        IRP *irp;
        entry = RemoveHeadList(&heldReads);
        irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) == NULL) {
          /* Its cancellation runs now and removes it again: leave it a list. */
          InitializeListHead(entry);
          continue;
        }
        InsertTailList(&ready, entry);
        ++readsInClass;
        KeClearEvent(&noReadsInClass);
      }
    }
  }
  KeReleaseSpinLock(&gateLock, irql);
  while ((entry = RemoveHeadList(&ready)) != &ready) {
    IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    readIntoClass(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
  }
}

/* Completes the class driver's read `irp` with `report`, through the gate. */
static void giveReport(VirtualDevice *device, IRP *irp, const UCHAR *report) {
  enterClass(device);
  if (device->given < DELIVERIES_KEPT) {
    device->delivery[device->given].given = logTicks();
    device->delivery[device->given].back = 0;
    RtlCopyMemory(device->delivery[device->given].head, report, HEAD_BYTES);
  } else {
    ++device->unkept;
  }
  ++device->given;
  answerRead(irp, report);
}

static void cancelRead(DEVICE_OBJECT *fdo, IRP *irp) {
  VirtualDevice *device = deviceOf(fdo);
  KIRQL irql;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&device->lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&device->lock, irql);
  complete(irp, STATUS_CANCELLED, 0);
}

/* The oldest pending read, no longer cancellable; null when there is none. */
static IRP *takeRead(VirtualDevice *device) {
  while (!IsListEmpty(&device->reads)) {
    LIST_ENTRY *entry = RemoveHeadList(&device->reads);
    IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) != NULL) return irp;
    /* Its cancel routine runs now and removes it again: leave it a list. */
    InitializeListHead(entry);
  }
  return NULL;
}

static NTSTATUS startRead(VirtualDevice *device, IRP *irp) {
  UCHAR report[REPORT_BYTES];
  KIRQL irql;
  /* The class driver's device thread asks again: done with the last report. */
  leaveClass(device);
  KeAcquireSpinLock(&device->lock, &irql);
  if (device->gone) {
    KeReleaseSpinLock(&device->lock, irql);
    return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
  if (device->held) {
    RtlCopyMemory(report, device->heldReport, REPORT_BYTES);
    device->held = FALSE;
    KeSetEvent(&device->heldTaken, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&device->lock, irql);
    giveReport(device, irp, report);
    return STATUS_SUCCESS;
  }
  IoMarkIrpPending(irp);
  InsertTailList(&device->reads, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, cancelRead);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&device->lock, irql);
    complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&device->lock, irql);
  return STATUS_PENDING;
}

/* The device is gone: every pending read fails, and so does every later one. */
static void failReads(VirtualDevice *device) {
  KIRQL irql;
  IRP *irp;
  KeAcquireSpinLock(&device->lock, &irql);
  device->gone = TRUE;
  if (device->held) ++device->dropped;
  device->held = FALSE;
  KeSetEvent(&device->heldTaken, IO_NO_INCREMENT, FALSE);
  while ((irp = takeRead(device)) != NULL) {
    KeReleaseSpinLock(&device->lock, irql);
    complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    KeAcquireSpinLock(&device->lock, &irql);
  }
  KeReleaseSpinLock(&device->lock, irql);
  /* The class driver may never ask again: the gate must not wait for it. */
  leaveClass(device);
}

/* Hands one input report to the oldest pending read, or holds it until the
 * class driver's next read comes; false once the device is gone. */
static BOOLEAN deliver(VirtualDevice *device, const UCHAR *report) {
  KIRQL irql;
  IRP *irp;
  KeAcquireSpinLock(&device->lock, &irql);
  ++device->piped;
  if (device->gone) {
    ++device->dropped;
    KeReleaseSpinLock(&device->lock, irql);
    return FALSE;
  }
  irp = takeRead(device);
  if (irp == NULL) {
    RtlCopyMemory(device->heldReport, report, REPORT_BYTES);
    device->held = TRUE;
    ++device->heldCount;
    KeClearEvent(&device->heldTaken);
  } else {
    ++device->toWaiting;
  }
  KeReleaseSpinLock(&device->lock, irql);
  if (irp != NULL) {
    giveReport(device, irp, report);
    return TRUE;
  }
  /* The pipe keeps what follows until the held report is taken. */
  KeWaitForSingleObject(&device->heldTaken, Executive, KernelMode, FALSE, NULL);
  return !device->gone;
}

/* Waits for an operation that the pipe left pending. */
static NTSTATUS finishIo(NTSTATUS status, HANDLE event, IO_STATUS_BLOCK *io) {
  if (status == STATUS_PENDING) {
    ZwWaitForSingleObject(event, FALSE, NULL);
    status = io->Status;
  }
  return status;
}

/* Waits for the pipe's answer or the stop event; a stopped read is cancelled
 * (a thread can cancel only its own requests) and waited for. */
static NTSTATUS finishRead(VirtualDevice *device, NTSTATUS status, IO_STATUS_BLOCK *io) {
  HANDLE waits[2];
  if (status != STATUS_PENDING) return status;
  waits[0] = device->readEvent;
  waits[1] = device->stop;
  if (ZwWaitForMultipleObjects(2, waits, WaitAny, FALSE, NULL) != STATUS_WAIT_0) {
    IO_STATUS_BLOCK cancel;
    ZwCancelIoFile(device->link, &cancel);
    ZwWaitForSingleObject(device->readEvent, FALSE, NULL);
    return STATUS_CANCELLED;
  }
  return io->Status;
}

static void readerThread(void *context) {
  VirtualDevice *device = (VirtualDevice *)context;
  UCHAR report[REPORT_BYTES];
  for (;;) {
    IO_STATUS_BLOCK io;
    NTSTATUS status;
    RtlZeroMemory(report, sizeof report);
    status = ZwReadFile(device->link, device->readEvent, NULL, NULL, &io, report, REPORT_BYTES,
                        NULL, NULL);
    status = finishRead(device, status, &io);
    if (!NT_SUCCESS(status) || io.Information != REPORT_BYTES) break;
    if (!deliver(device, report)) break;
  }
  failReads(device);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

/* ---- writes ----------------------------------------------------------- */

static NTSTATUS writeReport(VirtualDevice *device, IRP *irp) {
  HID_XFER_PACKET *packet = (HID_XFER_PACKET *)irp->UserBuffer;
  UCHAR report[REPORT_BYTES];
  IO_STATUS_BLOCK io;
  NTSTATUS status;
  ULONG length;
  if (device->gone || device->link == NULL) return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  if (packet == NULL || packet->reportBuffer == NULL)
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  length = packet->reportBufferLen < PAYLOAD_BYTES ? packet->reportBufferLen : PAYLOAD_BYTES;
  RtlZeroMemory(report, sizeof report);
  report[0] = packet->reportId;
  RtlCopyMemory(report + 1, packet->reportBuffer, length);
  status = ZwWriteFile(device->link, device->writeEvent, NULL, NULL, &io, report, REPORT_BYTES,
                       NULL, NULL);
  status = finishIo(status, device->writeEvent, &io);
  if (!NT_SUCCESS(status)) return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  /* The count includes the identifier byte: Wine's class driver hands it to
   * the writer as is, and a writer on Windows sees the whole report written. */
  return complete(irp, STATUS_SUCCESS, length + 1);
}

/* ---- strings and descriptors ------------------------------------------ */

static NTSTATUS answerBytes(IRP *irp, const void *bytes, ULONG length) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < length)
    return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  RtlCopyMemory(irp->UserBuffer, bytes, length);
  return complete(irp, STATUS_SUCCESS, length);
}

static NTSTATUS answerString(IRP *irp, const WCHAR *text) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength / sizeof(WCHAR);
  ULONG chars = 0;
  WCHAR *out = (WCHAR *)irp->UserBuffer;
  if (room == 0) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  while (text[chars] != 0 && chars + 1 < room) {
    out[chars] = text[chars];
    ++chars;
  }
  out[chars] = 0;
  return complete(irp, STATUS_SUCCESS, (chars + 1) * sizeof(WCHAR));
}

static NTSTATUS getString(VirtualDevice *device, IRP *irp) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  /* The argument is the value itself: string id low, language id high. Windows
   * asks ids 14 to 16; Wine's class driver also asks 1 to 3. */
  ULONG id = (ULONG)(ULONG_PTR)stack->Parameters.DeviceIoControl.Type3InputBuffer & 0xFFFF;
  switch (id) {
    case 1:
    case HID_STRING_ID_IMANUFACTURER:
      return answerString(irp, manufacturerText);
    case 2:
    case HID_STRING_ID_IPRODUCT:
      return answerString(irp, productText);
    case 3:
    case HID_STRING_ID_ISERIALNUMBER:
      return answerString(irp, device->identification);
    default:
      return complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
}

static NTSTATUS WINAPI internalControl(DEVICE_OBJECT *fdo, IRP *irp) {
  VirtualDevice *device = deviceOf(fdo);
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR: {
      HID_DESCRIPTOR descriptor;
      RtlZeroMemory(&descriptor, sizeof descriptor);
      descriptor.bLength = sizeof descriptor;
      descriptor.bDescriptorType = HID_HID_DESCRIPTOR_TYPE;
      descriptor.bcdHID = 0x0111;
      descriptor.bNumDescriptors = 1;
      descriptor.DescriptorList[0].bReportType = HID_REPORT_DESCRIPTOR_TYPE;
      descriptor.DescriptorList[0].wReportLength = sizeof reportDescriptor;
      return answerBytes(irp, &descriptor, sizeof descriptor);
    }
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
      return answerBytes(irp, reportDescriptor, sizeof reportDescriptor);
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES:
      return answerBytes(irp, &device->attributes, sizeof device->attributes);
    case IOCTL_HID_GET_STRING:
      return getString(device, irp);
    case IOCTL_HID_READ_REPORT:
      return startRead(device, irp);
    case IOCTL_HID_WRITE_REPORT:
      return writeReport(device, irp);
    case IOCTL_HID_ACTIVATE_DEVICE:
    case IOCTL_HID_DEACTIVATE_DEVICE:
      return complete(irp, STATUS_SUCCESS, 0);
    default:
      return complete(irp, STATUS_NOT_SUPPORTED, 0);
  }
}

/* ---- the device's life ------------------------------------------------ */

static NTSTATUS openLink(VirtualDevice *device) {
  WCHAR path[TEXT_CHARS + 16] = L"\\??\\pipe\\";
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK io;
  FILE_PIPE_INFORMATION mode;
  NTSTATUS status;
  ULONG at = 9, i;
  for (i = 0; device->pipe[i] != 0; ++i) path[at++] = device->pipe[i];
  path[at] = 0;
  RtlInitUnicodeString(&name, path);
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  status = ZwCreateFile(&device->link, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io,
                        NULL, 0, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE, NULL, 0);
  if (!NT_SUCCESS(status)) {
    device->link = NULL;
    return status;
  }
  /* One input report per read: the pipe's messages, whole. */
  mode.ReadMode = FILE_PIPE_MESSAGE_MODE;
  mode.CompletionMode = FILE_PIPE_QUEUE_OPERATION;
  ZwSetInformationFile(device->link, &io, &mode, sizeof mode, FilePipeInformation);
  status = ZwCreateEvent(&device->readEvent, EVENT_ALL_ACCESS, NULL, SynchronizationEvent, FALSE);
  if (NT_SUCCESS(status))
    status =
        ZwCreateEvent(&device->writeEvent, EVENT_ALL_ACCESS, NULL, SynchronizationEvent, FALSE);
  if (NT_SUCCESS(status))
    status = ZwCreateEvent(&device->stop, EVENT_ALL_ACCESS, NULL, NotificationEvent, FALSE);
  if (NT_SUCCESS(status))
    status = PsCreateSystemThread(&device->reader, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                  readerThread, device);
  return status;
}

/* The pipe's name, as text for the log. */
static void logPipe(LogLines *lines, const VirtualDevice *device) {
  char name[TEXT_CHARS];
  ULONG i;
  for (i = 0; device->pipe[i] != 0 && i + 1 < TEXT_CHARS; ++i)
    name[i] = device->pipe[i] < 0x80 ? (char)device->pipe[i] : '?';
  name[i] = 0;
  logText(lines, name);
}

static void logCount(LogLines *lines, const char *what, ULONG count) {
  logText(lines, " ");
  logText(lines, what);
  logText(lines, " ");
  logNumber(lines, count);
}

/* The device's log lines, once its reader thread has ended. */
static void logDevice(VirtualDevice *device) {
  LogLines lines;
  ULONG i, reads, count, unkept;
  KIRQL irql;
  logBegin(&lines, &logPlace);
  for (i = 0; i < device->given && i < DELIVERIES_KEPT; ++i) {
    logText(&lines, "report ");
    logPipe(&lines, device);
    logText(&lines, " ");
    logNumber(&lines, device->delivery[i].given);
    logText(&lines, " ");
    logNumber(&lines, device->delivery[i].back);
    logText(&lines, " ");
    logHex(&lines, device->delivery[i].head, HEAD_BYTES);
    logLineEnd(&lines);
  }
  /* The reads let into the class driver so far, on whichever device; reads
   * that come meanwhile (into another device, or this one's last ones) are
   * added after them and kept for the next lines. */
  KeAcquireSpinLock(&gateLock, &irql);
  reads = gateReads;
  gateReads = 0;
  count = classReadCount;
  unkept = classReadsUnkept;
  classReadsUnkept = 0;
  KeReleaseSpinLock(&gateLock, irql);
  for (i = 0; i < count; ++i) {
    logText(&lines, "class-read ");
    logNumber(&lines, (ULONG_PTR)classReads[i].irp);
    logText(&lines, " ");
    logNumber(&lines, classReads[i].in);
    logText(&lines, classReads[i].waiting ? " 1" : " 0");
    logLineEnd(&lines);
  }
  KeAcquireSpinLock(&gateLock, &irql);
  RtlMoveMemory(classReads, classReads + count, (classReadCount - count) * sizeof classReads[0]);
  classReadCount -= count;
  KeReleaseSpinLock(&gateLock, irql);
  logText(&lines, "device ");
  logPipe(&lines, device);
  logCount(&lines, "piped", device->piped);
  logCount(&lines, "waiting", device->toWaiting);
  logCount(&lines, "held", device->heldCount);
  logCount(&lines, "waited", device->gateWaits);
  logCount(&lines, "dropped", device->dropped);
  logCount(&lines, "unkept", device->unkept);
  logCount(&lines, "gate-reads", reads);
  logCount(&lines, "reads-unkept", unkept);
  logLineEnd(&lines);
  logEnd(&lines);
}

static void closeLink(VirtualDevice *device) {
  const BOOLEAN linked = device->link != NULL;
  failReads(device);
  if (device->stop != NULL) ZwSetEvent(device->stop, NULL);
  if (device->reader != NULL) {
    ZwWaitForSingleObject(device->reader, FALSE, NULL);
    ZwClose(device->reader);
    device->reader = NULL;
  }
  if (device->link != NULL) ZwClose(device->link);
  if (device->readEvent != NULL) ZwClose(device->readEvent);
  if (device->writeEvent != NULL) ZwClose(device->writeEvent);
  if (device->stop != NULL) ZwClose(device->stop);
  device->link = device->readEvent = device->writeEvent = device->stop = NULL;
  if (linked) logDevice(device);
}

static NTSTATUS WINAPI forwardDone(DEVICE_OBJECT *fdo, IRP *irp, void *context) {
  (void)fdo;
  (void)irp;
  KeSetEvent((KEVENT *)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Passes `irp` down and waits until the lower driver is done with it. */
static NTSTATUS forwardAndWait(DEVICE_OBJECT *fdo, IRP *irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, forwardDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(lowerOf(fdo), irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  return irp->IoStatus.Status;
}

static NTSTATUS WINAPI plugAndPlay(DEVICE_OBJECT *fdo, IRP *irp) {
  VirtualDevice *device = deviceOf(fdo);
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = forwardAndWait(fdo, irp);
      if (NT_SUCCESS(status)) status = openLink(device);
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      closeLink(device);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lowerOf(fdo), irp);
}

static NTSTATUS WINAPI addDevice(DRIVER_OBJECT *driver, DEVICE_OBJECT *fdo) {
  HID_DEVICE_EXTENSION *hid = (HID_DEVICE_EXTENSION *)fdo->DeviceExtension;
  VirtualDevice *device = deviceOf(fdo);
  (void)driver;
  RtlZeroMemory(device, sizeof *device);
  KeInitializeSpinLock(&device->lock);
  InitializeListHead(&device->reads);
  KeInitializeEvent(&device->heldTaken, NotificationEvent, TRUE);
  return readConfiguration(hid->PhysicalDeviceObject, device);
}

static void WINAPI unload(DRIVER_OBJECT *driver) { (void)driver; }

/* The ReadGate setting: the gate stays shut unless it is 0. */
static BOOLEAN gateSetting(void) {
  HANDLE key;
  BOOLEAN shut;
  if (!NT_SUCCESS(registryOpen(logPlace.parameters, &key))) return TRUE;
  shut = registryNumber(key, L"ReadGate", 1) != 0;
  ZwClose(key);
  return shut;
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registryPath) {
  HID_MINIDRIVER_REGISTRATION registration;
  NTSTATUS status;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = internalControl;
  driver->MajorFunction[IRP_MJ_PNP] = plugAndPlay;
  driver->DriverExtension->AddDevice = addDevice;
  driver->DriverUnload = unload;
  RtlZeroMemory(&registration, sizeof registration);
  registration.Revision = HID_REVISION;
  registration.DriverObject = driver;
  registration.RegistryPath = registryPath;
  registration.DeviceExtensionSize = sizeof(VirtualDevice);
  registration.DevicesArePolled = FALSE;
  logPlaceOf(&logPlace, registryPath);
  gateShut = gateSetting();
  KeInitializeSpinLock(&gateLock);
  KeInitializeEvent(&noReadsInClass, NotificationEvent, TRUE);
  InitializeListHead(&heldReads);
  status = HidRegisterMinidriver(&registration);
  /* The class driver's handlers for the collection are in place now. */
  classRead = driver->MajorFunction[IRP_MJ_READ];
  if (NT_SUCCESS(status) && classRead != NULL) driver->MajorFunction[IRP_MJ_READ] = gatedRead;
  return status;
}
