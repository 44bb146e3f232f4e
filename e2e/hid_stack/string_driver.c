/* kalvo_vhidstr.sys: the function driver on the virtual Kalvo's HID
 * collection. Wine sends a handle's requests to the top of the device's
 * stack, so this driver sees every request the program makes on the
 * collection. It passes everything down except IOCTL_HID_GET_INDEXED_STRING,
 * which Wine 8's class driver does not handle: string index 4 is answered by
 * asking the class driver for the serial number string instead, which the
 * minidriver fills with its index-4 text; other indexes fail as for a device
 * without them.
 *
 * Every open and close of the collection goes to the drivers' log
 * (driver_log.h) as "open INSTANCE TICKS FILE OPTIONS" and "close INSTANCE
 * TICKS FILE" (FILE the file object, OPTIONS the open's create options), so
 * that the tests can tell which devices a program opened and closed: the
 * system opens HID collections too (Wine's raw input keeps a synchronous
 * handle on each). Every read is kept in memory and written out when its
 * handle closes, as "read INSTANCE FILE IRP ENTERED DONE STATUS BYTES": the
 * request, when it came, when it completed, with what status, and the first
 * bytes of what it got. With the minidriver's log of the reports it gave the
 * class driver and of the reads it let into it, the tests tell whether the
 * class driver kept a report back from a read waiting for it. */
#include <ntddk.h>

#include "driver_log.h"
#include "hid_minidriver.h"

#define IDENTIFICATION_INDEX 4
#define INSTANCE_CHARS 64
/* Reads kept for one collection between two closes with none outstanding:
 * more than any scenario or benchmark session makes. */
#define READS_KEPT 4096
#define HEAD_BYTES 8

typedef struct Collection Collection;

typedef struct {
  Collection *collection;
  FILE_OBJECT *file;
  IRP *irp;
  ULONGLONG entered, done; /* done is 0 while outstanding */
  NTSTATUS status;
  UCHAR head[HEAD_BYTES];
} ReadRecord;

struct Collection {
  DEVICE_OBJECT *lower;
  char instance[INSTANCE_CHARS];
  KEVENT logging;  /* held while the reads are written out */
  KSPIN_LOCK lock; /* guards the records' count and each record's completion */
  ULONG reads;     /* records in use */
  ULONG unkept;    /* reads beyond READS_KEPT */
  ReadRecord read[READS_KEPT];
};

static LogPlace logPlace;

static Collection *collectionOf(DEVICE_OBJECT *device) {
  return (Collection *)device->DeviceExtension;
}

static NTSTATUS passDown(DEVICE_OBJECT *device, IRP *irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(collectionOf(device)->lower, irp);
}

/* ---- the log ---------------------------------------------------------- */

static void logOpenOrClose(Collection *collection, const char *what, IO_STACK_LOCATION *stack) {
  LogLines lines;
  logBegin(&lines, &logPlace);
  logText(&lines, what);
  logText(&lines, " ");
  logText(&lines, collection->instance);
  logText(&lines, " ");
  logNumber(&lines, logTicks());
  logText(&lines, " ");
  logNumber(&lines, (ULONG_PTR)stack->FileObject);
  if (stack->MajorFunction == IRP_MJ_CREATE) {
    logText(&lines, " ");
    logNumber(&lines, stack->Parameters.Create.Options & 0xFFFFFF);
  }
  logLineEnd(&lines);
  logEnd(&lines);
}

/* Writes out the reads made on `file`, which is closing, and forgets every
 * read once none is outstanding. One at a time (`logging`); the records of a
 * closing handle no longer change, so they are read without the lock, which
 * a write to the file must not hold. */
static void logReads(Collection *collection, FILE_OBJECT *file) {
  LogLines lines;
  KIRQL irql;
  ULONG i, kept, outstanding = 0;
  KeWaitForSingleObject(&collection->logging, Executive, KernelMode, FALSE, NULL);
  KeAcquireSpinLock(&collection->lock, &irql);
  kept = collection->reads;
  KeReleaseSpinLock(&collection->lock, irql);
  logBegin(&lines, &logPlace);
  for (i = 0; i < kept; ++i) {
    const ReadRecord *read = &collection->read[i];
    if (read->file != file) continue;
    logText(&lines, "read ");
    logText(&lines, collection->instance);
    logText(&lines, " ");
    logNumber(&lines, (ULONG_PTR)file);
    logText(&lines, " ");
    logNumber(&lines, (ULONG_PTR)read->irp);
    logText(&lines, " ");
    logNumber(&lines, read->entered);
    logText(&lines, " ");
    logNumber(&lines, read->done);
    logText(&lines, " ");
    logNumber(&lines, (ULONG)read->status);
    logText(&lines, " ");
    logHex(&lines, read->head, HEAD_BYTES);
    logLineEnd(&lines);
  }
  KeAcquireSpinLock(&collection->lock, &irql);
  if (collection->unkept != 0) {
    logText(&lines, "reads-unkept ");
    logText(&lines, collection->instance);
    logText(&lines, " ");
    logNumber(&lines, collection->unkept);
    logLineEnd(&lines);
  }
  for (i = 0; i < collection->reads; ++i)
    if (collection->read[i].done == 0) ++outstanding;
  if (outstanding == 0) collection->reads = collection->unkept = 0;
  KeReleaseSpinLock(&collection->lock, irql);
  logEnd(&lines);
  KeSetEvent(&collection->logging, IO_NO_INCREMENT, FALSE);
}

/* ---- requests --------------------------------------------------------- */

static NTSTATUS WINAPI openOrClose(DEVICE_OBJECT *device, IRP *irp) {
  Collection *collection = collectionOf(device);
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_CLOSE) logReads(collection, stack->FileObject);
  logOpenOrClose(collection, stack->MajorFunction == IRP_MJ_CREATE ? "open" : "close", stack);
  return passDown(device, irp);
}

static NTSTATUS WINAPI readDone(DEVICE_OBJECT *device, IRP *irp, void *context) {
  ReadRecord *read = (ReadRecord *)context;
  Collection *collection = read->collection;
  const ULONGLONG done = logTicks();
  KIRQL irql;
  (void)device;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  KeAcquireSpinLock(&collection->lock, &irql);
  read->status = irp->IoStatus.Status;
  if (NT_SUCCESS(irp->IoStatus.Status) && irp->IoStatus.Information >= HEAD_BYTES &&
      irp->AssociatedIrp.SystemBuffer != NULL)
    RtlCopyMemory(read->head, irp->AssociatedIrp.SystemBuffer, HEAD_BYTES);
  read->done = done;
  KeReleaseSpinLock(&collection->lock, irql);
  return STATUS_CONTINUE_COMPLETION;
}

static NTSTATUS WINAPI readReport(DEVICE_OBJECT *device, IRP *irp) {
  Collection *collection = collectionOf(device);
  ReadRecord *read = NULL;
  KIRQL irql;
  KeAcquireSpinLock(&collection->lock, &irql);
  if (collection->reads < READS_KEPT) {
    read = &collection->read[collection->reads++];
    RtlZeroMemory(read, sizeof *read);
    read->collection = collection;
    read->file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    read->irp = irp;
    read->entered = logTicks();
  } else {
    ++collection->unkept;
  }
  KeReleaseSpinLock(&collection->lock, irql);
  if (read == NULL) return passDown(device, irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, readDone, read, TRUE, TRUE, TRUE);
  return IoCallDriver(collection->lower, irp);
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
  KeInitializeEvent(&collection->logging, SynchronizationEvent, TRUE);
  KeInitializeSpinLock(&collection->lock);
  collection->reads = collection->unkept = 0;
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
  logPlaceOf(&logPlace, registryPath);
  for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = passDownDispatch;
  driver->MajorFunction[IRP_MJ_CREATE] = openOrClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = openOrClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = control;
  driver->MajorFunction[IRP_MJ_READ] = readReport;
  driver->MajorFunction[IRP_MJ_PNP] = plugAndPlay;
  driver->DriverExtension->AddDevice = addDevice;
  driver->DriverUnload = unload;
  return STATUS_SUCCESS;
}
