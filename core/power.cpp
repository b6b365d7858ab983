// Power requests. The driver owns its device's power policy: it follows the
// system's power changes with device power requests of its own, keeps the
// device state in the extension, and when the system works again brings the
// chip back to what the port had.
//
// Every power request is released for the next one (PoStartNextPowerIrp)
// just before it goes down, on every path, and nowhere else: so each is
// released exactly once, whether the lower drivers succeed or fail it.
#include "core/usb2ser.h"
#include "ioctl/eeprom.h"
#include "legacy/devnode.h"
#include "serial/data_pump.h"
#include "serial/line_coding.h"
#include "serial/modem_lines.h"

namespace {

// What a system state asks of the device: the working state (or none named)
// needs full power; every sleeping, hibernate or shutdown state none.
DEVICE_POWER_STATE USB2SER_DeviceStateFor(SYSTEM_POWER_STATE State) {
    return State <= PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

// Waits for a device power request the driver made of itself. The record is
// shared by the requester and the request's completion: whichever of the
// two lets go of it last frees it, so a requester that stops waiting leaves
// nothing behind for a late completion to write into.
typedef struct _USB2SER_POWER_WAIT {
    KEVENT Event;
    NTSTATUS Status;
    LONG Holders;
} USB2SER_POWER_WAIT, *PUSB2SER_POWER_WAIT;

const LONG kPowerRequestLimit = -100000000;  // 10 seconds, relative

VOID USB2SER_ReleasePowerWait(PUSB2SER_POWER_WAIT Wait) {
    if (InterlockedDecrement(&Wait->Holders) == 0) ExFreePool(Wait);
}

// Passes a power-up request down with a completion routine of this driver.
// The request holds a device reference until that routine is done with it
// (for a system request, until the restore is): removal must not delete the
// device while the routine is still to run.
NTSTATUS USB2SER_PassPowerUpDown(PUSB2SER_EXTENSION ext, PIRP Irp, PIO_COMPLETION_ROUTINE Completion) {
    USB2SER_IncrementIoCount(ext->FunctionalDeviceObject);
    PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Completion, NULL, TRUE, TRUE, TRUE);
    return PoCallDriver(ext->TopOfStackDeviceObject, Irp);
}

}  // namespace

// The system works again, at PASSIVE_LEVEL in the worker thread: the device
// gets full power, then the port is restored as after a loss of power, and
// the system request completes with the status it came back with.
VOID USB2SER_FinishPowerUp(PDEVICE_OBJECT DeviceObject) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    PIRP irp = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->PowerUpIrp), NULL));
    if (irp == NULL) return;

    const DEVICE_POWER_STATE wanted =
        USB2SER_DeviceStateFor(IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState);
    if (wanted < ext->DevicePowerState) USB2SER_SendDeviceSetPower(ext, wanted);
    USB2SER_RestorePort(DeviceObject, TRUE);

    IoCompleteRequest(irp, IO_NO_INCREMENT);
    USB2SER_DecrementIoCount(DeviceObject);
}

NTSTATUS NTAPI USB2SER_ProcessPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    USB2SER_IncrementIoCount(DeviceObject);
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        USB2SER_DeleteDevNode(DeviceObject);
        status = USB2SER_PassDownToNextPowerDriver(DeviceObject, Irp);
        break;
    case IRP_MN_POWER_SEQUENCE:
        status = USB2SER_PassDownToNextPowerDriver(DeviceObject, Irp);
        break;
    case IRP_MN_SET_POWER:
        status = USB2SER_PowerSetPower(ext, Irp);
        break;
    default:  // a query is passed on, never refused here
        status = USB2SER_DefaultPowerHandler(ext, Irp);
        break;
    }
    USB2SER_DecrementIoCount(DeviceObject);
    return status;
}

NTSTATUS USB2SER_PowerSetPower(PUSB2SER_EXTENSION Extension, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const POWER_STATE requested = stack->Parameters.Power.State;
    const LONG present = Extension->DevicePowerState;

    if (stack->Parameters.Power.Type == SystemPowerState) {
        const DEVICE_POWER_STATE wanted = USB2SER_DeviceStateFor(requested.SystemState);
        if (wanted < present) {
            // Its completion routine may hold it for the worker thread's
            // restore: pending from here on, whatever the lower drivers return.
            IoMarkIrpPending(Irp);
            USB2SER_PassPowerUpDown(Extension, Irp, OnCompleteIncreaseSystemPower);
            return STATUS_PENDING;
        }
        if (wanted > present) {
            const NTSTATUS status = USB2SER_SendDeviceSetPower(Extension, wanted);
            if (!NT_SUCCESS(status)) {
                PoStartNextPowerIrp(Irp);
                Irp->IoStatus.Information = 0;
                Irp->IoStatus.Status = status;
                IoCompleteRequest(Irp, IO_NO_INCREMENT);
                return status;
            }
        }
        return USB2SER_DefaultPowerHandler(Extension, Irp);
    }
    if (stack->Parameters.Power.Type == DevicePowerState) {
        if (requested.DeviceState < present) {
            return USB2SER_PassPowerUpDown(Extension, Irp, OnCompleteIncreaseDevicePower);
        }
        if (requested.DeviceState > present) SetPowerState(Extension, requested.DeviceState);
    }
    return USB2SER_DefaultPowerHandler(Extension, Irp);
}

NTSTATUS USB2SER_DefaultPowerHandler(PUSB2SER_EXTENSION Extension, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Extension->TopOfStackDeviceObject, Irp);
}

NTSTATUS USB2SER_PassDownToNextPowerDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, NULL, NULL, FALSE, FALSE, FALSE);
    return PoCallDriver(USB2SER_Extension(DeviceObject)->TopOfStackDeviceObject, Irp);
}

// At PASSIVE_LEVEL: the request goes to the top of the device's own stack,
// through this driver first, and is waited for, 10 seconds at most. The
// present state is never requested: Windows 98 and Me answer such a request
// with STATUS_PENDING and never complete it. A request that does not complete
// in time fails with STATUS_IO_TIMEOUT. A request that fails leaves the
// recorded state as it was before it: the dispatch records a lower state on
// the way down, and a device the drivers below kept powered must not be taken
// for one in D3 (the next wake would ask for the state it is in).
NTSTATUS USB2SER_SendDeviceSetPower(PUSB2SER_EXTENSION Extension, DEVICE_POWER_STATE State) {
    const DEVICE_POWER_STATE before = static_cast<DEVICE_POWER_STATE>(Extension->DevicePowerState);
    if (State == before) return STATUS_SUCCESS;
    PUSB2SER_POWER_WAIT wait = static_cast<PUSB2SER_POWER_WAIT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB2SER_POWER_WAIT), USB2SER_POOL_TAG));
    if (wait == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(&wait->Event, NotificationEvent, FALSE);
    wait->Status = STATUS_SUCCESS;
    wait->Holders = 2;
    POWER_STATE power;
    power.DeviceState = State;
    NTSTATUS status = PoRequestPowerIrp(Extension->PhysicalDeviceObject, IRP_MN_SET_POWER, power,
                                        OnCompleteDeviceSetPower, wait, NULL);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER limit;
        limit.QuadPart = kPowerRequestLimit;
        status = USB2SER_WaitForEvent(&wait->Event, &limit) == STATUS_WAIT_0 ? wait->Status : STATUS_IO_TIMEOUT;
    } else {
        wait->Holders = 1;  // no completion is coming
    }
    USB2SER_ReleasePowerWait(wait);
    const DEVICE_POWER_STATE recorded = NT_SUCCESS(status) ? State : before;
    if (recorded != Extension->DevicePowerState) SetPowerState(Extension, recorded);
    return status;
}

VOID NTAPI OnCompleteDeviceSetPower(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                              PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    (void)DeviceObject;
    (void)MinorFunction;
    (void)PowerState;
    PUSB2SER_POWER_WAIT wait = static_cast<PUSB2SER_POWER_WAIT>(Context);
    wait->Status = IoStatus->Status;
    KeSetEvent(&wait->Event, IO_NO_INCREMENT, FALSE);
    USB2SER_ReleasePowerWait(wait);
}

// At PASSIVE_LEVEL, after a start (the port reset returned the chip to its
// power-on state) or a power-up (the chip lost everything with its power):
// the port gets back its line (if it ever set one), after a power-up the
// chip's initialisation, its flow-control switches and control lines, and its
// reads, armed where their slots are empty. After a power-up all of them go,
// a port open or not (the far end sees the lines of a closed port too); after
// a start a closed port's record is kept as it is, so chip and record agree,
// and one whose record holds nothing yet (the first start) sends nothing. The
// results of the steps are not used. Then the restore is over: the chunks
// held for it go, and with no chunk in flight the port driver is asked for the
// next, so that it learns of a chunk the loss of power or the stop took with
// it, which ended without a word. A chunk still in flight (power kept over a
// short sleep) asks for the next when it is done.
VOID USB2SER_RestorePort(PDEVICE_OBJECT DeviceObject, BOOLEAN PowerLost) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    USB2SER_RestoreState(DeviceObject);
    if (PowerLost && !USB2SER_IsEEPROM0E2A(DeviceObject)) USB2SER_InitHW(DeviceObject);
    if (PowerLost || ext->PortOpen || ext->DcrStateOn || ext->XonXoffStateOn || ext->ControlLineState != 0) {
        USB2SER_RestoreSwitchesAndLines(DeviceObject);
    }
    if (PowerLost || ext->PortOpen) USB2SER_ArmReads(DeviceObject, FALSE);

    ext->Restoring = FALSE;
    KeSetEvent(&ext->RestoredEvent, IO_NO_INCREMENT, FALSE);
    if (ext->PortOpen && ext->IrpSlot[USB2SER_SLOT_BULK_OUT] == NULL) {
        KeSetEvent(&ext->WriteEvent, EVENT_INCREMENT, FALSE);
    }
}

VOID SetPowerState(PUSB2SER_EXTENSION Extension, DEVICE_POWER_STATE State) {
    Extension->DevicePowerState = State;
    POWER_STATE power;
    power.DeviceState = State;
    PoSetPowerState(Extension->PhysicalDeviceObject, DevicePowerState, power);
}

// Up to DISPATCH_LEVEL.
NTSTATUS NTAPI OnCompleteIncreaseDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)Context;
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    const NTSTATUS status = Irp->IoStatus.Status;
    if (NT_SUCCESS(status)) {
        SetPowerState(USB2SER_Extension(DeviceObject),
                      IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState);
    }
    USB2SER_DecrementIoCount(DeviceObject);
    return status;
}

// Up to DISPATCH_LEVEL: the lower drivers may complete the power-up from
// their own context at raised IRQL. The restore waits, so the request is
// handed to the worker thread, with the request's device reference, and the
// thread completes it when the restore is done. Removal waits for that
// thread to end, so no restore outlives the device, and the reference keeps
// the transfers the restore arms counted before removal waits for them. A
// device never started has no thread and nothing to restore; a power-up the
// lower drivers failed travels on up, and nothing is restored.
NTSTATUS NTAPI OnCompleteIncreaseSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)Context;
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    const NTSTATUS status = Irp->IoStatus.Status;
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    if (!NT_SUCCESS(status) || ext->ThreadObject == NULL) {
        USB2SER_DecrementIoCount(DeviceObject);
        return status;
    }
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->PowerUpIrp), Irp);
    // A thread on its way out takes what it finds handed over after it has
    // said so; if it has gone already, the request is taken back here.
    if (InterlockedCompareExchange(&ext->ThreadGone, TRUE, TRUE) &&
        InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->PowerUpIrp), NULL, Irp) == Irp) {
        USB2SER_DecrementIoCount(DeviceObject);
        return status;
    }
    KeSetEvent(&ext->JobEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
