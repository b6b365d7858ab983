#include "ioctl/eeprom.h"

#include "usb/requests.h"

namespace {

const LONG kBusyPollDelay = -50000;  // 5 ms, relative
// A byte write cycle lasts a few milliseconds: 200 polls (a second) is
// plenty. A device that stays busy longer is given up on.
const ULONG kBusyPolls = 200;
const ULONG kEepromBytes = 256;
const ULONG kAddressSpace = 0x10000;

// Waits until the EEPROM is not busy, at most kBusyPolls polls.
// STATUS_IO_TIMEOUT when it stays busy.
NTSTATUS USB2SER_EEPROM_WaitReady(PDEVICE_OBJECT DeviceObject) {
    for (ULONG poll = 0; poll < kBusyPolls; ++poll) {
        if (!USB2SER_EEPROM_IsBusy(DeviceObject)) return STATUS_SUCCESS;
    }
    return STATUS_IO_TIMEOUT;
}

NTSTATUS USB2SER_VendorWrite(PDEVICE_OBJECT DeviceObject, USHORT Value, USHORT Index) {
    return USB2SER_SendRequest(DeviceObject, USB2SER_BuildVendorWrite(Value, Index), FALSE, NULL);
}

}  // namespace

// At PASSIVE_LEVEL. Writes the status byte to Buffer[0]; a buffer of no
// length gets nothing written (STATUS_BUFFER_TOO_SMALL).
NTSTATUS USB2SER_EEPROM_ReadStatus(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length, PULONG Count) {
    if (Buffer == NULL) {
        *Count = 0;
        return STATUS_NO_MEMORY;
    }
    if (Length == 0) {
        *Count = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    return USB2SER_SendRequest(DeviceObject, USB2SER_BuildVendorRead(USB2SER_VENDOR_EEPROM_STATUS, Buffer), FALSE,
                               Count);
}

// At PASSIVE_LEVEL, after a 5 ms sleep. A failed status read counts as not busy.
BOOLEAN USB2SER_EEPROM_IsBusy(PDEVICE_OBJECT DeviceObject) {
    LARGE_INTEGER interval;
    interval.QuadPart = kBusyPollDelay;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    UCHAR status = 0;
    ULONG count = 0;
    return NT_SUCCESS(USB2SER_EEPROM_ReadStatus(DeviceObject, &status, 1, &count)) && count == 1 &&
           (status & EEPROM_STATUS_BUSY) != 0;
}

// At PASSIVE_LEVEL. Buffer: the start address, then the data bytes. The data
// position advances with the address and wraps with it after 256 bytes. The
// first failure ends the write: a byte that cannot be sent (no pool, a failed
// request, an EEPROM that stays busy) is never skipped, so no byte lands at
// another address than its own.
NTSTATUS USB2SER_EEPROM_Write(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG InputLength) {
    if (Buffer == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    if (InputLength <= 1) return status;
    const ULONG start = Buffer[0];
    for (ULONG k = 0; k < InputLength - 1; ++k) {
        const UCHAR address = static_cast<UCHAR>((start + k) % kEepromBytes);
        const UCHAR data = Buffer[1 + k % kEepromBytes];
        status = USB2SER_EEPROM_WaitReady(DeviceObject);
        if (!NT_SUCCESS(status)) return status;
        status = USB2SER_VendorWrite(DeviceObject, USB2SER_VENDOR_EEPROM_WRITE, static_cast<USHORT>(data << 8 | address));
        if (!NT_SUCCESS(status)) return status;
    }
    return status;
}

// At PASSIVE_LEVEL. Buffer: the 16-bit start address on entry (it must hold
// two bytes), OutputLength bytes from byte 0 afterwards. A failed byte does not
// stop the loop; a range past address 0xFFFF is refused. The result is the
// last byte's status, with the count OutputLength when it succeeded.
NTSTATUS USB2SER_EEPROM_ReadData(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG OutputLength, PULONG Count) {
    *Count = 0;
    if (Buffer == NULL) return STATUS_NO_MEMORY;
    if (OutputLength == 0) return STATUS_SUCCESS;
    const ULONG start = static_cast<ULONG>(Buffer[0] | Buffer[1] << 8);
    if (OutputLength > kAddressSpace - start) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG k = 0; k < OutputLength; ++k) {
        const USHORT address = static_cast<USHORT>(start + k);
        NTSTATUS ready = USB2SER_EEPROM_WaitReady(DeviceObject);
        if (NT_SUCCESS(ready)) {
            USB2SER_VendorWrite(DeviceObject, USB2SER_VENDOR_EEPROM_ADDRESS, address);
            ready = USB2SER_EEPROM_WaitReady(DeviceObject);
        }
        ULONG transferred = 0;
        status = NT_SUCCESS(ready) ? USB2SER_SendRequest(
                                         DeviceObject, USB2SER_BuildVendorRead(USB2SER_VENDOR_EEPROM_DATA, Buffer + k),
                                         FALSE, &transferred)
                                   : ready;
        if (NT_SUCCESS(status) && transferred != 1) status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status)) *Count = OutputLength;
    return status;
}

// At PASSIVE_LEVEL. Read failures are not looked at: bytes that could not be
// read stay 0, and the chip is then taken to lack the signature.
BOOLEAN USB2SER_IsEEPROM0E2A(PDEVICE_OBJECT DeviceObject) {
    UCHAR bytes[2] = {0, 0};
    ULONG count = 0;
    USB2SER_EEPROM_ReadData(DeviceObject, bytes, sizeof(bytes), &count);
    return static_cast<USHORT>(bytes[0] | bytes[1] << 8) == USB2SER_EEPROM_SIGNATURE;
}

// At PASSIVE_LEVEL: registers 0, 1 and 2 of a chip without the signature. A
// failed write does not stop the others; the third write's status is returned.
NTSTATUS USB2SER_InitHW(PDEVICE_OBJECT DeviceObject) {
    const UCHAR third = USB2SER_Extension(DeviceObject)->ChipType == CHIP_EXTENDED ? 0x44 : 0x24;
    USB2SER_VendorWrite(DeviceObject, USB2SER_VENDOR_WRITE_REGISTER(0), 0x01);
    USB2SER_VendorWrite(DeviceObject, USB2SER_VENDOR_WRITE_REGISTER(1), 0x00);
    return USB2SER_VendorWrite(DeviceObject, USB2SER_VENDOR_WRITE_REGISTER(2), third);
}
