// I/O manager, power, pool and registry services as the driver calls them.
#include <cstdio>

#include "host/kernel/kernel.h"
#include "host/kernel/pnp_manager.h"

using host::Kernel;
using host::bug_check;

namespace {

host::IoManager& io() { return Kernel::current().io(); }

// A fault point of the driver's: true when it is the one to fail.
bool fails(host::FaultKind kind, const char* service) { return Kernel::current().faults().reached(kind, service); }

[[noreturn]] void report_irql(KIRQL irql, KIRQL highest, const char* service) {
    char detail[96];
    std::snprintf(detail, sizeof detail, "%s at IRQL %u (at most %u allowed)", service, irql, highest);
    bug_check(host::Check::IrqlTooHigh, detail);
}

void require_irql(KIRQL highest, const char* service) {
    KIRQL irql = Kernel::current().scheduler().running().irql;
    if (irql > highest) report_irql(irql, highest, service);
}

}  // namespace

// ---------------------------------------------------------------------------
// Pool

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    if (fails(host::FaultKind::Pool, "ExAllocatePoolWithTag")) return nullptr;
    return Kernel::current().pool().allocate(PoolType, NumberOfBytes, Tag,
                                             __builtin_return_address(0));
}

VOID ExFreePool(PVOID P) { Kernel::current().pool().free(P); }

// ---------------------------------------------------------------------------
// Device objects and names

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    require_irql(PASSIVE_LEVEL, "IoCreateDevice");
    if (fails(host::FaultKind::Device, "IoCreateDevice")) return STATUS_INSUFFICIENT_RESOURCES;
    return io().create_device(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                              DeviceCharacteristics, Exclusive, DeviceObject);
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    require_irql(PASSIVE_LEVEL, "IoDeleteDevice");
    io().delete_device(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    require_irql(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    if (fails(host::FaultKind::Attach, "IoAttachDeviceToDeviceStack")) return nullptr;
    return io().attach(SourceDevice, TargetDevice);
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    require_irql(PASSIVE_LEVEL, "IoDetachDevice");
    io().detach(TargetDevice);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    require_irql(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    if (fails(host::FaultKind::Link, "IoCreateSymbolicLink")) return STATUS_INSUFFICIENT_RESOURCES;
    return io().create_link(SymbolicLinkName, DeviceName);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    require_irql(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    return io().delete_link(SymbolicLinkName);
}

// ---------------------------------------------------------------------------
// IRPs

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    require_irql(DISPATCH_LEVEL, "IoAllocateIrp");
    if (fails(host::FaultKind::Irp, "IoAllocateIrp")) return nullptr;
    return io().allocate_irp(StackSize, false);
}

VOID IoFreeIrp(PIRP Irp) {
    require_irql(DISPATCH_LEVEL, "IoFreeIrp");
    io().free_irp(Irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    require_irql(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    if ((InputBuffer == nullptr && InputBufferLength != 0) || (OutputBuffer == nullptr && OutputBufferLength != 0)) {
        char detail[128];
        std::snprintf(detail, sizeof detail, "IoBuildDeviceIoControlRequest(0x%08X): lengths %lu and %lu, buffers %s and %s",
                      static_cast<unsigned>(IoControlCode), static_cast<unsigned long>(InputBufferLength),
                      static_cast<unsigned long>(OutputBufferLength), InputBuffer != nullptr ? "given" : "none",
                      OutputBuffer != nullptr ? "given" : "none");
        bug_check(host::Check::BufferWithoutAddress, detail);
    }
    if (fails(host::FaultKind::Irp, "IoBuildDeviceIoControlRequest")) return nullptr;
    return io().build_device_io_control(IoControlCode, DeviceObject, InputBuffer, InputBufferLength,
                                        OutputBuffer, OutputBufferLength, InternalDeviceIoControl,
                                        Event, IoStatusBlock);
}

PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return io().current_location(Irp); }
PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return io().next_location(Irp); }

VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = io().current_location(Irp);
    PIO_STACK_LOCATION next = io().next_location(Irp);
    next->MajorFunction = current->MajorFunction;
    next->MinorFunction = current->MinorFunction;
    next->Flags = current->Flags;
    next->Parameters = current->Parameters;
    next->DeviceObject = current->DeviceObject;
    next->FileObject = current->FileObject;
    next->Control = 0;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
}

VOID IoSkipCurrentIrpStackLocation(PIRP Irp) { io().skip_location(Irp); }

VOID IoSetNextIrpStackLocation(PIRP Irp) { io().set_next_location(Irp); }

VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                            BOOLEAN InvokeOnCancel) {
    if (CompletionRoutine == nullptr && (InvokeOnSuccess || InvokeOnError || InvokeOnCancel)) {
        bug_check(host::Check::CompletionWithoutRoutine,
                  "IoSetCompletionRoutine with no routine, yet asked to call it (the DDK's header asserts this)");
    }
    PIO_STACK_LOCATION next = io().next_location(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

VOID IoMarkIrpPending(PIRP Irp) { io().mark_pending(Irp); }

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return io().set_cancel_routine(Irp, CancelRoutine);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    require_irql(DISPATCH_LEVEL, "IofCallDriver");
    if (io().power_irp_arriving(Irp)) {
        bug_check(host::Check::PowerNotViaPoCallDriver,
                  "IofCallDriver with a power IRP: the power manager must see it pass (PoCallDriver)");
    }
    return io().call(DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    require_irql(DISPATCH_LEVEL, "IofCompleteRequest");
    io().complete(Irp, PriorityBoost);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    require_irql(DISPATCH_LEVEL, "IoCancelIrp");
    return io().cancel(Irp);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    require_irql(DISPATCH_LEVEL, "IoAcquireCancelSpinLock");
    io().acquire_cancel_lock(Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) { io().release_cancel_lock(Irql); }

// ---------------------------------------------------------------------------
// Power

// Windows 98 and Me send and complete power requests at PASSIVE_LEVEL only
// (Oney, 2nd ed., the power chapter's Windows 98/Me notes): a driver that
// sends one at a raised IRQL crashes them, though NT allows DISPATCH_LEVEL.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    require_irql(PASSIVE_LEVEL, "PoCallDriver");
    return io().call(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    require_irql(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    io().start_next_power_irp(Irp);
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    require_irql(PASSIVE_LEVEL, "PoRequestPowerIrp");
    if (fails(host::FaultKind::PowerRequest, "PoRequestPowerIrp")) return STATUS_INSUFFICIENT_RESOURCES;
    return Kernel::current().pnp().request_power_irp(DeviceObject, MinorFunction, PowerState,
                                                      CompletionFunction, Context, Irp);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    require_irql(DISPATCH_LEVEL, "PoSetPowerState");
    return io().set_power_state(DeviceObject, Type, State);
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    const UCHAR minor = Kernel::current().platform() == host::Platform::WinMe ? 0x05 : 0x00;
    return MajorVersion < 1 || (MajorVersion == 1 && MinorVersion <= minor);
}

// ---------------------------------------------------------------------------
// Registry

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK, PHANDLE DevInstRegKey) {
    require_irql(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    if (fails(host::FaultKind::Registry, "IoOpenDeviceRegistryKey")) return STATUS_INSUFFICIENT_RESOURCES;
    return Kernel::current().registry().open_device_key(DeviceObject, DevInstKeyType, DevInstRegKey);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    require_irql(PASSIVE_LEVEL, "ZwQueryValueKey");
    if (fails(host::FaultKind::Registry, "ZwQueryValueKey")) return STATUS_INSUFFICIENT_RESOURCES;
    return Kernel::current().registry().query_value(KeyHandle, ValueName, KeyValueInformationClass,
                                                    KeyValueInformation, Length, ResultLength);
}
