// Device-control requests from configuration and diagnostic tools.
#include "core/usb2ser.h"

// At PASSIVE_LEVEL. No control code is served yet: each is refused as unknown.
NTSTATUS USB2SER_ProcessIOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    USB2SER_IncrementIoCount(DeviceObject);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    USB2SER_DecrementIoCount(DeviceObject);
    return STATUS_INVALID_PARAMETER;
}
