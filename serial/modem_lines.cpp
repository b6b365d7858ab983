#include "serial/modem_lines.h"

#include "usb/requests.h"

namespace {

// Register 1: the auxiliary output the sequences pulse, and the input that
// says the far side is ready; register 2: the bit the open sequence sets then.
const UCHAR kRegister1Aux = 0x04;
const UCHAR kRegister1Ready = 0x08;
const UCHAR kRegister2Ready = 0x40;
const UCHAR kRegister2Clear = 0xC0;

const LONG kAuxLowTime = -2500000;    // 250 ms, relative
const LONG kSettleTime = -2000000;    // 200 ms
const LONG kReadyPollTime = -1000000;  // 100 ms
const ULONG kReadyPolls = 10;

VOID USB2SER_Delay(LONG Relative) {
    LARGE_INTEGER interval;
    interval.QuadPart = Relative;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Reads one register synchronously. A request that fails, or that returns no
// byte, gives no value: the caller keeps what it had. STATUS_NO_MEMORY when no
// request record could be had.
NTSTATUS USB2SER_ReadRegister(PDEVICE_OBJECT DeviceObject, ULONG Register, PUCHAR Value) {
    UCHAR byte = 0;
    ULONG transferred = 0;
    NTSTATUS status = USB2SER_SendRequest(
        DeviceObject, USB2SER_BuildVendorRead(USB2SER_VENDOR_READ_REGISTER(Register), &byte), FALSE, &transferred);
    if (NT_SUCCESS(status) && transferred != 1) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) *Value = byte;
    return status;
}

NTSTATUS USB2SER_WriteRegister(PDEVICE_OBJECT DeviceObject, ULONG Register, UCHAR Value) {
    return USB2SER_SendRequest(DeviceObject, USB2SER_BuildVendorWrite(USB2SER_VENDOR_WRITE_REGISTER(Register), Value),
                               FALSE, NULL);
}

// Sets or clears one line in ControlLineState and sends the whole of it:
// synchronously at PASSIVE_LEVEL, fire-and-forget above. The state is stored
// before anything is sent; a request that cannot be built changes nothing.
BOOLEAN USB2SER_SetControlLine(USHORT Line, BOOLEAN On, ULONG Port) {
    const BOOLEAN passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
    PDEVICE_OBJECT device = USB2SER_GetDeviceObject(Port);
    if (device == NULL) return FALSE;
    PUSB2SER_EXTENSION ext = USB2SER_Extension(device);
    const USHORT state = static_cast<USHORT>(On ? ext->ControlLineState | Line : ext->ControlLineState & ~Line);
    PURB urb = USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SET_CONTROL_LINE_STATE, state, NULL, 0);
    if (urb == NULL) return FALSE;
    ext->ControlLineState = state;
    USB2SER_SendRequest(device, urb, !passive, NULL);
    return TRUE;
}

// Read-modify-write of register 0: the read is synchronous, the write goes
// fire-and-forget. When the read fails the value to modify is unknown and
// nothing is written; the state asked for is still recorded, so that the
// restore after a loss of power applies it.
BOOLEAN USB2SER_SwitchRegister0(PDEVICE_OBJECT DeviceObject, BOOLEAN Dcr, BOOLEAN On) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    const BOOLEAN extended = ext->ChipType == CHIP_EXTENDED;
    if (!Dcr && !extended) return FALSE;
    PURB write = USB2SER_BuildVendorWrite(USB2SER_VENDOR_WRITE_REGISTER(0), 0);
    if (write == NULL) return FALSE;
    UCHAR value = 0;
    NTSTATUS status = USB2SER_ReadRegister(DeviceObject, 0, &value);
    if (status == STATUS_NO_MEMORY) {
        ExFreePool(write);
        return FALSE;
    }
    UCHAR set;
    UCHAR keep;
    if (!Dcr) {
        set = 0xC0;
        keep = 0x3F;
    } else if (extended) {
        set = 0x60;
        keep = 0x0F;
    } else {
        set = 0x40;
        keep = 0x3F;
    }
    if (Dcr) {
        ext->DcrStateOn = On;
    } else {
        ext->XonXoffStateOn = On;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePool(write);
        return TRUE;
    }
    write->UrbControlVendorClassRequest.Index = static_cast<UCHAR>(On ? value | set : value & keep);
    USB2SER_SendRequest(DeviceObject, write, TRUE, NULL);
    return TRUE;
}

BOOLEAN USB2SER_SwitchPortRegister0(BOOLEAN Dcr, BOOLEAN On, ULONG Port) {
    PDEVICE_OBJECT device = USB2SER_GetDeviceObject(Port);
    return device != NULL && USB2SER_SwitchRegister0(device, Dcr, On);
}

// The single vendor commands of CHIP_EXTENDED chips.
NTSTATUS USB2SER_ExtendedCommand(PDEVICE_OBJECT DeviceObject, USHORT Value, USHORT Index) {
    if (USB2SER_Extension(DeviceObject)->ChipType != CHIP_EXTENDED) return STATUS_NOT_SUPPORTED;
    return USB2SER_SendRequest(DeviceObject, USB2SER_BuildVendorWrite(Value, Index), FALSE, NULL);
}

// The device of a port whose registers the sequences work on: a CHIP_EXTENDED
// chip whose register 1 reads with the auxiliary line up. Null otherwise, and
// when the read fails.
PDEVICE_OBJECT USB2SER_SequenceDevice(ULONG Port) {
    PDEVICE_OBJECT device = USB2SER_GetDeviceObject(Port);
    if (device == NULL || USB2SER_Extension(device)->ChipType != CHIP_EXTENDED) return NULL;
    if (!NT_SUCCESS(USB2SER_ReadRegister(device, 1, &USB2SER_Extension(device)->RegisterShadow[1]))) return NULL;
    return (USB2SER_Extension(device)->RegisterShadow[1] & kRegister1Aux) != 0 ? device : NULL;
}

}  // namespace

NTSTATUS USB2SER_SendControlLineState(PDEVICE_OBJECT DeviceObject) {
    return USB2SER_SendRequest(DeviceObject,
                               USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SET_CONTROL_LINE_STATE,
                                                         USB2SER_Extension(DeviceObject)->ControlLineState, NULL, 0),
                               FALSE, NULL);
}

// Up to DISPATCH_LEVEL.
BOOLEAN USB2SER_SetDTRState(BOOLEAN On, ULONG Port) { return USB2SER_SetControlLine(USB2SER_CONTROL_DTR, On, Port); }

// Up to DISPATCH_LEVEL.
BOOLEAN USB2SER_SetRTSState(BOOLEAN On, ULONG Port) { return USB2SER_SetControlLine(USB2SER_CONTROL_RTS, On, Port); }

BOOLEAN USB2SER_SetDCRState(BOOLEAN On, ULONG Port) { return USB2SER_SwitchPortRegister0(TRUE, On, Port); }

BOOLEAN USB2SER_SetXonXoffState(BOOLEAN On, ULONG Port) { return USB2SER_SwitchPortRegister0(FALSE, On, Port); }

// The switches go to this device, whatever port number it has now.
VOID USB2SER_RestoreSwitchesAndLines(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    if (ext->DcrStateOn) USB2SER_SwitchRegister0(DeviceObject, TRUE, TRUE);
    if (ext->XonXoffStateOn) USB2SER_SwitchRegister0(DeviceObject, FALSE, TRUE);
    USB2SER_SendControlLineState(DeviceObject);
}

BOOLEAN USB2SER_GetDCR(ULONG Register, ULONG Port) {
    PDEVICE_OBJECT device = USB2SER_GetDeviceObject(Port);
    if (device == NULL) return FALSE;
    return USB2SER_GetDCR_NoCOM(USB2SER_Extension(device), Register);
}

// A read that fails leaves RegisterShadow as it was.
BOOLEAN USB2SER_GetDCR_NoCOM(PUSB2SER_EXTENSION Extension, ULONG Register) {
    if (Register >= USB2SER_REGISTER_COUNT) return FALSE;
    return USB2SER_ReadRegister(Extension->FunctionalDeviceObject, Register, &Extension->RegisterShadow[Register]) !=
           STATUS_NO_MEMORY;
}

BOOLEAN USB2SER_SetDCR(USHORT Register, USHORT Value, ULONG Port) {
    PDEVICE_OBJECT device = USB2SER_GetDeviceObject(Port);
    if (device == NULL || Register >= USB2SER_REGISTER_COUNT) return FALSE;
    return USB2SER_WriteRegister(device, Register, static_cast<UCHAR>(Value)) != STATUS_NO_MEMORY;
}

BOOLEAN USB2SER_SetDCR_NoCOM(PUSB2SER_EXTENSION Extension, ULONG Register) {
    if (Register >= USB2SER_REGISTER_COUNT) return FALSE;
    return USB2SER_WriteRegister(Extension->FunctionalDeviceObject, Register, Extension->RegisterShadow[Register]) !=
           STATUS_NO_MEMORY;
}

NTSTATUS USB2SER_ResetDataPipe(PDEVICE_OBJECT DeviceObject, BOOLEAN Which) {
    return USB2SER_ExtendedCommand(
        DeviceObject, Which ? USB2SER_VENDOR_DATA_PIPE_RESET_ON : USB2SER_VENDOR_DATA_PIPE_RESET_OFF, 0);
}

NTSTATUS USB2SER_SetFlowThreshold(PDEVICE_OBJECT DeviceObject, UCHAR Threshold) {
    return USB2SER_ExtendedCommand(DeviceObject, USB2SER_VENDOR_FLOW_THRESHOLD, Threshold);
}

// At port close, PASSIVE_LEVEL: with DTR off, the auxiliary line goes low for
// 250 ms; then register 2's bits 0xC0 are cleared and DTR comes back on. When
// register 2 cannot be read, only its write-back is left out: what it would
// write is unknown, and the rest (the pulse, DTR ending on) does not need it.
VOID USB2SER_MBUSConf1(ULONG Port) {
    PDEVICE_OBJECT device = USB2SER_SequenceDevice(Port);
    if (device == NULL) return;
    PUCHAR shadow = USB2SER_Extension(device)->RegisterShadow;
    USB2SER_SetDTRState(FALSE, Port);
    const BOOLEAN read = NT_SUCCESS(USB2SER_ReadRegister(device, 2, &shadow[2]));
    shadow[1] = static_cast<UCHAR>(shadow[1] & ~kRegister1Aux);
    USB2SER_WriteRegister(device, 1, shadow[1]);
    USB2SER_Delay(kAuxLowTime);
    shadow[1] = static_cast<UCHAR>(shadow[1] | kRegister1Aux);
    USB2SER_WriteRegister(device, 1, shadow[1]);
    if (read) {
        shadow[2] = static_cast<UCHAR>(shadow[2] & ~kRegister2Clear);
        USB2SER_WriteRegister(device, 2, shadow[2]);
    }
    USB2SER_SetDTRState(TRUE, Port);
    USB2SER_Delay(kSettleTime);
}

// At port open, PASSIVE_LEVEL, after the registers were read: waits up to ten
// polls of 100 ms for the far side to say it is ready, then sets register 2's
// bit 0x40. A read that fails ends the sequence.
VOID USB2SER_MBUSConf2(ULONG Port) {
    PDEVICE_OBJECT device = USB2SER_SequenceDevice(Port);
    if (device == NULL) return;
    PUCHAR shadow = USB2SER_Extension(device)->RegisterShadow;
    for (ULONG poll = 0; poll < kReadyPolls; ++poll) {
        if (!NT_SUCCESS(USB2SER_ReadRegister(device, 1, &shadow[1]))) return;
        USB2SER_Delay(kReadyPollTime);
        if ((shadow[1] & kRegister1Ready) != 0) {
            shadow[2] = static_cast<UCHAR>(shadow[2] | kRegister2Ready);
            USB2SER_WriteRegister(device, 2, shadow[2]);
            return;
        }
    }
}
