// The chip's EEPROM, byte by byte, through vendor request 1; the signature
// test on its first two bytes and the initialisation of a chip without it.
#pragma once

#include "core/usb2ser.h"

#define EEPROM_STATUS_BUSY     0x01
#define USB2SER_EEPROM_SIGNATURE 0x0E2A

NTSTATUS USB2SER_EEPROM_ReadStatus(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length, PULONG Count);
BOOLEAN USB2SER_EEPROM_IsBusy(PDEVICE_OBJECT DeviceObject);
NTSTATUS USB2SER_EEPROM_Write(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG InputLength);
NTSTATUS USB2SER_EEPROM_ReadData(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG OutputLength, PULONG Count);
BOOLEAN USB2SER_IsEEPROM0E2A(PDEVICE_OBJECT DeviceObject);
NTSTATUS USB2SER_InitHW(PDEVICE_OBJECT DeviceObject);
