// The USB driver stack as a function driver sees it: standard descriptors,
// URBs and their function codes, USBD status values, the internal device
// control codes of the bus driver, and the USBD library.
//
// Layouts are the host's. Length fields that describe memory (the Length of
// USBD_INTERFACE_INFORMATION, the URB built by USBD_CreateConfigurationRequestEx)
// carry the host's sizes; a length the driver writes itself carries the
// target's value, and the bus accepts a URB whose header length is at least
// the target's size for its function (URB_TARGET_SIZE_*).
#pragma once

#include "wdm.h"

TORVEX_C_BEGIN

// ---------------------------------------------------------------------------
// Standard descriptors (packed, as on the wire)

#define USB_DEVICE_DESCRIPTOR_TYPE        0x01
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 0x02
#define USB_STRING_DESCRIPTOR_TYPE        0x03
#define USB_INTERFACE_DESCRIPTOR_TYPE     0x04
#define USB_ENDPOINT_DESCRIPTOR_TYPE      0x05

#define USB_ENDPOINT_TYPE_CONTROL     0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS 0x01
#define USB_ENDPOINT_TYPE_BULK        0x02
#define USB_ENDPOINT_TYPE_INTERRUPT   0x03
#define USB_ENDPOINT_DIRECTION_MASK   0x80

#define USB_FEATURE_ENDPOINT_STALL  0x0000
#define USB_FEATURE_REMOTE_WAKEUP   0x0001

#pragma pack(push, 1)
typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;

typedef struct _USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
} USB_COMMON_DESCRIPTOR, *PUSB_COMMON_DESCRIPTOR;
#pragma pack(pop)

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "wire layout");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "wire layout");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "wire layout");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "wire layout");

// ---------------------------------------------------------------------------
// USBD status values

typedef LONG USBD_STATUS;

#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)

#define USBD_STATUS_SUCCESS                 ((USBD_STATUS)0x00000000)
#define USBD_STATUS_PENDING                 ((USBD_STATUS)0x40000000)
#define USBD_STATUS_CRC                     ((USBD_STATUS)0xC0000001)
#define USBD_STATUS_STALL_PID               ((USBD_STATUS)0xC0000004)
#define USBD_STATUS_DEV_NOT_RESPONDING      ((USBD_STATUS)0xC0000005)
#define USBD_STATUS_DATA_OVERRUN            ((USBD_STATUS)0xC0000008)
#define USBD_STATUS_DATA_UNDERRUN           ((USBD_STATUS)0xC0000009)
#define USBD_STATUS_BABBLE_DETECTED         ((USBD_STATUS)0xC0000012)
#define USBD_STATUS_ENDPOINT_HALTED         ((USBD_STATUS)0xC0000030)
#define USBD_STATUS_INVALID_URB_FUNCTION    ((USBD_STATUS)0x80000200)
#define USBD_STATUS_INVALID_PARAMETER       ((USBD_STATUS)0x80000300)
#define USBD_STATUS_REQUEST_FAILED          ((USBD_STATUS)0x80000500)
#define USBD_STATUS_INVALID_PIPE_HANDLE     ((USBD_STATUS)0x80000600)
#define USBD_STATUS_DEVICE_GONE             ((USBD_STATUS)0xC0007000)
#define USBD_STATUS_CANCELED                ((USBD_STATUS)0xC0010000)

// ---------------------------------------------------------------------------
// URB function codes and transfer flags

#define URB_FUNCTION_SELECT_CONFIGURATION          0x0000
#define URB_FUNCTION_SELECT_INTERFACE              0x0001
#define URB_FUNCTION_ABORT_PIPE                    0x0002
#define URB_FUNCTION_CONTROL_TRANSFER              0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER    0x0009
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE    0x000B
#define URB_FUNCTION_SET_FEATURE_TO_DEVICE         0x000D
#define URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE       0x0010
#define URB_FUNCTION_VENDOR_DEVICE                 0x0017
#define URB_FUNCTION_VENDOR_INTERFACE              0x0018
#define URB_FUNCTION_CLASS_DEVICE                  0x001A
#define URB_FUNCTION_CLASS_INTERFACE               0x001B
#define URB_FUNCTION_RESET_PIPE                    0x001E
#define URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL URB_FUNCTION_RESET_PIPE

#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN  1
#define USBD_SHORT_TRANSFER_OK      2

#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 4096

// The target's sizes of the URB layouts (32-bit pointers), which length
// fields written from the wire protocol carry.
#define URB_TARGET_SIZE_HEADER                 16
#define URB_TARGET_SIZE_PIPE_REQUEST           24
#define URB_TARGET_SIZE_SELECT_CONFIGURATION   60
#define URB_TARGET_SIZE_BULK_OR_INTERRUPT      72
#define URB_TARGET_SIZE_CONTROL_REQUEST        80

// ---------------------------------------------------------------------------
// Interface and pipe information

typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous = 1,
    UsbdPipeTypeBulk = 2,
    UsbdPipeTypeInterrupt = 3,
} USBD_PIPE_TYPE;

typedef struct _USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;

typedef struct _USBD_INTERFACE_INFORMATION {
    USHORT Length;  // bytes of this structure with all its pipe entries
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;

// The size of the interface information for an interface with `pipes` pipes.
#define GET_USBD_INTERFACE_SIZE(pipes) \
    (sizeof(USBD_INTERFACE_INFORMATION) + ((pipes) > 0 ? (pipes) - 1 : 0) * sizeof(USBD_PIPE_INFORMATION))

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

// ---------------------------------------------------------------------------
// URBs

struct _URB;

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_SELECT_CONFIGURATION {
    struct _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // null unconfigures the device
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;  // first of a sequence, each Length bytes long
};

struct _URB_PIPE_REQUEST {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_FEATURE_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved2;
    ULONG Reserved3;
    PVOID Reserved4;
    PVOID Reserved5;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved0;
    USHORT FeatureSelector;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
};

typedef struct _URB {
    union {
        struct _URB_HEADER UrbHeader;
        struct _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
        struct _URB_PIPE_REQUEST UrbPipeRequest;
        struct _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        struct _URB_CONTROL_FEATURE_REQUEST UrbControlFeatureRequest;
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
        struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
    };
} URB, *PURB;

// ---------------------------------------------------------------------------
// Internal device control codes of the bus driver

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define IOCTL_INTERNAL_USB_SUBMIT_URB CTL_CODE(FILE_DEVICE_USB, 0, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT CTL_CODE(FILE_DEVICE_USB, 1, METHOD_NEITHER, FILE_ANY_ACCESS)

static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "published value");
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x220007, "published value");

// ---------------------------------------------------------------------------
// The USBD library

// The first interface descriptor at or after StartPosition whose fields equal
// every argument that is not -1; null when there is none.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

// One select-configuration URB (non-paged pool) for the interfaces of the list,
// which ends at the first entry with a null descriptor; each entry's Interface
// is pointed into the URB. Null when the pool is exhausted.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

TORVEX_C_END

#if defined(TORVEX_IMAGE_LAYOUT)
static_assert(sizeof(URB) == 80 && sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72 &&
                  sizeof(struct _URB_HEADER) == 16,
              "the platform's request blocks");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 0x14 && __builtin_offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8 &&
                  sizeof(USBD_INTERFACE_INFORMATION) == 0x24 &&
                  __builtin_offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8 &&
                  __builtin_offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 0x10,
              "the platform's interface information");
#endif
