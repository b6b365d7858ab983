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

// The one way PortIndex changes, so that an entry names a device only under
// the device's own number: the entry under the old number goes, and the entry
// under Port (0 to 255) names the device when it is free or Take is TRUE.
VOID USB2SER_SetPortIndex(PDEVICE_OBJECT DeviceObject, LONG Port, BOOLEAN Take);

// Clears the table entry under the device's port number, only while it names
// this device: another device may hold that number now.
VOID USB2SER_ReleasePortEntry(PDEVICE_OBJECT DeviceObject);
