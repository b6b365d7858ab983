// Diagnostic operations for tools: each builds exactly one USB request from
// a tool's buffer and sends it synchronously. Read routines report the bytes
// transferred through Count; a missing buffer gives STATUS_NO_MEMORY (count 0)
// to a read routine and STATUS_INVALID_PARAMETER to a write routine, and
// sends nothing. A read routine writes only within the length it is given;
// the fixed-size ones (the device descriptor, 18 bytes; the vendor read, 1;
// the feature, 2) and the writes (the vendor write reads 4 bytes, the control
// line state and the feature 2) rely on the dispatcher for those sizes.
#pragma once

#include "core/usb2ser.h"

#define USB2SER_DEVICE_DESCRIPTOR_SIZE 18

NTSTATUS USB2SER_GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Count);
NTSTATUS USB2SER_GetConfigDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PULONG Count);
NTSTATUS USB2SER_GetStringDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PULONG Count);
NTSTATUS USB2SER_SendEncap(PDEVICE_OBJECT DeviceObject, PVOID Buffer);
NTSTATUS USB2SER_GetEncap(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Count);
NTSTATUS USB2SER_ReadInterrupt(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PULONG Count);
NTSTATUS USB2SER_WriteBulk(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length);
NTSTATUS USB2SER_ReadBulk(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PULONG Count);
NTSTATUS USB2SER_SendCtrlState(PDEVICE_OBJECT DeviceObject, PVOID Buffer);
NTSTATUS USB2SER_SetFeature(PDEVICE_OBJECT DeviceObject, PVOID Buffer);
NTSTATUS USB2SER_GetFeature(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Count);
NTSTATUS USB2SER_ClrFeature(PDEVICE_OBJECT DeviceObject);
