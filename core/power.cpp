// Power requests. Every request is released for the next one and passed to
// the lower drivers.
#include "core/usb2ser.h"

NTSTATUS USB2SER_ProcessPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    USB2SER_IncrementIoCount(DeviceObject);
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = PoCallDriver(ext->TopOfStackDeviceObject, Irp);
    USB2SER_DecrementIoCount(DeviceObject);
    return status;
}
