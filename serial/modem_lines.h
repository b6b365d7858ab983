// The modem control lines DTR and RTS, the three device registers with their
// shadow, the register-0 switches for hardware and XON/XOFF flow control, the
// timed register sequences of port close and open, and the single commands of
// CHIP_EXTENDED chips: the data-pipe resets and the flow threshold.
#pragma once

#include "core/usb2ser.h"

#define USB2SER_CONTROL_DTR 0x0001
#define USB2SER_CONTROL_RTS 0x0002
#define USB2SER_REGISTER_COUNT 3

BOOLEAN USB2SER_SetDTRState(BOOLEAN On, ULONG Port);
// Sends ControlLineState as it stands, at PASSIVE_LEVEL: the chip drives the
// lines the driver believes in again.
NTSTATUS USB2SER_SendControlLineState(PDEVICE_OBJECT DeviceObject);
BOOLEAN USB2SER_SetRTSState(BOOLEAN On, ULONG Port);
BOOLEAN USB2SER_SetDCRState(BOOLEAN On, ULONG Port);
BOOLEAN USB2SER_SetXonXoffState(BOOLEAN On, ULONG Port);
// At PASSIVE_LEVEL, after the chip lost its settings with its power or a port
// reset: the flow-control switches the driver recorded are set again, then
// the control lines it keeps are driven again.
VOID USB2SER_RestoreSwitchesAndLines(PDEVICE_OBJECT DeviceObject);
BOOLEAN USB2SER_GetDCR(ULONG Register, ULONG Port);
BOOLEAN USB2SER_GetDCR_NoCOM(PUSB2SER_EXTENSION Extension, ULONG Register);
BOOLEAN USB2SER_SetDCR(USHORT Register, USHORT Value, ULONG Port);
BOOLEAN USB2SER_SetDCR_NoCOM(PUSB2SER_EXTENSION Extension, ULONG Register);
NTSTATUS USB2SER_ResetDataPipe(PDEVICE_OBJECT DeviceObject, BOOLEAN Which);
NTSTATUS USB2SER_SetFlowThreshold(PDEVICE_OBJECT DeviceObject, UCHAR Threshold);
VOID USB2SER_MBUSConf1(ULONG Port);
VOID USB2SER_MBUSConf2(ULONG Port);
