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

// Hands the worker thread the recovery of the reads.
VOID USB2SER_RecoverReads(PUSB2SER_EXTENSION ext) {
    InterlockedExchange(&ext->ReadsHalted, TRUE);
    KeSetEvent(&ext->JobEvent, IO_NO_INCREMENT, FALSE);
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

// At PASSIVE_LEVEL in the worker thread: the chunk whose transfer failed goes
// again, its unsent rest, once the stall of the bulk-out pipe is cleared. It
// stays in FailedWrite until its resend holds the slot, so that no other
// chunk can go in between (and is taken out only if a failure of the resend
// has not put another there already). A resend that cannot start lets the
// port driver go on. Once removal has begun the chunk is only dropped, by
// whichever of the thread and a completion on the thread's way out takes it.
VOID USB2SER_ResendFailedWrite(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    PUSB2SER_TRANSFER failed = static_cast<PUSB2SER_TRANSFER>(ext->FailedWrite);
    if (failed == NULL) return;
    if (ext->Removed) {
        if (InterlockedCompareExchangePointer(&ext->FailedWrite, NULL, failed) != failed) return;
    } else {
        const ULONG sent = failed->Urb.TransferBufferLength < failed->Length ? failed->Urb.TransferBufferLength
                                                                              : failed->Length;
        USB2SER_ResetPipe(DeviceObject, USB2SER_SLOT_BULK_OUT);
        const NTSTATUS status = USB2SER_AsyncTransfer(DeviceObject, USB2SER_SLOT_BULK_OUT,
                                                      failed->DataBuffer + sent, failed->Length - sent);
        InterlockedCompareExchangePointer(&ext->FailedWrite, NULL, failed);
        if (!NT_SUCCESS(status)) KeSetEvent(&ext->WriteEvent, EVENT_INCREMENT, FALSE);
    }
    ExFreePool(failed->DataBuffer);
    ExFreePool(failed);
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

// Completion of a data transfer, up to DISPATCH_LEVEL in the bus's context,
// where completions of different slots may run at the same time. Delivers
// what arrived, re-arms the read it ends, and frees the transfer; the IRP goes
// to whichever of this routine and a canceller frees it, and is never
// completed further. The device reference the transfer held is dropped last:
// after it, removal may delete the device.
//
// A transfer whose pipe halted is handed to the worker thread, which clears
// the stall: a read to be armed again, a chunk to be sent again. A failed
// chunk is kept before its slot is given up, so that no later chunk can go
// before it; a chunk given up after its retries lets the port driver go on.
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
        case USB2SER_SLOT_INTERRUPT_IN:
            // A packet too short to hold the status word carries none.
            if (count >= USB2SER_INTERRUPT_PACKET_SIZE) {
                USHORT modemStatus = static_cast<USHORT>(transfer->DataBuffer[8] | transfer->DataBuffer[9] << 8);
                if (ext->PortOpen && pSetMSRShadow != NULL) pSetMSRShadow(&modemStatus, static_cast<ULONG>(ext->BoundPort));
                ext->ModemStatus = modemStatus;
            }
            InterlockedExchange(&ext->ReadRecoveries, 0);
            USB2SER_ReArm(device, USB2SER_SLOT_INTERRUPT_IN, USB2SER_INTERRUPT_PACKET_SIZE);
            break;
        case USB2SER_SLOT_BULK_OUT:
            InterlockedExchange(&ext->WriteRetries, 0);
            KeSetEvent(&ext->WriteEvent, EVENT_INCREMENT, FALSE);
            break;
        default:
            InterlockedExchange(&ext->ReadRecoveries, 0);
            if (ext->CaptureMode) {
                USB2SER_CaptureBytes(ext, transfer->DataBuffer, count);
            } else if (pSetReadQueue != NULL && ext->PortOpen && !ext->Removed) {
                pSetReadQueue(transfer->DataBuffer, count, static_cast<ULONG>(ext->BoundPort));
            }
            USB2SER_ReArm(device, slot, USB2SER_BULK_IN_SIZE);
            break;
        }
    } else if (resend) {
        // A thread on its way out takes what it finds handed over after it
        // has said so; if it has gone already, the chunk is taken back here.
        if (!InterlockedCompareExchange(&ext->ThreadGone, TRUE, TRUE) ||
            InterlockedCompareExchangePointer(&ext->FailedWrite, NULL, transfer) != transfer) {
            KeSetEvent(&ext->JobEvent, IO_NO_INCREMENT, FALSE);
            transfer = NULL;  // the thread's now
        }
    } else if (slot == USB2SER_SLOT_BULK_OUT && halted) {
        // Given up: the chunk is lost, but the port goes on with the next.
        InterlockedExchange(&ext->WriteRetries, 0);
        KeSetEvent(&ext->WriteEvent, EVENT_INCREMENT, FALSE);
    } else if (slot != USB2SER_SLOT_BULK_OUT && halted &&
               InterlockedIncrement(&ext->ReadRecoveries) <= USB2SER_MAX_READ_RECOVERIES) {
        // Without this the port would hear no more modem status or data
        // until it is opened again: the thread recovers the read at PASSIVE_LEVEL.
        USB2SER_RecoverReads(ext);
    }

    if (transfer != NULL) {
        ExFreePool(transfer->DataBuffer);
        ExFreePool(transfer);
    }
    USB2SER_DecrementIoCount(device);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The worker thread, at PASSIVE_LEVEL and priority 17: the only place where
// the port driver is asked for the next transmit chunk, and where the chip is
// restored after the system has worked again. A power-up handed over is
// finished whatever woke the thread, also on its way out: removal waits for
// the thread's exit event, so the power request is completed before that.
// Setting that event is the thread's last act before it ends: Windows 98 and
// Me cannot wait on a thread object (the wait crashes the system). What is
// left after it is the call of PsTerminateSystemThread: the thread may lose
// control between the two, and its priority of 17 only makes that less
// likely; an unload in that moment would return it into code that is gone.
VOID NTAPI USB2SER_Thread_Main(PVOID StartContext) {
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(StartContext);
    PUSB2SER_EXTENSION ext = USB2SER_Extension(device);
    KeSetPriorityThread(KeGetCurrentThread(), USB2SER_WORKER_PRIORITY);
    PVOID events[3] = {&ext->KillEvent, &ext->JobEvent, &ext->WriteEvent};
    for (;;) {
        // KillEvent comes first: it wins when several are signalled. A wait
        // that ends on none of the three is no job: the thread waits again.
        const NTSTATUS status = USB2SER_Wait(3, events, WaitAny, NULL);
        if (status == STATUS_WAIT_0) {
            InterlockedExchange(&ext->ThreadGone, TRUE);
            USB2SER_FinishPowerUp(device);
            USB2SER_ResendFailedWrite(device);
            KeSetEvent(&ext->ThreadExitEvent, IO_NO_INCREMENT, FALSE);
            PsTerminateSystemThread(STATUS_SUCCESS);
        }
        if (!NT_SUCCESS(status)) continue;
        USB2SER_FinishPowerUp(device);
        USB2SER_ResendFailedWrite(device);
        if (InterlockedExchange(&ext->ReadsHalted, FALSE) && ext->PortOpen && !ext->Removed) {
            USB2SER_ArmReads(device, TRUE);
            // A read that still cannot be armed is tried again, within the bound.
            if (USB2SER_ReadsUnarmed(ext) && InterlockedIncrement(&ext->ReadRecoveries) <= USB2SER_MAX_READ_RECOVERIES) {
                USB2SER_RecoverReads(ext);
            }
        }
        if (status == STATUS_WAIT_2 && pWriteOutQueue != NULL && ext->PortOpen && !ext->Removed) {
            pWriteOutQueue(static_cast<ULONG>(ext->BoundPort));
        }
    }
}

// One worker thread per device: a start that follows a stop finds the thread
// of the earlier start still running and keeps it, events and all. The
// reference to the thread object says that the thread runs; without it the
// thread is stopped again here (through its exit event, never a wait on the
// thread) and the start fails.
NTSTATUS USB2SER_Create_Thread(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    if (ext->ThreadObject != NULL) return STATUS_SUCCESS;
    KeInitializeEvent(&ext->KillEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->WriteEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&ext->ThreadExitEvent, NotificationEvent, FALSE);
    ext->ThreadGone = FALSE;

    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, USB2SER_Thread_Main,
                                           DeviceObject);
    if (!NT_SUCCESS(status)) return status;
    PVOID thread = NULL;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &thread, NULL);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        KeSetEvent(&ext->KillEvent, IO_NO_INCREMENT, FALSE);
        USB2SER_WaitForEvent(&ext->ThreadExitEvent, NULL);
        return status;
    }
    ext->ThreadObject = static_cast<PKTHREAD>(thread);
    return STATUS_SUCCESS;
}

// Returns when the worker thread has set its exit event, its last act: at
// once when there is no thread (the device was never started).
VOID USB2SER_Kill_Thread(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    if (ext->ThreadObject == NULL) return;
    KeSetEvent(&ext->KillEvent, IO_NO_INCREMENT, FALSE);
    USB2SER_WaitForEvent(&ext->ThreadExitEvent, NULL);
    ObDereferenceObject(ext->ThreadObject);
    ext->ThreadObject = NULL;
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
