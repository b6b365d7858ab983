// The port as a Windows 9x configuration-manager device node: its node, its
// I/O resource requirement, and the COM port number that binds the device into
// gDevObj.
#pragma once

#include "core/usb2ser.h"
#include "platform/configmg.h"

#define USB2SER_DEFAULT_PORT 3

BOOLEAN USB2SER_CreateDevNode(PDEVICE_OBJECT DeviceObject);
CONFIGRET AddLogConfig(PDEVICE_OBJECT DeviceObject);
CONFIGRET CDECL EnumHandler(CONFIGFUNC Function, SUBCONFIGFUNC SubFunction, DEVNODE ToDevNode, DEVNODE AboutDevNode,
                      ULONG Flags);
ULONG USB2SER_QueryCOMPort(PDEVICE_OBJECT DeviceObject);
BOOLEAN USB2SER_DeleteDevNode(PDEVICE_OBJECT DeviceObject);

// Binds the device under a port number (0 to 255), so that an entry names a
// device only under the number it is bound under: the entry under the old
// number goes, and the entry under Port names the device when it is free, or
// when Take is TRUE and the device holding it has no open port. The tool's
// port index starts at the same number.
VOID USB2SER_SetPortIndex(PDEVICE_OBJECT DeviceObject, LONG Port, BOOLEAN Take);

// Clears every table entry that names this device, and no other: another
// device may hold its old number now.
VOID USB2SER_ReleasePortEntry(PDEVICE_OBJECT DeviceObject);
