#include "serial/data_pump.h"

#include "usb/usb_submit.h"

namespace {

// The slot a transfer was sent on, told by its transfer flags alone.
ULONG USB2SER_SlotOfFlags(ULONG TransferFlags) {
    switch (TransferFlags) {
    case USBD_TRANSFER_DIRECTION_IN: return USB2SER_SLOT_INTERRUPT_IN;
    case USBD_TRANSFER_DIRECTION_OUT: return USB2SER_SLOT_BULK_OUT;
    default: return USB2SER_SLOT_BULK_IN;
    }
}

}  // namespace

// Completion of a data transfer, up to DISPATCH_LEVEL in the bus's context.
// The IRP goes back to whichever of this routine and a canceller frees it;
// the transfer record and its buffer are freed here. The IRP is never
// completed further.
NTSTATUS USB2SER_AsyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    PUSB2SER_TRANSFER transfer = static_cast<PUSB2SER_TRANSFER>(Context);
    PDEVICE_OBJECT device = transfer->DeviceObject;
    PUSB2SER_EXTENSION ext = USB2SER_Extension(device);

    USB2SER_DecrementIoCount_Data(device);
    Irp->IoStatus.Information = transfer->Urb.TransferBufferLength;
    ULONG slot = USB2SER_SlotOfFlags(transfer->Urb.TransferFlags);

    // The completion side of the hand-off.
    if (InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->IrpSlot[slot]), NULL) != NULL) {
        IoFreeIrp(Irp);
    } else {
        USB2SER_ReleaseSlotIrp(ext, slot, Irp);
    }

    if (transfer->DataBuffer != NULL) ExFreePool(transfer->DataBuffer);
    ExFreePool(transfer);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
