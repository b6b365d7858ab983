// The control requests the chip understands, and the one family of routines
// that builds and sends them. Every builder takes a URB from non-paged pool
// (null when there is none) with the target's 80-byte length in its header;
// USB2SER_SendRequest sends it synchronously and frees it, or hands it over
// fire-and-forget.
#pragma once

#include "core/usb2ser.h"

// Vendor request 1, addressed to the device: wValue selects the register or
// command, wIndex carries the value written. Reads return one byte.
#define USB2SER_VENDOR_REQUEST              0x01
#define USB2SER_VENDOR_READ_REGISTER(n)     ((USHORT)(0x0080 + (n)))
#define USB2SER_VENDOR_WRITE_REGISTER(n)    ((USHORT)(n))
#define USB2SER_VENDOR_FLOW_THRESHOLD       0x0B0B
#define USB2SER_VENDOR_DATA_PIPE_RESET_ON   0x0909
#define USB2SER_VENDOR_DATA_PIPE_RESET_OFF  0x0808
#define USB2SER_VENDOR_EEPROM_STATUS        0x8484
#define USB2SER_VENDOR_EEPROM_WRITE         0x0303
#define USB2SER_VENDOR_EEPROM_ADDRESS       0x0404
#define USB2SER_VENDOR_EEPROM_DATA          0x8383

// Class requests of the communications class, always to interface 0.
#define USB2SER_CDC_SET_COMM_FEATURE        0x02
#define USB2SER_CDC_GET_COMM_FEATURE        0x03
#define USB2SER_CDC_CLEAR_COMM_FEATURE      0x04
#define USB2SER_CDC_SET_LINE_CODING         0x20
#define USB2SER_CDC_GET_LINE_CODING         0x21
#define USB2SER_CDC_SET_CONTROL_LINE_STATE  0x22
#define USB2SER_CDC_SEND_BREAK              0x23
#define USB2SER_CDC_ABSTRACT_STATE          0x0001
#define USB2SER_BREAK_ON                    0xFFFF
#define USB2SER_BREAK_OFF                   0x0000
#define USB2SER_LINE_CODING_SIZE            7

#define USB2SER_LANGUAGE_ENGLISH_US         0x0409

// GET_DESCRIPTOR from the device.
PURB USB2SER_BuildDescriptorRequest(UCHAR DescriptorType, UCHAR Index, USHORT LanguageId, PVOID Buffer,
                                    ULONG Length);
// SET_FEATURE (Set TRUE) or CLEAR_FEATURE to the device.
PURB USB2SER_BuildFeatureRequest(BOOLEAN Set, USHORT FeatureSelector);
// A class request to interface 0; In selects the direction of the data stage.
PURB USB2SER_BuildClassRequest(BOOLEAN In, UCHAR Request, USHORT Value, PVOID Buffer, ULONG Length);
// Vendor request 1: a write (no data stage), or a read of exactly one byte.
PURB USB2SER_BuildVendorWrite(USHORT Value, USHORT Index);
PURB USB2SER_BuildVendorRead(USHORT Value, PUCHAR Byte);

// Fills a bulk-or-interrupt transfer URB (zeroed by the caller) for one pipe:
// the target's length, the function, the pipe, the flags and the buffer.
VOID USB2SER_FillPipeTransfer(struct _URB_BULK_OR_INTERRUPT_TRANSFER* Urb, USBD_PIPE_HANDLE Pipe, ULONG TransferFlags,
                              PVOID Buffer, ULONG Length);

// Sends a built URB. Synchronously: through USB2SER_CallUSBD, then freed;
// Transferred (when given) receives the bytes the data stage moved. Fire and
// forget: handed to USB2SER_AsyncCallUSBD_Ctrl. A null URB sends nothing and
// gives STATUS_NO_MEMORY.
NTSTATUS USB2SER_SendRequest(PDEVICE_OBJECT DeviceObject, PURB Urb, BOOLEAN FireAndForget, PULONG Transferred);
