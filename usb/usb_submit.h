// Sending USB requests down the stack: synchronously with a 5-second limit,
// asynchronously on a pipe slot, or fire-and-forget; cancelling the transfers
// in flight; resetting a pipe and the device's port.
#pragma once

#include "core/usb2ser.h"

// The context of one fire-and-forget control request, owned by its
// completion routine once the request has been passed down.
typedef struct _USB2SER_CTRL_CONTEXT {
    PURB Urb;
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
    ULONG Entry;  // the request's entry in CtrlIrps, where removal finds it to cancel it
} USB2SER_CTRL_CONTEXT, *PUSB2SER_CTRL_CONTEXT;

NTSTATUS USB2SER_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS USB2SER_AsyncCallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG PipeSlot);
NTSTATUS USB2SER_AsyncCallUSBD_Ctrl(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS NTAPI USB2SER_AsyncComplete_Ctrl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID CancelTheIrp(PUSB2SER_EXTENSION Extension, ULONG PipeSlot);
VOID USB2SER_CancelAllIrps(PUSB2SER_EXTENSION Extension);
NTSTATUS USB2SER_ResetPipe(PDEVICE_OBJECT DeviceObject, ULONG PipeSlot);
VOID USB2SER_ResetDevice(PDEVICE_OBJECT DeviceObject);

// The pipe handle of a slot by the slot-to-pipe rule, or null when the slot
// is out of range or the stored interface information does not reach it.
USBD_PIPE_HANDLE USB2SER_SlotPipeHandle(PUSB2SER_EXTENSION Extension, ULONG PipeSlot);

// The last step of the hand-off between a canceller and the completion of an
// IRP taken out of its slot: whichever side gets here second frees it.
VOID USB2SER_ReleaseSlotIrp(PIRP Irp);
// A completion's side of that hand-off: takes its IRP out of its entry (a
// slot, or a fire-and-forget entry) and frees it, unless a canceller took it
// out first.
VOID USB2SER_GiveBackIrp(PIRP* Entry, PIRP Irp);
