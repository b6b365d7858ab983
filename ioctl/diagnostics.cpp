#include "ioctl/diagnostics.h"

#include "usb/usb_submit.h"

// At PASSIVE_LEVEL. A missing buffer gives STATUS_NO_MEMORY and a count of 0;
// a request that cannot be allocated leaves the count alone.
NTSTATUS USB2SER_ReadInterrupt(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PULONG Count) {
    if (Buffer == NULL) {
        *Count = 0;
        return STATUS_NO_MEMORY;
    }
    USBD_PIPE_HANDLE pipe = USB2SER_SlotPipeHandle(USB2SER_Extension(DeviceObject), USB2SER_SLOT_INTERRUPT_IN);
    if (pipe == NULL) {
        *Count = 0;
        return STATUS_INVALID_DEVICE_STATE;
    }
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), USB2SER_POOL_TAG));
    if (urb == NULL) return STATUS_NO_MEMORY;
    RtlZeroMemory(urb, sizeof(URB));
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = URB_TARGET_SIZE_BULK_OR_INTERRUPT;
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = pipe;
    transfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    transfer.TransferBuffer = Buffer;
    transfer.TransferBufferLength = Length;
    NTSTATUS status = USB2SER_CallUSBD(DeviceObject, urb);
    *Count = transfer.TransferBufferLength;
    ExFreePool(urb);
    return status;
}
