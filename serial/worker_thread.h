// The worker thread: one per device, at PASSIVE_LEVEL, the only place where
// the port driver is asked for the next transmit chunk, where a failed chunk
// goes again, where halted reads are recovered and where a power-up is
// finished.
#pragma once

#include "core/usb2ser.h"

#define USB2SER_WORKER_PRIORITY 17

NTSTATUS USB2SER_Create_Thread(PDEVICE_OBJECT DeviceObject);
VOID USB2SER_Kill_Thread(PDEVICE_OBJECT DeviceObject);
VOID NTAPI USB2SER_Thread_Main(PVOID StartContext);
