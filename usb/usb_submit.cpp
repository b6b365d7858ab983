#include "usb/usb_submit.h"

#include "serial/data_pump.h"

namespace {

const LONG kCallTimeout = -50000000;  // 5 seconds, relative

// Completion of a synchronous request: the IRP comes back to USB2SER_CallBus,
// which may still cancel it safely and then lets the I/O manager finish it.
NTSTATUS NTAPI USB2SER_SyncCallCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// At PASSIVE_LEVEL: an internal device-control request to the bus, waited
// for. A request still pending after 5 seconds is cancelled and waited for. The
// IRP is held by a completion routine until then, so the cancel can never
// reach an IRP the I/O manager has already released. The I/O manager then
// finishes the request in this thread (status block, event, release), not
// necessarily before IoCompleteRequest returns; the status block and the
// event live in this frame, so the call waits for that final step. The
// platform skips it (and signals nothing) for a request that failed without
// pending. Where the thread cannot wait (another virtual machine) nothing is
// sent and the call fails with STATUS_CANT_WAIT: every wait here would answer
// at once and leave the request in flight, writing into this frame and the
// caller's URB after they are gone. A thread that can wait goes on waiting
// through the platform's undocumented answers (USB2SER_Wait), so once sent,
// the request is always waited for.
NTSTATUS USB2SER_CallBus(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PURB Urb) {
    if (!USB2SER_CanWait()) return STATUS_CANT_WAIT;
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    KEVENT event;
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);

    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, ext->TopOfStackDeviceObject, NULL, 0, NULL, 0, TRUE,
                                             &done, &ioStatus);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, USB2SER_SyncCallCompletion, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(ext->TopOfStackDeviceObject, irp);
    const BOOLEAN pended = status == STATUS_PENDING;
    if (pended) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kCallTimeout;
        if (USB2SER_WaitForEvent(&event, &timeout) != STATUS_WAIT_0) {
            IoCancelIrp(irp);
            USB2SER_WaitForEvent(&event, NULL);
        }
        status = irp->IoStatus.Status;  // as a rule STATUS_CANCELLED after a time-out
    }
    const BOOLEAN signalled = pended || !NT_ERROR(irp->IoStatus.Status);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (signalled) USB2SER_WaitForEvent(&done, NULL);
    return status;
}

}  // namespace

// At PASSIVE_LEVEL. The caller keeps its URB and frees it afterwards.
NTSTATUS USB2SER_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    return USB2SER_CallBus(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
}

USBD_PIPE_HANDLE USB2SER_SlotPipeHandle(PUSB2SER_EXTENSION Extension, ULONG PipeSlot) {
    if (PipeSlot >= USB2SER_SLOT_COUNT) return NULL;
    if (PipeSlot == USB2SER_SLOT_BULK_IN_NEXT) PipeSlot = USB2SER_SLOT_BULK_IN;
    PUSBD_INTERFACE_INFORMATION info = Extension->InterfaceInfo0;
    ULONG entry = PipeSlot;
    if (!Extension->SingleInterface && PipeSlot != USB2SER_SLOT_INTERRUPT_IN) {
        info = Extension->InterfaceInfo1;
        entry = PipeSlot - 1;
    }
    if (info == NULL || entry >= info->NumberOfPipes) return NULL;
    return info->Pipes[entry].PipeHandle;
}

namespace {

// The hand-off flag (`IrpSlotDone`) of a data transfer's IRP, in the driver's
// own stack location: the top one, above the locations of the stack below. So
// the flag lives exactly as long as the IRP it belongs to, and a request armed
// on the same slot meanwhile has a flag of its own. The stack locations follow
// the IRP, the topmost last.
PVOID volatile* USB2SER_SlotIrpDone(PIRP Irp) {
    PIO_STACK_LOCATION own = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + (Irp->StackCount - 1);
    return &own->Parameters.Others.Argument2;
}

// An IRP that submits the URB to the bus, with a stack location of the
// driver's own on top that holds the hand-off flag (0 until a side sets it).
// Null when there is none to be had.
PIRP USB2SER_AllocateSubmitIrp(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PIRP irp = IoAllocateIrp(
        static_cast<CCHAR>(USB2SER_Extension(DeviceObject)->TopOfStackDeviceObject->StackSize + 1), FALSE);
    if (irp == NULL) return NULL;
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
    own->DeviceObject = DeviceObject;
    own->Parameters.Others.Argument2 = NULL;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    return irp;
}

// Up to DISPATCH_LEVEL: the request held in the entry (a slot or a
// fire-and-forget entry), if any, is taken out and cancelled. The completion
// routine may be running at the same moment: whoever takes the IRP out first
// decides who frees it, and it is never freed while IoCancelIrp still runs on it.
VOID USB2SER_CancelHeldIrp(PIRP* Entry) {
    PIRP irp = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(Entry), NULL));
    if (irp == NULL) return;  // idle, or the completion routine has it
    IoCancelIrp(irp);
    USB2SER_ReleaseSlotIrp(irp);
}

}  // namespace

// Up to DISPATCH_LEVEL. The transfer record is taken over in every case:
// USB2SER_AsyncComplete releases it, or this routine when nothing is sent.
// The caller holds a reference on the device (a dispatch routine, the
// completion being re-armed, the worker thread removal waits for).
//
// The request claims its slot with one atomic compare-exchange, so that no
// slot ever holds two requests: a completion re-arming the slot and another
// path arming it at the same moment cannot both succeed. A slot still busy is
// left as it is and STATUS_DEVICE_BUSY returned. A request in flight holds a
// reference on the device until the last step of its completion: removal
// waits for it on RemoveEvent.
NTSTATUS USB2SER_AsyncCallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG PipeSlot) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    PUSB2SER_TRANSFER transfer = reinterpret_cast<PUSB2SER_TRANSFER>(Urb);
    NTSTATUS status = STATUS_NO_MEMORY;
    PIRP irp = USB2SER_AllocateSubmitIrp(DeviceObject, Urb);
    if (irp == NULL) goto FreeTransfer;
    transfer->DeviceObject = DeviceObject;
    transfer->PipeSlot = PipeSlot;
    IoSetCompletionRoutine(irp, USB2SER_AsyncComplete, transfer, TRUE, TRUE, TRUE);

    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->IrpSlot[PipeSlot]), irp, NULL) !=
        NULL) {
        status = STATUS_DEVICE_BUSY;
        goto FreeIrp;
    }
    USB2SER_IncrementIoCount_Data(DeviceObject);
    USB2SER_IncrementIoCount(DeviceObject);
    status = IoCallDriver(ext->TopOfStackDeviceObject, irp);
    // Removal sets Removed before it cancels the slots. Seen here, after the
    // claim, it may have found this slot still empty: nobody else would
    // cancel this request, and its reference would hold removal for ever.
    if (ext->Removed) CancelTheIrp(ext, PipeSlot);
    return status;

FreeIrp:
    IoFreeIrp(irp);
FreeTransfer:
    ExFreePool(transfer->DataBuffer);
    ExFreePool(transfer);
    return status;
}

// Up to DISPATCH_LEVEL. The URB is taken over in every case: freed by the
// completion routine, or here when the request cannot be sent. The request
// takes a free entry of CtrlIrps, where removal finds it to cancel it: a
// device that never answers must not hold the removal for ever. With every
// entry taken the request is not sent (STATUS_DEVICE_BUSY). The request's IRP
// has a stack location of the driver's own for the hand-off flag between the
// completion and a canceller, as a data transfer's has.
NTSTATUS USB2SER_AsyncCallUSBD_Ctrl(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    PIRP irp = USB2SER_AllocateSubmitIrp(DeviceObject, Urb);
    if (irp == NULL) {
        ExFreePool(Urb);
        return STATUS_NO_MEMORY;
    }
    PUSB2SER_CTRL_CONTEXT context = static_cast<PUSB2SER_CTRL_CONTEXT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB2SER_CTRL_CONTEXT), USB2SER_POOL_TAG));
    if (context == NULL) {
        IoFreeIrp(irp);
        ExFreePool(Urb);
        return STATUS_NO_MEMORY;
    }
    ULONG entry = 0;
    while (entry < USB2SER_MAX_CTRL_REQUESTS &&
           InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->CtrlIrps[entry]), irp, NULL) !=
               NULL) {
        ++entry;
    }
    if (entry == USB2SER_MAX_CTRL_REQUESTS) {
        ExFreePool(context);
        IoFreeIrp(irp);
        ExFreePool(Urb);
        return STATUS_DEVICE_BUSY;
    }
    context->Irp = irp;
    context->Urb = Urb;
    context->DeviceObject = DeviceObject;
    context->Entry = entry;
    IoSetCompletionRoutine(irp, USB2SER_AsyncComplete_Ctrl, context, TRUE, TRUE, TRUE);
    USB2SER_IncrementIoCount_Ctrl(DeviceObject);
    USB2SER_IncrementIoCount(DeviceObject);  // released by the completion's last step
    const NTSTATUS status = IoCallDriver(ext->TopOfStackDeviceObject, irp);
    // Removal may have looked at the entries before this one was taken.
    if (ext->Removed) USB2SER_CancelHeldIrp(&ext->CtrlIrps[entry]);
    return status;
}

// Completion of a fire-and-forget request, up to DISPATCH_LEVEL: frees the
// request (or leaves it to a canceller that has it), the URB and the context.
// The request's own status is not looked at. The device reference the
// request held goes last: once it is dropped, removal may delete the device.
NTSTATUS NTAPI USB2SER_AsyncComplete_Ctrl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    PUSB2SER_CTRL_CONTEXT context = static_cast<PUSB2SER_CTRL_CONTEXT>(Context);
    PDEVICE_OBJECT device = context->DeviceObject;
    PUSB2SER_EXTENSION ext = USB2SER_Extension(device);
    USB2SER_DecrementIoCount_Ctrl(device);
    USB2SER_GiveBackIrp(&ext->CtrlIrps[context->Entry], Irp);
    ExFreePool(context->Urb);
    ExFreePool(context);
    USB2SER_DecrementIoCount(device);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID USB2SER_ReleaseSlotIrp(PIRP Irp) {
    if (InterlockedExchangePointer(USB2SER_SlotIrpDone(Irp), reinterpret_cast<PVOID>(1)) != NULL) IoFreeIrp(Irp);
}

// The entry is given back only if it still holds this request: another path
// may have put a new one there after a canceller took this one out.
VOID USB2SER_GiveBackIrp(PIRP* Entry, PIRP Irp) {
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(Entry), NULL, Irp) == Irp) {
        IoFreeIrp(Irp);
    } else {
        USB2SER_ReleaseSlotIrp(Irp);
    }
}

// Up to DISPATCH_LEVEL.
VOID CancelTheIrp(PUSB2SER_EXTENSION Extension, ULONG PipeSlot) {
    if (PipeSlot < USB2SER_SLOT_COUNT) USB2SER_CancelHeldIrp(&Extension->IrpSlot[PipeSlot]);
}

VOID USB2SER_CancelAllIrps(PUSB2SER_EXTENSION Extension) {
    for (ULONG slot = 0; slot < USB2SER_SLOT_COUNT; ++slot) CancelTheIrp(Extension, slot);
    for (PIRP& entry : Extension->CtrlIrps) USB2SER_CancelHeldIrp(&entry);
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

// At PASSIVE_LEVEL: resets the device's upstream port, waited for as a
// synchronous request is (a hub that never answers costs the start 5
// seconds, not the machine); the outcome is not reported.
VOID USB2SER_ResetDevice(PDEVICE_OBJECT DeviceObject) {
    USB2SER_CallBus(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
}
