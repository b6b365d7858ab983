#include "serial/worker_thread.h"

#include "serial/data_pump.h"
#include "usb/usb_submit.h"

namespace {

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
