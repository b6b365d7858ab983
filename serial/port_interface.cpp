#include "serial/port_interface.h"

#include "ioctl/diagnostics.h"
#include "serial/data_pump.h"
#include "serial/line_coding.h"
#include "serial/modem_lines.h"
#include "usb/requests.h"
#include "usb/usb_submit.h"

namespace {

const LONG kCtrlIdleLimit = -20000000;  // 2 s for fire-and-forget requests to finish
const LONG kRestoreLimit = -100000000;  // 10 s for a start to give the chip the port's settings

VOID USB2SER_OpenPort(PDEVICE_OBJECT DeviceObject, ULONG Port) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    for (ULONG n = 0; n < USB2SER_REGISTER_COUNT; ++n) USB2SER_GetDCR(n, Port);
    USB2SER_MBUSConf2(Port);
    USB2SER_ResetDataPipe(DeviceObject, TRUE);
    USB2SER_ResetDataPipe(DeviceObject, FALSE);
    if (pSetMSRShadow != NULL && ext->ModemStatus != 0 && !ext->CaptureMode) {
        pSetMSRShadow(&ext->ModemStatus, static_cast<ULONG>(ext->BoundPort));
    }
    USB2SER_ArmReads(DeviceObject, TRUE);
}

}  // namespace

// Every export that reaches a device holds a reference on it from its
// look-up to its return (USB2SER_ReferencePort): a removal running beside it
// waits, and a port whose device is gone, or going, finds none. An export
// whose work waits (a request to the device answered, the line settling)
// answers FALSE at once, doing nothing, when called where the thread cannot
// wait (USB2SER_CanWait: another virtual machine).

// Any IRQL; acts only at PASSIVE_LEVEL. Opening reads the registers, runs the
// open-time sequence and the data-pipe resets, reports a known modem status
// and arms the reads (the status read, and two on the bulk-in pipe); closing
// runs the close-time sequence. The reads stay armed after a close: with the
// port closed they reach no callback.
BOOLEAN NTAPI COMOpenedForSerport(BOOLEAN Opened, ULONG Port) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return TRUE;
    if (!USB2SER_CanWait()) return FALSE;
    PDEVICE_OBJECT device = USB2SER_ReferencePort(Port);
    if (device == NULL) return FALSE;
    USB2SER_Extension(device)->PortOpen = Opened;
    if (Opened) {
        USB2SER_OpenPort(device, Port);
    } else {
        USB2SER_MBUSConf1(Port);
    }
    USB2SER_ReleasePort(device);
    return TRUE;
}

BOOLEAN NTAPI CableRemoveForSerport(PCABLE_REMOVE Callback) {
    pCableRemove = Callback;
    return TRUE;
}

BOOLEAN NTAPI SetMSRShadowForSerport(PSET_MSR_SHADOW Callback) {
    pSetMSRShadow = Callback;
    return TRUE;
}

BOOLEAN NTAPI SetReadQueueForSerport(PSET_READ_QUEUE Callback) {
    pSetReadQueue = Callback;
    return TRUE;
}

BOOLEAN NTAPI WriteOutQueueForSerport(PWRITE_OUT_QUEUE Callback) {
    pWriteOutQueue = Callback;
    return TRUE;
}

// At PASSIVE_LEVEL. Reads one status packet from the interrupt pipe. The
// pointer is neither read nor written: its size is not known. The armed
// status read may lose the packet this read takes, so a status word it carries
// is delivered as that read would deliver it.
BOOLEAN NTAPI GetIntStatusForSerport(PVOID Ignored, ULONG Port) {
    (void)Ignored;
    if (!USB2SER_CanWait()) return FALSE;
    PDEVICE_OBJECT device = USB2SER_ReferencePort(Port);
    if (device == NULL) return FALSE;
    UCHAR packet[USB2SER_INTERRUPT_PACKET_SIZE];
    ULONG count = 0;
    NTSTATUS status = USB2SER_ReadInterrupt(device, packet, sizeof(packet), &count);
    if (NT_SUCCESS(status)) USB2SER_TakeModemStatus(USB2SER_Extension(device), packet, count);
    USB2SER_ReleasePort(device);
    return TRUE;
}

// At PASSIVE_LEVEL. Reads the line coding back into PortSettings and hands the
// whole block over. A failed or short read changes nothing.
BOOLEAN NTAPI GetStateForSerport(PUCHAR Settings, ULONG Port) {
    if (Settings == NULL || !USB2SER_CanWait()) return FALSE;
    PDEVICE_OBJECT device = USB2SER_ReferencePort(Port);
    if (device == NULL) return FALSE;
    PUSB2SER_EXTENSION ext = USB2SER_Extension(device);
    UCHAR coding[USB2SER_LINE_CODING_SIZE];
    const BOOLEAN read = USB2SER_ReadLineCoding(device, coding);
    if (read) {
        USB2SER_LINE line;
        USB2SER_DecodeLineCoding(coding, &line);
        USB2SER_SetSettingsRate(ext->PortSettings, line.Rate);
        ext->PortSettings[USB2SER_SETTINGS_STOP_BITS] = line.StopBits;
        ext->PortSettings[USB2SER_SETTINGS_PARITY] = line.Parity;
        ext->PortSettings[USB2SER_SETTINGS_DATA_BITS] = line.DataBits;
        RtlCopyMemory(Settings, ext->PortSettings, USB2SER_PORT_SETTINGS_SIZE);
    }
    USB2SER_ReleasePort(device);
    return read;
}

// Up to DISPATCH_LEVEL.
BOOLEAN NTAPI KickTxForSerport(ULONG Port) {
    PDEVICE_OBJECT device = USB2SER_ReferencePort(Port);
    if (device == NULL) return FALSE;
    KeSetEvent(&USB2SER_Extension(device)->WriteEvent, EVENT_INCREMENT, FALSE);
    USB2SER_ReleasePort(device);
    return TRUE;
}

// Up to DISPATCH_LEVEL: a break held until it is switched off.
BOOLEAN NTAPI SetBreakForSerport(BOOLEAN On, ULONG Port) {
    PDEVICE_OBJECT device = USB2SER_ReferencePort(Port);
    if (device == NULL) return FALSE;
    PURB urb = USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SEND_BREAK, On ? USB2SER_BREAK_ON : USB2SER_BREAK_OFF,
                                         NULL, 0);
    if (urb != NULL) USB2SER_SendRequest(device, urb, TRUE, NULL);
    USB2SER_ReleasePort(device);
    return urb != NULL;
}

// Selectors 1 and 2 up to DISPATCH_LEVEL, 3 and 4 at PASSIVE_LEVEL; the low
// byte of State says on or off. Another selector does nothing. At
// PASSIVE_LEVEL every selector waits for its request.
BOOLEAN NTAPI SetControlLineForSerport(CHAR Line, ULONG State, ULONG Port) {
    if (KeGetCurrentIrql() == PASSIVE_LEVEL && !USB2SER_CanWait()) return FALSE;
    PDEVICE_OBJECT device = USB2SER_ReferencePort(Port);
    if (device == NULL) return FALSE;
    const BOOLEAN on = static_cast<BOOLEAN>(State & 0xFF);
    switch (Line) {
    case SERPORT_LINE_DTR: USB2SER_SetDTRState(on, Port); break;
    case SERPORT_LINE_RTS: USB2SER_SetRTSState(on, Port); break;
    case SERPORT_LINE_DCR: USB2SER_SetDCRState(on, Port); break;
    case SERPORT_LINE_XON: USB2SER_SetXonXoffState(on, Port); break;
    default: break;
    }
    USB2SER_ReleasePort(device);
    return TRUE;
}

// At PASSIVE_LEVEL.
BOOLEAN NTAPI SetStateForSerport(PUCHAR Settings, UCHAR Kind, ULONG Port) {
    if (Settings == NULL || !USB2SER_CanWait()) return FALSE;
    PDEVICE_OBJECT device = USB2SER_ReferencePort(Port);
    if (device == NULL) return FALSE;
    const BOOLEAN set = USB2SER_SetState(device, Settings, Kind);
    USB2SER_ReleasePort(device);
    return set;
}

// At PASSIVE_LEVEL. Sends one chunk on the bulk-out pipe once a start running
// has given the chip the port's settings (at most 10 seconds: before, the
// chunk would reach the far end at the chip's power-on line) and no
// fire-and-forget request is outstanding (at most 2 seconds); the caller may
// reuse its buffer at once. FALSE when the chunk cannot go: no device, the
// device being removed, a transfer that cannot start (the slot still holds
// the last chunk, or no pool), since those bytes would vanish in silence, a
// failed chunk waiting to be sent again, which must go first (the port driver
// is asked for the next chunk once it is done), or a start that has not ended
// within its bound. Where the thread cannot wait, the chunk goes only when no
// start runs and no fire-and-forget request is outstanding.
BOOLEAN NTAPI WriteForSerport(PUCHAR Data, ULONG Length, ULONG Port) {
    if (Data == NULL && Length != 0) return FALSE;
    PDEVICE_OBJECT device = USB2SER_ReferencePort(Port);
    if (device == NULL) return FALSE;
    PUSB2SER_EXTENSION ext = USB2SER_Extension(device);
    LARGE_INTEGER limit;
    if (ext->Restoring) {
        limit.QuadPart = kRestoreLimit;
        USB2SER_WaitForEvent(&ext->RestoredEvent, &limit);
    }
    limit.QuadPart = kCtrlIdleLimit;
    const BOOLEAN waited = USB2SER_WaitForEvent(&ext->CtrlIdleEvent, &limit) != STATUS_CANT_WAIT;
    const BOOLEAN sent = (waited || ext->CtrlIoCount == 0) && ext->FailedWrite == NULL && !ext->Restoring &&
                         NT_SUCCESS(USB2SER_AsyncTransfer(device, USB2SER_SLOT_BULK_OUT, Data, Length));
    USB2SER_ReleasePort(device);
    return sent;
}
