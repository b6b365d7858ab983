// Device objects and their extension, the global tables, and the counters
// of work in progress on a device.
#include "core/usb2ser.h"

// The globals start at zero, and the image carries their zeros: each has an
// initialiser, so that the target build (-fno-zero-initialized-in-bss) puts
// it in initialised data. Nothing public says that Windows 98's loader fills
// a section without file data (uninitialised data) with zeros.
PDEVICE_OBJECT gDevObj[USB2SER_MAX_PORTS] = {};
PSET_MSR_SHADOW pSetMSRShadow = NULL;
PSET_READ_QUEUE pSetReadQueue = NULL;
PCABLE_REMOVE pCableRemove = NULL;
PWRITE_OUT_QUEUE pWriteOutQueue = NULL;
LONG gExtBaudrateCnt = 0;
ULONG AvailExtBaudRate[10][2] = {};

LONG gPortLookups = 0;  // exports between their look-up of gDevObj and their reference

PDEVICE_OBJECT USB2SER_GetDeviceObject(ULONG Port) {
    if (Port >= USB2SER_MAX_PORTS) return NULL;
    return gDevObj[Port];
}

// Any IRQL up to DISPATCH_LEVEL. The look-up and the reference are counted in
// gPortLookups, which lives in the image: removal, having cleared the entry,
// waits for that count, so no export can take a reference on a device
// whose removal has gone past its wait.
PDEVICE_OBJECT USB2SER_ReferencePort(ULONG Port) {
    InterlockedIncrement(&gPortLookups);
    PDEVICE_OBJECT device = USB2SER_GetDeviceObject(Port);
    if (device != NULL) {
        USB2SER_IncrementIoCount(device);
        if (USB2SER_Extension(device)->Removed) {
            USB2SER_DecrementIoCount(device);
            device = NULL;
        }
    }
    InterlockedDecrement(&gPortLookups);
    return device;
}

VOID USB2SER_ReleasePort(PDEVICE_OBJECT DeviceObject) { USB2SER_DecrementIoCount(DeviceObject); }

// At PASSIVE_LEVEL. A look-up holds no lock and never waits, so the count is
// back at zero within a few instructions of any moment; a millisecond's
// delay between looks is ample.
VOID USB2SER_WaitForPortLookups() {
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;  // 1 ms
    while (gPortLookups != 0) KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Tries the names "\Device\SerialPort" and "\DosDevices\USBCOM-" with the
// characters 0x31 ("1") to 0x130 appended, and takes the first free one. The
// number only makes the names unique; the COM port number comes later.
NTSTATUS USB2SER_CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject) {
    WCHAR deviceName[] = u"\\Device\\SerialPort0";
    WCHAR linkName[] = u"\\DosDevices\\USBCOM-0";
    const SIZE_T deviceLast = sizeof(deviceName) / sizeof(WCHAR) - 2;  // before the terminator
    const SIZE_T linkLast = sizeof(linkName) / sizeof(WCHAR) - 2;
    UNICODE_STRING deviceString;
    UNICODE_STRING linkString;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    LONG n;

    *DeviceObject = NULL;
    for (n = 1; n <= USB2SER_MAX_PORTS; ++n) {
        deviceName[deviceLast] = static_cast<WCHAR>(0x30 + n);
        linkName[linkLast] = static_cast<WCHAR>(0x30 + n);
        RtlInitUnicodeString(&deviceString, deviceName);
        status = IoCreateDevice(DriverObject, sizeof(USB2SER_EXTENSION), &deviceString,
                                FILE_DEVICE_SERIAL_PORT, 0, TRUE, DeviceObject);
        if (NT_SUCCESS(status)) break;
    }
    if (!NT_SUCCESS(status)) return status;

    PUSB2SER_EXTENSION ext = USB2SER_Extension(*DeviceObject);
    RtlInitUnicodeString(&linkString, linkName);
    status = IoCreateSymbolicLink(&linkString, &deviceString);
    RtlCopyMemory(ext->SymbolicLinkName, linkName, (linkLast + 2) * sizeof(WCHAR));
    KeInitializeEvent(&ext->RemoveEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&ext->CaptureLock);
    KeInitializeEvent(&ext->DataIdleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&ext->CtrlIdleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&ext->RestoredEvent, NotificationEvent, TRUE);
    // The worker thread's events exist with the device: a transmit completion
    // or a kick can signal WriteEvent before a start has made the thread.
    KeInitializeEvent(&ext->KillEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->JobEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&ext->WriteEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&ext->ThreadExitEvent, NotificationEvent, FALSE);
    ext->InstanceNumber = n;
    return status;
}

// AddDevice, at PASSIVE_LEVEL. Nothing is sent to the device here.
NTSTATUS NTAPI USB2SER_PnPAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = USB2SER_CreateDeviceObject(DriverObject, &deviceObject);
    if (!NT_SUCCESS(status)) {
        // A device object whose link could not be made is not left behind.
        if (deviceObject != NULL) IoDeleteDevice(deviceObject);
        return status;
    }

    PUSB2SER_EXTENSION ext = USB2SER_Extension(deviceObject);
    ext->FunctionalDeviceObject = deviceObject;
    deviceObject->Flags |= DO_DIRECT_IO;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    deviceObject->Flags |= DO_POWER_PAGABLE;
    ext->DevicePowerState = PowerDeviceD3;
    ext->IoCount = 0;
    ext->DataIoCount = 0;
    ext->CtrlIoCount = 0;
    ext->Removed = FALSE;
    ext->PhysicalDeviceObject = PhysicalDeviceObject;
    ext->TopOfStackDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (ext->TopOfStackDeviceObject == NULL) {
        // The stack is going away: undo the device rather than keep it unattached.
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, ext->SymbolicLinkName);
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }
    ext->CaptureMode = FALSE;
    USB2SER_IncrementIoCount(deviceObject);  // the device's own reference, dropped at removal
    return status;
}

LONG USB2SER_IncrementIoCount(PDEVICE_OBJECT DeviceObject) {
    return InterlockedIncrement(&USB2SER_Extension(DeviceObject)->IoCount);
}

// The count reaches zero only once removal has dropped the device's own
// reference, which it does after setting Removed: a request that comes after
// that is refused at once.
LONG USB2SER_DecrementIoCount(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    LONG count = InterlockedDecrement(&ext->IoCount);
    if (count == 0) KeSetEvent(&ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
    return count;
}

namespace {

// The data and control counters: the idle event is cleared when the first
// request starts and set when the last one ends. The event follows the
// counter a moment later; waiters on it allow for that.
VOID USB2SER_CountStart(PLONG Count, PKEVENT IdleEvent) {
    if (InterlockedIncrement(Count) == 1) KeClearEvent(IdleEvent);
}

LONG USB2SER_CountEnd(PLONG Count, PKEVENT IdleEvent) {
    LONG count = InterlockedDecrement(Count);
    if (count == 0) KeSetEvent(IdleEvent, IO_NO_INCREMENT, FALSE);
    return count;
}

}  // namespace

VOID USB2SER_IncrementIoCount_Data(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    USB2SER_CountStart(&ext->DataIoCount, &ext->DataIdleEvent);
}

LONG USB2SER_DecrementIoCount_Data(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    return USB2SER_CountEnd(&ext->DataIoCount, &ext->DataIdleEvent);
}

VOID USB2SER_IncrementIoCount_Ctrl(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    USB2SER_CountStart(&ext->CtrlIoCount, &ext->CtrlIdleEvent);
}

LONG USB2SER_DecrementIoCount_Ctrl(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    return USB2SER_CountEnd(&ext->CtrlIoCount, &ext->CtrlIdleEvent);
}

// Completion routine of an IRP passed down to be waited for: it comes back to
// the routine that passed it down, which finishes it. Up to DISPATCH_LEVEL.
NTSTATUS NTAPI USB2SER_DeferIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(static_cast<PKEVENT>(Context), EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
