#include "usb/configure.h"

#include "usb/requests.h"
#include "usb/usb_submit.h"

namespace {

// Interface search keys of two-interface configurations: {class, subclass,
// protocol} of interface 0 and of interface 1, one row per kind of chip.
const UCHAR kInterfaceKeys[2][2][3] = {
    {{0x02, 0x02, 0xFF}, {0x0A, 0x00, 0x00}},  // CHIP_CLASS_COMM
    {{0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}},  // CHIP_CLASS_VENDOR, CHIP_EXTENDED
};

// Room for three entries at least: two interfaces and the terminator, even
// when the configuration reports fewer interfaces.
const ULONG kMinimumListEntries = 3;

// A descriptor request whose URB stays local to the call.
VOID USB2SER_FillDescriptorUrb(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length) {
    RtlZeroMemory(Urb, sizeof(URB));
    Urb->UrbHeader.Length = URB_TARGET_SIZE_CONTROL_REQUEST;
    Urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Urb->UrbControlDescriptorRequest.DescriptorType = DescriptorType;
    Urb->UrbControlDescriptorRequest.TransferBuffer = Buffer;
    Urb->UrbControlDescriptorRequest.TransferBufferLength = Length;
}

// Stores a copy of `Info` in an empty slot. FALSE when the pool is exhausted.
BOOLEAN USB2SER_StoreInterfaceCopy(PUSBD_INTERFACE_INFORMATION* Slot, PUSBD_INTERFACE_INFORMATION Info) {
    PUSBD_INTERFACE_INFORMATION copy =
        static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, Info->Length, USB2SER_POOL_TAG));
    if (copy == NULL) return FALSE;
    RtlCopyMemory(copy, Info, Info->Length);
    *Slot = copy;
    return TRUE;
}

}  // namespace

// At PASSIVE_LEVEL in the start path.
NTSTATUS USB2SER_StartDevice(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    URB urb;
    USB2SER_FillDescriptorUrb(&urb, USB_DEVICE_DESCRIPTOR_TYPE, &ext->DeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    NTSTATUS status = USB2SER_CallUSBD(DeviceObject, &urb);
    if (NT_SUCCESS(status)) {
        ext->VendorId = ext->DeviceDescriptor.idVendor;
        ext->ProductId = ext->DeviceDescriptor.idProduct;
    }
    // Class is tested before the packet size; a device that matches no row
    // keeps the kind it had.
    if (ext->DeviceDescriptor.bDeviceClass == 0x02) {
        ext->ChipType = CHIP_CLASS_COMM;
    } else if (ext->DeviceDescriptor.bDeviceClass == 0xFF) {
        ext->ChipType = CHIP_CLASS_VENDOR;
    } else if (ext->DeviceDescriptor.bMaxPacketSize0 == 0x40) {
        ext->ChipType = CHIP_EXTENDED;
    }
    if (!NT_SUCCESS(status)) return status;
    return USB2SER_ConfigureDevice(DeviceObject);
}

NTSTATUS USB2SER_ControlRemoteWakeup(PDEVICE_OBJECT DeviceObject, BOOLEAN Enable) {
    return USB2SER_SendRequest(DeviceObject, USB2SER_BuildFeatureRequest((Enable & 0xFF) != 0, USB_FEATURE_REMOTE_WAKEUP),
                               FALSE, NULL);
}

// Reads the configuration descriptor and selects it. The descriptor is used
// only as far as the device really sent it: a header shorter than 9 bytes, or
// a total length that cannot hold the header, is a configuration error.
NTSTATUS USB2SER_ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
    USB_CONFIGURATION_DESCRIPTOR header;
    URB urb;
    USB2SER_FillDescriptorUrb(&urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, sizeof(header));
    NTSTATUS status = USB2SER_CallUSBD(DeviceObject, &urb);
    if (!NT_SUCCESS(status)) return status;
    if (urb.UrbControlDescriptorRequest.TransferBufferLength < sizeof(header) ||
        header.wTotalLength < sizeof(header)) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    const USHORT total = header.wTotalLength;
    PUSB_CONFIGURATION_DESCRIPTOR descriptor =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, total, USB2SER_POOL_TAG));
    if (descriptor == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    USB2SER_FillDescriptorUrb(&urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, total);
    status = USB2SER_CallUSBD(DeviceObject, &urb);
    if (NT_SUCCESS(status)) {
        ULONG received = urb.UrbControlDescriptorRequest.TransferBufferLength;
        if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            status = STATUS_DEVICE_CONFIGURATION_ERROR;
        } else {
            // What the parser may walk ends where the received bytes end.
            if (descriptor->wTotalLength > received) descriptor->wTotalLength = static_cast<USHORT>(received);
            status = USB2SER_SelectInterfaces(DeviceObject, descriptor);
        }
    }
    ExFreePool(descriptor);
    return status;
}

// A selection replaces the configuration whatever its outcome: the copies of
// an earlier one go first, and a selection that fails part-way keeps none,
// never a copy of this configuration beside one of the last.
NTSTATUS USB2SER_SelectInterfaces(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    USB2SER_ReleaseInterfaces(ext);
    if (ConfigurationDescriptor->bNumInterfaces == 1) ext->SingleInterface = TRUE;
    NTSTATUS status = ext->SingleInterface ? USB2SER_SelectInterfaces1(DeviceObject, ConfigurationDescriptor)
                                           : USB2SER_SelectInterfaces2(DeviceObject, ConfigurationDescriptor);
    if (!NT_SUCCESS(status)) USB2SER_ReleaseInterfaces(ext);
    return status;
}

VOID USB2SER_ReleaseInterfaces(PUSB2SER_EXTENSION Extension) {
    if (Extension->InterfaceInfo0 != NULL) {
        ExFreePool(Extension->InterfaceInfo0);
        Extension->InterfaceInfo0 = NULL;
    }
    if (Extension->InterfaceInfo1 != NULL) {
        ExFreePool(Extension->InterfaceInfo1);
        Extension->InterfaceInfo1 = NULL;
    }
}

// One interface: the configuration's first interface, whatever it is.
NTSTATUS USB2SER_SelectInterfaces1(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
    if (interface == NULL) return STATUS_DEVICE_CONFIGURATION_ERROR;

    USBD_INTERFACE_LIST_ENTRY list[2];
    list[0].InterfaceDescriptor = interface;
    list[0].Interface = NULL;
    list[1].InterfaceDescriptor = NULL;
    list[1].Interface = NULL;
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    NTSTATUS status = USB2SER_CallUSBD(DeviceObject, urb);
    if (NT_SUCCESS(status) && !USB2SER_StoreInterfaceCopy(&ext->InterfaceInfo0, list[0].Interface)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    ExFreePool(urb);
    return status;
}

// Two interfaces, found by the search keys of the chip's kind. The device sees
// its configuration selected twice in a row.
NTSTATUS USB2SER_SelectInterfaces2(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    const UCHAR(*keys)[3] = kInterfaceKeys[ext->ChipType == CHIP_CLASS_COMM ? 0 : 1];
    ULONG entries = ConfigurationDescriptor->bNumInterfaces + 1u;
    if (entries < kMinimumListEntries) entries = kMinimumListEntries;

    PUSBD_INTERFACE_LIST_ENTRY list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePoolWithTag(PagedPool, entries * sizeof(USBD_INTERFACE_LIST_ENTRY), USB2SER_POOL_TAG));
    if (list == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(list, entries * sizeof(USBD_INTERFACE_LIST_ENTRY));
    for (LONG i = 0; i < 2; ++i) {
        list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
            ConfigurationDescriptor, ConfigurationDescriptor, i, 0, keys[i][0], keys[i][1], keys[i][2]);
    }
    if (list[0].InterfaceDescriptor == NULL || list[1].InterfaceDescriptor == NULL) {
        ExFreePool(list);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb == NULL) {
        ExFreePool(list);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = USB2SER_CallUSBD(DeviceObject, urb);
    if (!USB2SER_StoreInterfaceCopy(&ext->InterfaceInfo0, list[0].Interface) || !NT_SUCCESS(status)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        status = USB2SER_CallUSBD(DeviceObject, urb);
        if (!USB2SER_StoreInterfaceCopy(&ext->InterfaceInfo1, list[1].Interface)) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    ExFreePool(list);
    ExFreePool(urb);
    return status;
}

// Unconfigures the device: a selection with no configuration descriptor. Its
// pipe handles are dead afterwards, and the copies that hold them go with
// them, so that no pipe routine sends a request with one.
NTSTATUS USB2SER_StopDevice(PDEVICE_OBJECT DeviceObject) {
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbSelectConfiguration.Hdr.Length = URB_TARGET_SIZE_SELECT_CONFIGURATION;
    urb.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb.UrbSelectConfiguration.ConfigurationDescriptor = NULL;
    NTSTATUS status = USB2SER_CallUSBD(DeviceObject, &urb);
    if (NT_SUCCESS(status)) USB2SER_ReleaseInterfaces(USB2SER_Extension(DeviceObject));
    return status;
}
