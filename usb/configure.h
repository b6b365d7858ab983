// Device start: the device descriptor, the chip's classification, the
// configuration with one or two interfaces, and remote wake-up.
#pragma once

#include "core/usb2ser.h"

NTSTATUS USB2SER_StartDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS USB2SER_ControlRemoteWakeup(PDEVICE_OBJECT DeviceObject, BOOLEAN Enable);
NTSTATUS USB2SER_ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS USB2SER_SelectInterfaces(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
NTSTATUS USB2SER_SelectInterfaces1(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
NTSTATUS USB2SER_SelectInterfaces2(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
NTSTATUS USB2SER_StopDevice(PDEVICE_OBJECT DeviceObject);
// Frees the interface copies (and with them the pipe handles) of the last
// configuration.
VOID USB2SER_ReleaseInterfaces(PUSB2SER_EXTENSION Extension);
