// Plug and Play and system-control requests: the start and removal
// sequences; everything else goes down the stack unchanged.
#include "core/usb2ser.h"
#include "ioctl/eeprom.h"
#include "legacy/devnode.h"
#include "serial/modem_lines.h"
#include "serial/worker_thread.h"
#include "usb/configure.h"
#include "usb/usb_submit.h"

namespace {

const UCHAR USB2SER_START_FLOW_THRESHOLD = 3;
const WCHAR USB2SER_MULTIPORT_VALUE[] = u"MultiportDevice";
const WCHAR USB2SER_SERIAL_PORT_ID[] = u"*PNP0501";
const WCHAR USB2SER_MULTIPORT_ID[] = u"*PNP0502";
const ULONG USB2SER_KEY_INFO_HEADER = 24;  // the full-information header and its padding

NTSTATUS USB2SER_PassDown(PUSB2SER_EXTENSION ext, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(ext->TopOfStackDeviceObject, Irp);
}

// Passes the request down and waits until the lower drivers have completed
// it; it comes back here (USB2SER_DeferIrpCompletion) for the caller to
// complete. Returns the lower drivers' status.
NTSTATUS USB2SER_ForwardAndWait(PUSB2SER_EXTENSION ext, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, USB2SER_DeferIrpCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->TopOfStackDeviceObject, Irp) == STATUS_PENDING) {
        USB2SER_WaitForEvent(&event, NULL);
    }
    return Irp->IoStatus.Status;
}

// Lets the lower drivers start the device first (their status is not
// examined), then brings the device into use; the results of the steps are
// not used, but for the configuration's, the worker thread's and the chip
// initialisation's. The first of them that failed is the start's result: a
// start without pipes or without its worker thread must not report success.
NTSTATUS USB2SER_StartSequence(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    KeClearEvent(&ext->RestoredEvent);
    ext->Restoring = TRUE;
    USB2SER_ForwardAndWait(ext, Irp);
    const NTSTATUS configured = USB2SER_StartDevice(DeviceObject);
    USB2SER_CreateDevNode(DeviceObject);
    USB2SER_ResetDevice(DeviceObject);
    // The reset clears remote wake-up with the rest of the device's state.
    if (NT_SUCCESS(configured)) USB2SER_ControlRemoteWakeup(DeviceObject, TRUE);
    NTSTATUS status = USB2SER_Create_Thread(DeviceObject);
    if (NT_SUCCESS(status)) status = configured;
    USB2SER_QueryCOMPort(DeviceObject);
    if (!USB2SER_IsEEPROM0E2A(DeviceObject)) {
        NTSTATUS initialised = USB2SER_InitHW(DeviceObject);
        if (NT_SUCCESS(status)) status = initialised;
    }
    USB2SER_SetFlowThreshold(DeviceObject, USB2SER_START_FLOW_THRESHOLD);
    // A started device works at full power: the next sleep is a power-down,
    // and no wake ever asks for the state the device is already in.
    if (NT_SUCCESS(status)) SetPowerState(ext, PowerDeviceD0);
    USB2SER_RestorePort(DeviceObject, FALSE);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    USB2SER_DecrementIoCount(DeviceObject);
    return status;
}

// The removal sequence. The remove request goes down whether or not the port
// is open: the device is leaving either way, and the lower drivers must see it.
// It is waited for below and completed here at the end, so that it is not in
// flight on the device object when that is deleted (the bus may answer it
// later, from a thread of its own).
// Every request in flight holds a reference on the device until the last
// step of its completion, so RemoveEvent also says that no completion can
// reach the extension any more; the worker thread has ended before.
NTSTATUS USB2SER_RemoveSequence(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    ext->Removed = TRUE;
    // Nobody opens the device by its name any more.
    USB2SER_Cleanup(DeviceObject);
    // No export finds the device from here on; one that found it before holds
    // a reference, which RemoveEvent waits for.
    USB2SER_ReleasePortEntry(DeviceObject);
    USB2SER_WaitForPortLookups();
    USB2SER_CancelAllIrps(ext);
    USB2SER_DecrementIoCount(DeviceObject);  // the device's own reference
    const NTSTATUS status = USB2SER_ForwardAndWait(ext, Irp);
    USB2SER_DecrementIoCount(DeviceObject);  // this routine's reference
    USB2SER_Kill_Thread(DeviceObject);
    USB2SER_WaitForEvent(&ext->RemoveEvent, NULL);
    USB2SER_CableRemove(static_cast<ULONG>(ext->BoundPort));
    USB2SER_RemoveDevice(DeviceObject);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDetachDevice(ext->TopOfStackDeviceObject);
    IoDeleteDevice(DeviceObject);
    return status;
}

// The Plug and Play requests this driver carries out or agrees to.
BOOLEAN USB2SER_AgreesTo(PIO_STACK_LOCATION Stack) {
    if (Stack->MajorFunction != IRP_MJ_PNP) return FALSE;
    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return TRUE;
    default:
        return FALSE;
    }
}

// Forwards the capability query and waits for it; the lower driver's answer
// goes up unchanged.
NTSTATUS USB2SER_QueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    PKEVENT event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), USB2SER_POOL_TAG));
    if (event == NULL) {
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        KeInitializeEvent(event, SynchronizationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SerialSyncCompletion, event, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->TopOfStackDeviceObject, Irp) == STATUS_PENDING) {
            USB2SER_WaitForEvent(event, NULL);
        }
        ExFreePool(event);
    }
    const NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// The length of a list of NUL-terminated wide strings ended by an empty one,
// in bytes with the final terminator.
ULONG USB2SER_IdListBytes(const WCHAR* List) {
    ULONG bytes = 0;
    while (List[bytes / sizeof(WCHAR)] != 0) {
        while (List[bytes / sizeof(WCHAR)] != 0) bytes += sizeof(WCHAR);
        bytes += sizeof(WCHAR);
    }
    return bytes + sizeof(WCHAR);
}

// The hardware identifiers: the standard serial port's, or the multiport
// device's when "MultiportDevice" in the device's hardware key is non-zero,
// appended to a list a driver above handed down (kept, since the list is
// owned with the IRP and would otherwise be lost). Passed down on success.
NTSTATUS USB2SER_QueryHardwareIds(PDEVICE_OBJECT DeviceObject, PIRP Irp, PWCHAR Supplied) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    HANDLE key;
    ULONG multiport = 0;
    NTSTATUS status = IoOpenDeviceRegistryKey(ext->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ,
                                              &key);
    if (NT_SUCCESS(status)) {
        status = USB2SER_GetRegistryKeyValue(key, USB2SER_MULTIPORT_VALUE, sizeof(USB2SER_MULTIPORT_VALUE),
                                             &multiport, sizeof(multiport));
        ZwClose(key);
    }
    PWCHAR list = NULL;
    if (NT_SUCCESS(status)) {
        const WCHAR* id = multiport != 0 ? USB2SER_MULTIPORT_ID : USB2SER_SERIAL_PORT_ID;
        const ULONG old = Supplied != NULL ? USB2SER_IdListBytes(Supplied) : sizeof(WCHAR);
        list = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, old + 20, USB2SER_POOL_TAG));
        if (list == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(list, old + 20);
            if (Supplied != NULL) RtlCopyMemory(list, Supplied, old);
            RtlCopyMemory(reinterpret_cast<PUCHAR>(list) + old - sizeof(WCHAR), id, sizeof(USB2SER_SERIAL_PORT_ID));
        }
    }
    if (Supplied != NULL) ExFreePool(Supplied);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
    return USB2SER_PassDown(ext, Irp);
}

}  // namespace

// Completion routine of a request forwarded to be waited for: signals the
// waiter and keeps the request. Up to DISPATCH_LEVEL.
NTSTATUS NTAPI SerialSyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// At PASSIVE_LEVEL. Copies a value's data into Data only when it fits; a
// longer value leaves Data alone and still succeeds while the whole entry
// fits the buffer (the header's padding leaves room for a few bytes more),
// and fails with the registry's status (STATUS_BUFFER_OVERFLOW) beyond.
NTSTATUS USB2SER_GetRegistryKeyValue(HANDLE Key, PCWSTR Name, ULONG NameLength, PVOID Data, ULONG DataLength) {
    const ULONG size = NameLength + DataLength + USB2SER_KEY_INFO_HEADER;
    PKEY_VALUE_FULL_INFORMATION info =
        static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, size, USB2SER_POOL_TAG));
    if (info == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    ULONG result = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, size, &result);
    if (NT_SUCCESS(status) && info->DataLength <= DataLength && info->DataOffset <= size &&
        info->DataLength <= size - info->DataOffset) {
        RtlCopyMemory(Data, reinterpret_cast<PUCHAR>(info) + info->DataOffset, info->DataLength);
    }
    ExFreePool(info);
    return status;
}

// IRP_MJ_PNP and IRP_MJ_SYSTEM_CONTROL, at PASSIVE_LEVEL in the Plug and Play
// manager's thread. Each path drops the reference taken on entry.
NTSTATUS NTAPI USB2SER_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const BOOLEAN hardwareIds = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_ID &&
                                stack->Parameters.QueryId.IdType == BusQueryHardwareIDs;
    PWCHAR supplied = hardwareIds ? reinterpret_cast<PWCHAR>(Irp->IoStatus.Information) : NULL;
    // A request the driver answers or agrees to starts out successful; one it
    // only passes on keeps the status and information it came with, as the
    // stack below and the Plug and Play manager rely on.
    if (hardwareIds || USB2SER_AgreesTo(stack)) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
    }
    USB2SER_IncrementIoCount(DeviceObject);
    NTSTATUS status;

    if (hardwareIds) {
        status = USB2SER_QueryHardwareIds(DeviceObject, Irp, supplied);
        USB2SER_DecrementIoCount(DeviceObject);
        return status;
    }
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
        case IRP_MN_QUERY_CAPABILITIES:
            status = USB2SER_QueryCapabilities(DeviceObject, Irp);
            USB2SER_DecrementIoCount(DeviceObject);
            return status;
        case IRP_MN_STOP_DEVICE:
            // Unconfigures the device; a failure ends the request here.
            status = USB2SER_StopDevice(DeviceObject);
            Irp->IoStatus.Status = status;
            if (!NT_SUCCESS(status)) {
                IoCompleteRequest(Irp, IO_NO_INCREMENT);
                USB2SER_DecrementIoCount(DeviceObject);
                return status;
            }
            break;
        default:
            break;
        }
    }
    status = USB2SER_PassDown(ext, Irp);
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
