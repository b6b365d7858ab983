// Plug and Play and system-control requests: the start and removal
// sequences; everything else goes down the stack unchanged.
#include "core/usb2ser.h"
#include "ioctl/eeprom.h"
#include "legacy/devnode.h"
#include "serial/data_pump.h"
#include "serial/modem_lines.h"
#include "usb/configure.h"
#include "usb/usb_submit.h"

namespace {

const UCHAR USB2SER_START_FLOW_THRESHOLD = 3;

NTSTATUS USB2SER_PassDown(PUSB2SER_EXTENSION ext, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(ext->TopOfStackDeviceObject, Irp);
}

// Lets the lower drivers start the device first (their status is not
// examined), then brings the device into use; the results of the steps are
// not used, but for the worker thread's and the chip initialisation's. The
// initialisation's status replaces the start result only when that is a
// success: a start without its worker thread must not report success.
NTSTATUS USB2SER_StartSequence(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, USB2SER_DeferIrpCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->TopOfStackDeviceObject, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    USB2SER_StartDevice(DeviceObject);
    USB2SER_CreateDevNode(DeviceObject);
    USB2SER_ResetDevice(DeviceObject);
    NTSTATUS status = USB2SER_Create_Thread(DeviceObject);
    USB2SER_QueryCOMPort(DeviceObject);
    if (!USB2SER_IsEEPROM0E2A(DeviceObject)) {
        NTSTATUS initialised = USB2SER_InitHW(DeviceObject);
        if (NT_SUCCESS(status)) status = initialised;
    }
    USB2SER_SetFlowThreshold(DeviceObject, USB2SER_START_FLOW_THRESHOLD);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    USB2SER_DecrementIoCount(DeviceObject);
    return status;
}

// The removal sequence. The remove request goes down whether or not the port
// is open: the device is leaving either way, and the lower drivers must see it.
// Every request in flight holds a reference on the device until the last
// step of its completion, so RemoveEvent also says that no completion can
// reach the extension any more; the worker thread has ended before.
NTSTATUS USB2SER_RemoveSequence(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    ext->Removed = TRUE;
    // No export finds the device from here on; one that found it before holds
    // a reference, which RemoveEvent waits for.
    USB2SER_ReleasePortEntry(DeviceObject);
    USB2SER_WaitForPortLookups();
    USB2SER_CancelAllIrps(ext);
    USB2SER_DecrementIoCount(DeviceObject);  // the device's own reference
    NTSTATUS status = USB2SER_PassDown(ext, Irp);
    USB2SER_DecrementIoCount(DeviceObject);  // this routine's reference
    USB2SER_Kill_Thread(DeviceObject);
    KeWaitForSingleObject(&ext->RemoveEvent, Executive, KernelMode, FALSE, NULL);
    USB2SER_Cleanup(DeviceObject);
    USB2SER_CableRemove(static_cast<ULONG>(ext->PortIndex));
    USB2SER_RemoveDevice(DeviceObject);
    IoDetachDevice(ext->TopOfStackDeviceObject);
    IoDeleteDevice(DeviceObject);
    return status;
}

}  // namespace

// IRP_MJ_PNP and IRP_MJ_SYSTEM_CONTROL, at PASSIVE_LEVEL in the Plug and Play
// manager's thread. Each path drops the reference taken on entry.
NTSTATUS USB2SER_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    USB2SER_IncrementIoCount(DeviceObject);

    if (stack->MajorFunction == IRP_MJ_PNP) {
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return USB2SER_StartSequence(DeviceObject, Irp);
        case IRP_MN_REMOVE_DEVICE:
            return USB2SER_RemoveSequence(DeviceObject, Irp);
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            USB2SER_CreateDevNode(DeviceObject);
            USB2SER_QueryCOMPort(DeviceObject);
            break;
        case IRP_MN_STOP_DEVICE: {
            // Unconfigures the device; a failure ends the request here.
            NTSTATUS status = USB2SER_StopDevice(DeviceObject);
            Irp->IoStatus.Status = status;
            if (!NT_SUCCESS(status)) {
                IoCompleteRequest(Irp, IO_NO_INCREMENT);
                USB2SER_DecrementIoCount(DeviceObject);
                return status;
            }
            break;
        }
        default:
            break;
        }
    }
    NTSTATUS status = USB2SER_PassDown(ext, Irp);
    USB2SER_DecrementIoCount(DeviceObject);
    return status;
}

VOID USB2SER_Cleanup(PDEVICE_OBJECT DeviceObject) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, USB2SER_Extension(DeviceObject)->SymbolicLinkName);
    IoDeleteSymbolicLink(&link);
}

// Frees the interface copies and, while the port is closed, deletes the
// device node. With the port open the node stays, but the table entry goes
// in either case: it must not name a device object that is about to be deleted.
NTSTATUS USB2SER_RemoveDevice(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    USB2SER_ReleaseInterfaces(ext);
    if (ext->PortOpen) {
        USB2SER_ReleasePortEntry(DeviceObject);
        return STATUS_SUCCESS;
    }
    return USB2SER_DeleteDevNode(DeviceObject) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS USB2SER_CableRemove(ULONG Port) {
    if (pCableRemove != NULL) pCableRemove(Port);
    return STATUS_SUCCESS;
}
