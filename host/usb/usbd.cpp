// The USBD library: configuration-descriptor parsing and the building of a
// select-configuration request.
#include <cstring>

#include "platform/usb.h"

namespace {
constexpr ULONG kUsbdTag = 'DBSU';  // "USBD"
}  // namespace

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    auto* base = reinterpret_cast<UCHAR*>(ConfigurationDescriptor);
    // Every descriptor is read only where it lies wholly inside wTotalLength,
    // and a zero or one-byte bLength ends the walk instead of looping on it.
    const SIZE_T total = ConfigurationDescriptor->wTotalLength;
    SIZE_T offset = static_cast<SIZE_T>(static_cast<UCHAR*>(StartPosition) - base);
    while (offset + sizeof(USB_COMMON_DESCRIPTOR) <= total) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(base + offset);
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || offset + common->bLength > total) break;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(common);
            if ((InterfaceNumber == -1 || interface->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || interface->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || interface->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || interface->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || interface->bInterfaceProtocol == InterfaceProtocol)) {
                return interface;
            }
        }
        offset += common->bLength;
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    }
    if (size < sizeof(URB)) size = sizeof(URB);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        entry->Interface = info;
        cursor += info->Length;
    }
    return urb;
}
