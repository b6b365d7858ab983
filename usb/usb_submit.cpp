#include "usb/usb_submit.h"

#include "serial/data_pump.h"

namespace {

const LONG kCallTimeout = -50000000;  // 5 seconds, relative

// Completion of a synchronous request: the IRP comes back to USB2SER_CallUSBD,
// which may still cancel it safely and then lets the I/O manager finish it.
NTSTATUS USB2SER_SyncCallCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// At PASSIVE_LEVEL. The caller keeps its URB and frees it afterwards.
//
// A request still pending after 5 seconds is cancelled and waited for. The
// IRP is held by a completion routine until then, so the cancel can never
// reach an IRP the I/O manager has already released.
NTSTATUS USB2SER_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    KEVENT event;
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);

    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ext->TopOfStackDeviceObject, NULL,
                                             0, NULL, 0, TRUE, &done, &ioStatus);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, USB2SER_SyncCallCompletion, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(ext->TopOfStackDeviceObject, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kCallTimeout;
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
        status = irp->IoStatus.Status;  // as a rule STATUS_CANCELLED after a time-out
    }
    // Nothing here touches the request any more: the I/O manager may finish it.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

USBD_PIPE_HANDLE USB2SER_SlotPipeHandle(PUSB2SER_EXTENSION Extension, ULONG PipeSlot) {
    if (PipeSlot >= USB2SER_SLOT_COUNT) return NULL;
    PUSBD_INTERFACE_INFORMATION info = Extension->InterfaceInfo0;
    ULONG entry = PipeSlot;
    if (!Extension->SingleInterface && PipeSlot != USB2SER_SLOT_INTERRUPT_IN) {
        info = Extension->InterfaceInfo1;
        entry = PipeSlot - 1;
    }
    if (info == NULL || entry >= info->NumberOfPipes) return NULL;
    return info->Pipes[entry].PipeHandle;
}

// Up to DISPATCH_LEVEL. The transfer record is taken over in every case:
// USB2SER_AsyncComplete releases it, or this routine when nothing is sent.
//
// The request claims its slot with one atomic exchange, so that no slot ever
// holds two requests: a completion re-arming the slot and another path arming
// it at the same moment cannot both succeed. A slot still busy is left as it
// is and STATUS_DEVICE_BUSY returned.
NTSTATUS USB2SER_AsyncCallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG PipeSlot) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    PUSB2SER_TRANSFER transfer = reinterpret_cast<PUSB2SER_TRANSFER>(Urb);
    NTSTATUS status = STATUS_NO_MEMORY;
    PIRP irp = IoAllocateIrp(ext->TopOfStackDeviceObject->StackSize, FALSE);
    if (irp == NULL) goto FreeTransfer;

    PIO_STACK_LOCATION next;
    next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;

    // The hand-off flag is cleared before the slot is taken: once the slot
    // holds the request, a canceller may exchange the flag at any moment.
    InterlockedExchange(&ext->IrpSlotDone[PipeSlot], 0);
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->IrpSlot[PipeSlot]), irp, NULL) !=
        NULL) {
        status = STATUS_DEVICE_BUSY;
        goto FreeIrp;
    }
    transfer->DeviceObject = DeviceObject;
    IoSetCompletionRoutine(irp, USB2SER_AsyncComplete, transfer, TRUE, TRUE, TRUE);
    USB2SER_IncrementIoCount_Data(DeviceObject);
    return IoCallDriver(ext->TopOfStackDeviceObject, irp);

FreeIrp:
    IoFreeIrp(irp);
FreeTransfer:
    ExFreePool(transfer->DataBuffer);
    ExFreePool(transfer);
    return status;
}

// Up to DISPATCH_LEVEL. The URB is taken over in every case: freed by the
// completion routine, or here when the request cannot be sent.
NTSTATUS USB2SER_AsyncCallUSBD_Ctrl(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    PIRP irp = IoAllocateIrp(ext->TopOfStackDeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        ExFreePool(Urb);
        return STATUS_NO_MEMORY;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;

    PUSB2SER_CTRL_CONTEXT context = static_cast<PUSB2SER_CTRL_CONTEXT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB2SER_CTRL_CONTEXT), USB2SER_POOL_TAG));
    if (context == NULL) {
        IoFreeIrp(irp);
        ExFreePool(Urb);
        return STATUS_NO_MEMORY;
    }
    context->Irp = irp;
    context->Urb = Urb;
    context->DeviceObject = DeviceObject;
    IoSetCompletionRoutine(irp, USB2SER_AsyncComplete_Ctrl, context, TRUE, TRUE, TRUE);
    USB2SER_IncrementIoCount_Ctrl(DeviceObject);
    return IoCallDriver(ext->TopOfStackDeviceObject, irp);
}

// Completion of a fire-and-forget request, up to DISPATCH_LEVEL: frees the
// request, the URB and the context. The request's own status is not looked at.
NTSTATUS USB2SER_AsyncComplete_Ctrl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    PUSB2SER_CTRL_CONTEXT context = static_cast<PUSB2SER_CTRL_CONTEXT>(Context);
    USB2SER_DecrementIoCount_Ctrl(context->DeviceObject);
    PIRP irp = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&context->Irp), NULL));
    if (irp != NULL) IoFreeIrp(irp);
    if (context->Urb != NULL) {
        ExFreePool(context->Urb);
        context->Urb = NULL;
    }
    ExFreePool(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID USB2SER_ReleaseSlotIrp(PUSB2SER_EXTENSION Extension, ULONG PipeSlot, PIRP Irp) {
    if (InterlockedExchange(&Extension->IrpSlotDone[PipeSlot], 1) != 0) IoFreeIrp(Irp);
}

// Up to DISPATCH_LEVEL. The completion routine may be running at the same
// moment: whoever takes the IRP out of the slot first decides who frees it,
// and the IRP is never freed while IoCancelIrp still runs on it.
VOID CancelTheIrp(PUSB2SER_EXTENSION Extension, ULONG PipeSlot) {
    if (PipeSlot >= USB2SER_SLOT_COUNT) return;
    PIRP irp = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Extension->IrpSlot[PipeSlot]), NULL));
    if (irp == NULL) return;  // idle, or the completion routine has it
    IoCancelIrp(irp);
    USB2SER_ReleaseSlotIrp(Extension, PipeSlot, irp);
}

VOID USB2SER_CancelAllIrps(PUSB2SER_EXTENSION Extension) {
    CancelTheIrp(Extension, USB2SER_SLOT_INTERRUPT_IN);
    CancelTheIrp(Extension, USB2SER_SLOT_BULK_OUT);
    CancelTheIrp(Extension, USB2SER_SLOT_BULK_IN);
}

// At PASSIVE_LEVEL: clears a stall of the slot's pipe on both sides.
NTSTATUS USB2SER_ResetPipe(PDEVICE_OBJECT DeviceObject, ULONG PipeSlot) {
    USBD_PIPE_HANDLE pipe = USB2SER_SlotPipeHandle(USB2SER_Extension(DeviceObject), PipeSlot);
    if (pipe == NULL) return STATUS_INVALID_DEVICE_STATE;
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbPipeRequest.Hdr.Length = URB_TARGET_SIZE_PIPE_REQUEST;
    urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return USB2SER_CallUSBD(DeviceObject, &urb);
}

// At PASSIVE_LEVEL: resets the device's upstream port; the outcome is not reported.
VOID USB2SER_ResetDevice(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, ext->TopOfStackDeviceObject, NULL, 0,
                                             NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) return;
    if (IoCallDriver(ext->TopOfStackDeviceObject, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
}
