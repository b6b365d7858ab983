// The driver's entry point, its dispatch table, and the small handlers that
// live beside it: create and close, internal device control, unload.
#include "core/usb2ser.h"

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    (void)RegistryPath;
    DbgPrint("Varquel:\t<Build: %s - %s>\n", __DATE__, __TIME__);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = USB2SER_Create;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = USB2SER_Close;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = USB2SER_ProcessIOCTL;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = USB2SER_Process_Internal_IOCTL;
    DriverObject->MajorFunction[IRP_MJ_POWER] = USB2SER_ProcessPowerIrp;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = USB2SER_Dispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = USB2SER_Dispatch;
    DriverObject->DriverExtension->AddDevice = USB2SER_PnPAddDevice;
    DriverObject->DriverUnload = USB2SER_Unload;
    return STATUS_SUCCESS;
}

// At PASSIVE_LEVEL: there is no per-open state. The I/O manager refuses a
// second open of the exclusive device before this runs. An open once removal
// has begun is refused; a close always succeeds (a handle held across an
// unplug must be closable).
namespace {

// Ends a request that carries no data with Status, and lets the device's
// count of requests in progress go.
NTSTATUS USB2SER_CompleteWithStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    USB2SER_DecrementIoCount(DeviceObject);
    return Status;
}

}  // namespace

NTSTATUS NTAPI USB2SER_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    USB2SER_IncrementIoCount(DeviceObject);
    const BOOLEAN open = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE;
    return USB2SER_CompleteWithStatus(
        DeviceObject, Irp, open && USB2SER_Extension(DeviceObject)->Removed ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
}

// Every internal device-control request is refused, whatever its code.
NTSTATUS NTAPI USB2SER_Process_Internal_IOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    USB2SER_IncrementIoCount(DeviceObject);
    return USB2SER_CompleteWithStatus(DeviceObject, Irp, STATUS_INVALID_PARAMETER);
}

VOID NTAPI USB2SER_Unload(PDRIVER_OBJECT DriverObject) {
    // Every per-device resource went with its device at removal.
    (void)DriverObject;
}
