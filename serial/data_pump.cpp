#include "serial/data_pump.h"

#include "usb/requests.h"
#include "usb/usb_submit.h"

namespace {

const ULONG kSlotFlags[USB2SER_SLOT_COUNT] = {
    USBD_TRANSFER_DIRECTION_IN,
    USBD_TRANSFER_DIRECTION_OUT,
    USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
    USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
};

// The slots whose reads stay armed while the port is open.
const ULONG kReadSlots[] = {USB2SER_SLOT_INTERRUPT_IN, USB2SER_SLOT_BULK_IN, USB2SER_SLOT_BULK_IN_NEXT};

// A read that ended this way left its pipe halted (a stall, an underrun, a
// transaction error) on a device that still answers: clearing the stall
// brings it back. Cancelled reads and a device that is gone or does not
// answer are left alone.
BOOLEAN USB2SER_PipeHalted(USBD_STATUS Status) {
    return USBD_HALTED(Status) && Status != USBD_STATUS_CANCELED && Status != USBD_STATUS_DEVICE_GONE &&
           Status != USBD_STATUS_DEV_NOT_RESPONDING;
}

// Received bytes while capture is on: appended up to the buffer's 256 bytes;
// what does not fit is dropped and capture stays on.
VOID USB2SER_CaptureBytes(PUSB2SER_EXTENSION ext, PUCHAR Data, ULONG Length) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->CaptureLock, &irql);
    LONG room = USB2SER_CAPTURE_SIZE - ext->CaptureLength;
    if (room > 0) {
        ULONG count = Length < static_cast<ULONG>(room) ? Length : static_cast<ULONG>(room);
        RtlCopyMemory(ext->CaptureBuffer + ext->CaptureLength, Data, count);
        ext->CaptureLength += static_cast<LONG>(count);
    }
    KeReleaseSpinLock(&ext->CaptureLock, irql);
}

// Arms a read again from its completion. A re-arm that cannot start (no pool,
// no IRP) is no end of reception: the thread tries again, within the bound
// of the read recoveries.
VOID USB2SER_ReArm(PDEVICE_OBJECT DeviceObject, ULONG PipeSlot, ULONG Length) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    const NTSTATUS status = USB2SER_AsyncTransfer(DeviceObject, PipeSlot, NULL, Length);
    if (status == STATUS_NO_MEMORY && !ext->Removed &&
        InterlockedIncrement(&ext->ReadRecoveries) <= USB2SER_MAX_READ_RECOVERIES) {
        USB2SER_RecoverReads(ext);
    }
}

}  // namespace

// Up to DISPATCH_LEVEL. Source is read only for the bulk-out slot; the caller
// may reuse it as soon as this returns.
NTSTATUS USB2SER_AsyncTransfer(PDEVICE_OBJECT DeviceObject, ULONG PipeSlot, PVOID Source, ULONG Length) {
    USBD_PIPE_HANDLE pipe = USB2SER_SlotPipeHandle(USB2SER_Extension(DeviceObject), PipeSlot);
    if (pipe == NULL) return STATUS_INVALID_DEVICE_STATE;

    PUSB2SER_TRANSFER transfer = static_cast<PUSB2SER_TRANSFER>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB2SER_TRANSFER), USB2SER_POOL_TAG));
    PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Length, USB2SER_POOL_TAG));
    if (transfer == NULL || buffer == NULL) {
        if (transfer != NULL) ExFreePool(transfer);
        if (buffer != NULL) ExFreePool(buffer);
        return STATUS_NO_MEMORY;
    }
    if (PipeSlot == USB2SER_SLOT_BULK_OUT) RtlCopyMemory(buffer, Source, Length);

    RtlZeroMemory(transfer, sizeof(USB2SER_TRANSFER));
    USB2SER_FillPipeTransfer(&transfer->Urb, pipe, kSlotFlags[PipeSlot], buffer, Length);
    transfer->DataBuffer = buffer;
    transfer->Length = Length;
    return USB2SER_AsyncCallUSBD(DeviceObject, reinterpret_cast<PURB>(transfer), PipeSlot);
}

namespace {

// Delivery, one routine per pipe, up to DISPATCH_LEVEL, for a transfer that
// ended well on a device not being removed.

// The status read: the status word it carries goes to the port driver, and
// the read goes again.
VOID USB2SER_DeliverStatus(PDEVICE_OBJECT DeviceObject, PUSB2SER_TRANSFER Transfer, ULONG Count) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    USB2SER_TakeModemStatus(ext, Transfer->DataBuffer, Count);
    InterlockedExchange(&ext->ReadRecoveries, 0);
    USB2SER_ReArm(DeviceObject, USB2SER_SLOT_INTERRUPT_IN, USB2SER_INTERRUPT_PACKET_SIZE);
}

// A chunk went out: the worker thread asks the port driver for the next.
VOID USB2SER_DeliverSent(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    InterlockedExchange(&ext->WriteRetries, 0);
    KeSetEvent(&ext->WriteEvent, EVENT_INCREMENT, FALSE);
}

// Received bytes: to the capture while it is on, else to the port driver
// while the port is open; the read goes again.
VOID USB2SER_DeliverReceived(PDEVICE_OBJECT DeviceObject, PUSB2SER_TRANSFER Transfer, ULONG Count) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    InterlockedExchange(&ext->ReadRecoveries, 0);
    if (ext->CaptureMode) {
        USB2SER_CaptureBytes(ext, Transfer->DataBuffer, Count);
    } else if (pSetReadQueue != NULL && ext->PortOpen && !ext->Removed) {
        pSetReadQueue(Transfer->DataBuffer, Count, static_cast<ULONG>(ext->BoundPort));
    }
    USB2SER_ReArm(DeviceObject, Transfer->PipeSlot, USB2SER_BULK_IN_SIZE);
}

// A transfer whose pipe halted, up to DISPATCH_LEVEL: a chunk to be sent again
// goes to the worker thread (TRUE: the transfer is the thread's now), a chunk
// given up after its retries lets the port driver go on with the next, and a
// read is recovered by the thread, within the bound of the recoveries.
BOOLEAN USB2SER_RecoverHalted(PDEVICE_OBJECT DeviceObject, PUSB2SER_TRANSFER Transfer, BOOLEAN Resend) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    if (Resend) {
        // A thread on its way out takes what it finds handed over after it
        // has said so; if it has gone already, the chunk is taken back here.
        if (!InterlockedCompareExchange(&ext->ThreadGone, TRUE, TRUE) ||
            InterlockedCompareExchangePointer(&ext->FailedWrite, NULL, Transfer) != Transfer) {
            KeSetEvent(&ext->JobEvent, IO_NO_INCREMENT, FALSE);
            return TRUE;
        }
    } else if (Transfer->PipeSlot == USB2SER_SLOT_BULK_OUT) {
        // Given up: the chunk is lost, but the port goes on with the next.
        InterlockedExchange(&ext->WriteRetries, 0);
        KeSetEvent(&ext->WriteEvent, EVENT_INCREMENT, FALSE);
    } else if (InterlockedIncrement(&ext->ReadRecoveries) <= USB2SER_MAX_READ_RECOVERIES) {
        // Without this the port would hear no more modem status or data
        // until it is opened again: the thread recovers the read at PASSIVE_LEVEL.
        USB2SER_RecoverReads(ext);
    }
    return FALSE;
}

}  // namespace

// Completion of a data transfer, up to DISPATCH_LEVEL in the bus's context,
// where completions of different slots may run at the same time. It sorts
// how the transfer ended: well, on a device not being removed (its pipe's
// delivery, which re-arms a read); its pipe halted on a device that still
// answers (recovered: a read armed again, a chunk sent again, by the worker
// thread, which clears the stall); or stopped (cancelled, the device gone or
// being removed, another failure), which ends it. A failed chunk is kept
// before its slot is given up, so that no later chunk can go before it. The
// IRP goes to whichever of this routine and a canceller frees it, and is never
// completed further; the transfer is freed unless the thread took it. The
// device reference the transfer held is dropped last: after it, removal may
// delete the device.
NTSTATUS NTAPI USB2SER_AsyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    PUSB2SER_TRANSFER transfer = static_cast<PUSB2SER_TRANSFER>(Context);
    PDEVICE_OBJECT device = transfer->DeviceObject;
    PUSB2SER_EXTENSION ext = USB2SER_Extension(device);

    USB2SER_DecrementIoCount_Data(device);
    const ULONG count = transfer->Urb.TransferBufferLength;
    Irp->IoStatus.Information = count;
    const NTSTATUS status = Irp->IoStatus.Status;
    const ULONG slot = transfer->PipeSlot;
    const BOOLEAN halted = !NT_SUCCESS(status) && !ext->Removed && USB2SER_PipeHalted(transfer->Urb.Hdr.Status);
    const BOOLEAN resend = slot == USB2SER_SLOT_BULK_OUT && halted &&
                           InterlockedIncrement(&ext->WriteRetries) <= USB2SER_MAX_WRITE_RETRIES;
    if (resend) InterlockedExchangePointer(&ext->FailedWrite, transfer);

    USB2SER_GiveBackIrp(&ext->IrpSlot[slot], Irp);

    if (NT_SUCCESS(status) && !ext->Removed) {
        switch (slot) {
        case USB2SER_SLOT_INTERRUPT_IN: USB2SER_DeliverStatus(device, transfer, count); break;
        case USB2SER_SLOT_BULK_OUT: USB2SER_DeliverSent(device); break;
        default: USB2SER_DeliverReceived(device, transfer, count); break;
        }
    } else if (halted && USB2SER_RecoverHalted(device, transfer, resend)) {
        transfer = NULL;  // the thread's now
    }

    if (transfer != NULL) {
        ExFreePool(transfer->DataBuffer);
        ExFreePool(transfer);
    }
    USB2SER_DecrementIoCount(device);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Up to DISPATCH_LEVEL. A packet too short to hold the status word carries none.
VOID USB2SER_TakeModemStatus(PUSB2SER_EXTENSION ext, const UCHAR* Packet, ULONG Count) {
    if (Count < USB2SER_INTERRUPT_PACKET_SIZE) return;
    USHORT modemStatus = static_cast<USHORT>(Packet[8] | Packet[9] << 8);
    if (ext->PortOpen && pSetMSRShadow != NULL) pSetMSRShadow(&modemStatus, static_cast<ULONG>(ext->BoundPort));
    ext->ModemStatus = modemStatus;
}

// At PASSIVE_LEVEL. The second bulk-in read shares the first's pipe, which
// is reset once, for the first.
VOID USB2SER_ArmReads(PDEVICE_OBJECT DeviceObject, BOOLEAN ResetPipes) {
    for (ULONG slot : kReadSlots) {
        if (USB2SER_Extension(DeviceObject)->IrpSlot[slot] != NULL) continue;
        if (ResetPipes && slot != USB2SER_SLOT_BULK_IN_NEXT) USB2SER_ResetPipe(DeviceObject, slot);
        USB2SER_AsyncTransfer(DeviceObject, slot, NULL,
                              slot == USB2SER_SLOT_INTERRUPT_IN ? USB2SER_INTERRUPT_PACKET_SIZE : USB2SER_BULK_IN_SIZE);
    }
}

VOID USB2SER_CancelReads(PUSB2SER_EXTENSION ext) {
    for (ULONG slot : kReadSlots) CancelTheIrp(ext, slot);
}

BOOLEAN USB2SER_ReadsUnarmed(PUSB2SER_EXTENSION ext) {
    for (ULONG slot : kReadSlots) {
        if (ext->IrpSlot[slot] == NULL) return TRUE;
    }
    return FALSE;
}

VOID USB2SER_RecoverReads(PUSB2SER_EXTENSION ext) {
    InterlockedExchange(&ext->ReadsHalted, TRUE);
    KeSetEvent(&ext->JobEvent, IO_NO_INCREMENT, FALSE);
}
