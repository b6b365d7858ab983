// The data pump: asynchronous transfers on the three pipe slots that keep the
// reads armed (the worker thread, serial/worker_thread.h, asks the port driver
// for the next transmit chunk).
#pragma once

#include "core/usb2ser.h"

// One asynchronous data transfer. Its URB comes first: the record's address
// goes down the stack as the URB and comes back as the completion context.
typedef struct _USB2SER_TRANSFER {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
    PDEVICE_OBJECT DeviceObject;
    PUCHAR DataBuffer;
    ULONG Length;  // the bytes asked for; the URB's length says how many went
    ULONG PipeSlot;
} USB2SER_TRANSFER, *PUSB2SER_TRANSFER;

#define USB2SER_INTERRUPT_PACKET_SIZE 10
#define USB2SER_BULK_IN_SIZE          256
#define USB2SER_MAX_READ_RECOVERIES   3
#define USB2SER_MAX_WRITE_RETRIES     3

NTSTATUS USB2SER_AsyncTransfer(PDEVICE_OBJECT DeviceObject, ULONG PipeSlot, PVOID Source, ULONG Length);
NTSTATUS NTAPI USB2SER_AsyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Arms the status read and the two receive reads, each only while its slot is
// empty, after clearing a stall of its pipe when ResetPipes is set.
VOID USB2SER_ArmReads(PDEVICE_OBJECT DeviceObject, BOOLEAN ResetPipes);
// Whether a read the open port keeps armed is not.
BOOLEAN USB2SER_ReadsUnarmed(PUSB2SER_EXTENSION ext);
// Cancels the reads; up to DISPATCH_LEVEL.
VOID USB2SER_CancelReads(PUSB2SER_EXTENSION ext);
// The status word of a status packet (bytes 8 and 9), if it holds one: to
// the port driver while the port is open, and into ModemStatus.
VOID USB2SER_TakeModemStatus(PUSB2SER_EXTENSION ext, const UCHAR* Packet, ULONG Count);
// Hands the worker thread the recovery of the reads; up to DISPATCH_LEVEL.
VOID USB2SER_RecoverReads(PUSB2SER_EXTENSION ext);
