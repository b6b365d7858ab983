// Device-control requests from configuration and diagnostic tools: a few of
// the platform's serial codes, receive capture, the port index, the device
// node, and the diagnostic, EEPROM and register-bit operations. Every request
// is finished before the routine returns.
#include "core/usb2ser.h"
#include "ioctl/diagnostics.h"
#include "ioctl/eeprom.h"
#include "ioctl/ioctl_codes.h"
#include "serial/data_pump.h"
#include "serial/line_coding.h"
#include "serial/modem_lines.h"
#include "serial/port_interface.h"
#include "usb/usb_submit.h"

namespace {

const LONG kCloseCaptureIdleLimit = -20000000;  // 2 s, relative
const ULONG kModemStatusBytes = 4;
const ULONG kDevNodeBytes = 4;

// The bytes a code reads from its input and writes to its output at least.
// A request with a buffer shorter than that is refused with
// STATUS_BUFFER_TOO_SMALL before anything is done; a request with no buffer
// at all still goes to the diagnostic and EEPROM routines, which answer it as
// their interface says. Codes not listed need no bytes, or check their
// lengths themselves.
struct USB2SER_IOCTL_LENGTHS {
    ULONG Code;
    ULONG Input;
    ULONG Output;
    BOOLEAN Routine;  // served by a diagnostic or EEPROM routine
};

const USB2SER_IOCTL_LENGTHS kLengths[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, FALSE},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, FALSE},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, kModemStatusBytes, FALSE},
    {IOCTL_USB2SER_SET_PORT_INDEX, 1, 0, FALSE},
    {IOCTL_USB2SER_GET_DEVNODE, 0, kDevNodeBytes, FALSE},
    {IOCTL_USB2SER_GET_DEVICE_DESCRIPTOR, 0, USB2SER_DEVICE_DESCRIPTOR_SIZE, TRUE},
    {IOCTL_USB2SER_GET_STRING_DESCRIPTOR, 1, 0, TRUE},
    {IOCTL_USB2SER_SEND_ENCAP, 4, 0, TRUE},
    {IOCTL_USB2SER_GET_ENCAP, 2, 1, TRUE},
    {IOCTL_USB2SER_SEND_CTRL_STATE, 2, 0, TRUE},
    {IOCTL_USB2SER_SET_FEATURE, 2, 0, TRUE},
    {IOCTL_USB2SER_EEPROM_READ, 2, 0, TRUE},
    {IOCTL_USB2SER_GET_FEATURE, 0, 2, TRUE},
    {IOCTL_USB2SER_WRITE_REG1_BIT4, 1, 0, FALSE},
    {IOCTL_USB2SER_WRITE_REG1_BIT5, 1, 0, FALSE},
    {IOCTL_USB2SER_WRITE_REG1_BIT6, 1, 0, FALSE},
    {IOCTL_USB2SER_WRITE_REG1_BIT7, 1, 0, FALSE},
    {IOCTL_USB2SER_READ_REG1_BIT6, 0, 1, FALSE},
    {IOCTL_USB2SER_READ_REG1_BIT7, 0, 1, FALSE},
};

BOOLEAN USB2SER_LengthsTooShort(ULONG Code, PVOID Buffer, ULONG InputLength, ULONG OutputLength) {
    for (const USB2SER_IOCTL_LENGTHS& row : kLengths) {
        if (row.Code != Code) continue;
        if (Buffer == NULL && row.Routine) return FALSE;
        return InputLength < row.Input || OutputLength < row.Output;
    }
    return FALSE;
}

// Baud rate or line control: a copy of the port settings with the request's
// values goes to the port through SetStateForSerport. A line the device
// refuses fails the request.
NTSTATUS USB2SER_ChangeLine(PUSB2SER_EXTENSION ext, const UCHAR* Input, UCHAR Kind) {
    UCHAR settings[USB2SER_PORT_SETTINGS_SIZE];
    RtlCopyMemory(settings, ext->PortSettings, sizeof(settings));
    if (Kind == SERPORT_STATE_BAUD_RATE) {
        RtlCopyMemory(settings + USB2SER_SETTINGS_RATE, Input, 4);
    } else {
        settings[USB2SER_SETTINGS_STOP_BITS] = Input[0];
        settings[USB2SER_SETTINGS_PARITY] = Input[1];
        settings[USB2SER_SETTINGS_DATA_BITS] = Input[2];
    }
    return SetStateForSerport(settings, Kind, static_cast<ULONG>(ext->PortIndex)) ? STATUS_SUCCESS
                                                                                  : STATUS_UNSUCCESSFUL;
}

// DTR and RTS: the device is brought to full power first. It is asked of the
// power manager, not only recorded: a record of D0 the power manager does not
// share would make the next sleep's D3 request one for the state it believes
// the device in, which Windows 98 never completes. The request's result is
// not looked at; a failed one leaves the record as it was.
VOID USB2SER_ChangeControlLine(PUSB2SER_EXTENSION ext, USHORT Line, BOOLEAN On) {
    if (ext->DevicePowerState != PowerDeviceD0) USB2SER_SendDeviceSetPower(ext, PowerDeviceD0);
    const ULONG port = static_cast<ULONG>(ext->PortIndex);
    if (Line == USB2SER_CONTROL_DTR) {
        USB2SER_SetDTRState(On, port);
    } else {
        USB2SER_SetRTSState(On, port);
    }
}

// Capture on, and the device at the port index opened with its reads armed.
NTSTATUS USB2SER_OpenCapture(PUSB2SER_EXTENSION ext) {
    ext->CaptureMode = TRUE;
    PDEVICE_OBJECT target = USB2SER_GetDeviceObject(static_cast<ULONG>(ext->PortIndex));
    if (target == NULL) return STATUS_INVALID_PARAMETER;
    USB2SER_Extension(target)->PortOpen = TRUE;
    USB2SER_ArmReads(target, TRUE);
    return STATUS_SUCCESS;
}

// This device's reads are cancelled and waited for (2 s at most), and the
// port counts as closed. The device's power is what it was: recording a
// power state here would make the next sleep take the path of a wake.
VOID USB2SER_CloseCapture(PUSB2SER_EXTENSION ext) {
    USB2SER_CancelReads(ext);
    PVOID idle[2] = {&ext->DataIdleEvent, &ext->CtrlIdleEvent};
    LARGE_INTEGER limit;
    limit.QuadPart = kCloseCaptureIdleLimit;
    USB2SER_Wait(2, idle, WaitAll, &limit);
    ext->PortOpen = FALSE;
}

// Hands the captured bytes to the tool and ends capture; the buffer keeps
// them until the next purge. An output too short for them gets nothing.
NTSTATUS USB2SER_FetchCapture(PUSB2SER_EXTENSION ext, PUCHAR Output, ULONG OutputLength, PULONG Count) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->CaptureLock, &irql);
    const ULONG length = static_cast<ULONG>(ext->CaptureLength);
    NTSTATUS status = STATUS_BUFFER_TOO_SMALL;
    if (length <= OutputLength) {
        if (length != 0) RtlCopyMemory(Output, ext->CaptureBuffer, length);
        *Count = length;
        ext->CaptureMode = FALSE;
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&ext->CaptureLock, irql);
    return status;
}

VOID USB2SER_PurgeCapture(PUSB2SER_EXTENSION ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->CaptureLock, &irql);
    RtlZeroMemory(ext->CaptureBuffer, USB2SER_CAPTURE_SIZE);
    ext->CaptureLength = 0;
    ext->CaptureMode = TRUE;
    KeReleaseSpinLock(&ext->CaptureLock, irql);
}

// Register 1, read into its shadow; a write code then sets or clears its bit
// and writes the shadow back. Results are not used.
UCHAR USB2SER_Register1Bit(ULONG Code) {
    switch (Code) {
    case IOCTL_USB2SER_WRITE_REG1_BIT4: return 0x10;
    case IOCTL_USB2SER_WRITE_REG1_BIT5: return 0x20;
    case IOCTL_USB2SER_WRITE_REG1_BIT6:
    case IOCTL_USB2SER_READ_REG1_BIT6: return 0x40;
    default: return 0x80;
    }
}

VOID USB2SER_WriteRegister1Bit(PUSB2SER_EXTENSION ext, UCHAR Bit, BOOLEAN On) {
    USB2SER_GetDCR_NoCOM(ext, 1);
    ext->RegisterShadow[1] = static_cast<UCHAR>(On ? ext->RegisterShadow[1] | Bit : ext->RegisterShadow[1] & ~Bit);
    USB2SER_SetDCR_NoCOM(ext, 1);
}

UCHAR USB2SER_ReadRegister1Bit(PUSB2SER_EXTENSION ext, UCHAR Bit) {
    USB2SER_GetDCR_NoCOM(ext, 1);
    return (ext->RegisterShadow[1] & Bit) != 0 ? 1 : 0;
}

VOID USB2SER_PutLong(PUCHAR Output, ULONG Value) {
    Output[0] = static_cast<UCHAR>(Value);
    Output[1] = static_cast<UCHAR>(Value >> 8);
    Output[2] = static_cast<UCHAR>(Value >> 16);
    Output[3] = static_cast<UCHAR>(Value >> 24);
}

}  // namespace

// At PASSIVE_LEVEL, in the requester's thread.
NTSTATUS NTAPI USB2SER_ProcessIOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    USB2SER_IncrementIoCount(DeviceObject);
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const PUCHAR buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG count = 0;

    if (ext->Removed) {
        status = STATUS_DELETE_PENDING;  // the device is leaving: nothing more is done with it
    } else if (USB2SER_LengthsTooShort(code, buffer, inputLength, outputLength)) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        switch (code) {
        case IOCTL_SERIAL_SET_BAUD_RATE: status = USB2SER_ChangeLine(ext, buffer, SERPORT_STATE_BAUD_RATE); break;
        case IOCTL_SERIAL_SET_LINE_CONTROL:
            status = USB2SER_ChangeLine(ext, buffer, SERPORT_STATE_LINE_CONTROL);
            break;
        case IOCTL_SERIAL_SET_DTR: USB2SER_ChangeControlLine(ext, USB2SER_CONTROL_DTR, TRUE); break;
        case IOCTL_SERIAL_CLR_DTR: USB2SER_ChangeControlLine(ext, USB2SER_CONTROL_DTR, FALSE); break;
        case IOCTL_SERIAL_SET_RTS: USB2SER_ChangeControlLine(ext, USB2SER_CONTROL_RTS, TRUE); break;
        case IOCTL_SERIAL_CLR_RTS: USB2SER_ChangeControlLine(ext, USB2SER_CONTROL_RTS, FALSE); break;
        case IOCTL_SERIAL_PURGE: USB2SER_PurgeCapture(ext); break;
        case IOCTL_SERIAL_GET_MODEMSTATUS:
            USB2SER_PutLong(buffer, ext->ModemStatus);
            count = kModemStatusBytes;
            break;
        case IOCTL_USB2SER_OPEN_CAPTURE: status = USB2SER_OpenCapture(ext); break;
        case IOCTL_USB2SER_CLOSE_CAPTURE: USB2SER_CloseCapture(ext); break;
        case IOCTL_USB2SER_NO_OPERATION: break;
        case IOCTL_USB2SER_GET_CAPTURE: status = USB2SER_FetchCapture(ext, buffer, outputLength, &count); break;
        case IOCTL_USB2SER_SET_PORT_INDEX:
            // Where the line codes go from now on: the device at that entry
            // of gDevObj, this one, another or none. The byte is unsigned:
            // every entry, 0 to 255, can be named, and none outside them.
            ext->PortIndex = buffer[0];
            break;
        case IOCTL_USB2SER_GET_DEVNODE:
            USB2SER_PutLong(buffer, ext->DevNode);
            count = kDevNodeBytes;
            break;
        case IOCTL_USB2SER_GET_DEVICE_DESCRIPTOR: status = USB2SER_GetDeviceDescriptor(DeviceObject, buffer, &count); break;
        case IOCTL_USB2SER_GET_CONFIG_DESCRIPTOR:
            status = USB2SER_GetConfigDescriptor(DeviceObject, buffer, outputLength, &count);
            break;
        case IOCTL_USB2SER_GET_STRING_DESCRIPTOR:
            status = USB2SER_GetStringDescriptor(DeviceObject, buffer, outputLength, &count);
            break;
        case IOCTL_USB2SER_SEND_ENCAP: status = USB2SER_SendEncap(DeviceObject, buffer); break;
        case IOCTL_USB2SER_GET_ENCAP: status = USB2SER_GetEncap(DeviceObject, buffer, &count); break;
        case IOCTL_USB2SER_READ_INTERRUPT:
            status = USB2SER_ReadInterrupt(DeviceObject, buffer, outputLength, &count);
            break;
        case IOCTL_USB2SER_WRITE_BULK: status = USB2SER_WriteBulk(DeviceObject, buffer, inputLength); break;
        case IOCTL_USB2SER_READ_BULK: status = USB2SER_ReadBulk(DeviceObject, buffer, outputLength, &count); break;
        case IOCTL_USB2SER_SEND_CTRL_STATE: status = USB2SER_SendCtrlState(DeviceObject, buffer); break;
        case IOCTL_USB2SER_SET_FEATURE: status = USB2SER_SetFeature(DeviceObject, buffer); break;
        case IOCTL_USB2SER_EEPROM_WRITE: status = USB2SER_EEPROM_Write(DeviceObject, buffer, inputLength); break;
        case IOCTL_USB2SER_EEPROM_READ:
            status = USB2SER_EEPROM_ReadData(DeviceObject, buffer, outputLength, &count);
            break;
        case IOCTL_USB2SER_EEPROM_STATUS:
            status = USB2SER_EEPROM_ReadStatus(DeviceObject, buffer, outputLength, &count);
            break;
        case IOCTL_USB2SER_GET_FEATURE: status = USB2SER_GetFeature(DeviceObject, buffer, &count); break;
        case IOCTL_USB2SER_CLR_FEATURE: status = USB2SER_ClrFeature(DeviceObject); break;
        case IOCTL_USB2SER_WRITE_REG1_BIT4:
        case IOCTL_USB2SER_WRITE_REG1_BIT5:
        case IOCTL_USB2SER_WRITE_REG1_BIT6:
        case IOCTL_USB2SER_WRITE_REG1_BIT7:
            USB2SER_WriteRegister1Bit(ext, USB2SER_Register1Bit(code), buffer[0] != 0);
            break;
        case IOCTL_USB2SER_READ_REG1_BIT6:
        case IOCTL_USB2SER_READ_REG1_BIT7:
            buffer[0] = USB2SER_ReadRegister1Bit(ext, USB2SER_Register1Bit(code));
            count = 1;
            break;
        default: status = STATUS_INVALID_PARAMETER; break;
        }
    }

    // A failed request hands back nothing but what its routine reported.
    Irp->IoStatus.Information = count;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    USB2SER_DecrementIoCount(DeviceObject);
    return status;
}
