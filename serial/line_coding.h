// Line coding: the built-in baud-rate table with its divisor codes, the
// run-time extension table handed over by the port driver, the choice of what
// the device is told for a requested rate, and the stored settings sent again
// when power returns.
#pragma once

#include "core/usb2ser.h"

#define USB2SER_BAUD_ROWS          33
#define USB2SER_EXT_BAUD_ROWS      10
#define USB2SER_HIGHEST_PLAIN_RATE 115200  // CHIP_EXTENDED: faster rates go as divisor codes
#define USB2SER_DIVISOR_CODE       0x80000000

// Positions of the line values in the port-settings block.
#define USB2SER_SETTINGS_RATE      FIELD_OFFSET(SERPORT_SETTINGS, BaudRate)
#define USB2SER_SETTINGS_DATA_BITS FIELD_OFFSET(SERPORT_SETTINGS, DataBits)
#define USB2SER_SETTINGS_PARITY    FIELD_OFFSET(SERPORT_SETTINGS, Parity)
#define USB2SER_SETTINGS_STOP_BITS FIELD_OFFSET(SERPORT_SETTINGS, StopBits)

BOOLEAN USB2SER_FindAvailBaudRate(PULONG Rate, PULONG Index);
BOOLEAN USB2SER_FindAvailExtBaudRate(PULONG Rate, PULONG Index);
NTSTATUS USB2SER_RestoreState(PDEVICE_OBJECT DeviceObject);

// What the device is told for a requested rate (dwDTERate): a run-time row's
// code (CHIP_EXTENDED), or the nearest built-in row as a divisor code
// (CHIP_EXTENDED above 115200) or as a plain rate. *Rate becomes the built-in
// row's rate. A rate no row matches (below 75, or 112) is sent as it stands.
ULONG USB2SER_LineRate(PUSB2SER_EXTENSION Extension, PULONG Rate);

// A line as the device is told it: the rate or divisor code (dwDTERate) and
// the framing.
typedef struct _USB2SER_LINE {
    ULONG Rate;
    UCHAR StopBits;
    UCHAR Parity;
    UCHAR DataBits;
} USB2SER_LINE;

// At PASSIVE_LEVEL. The line the driver's record says the device runs: the
// framing PortSettings holds, and its rate as a baud-rate change tells it (a
// divisor code read back from the device goes as it is). What the record does
// not hold yet (the rate, or the framing, until the port first sets it) is
// the device's own, read from it (GET_LINE_CODING). FALSE when that read
// fails or comes back short.
BOOLEAN USB2SER_RecordedLine(PDEVICE_OBJECT DeviceObject, USB2SER_LINE* Line);

// At PASSIVE_LEVEL: the device's line coding (GET_LINE_CODING) into the
// caller's 7-byte Coding. FALSE when the request fails or comes back short.
BOOLEAN USB2SER_ReadLineCoding(PDEVICE_OBJECT DeviceObject, PUCHAR Coding);

// A line coding's 7 bytes (dwDTERate little-endian, then the framing) as a line.
VOID USB2SER_DecodeLineCoding(const UCHAR* Coding, USB2SER_LINE* Line);

// A SET_LINE_CODING request: fills the caller's 7-byte Coding with the line
// and builds the URB that sends it (null when there is no pool).
PURB USB2SER_BuildLineCoding(PUCHAR Coding, const USB2SER_LINE* Line);

// The little-endian rate at bytes 4-7 of a port-settings block.
ULONG USB2SER_SettingsRate(const UCHAR* Settings);
VOID USB2SER_SetSettingsRate(PUCHAR Settings, ULONG Rate);

// A 32-bit little-endian value at Bytes.
ULONG USB2SER_GetLE32(const UCHAR* Bytes);
VOID USB2SER_PutLE32(PUCHAR Bytes, ULONG Value);

// At PASSIVE_LEVEL: the port driver's settings block applied to the device,
// as Kind says (SERPORT_STATE_BAUD_RATE, SERPORT_STATE_LINE_CONTROL, or the
// line as it was). FALSE when the device kept its line.
BOOLEAN USB2SER_SetState(PDEVICE_OBJECT DeviceObject, PUCHAR Settings, UCHAR Kind);
