// Diagnostic operations for tools: single requests built from a tool's
// buffer and sent synchronously.
#pragma once

#include "core/usb2ser.h"

// One read on the interrupt-in pipe of up to Length bytes (no short transfer
// allowed) into Buffer; *Count receives the bytes transferred.
NTSTATUS USB2SER_ReadInterrupt(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PULONG Count);
