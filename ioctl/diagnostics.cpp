#include "ioctl/diagnostics.h"

#include "usb/requests.h"
#include "usb/usb_submit.h"

namespace {

USHORT USB2SER_Word(const UCHAR* Bytes) { return static_cast<USHORT>(Bytes[0] | Bytes[1] << 8); }

// One transfer on a pipe slot, at PASSIVE_LEVEL. A device with no pipes (not
// configured) has nothing to send it on.
NTSTATUS USB2SER_PipeTransfer(PDEVICE_OBJECT DeviceObject, ULONG PipeSlot, ULONG TransferFlags, PVOID Buffer,
                              ULONG Length, PULONG Count) {
    USBD_PIPE_HANDLE pipe = USB2SER_SlotPipeHandle(USB2SER_Extension(DeviceObject), PipeSlot);
    if (pipe == NULL) {
        if (Count != NULL) *Count = 0;
        return STATUS_INVALID_DEVICE_STATE;
    }
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), USB2SER_POOL_TAG));
    if (urb == NULL) return STATUS_NO_MEMORY;
    RtlZeroMemory(urb, sizeof(URB));
    USB2SER_FillPipeTransfer(&urb->UrbBulkOrInterruptTransfer, pipe, TransferFlags, Buffer, Length);
    NTSTATUS status = USB2SER_CallUSBD(DeviceObject, urb);
    if (Count != NULL) *Count = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    ExFreePool(urb);
    return status;
}

// A read routine's answer to a missing buffer.
NTSTATUS USB2SER_NoBuffer(PULONG Count) {
    *Count = 0;
    return STATUS_NO_MEMORY;
}

}  // namespace

NTSTATUS USB2SER_GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Count) {
    if (Buffer == NULL) return USB2SER_NoBuffer(Count);
    return USB2SER_SendRequest(DeviceObject,
                               USB2SER_BuildDescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, Buffer,
                                                              USB2SER_DEVICE_DESCRIPTOR_SIZE),
                               FALSE, Count);
}

NTSTATUS USB2SER_GetConfigDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PULONG Count) {
    if (Buffer == NULL) return USB2SER_NoBuffer(Count);
    return USB2SER_SendRequest(
        DeviceObject, USB2SER_BuildDescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, Buffer, Length), FALSE,
        Count);
}

// The index byte is taken before the descriptor overwrites it.
NTSTATUS USB2SER_GetStringDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PULONG Count) {
    if (Buffer == NULL) return USB2SER_NoBuffer(Count);
    const UCHAR index = static_cast<PUCHAR>(Buffer)[0];
    return USB2SER_SendRequest(DeviceObject,
                               USB2SER_BuildDescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, index,
                                                              USB2SER_LANGUAGE_ENGLISH_US, Buffer, Length),
                               FALSE, Count);
}

NTSTATUS USB2SER_SendEncap(PDEVICE_OBJECT DeviceObject, PVOID Buffer) {
    if (Buffer == NULL) return STATUS_INVALID_PARAMETER;
    const PUCHAR input = static_cast<PUCHAR>(Buffer);
    return USB2SER_SendRequest(DeviceObject, USB2SER_BuildVendorWrite(USB2SER_Word(input), USB2SER_Word(input + 2)),
                               FALSE, NULL);
}

NTSTATUS USB2SER_GetEncap(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Count) {
    if (Buffer == NULL) return USB2SER_NoBuffer(Count);
    const PUCHAR bytes = static_cast<PUCHAR>(Buffer);
    return USB2SER_SendRequest(DeviceObject, USB2SER_BuildVendorRead(USB2SER_Word(bytes), bytes), FALSE, Count);
}

// Without USBD_SHORT_TRANSFER_OK: the status packet is read whole.
NTSTATUS USB2SER_ReadInterrupt(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PULONG Count) {
    if (Buffer == NULL) return USB2SER_NoBuffer(Count);
    return USB2SER_PipeTransfer(DeviceObject, USB2SER_SLOT_INTERRUPT_IN, USBD_TRANSFER_DIRECTION_IN, Buffer, Length,
                                Count);
}

NTSTATUS USB2SER_WriteBulk(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length) {
    if (Buffer == NULL) return STATUS_INVALID_PARAMETER;
    return USB2SER_PipeTransfer(DeviceObject, USB2SER_SLOT_BULK_OUT, USBD_TRANSFER_DIRECTION_OUT, Buffer, Length,
                                NULL);
}

NTSTATUS USB2SER_ReadBulk(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PULONG Count) {
    if (Buffer == NULL) return USB2SER_NoBuffer(Count);
    return USB2SER_PipeTransfer(DeviceObject, USB2SER_SLOT_BULK_IN, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                Buffer, Length, Count);
}

NTSTATUS USB2SER_SendCtrlState(PDEVICE_OBJECT DeviceObject, PVOID Buffer) {
    if (Buffer == NULL) return STATUS_INVALID_PARAMETER;
    return USB2SER_SendRequest(DeviceObject,
                               USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SET_CONTROL_LINE_STATE,
                                                         USB2SER_Word(static_cast<PUCHAR>(Buffer)), NULL, 0),
                               FALSE, NULL);
}

// The data stage is a copy of the two input bytes.
NTSTATUS USB2SER_SetFeature(PDEVICE_OBJECT DeviceObject, PVOID Buffer) {
    if (Buffer == NULL) return STATUS_INVALID_PARAMETER;
    UCHAR feature[2];
    RtlCopyMemory(feature, Buffer, sizeof(feature));
    return USB2SER_SendRequest(DeviceObject,
                               USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SET_COMM_FEATURE, USB2SER_CDC_ABSTRACT_STATE,
                                                         feature, sizeof(feature)),
                               FALSE, NULL);
}

NTSTATUS USB2SER_GetFeature(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Count) {
    if (Buffer == NULL) return USB2SER_NoBuffer(Count);
    return USB2SER_SendRequest(
        DeviceObject,
        USB2SER_BuildClassRequest(TRUE, USB2SER_CDC_GET_COMM_FEATURE, USB2SER_CDC_ABSTRACT_STATE, Buffer, 2), FALSE,
        Count);
}

NTSTATUS USB2SER_ClrFeature(PDEVICE_OBJECT DeviceObject) {
    return USB2SER_SendRequest(
        DeviceObject,
        USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_CLEAR_COMM_FEATURE, USB2SER_CDC_ABSTRACT_STATE, NULL, 0), FALSE,
        NULL);
}
