#include "ioctl/diagnostics.h"

#include "usb/requests.h"
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
    USB2SER_FillPipeTransfer(&urb->UrbBulkOrInterruptTransfer, pipe, USBD_TRANSFER_DIRECTION_IN, Buffer, Length);
    NTSTATUS status = USB2SER_CallUSBD(DeviceObject, urb);
    *Count = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    ExFreePool(urb);
    return status;
}
