// The asynchronous data transfers on the three pipe slots.
#pragma once

#include "core/usb2ser.h"

// One asynchronous data transfer. Its URB comes first: the record's address
// goes down the stack as the URB and comes back as the completion context.
typedef struct _USB2SER_TRANSFER {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
    PDEVICE_OBJECT DeviceObject;
    PUCHAR DataBuffer;
} USB2SER_TRANSFER, *PUSB2SER_TRANSFER;

NTSTATUS USB2SER_AsyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
