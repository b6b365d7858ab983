#include "usb/requests.h"

#include "usb/usb_submit.h"

namespace {

PURB USB2SER_AllocateUrb(USHORT Function) {
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), USB2SER_POOL_TAG));
    if (urb == NULL) return NULL;
    RtlZeroMemory(urb, sizeof(URB));
    urb->UrbHeader.Length = URB_TARGET_SIZE_CONTROL_REQUEST;
    urb->UrbHeader.Function = Function;
    return urb;
}

PURB USB2SER_BuildVendorOrClass(USHORT Function, BOOLEAN In, UCHAR Request, USHORT Value, USHORT Index,
                                PVOID Buffer, ULONG Length) {
    PURB urb = USB2SER_AllocateUrb(Function);
    if (urb == NULL) return NULL;
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
    r.TransferFlags = In ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    r.RequestTypeReservedBits = 0;
    r.Request = Request;
    r.Value = Value;
    r.Index = Index;
    r.TransferBuffer = Buffer;
    r.TransferBufferLength = Length;
    r.TransferBufferMDL = NULL;
    r.UrbLink = NULL;
    return urb;
}

}  // namespace

PURB USB2SER_BuildDescriptorRequest(UCHAR DescriptorType, UCHAR Index, USHORT LanguageId, PVOID Buffer,
                                    ULONG Length) {
    PURB urb = USB2SER_AllocateUrb(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    if (urb == NULL) return NULL;
    struct _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
    r.DescriptorType = DescriptorType;
    r.Index = Index;
    r.LanguageId = LanguageId;
    r.TransferBuffer = Buffer;
    r.TransferBufferLength = Length;
    return urb;
}

PURB USB2SER_BuildFeatureRequest(BOOLEAN Set, USHORT FeatureSelector) {
    PURB urb = USB2SER_AllocateUrb(Set ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE);
    if (urb == NULL) return NULL;
    urb->UrbControlFeatureRequest.FeatureSelector = FeatureSelector;
    urb->UrbControlFeatureRequest.Index = 0;
    return urb;
}

PURB USB2SER_BuildClassRequest(BOOLEAN In, UCHAR Request, USHORT Value, PVOID Buffer, ULONG Length) {
    return USB2SER_BuildVendorOrClass(URB_FUNCTION_CLASS_INTERFACE, In, Request, Value, 0, Buffer, Length);
}

PURB USB2SER_BuildVendorWrite(USHORT Value, USHORT Index) {
    return USB2SER_BuildVendorOrClass(URB_FUNCTION_VENDOR_DEVICE, FALSE, USB2SER_VENDOR_REQUEST, Value, Index, NULL,
                                      0);
}

PURB USB2SER_BuildVendorRead(USHORT Value, PUCHAR Byte) {
    return USB2SER_BuildVendorOrClass(URB_FUNCTION_VENDOR_DEVICE, TRUE, USB2SER_VENDOR_REQUEST, Value, 0, Byte, 1);
}

VOID USB2SER_FillPipeTransfer(struct _URB_BULK_OR_INTERRUPT_TRANSFER* Urb, USBD_PIPE_HANDLE Pipe, ULONG TransferFlags,
                              PVOID Buffer, ULONG Length) {
    Urb->Hdr.Length = URB_TARGET_SIZE_BULK_OR_INTERRUPT;
    Urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Urb->PipeHandle = Pipe;
    Urb->TransferFlags = TransferFlags;
    Urb->TransferBuffer = Buffer;
    Urb->TransferBufferLength = Length;
    Urb->TransferBufferMDL = NULL;
    Urb->UrbLink = NULL;
}

NTSTATUS USB2SER_SendRequest(PDEVICE_OBJECT DeviceObject, PURB Urb, BOOLEAN FireAndForget, PULONG Transferred) {
    if (Transferred != NULL) *Transferred = 0;
    if (Urb == NULL) return STATUS_NO_MEMORY;
    if (FireAndForget) return USB2SER_AsyncCallUSBD_Ctrl(DeviceObject, Urb);
    NTSTATUS status = USB2SER_CallUSBD(DeviceObject, Urb);
    if (Transferred != NULL) {
        // The feature layout has no data stage and no length to report.
        if (Urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
            *Transferred = Urb->UrbControlDescriptorRequest.TransferBufferLength;
        } else if (Urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE ||
                   Urb->UrbHeader.Function == URB_FUNCTION_CLASS_INTERFACE) {
            *Transferred = Urb->UrbControlVendorClassRequest.TransferBufferLength;
        }
    }
    ExFreePool(Urb);
    return status;
}
