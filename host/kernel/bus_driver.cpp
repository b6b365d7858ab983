#include "host/kernel/bus_driver.h"

#include <algorithm>
#include <cstdio>

#include "host/kernel/kernel.h"

namespace host {

namespace {

NTSTATUS NTAPI bus_driver_entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

struct PdoExtension {
    BusDriver* bus;
};

}  // namespace

BusDriver::BusDriver(Kernel& kernel, std::string name) : m_kernel(kernel), m_name(std::move(name)) {
    m_driver = kernel.io().load_driver(m_name, bus_driver_entry);
    m_driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    m_driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    m_driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatch_other;
    m_driver->MajorFunction[IRP_MJ_CREATE] = dispatch_other;
    m_driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_other;
    m_driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_internal;
}

BusDriver::~BusDriver() {
    // The world is being torn down: physical devices go with their bus.
    for (PDEVICE_OBJECT pdo : m_pdos) {
        if (m_kernel.io().is_live_device(pdo) && pdo->AttachedDevice == nullptr) IoDeleteDevice(pdo);
    }
    if (m_driver->DeviceObject == nullptr) m_kernel.io().unload_driver(m_driver);
}

PDEVICE_OBJECT BusDriver::create_pdo() {
    char name[64];
    std::snprintf(name, sizeof name, "\\Device\\%s%04d", m_name.c_str(), m_next_pdo++);
    std::u16string wide = to_u16(name);
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, wide.c_str());
    PDEVICE_OBJECT pdo = nullptr;
    // The I/O manager's own call: the driver's fault points are the driver's calls.
    NTSTATUS status = m_kernel.io().create_device(m_driver, sizeof(PdoExtension), &text, FILE_DEVICE_BUS_EXTENDER, 0,
                                                  FALSE, &pdo);
    if (!NT_SUCCESS(status)) bug_check(Check::HostBus, "the bus could not create a physical device object");
    static_cast<PdoExtension*>(pdo->DeviceExtension)->bus = this;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo->Flags |= DO_POWER_PAGABLE;
    m_pdos.push_back(pdo);
    return pdo;
}

void BusDriver::delete_pdo(PDEVICE_OBJECT pdo) {
    std::erase(m_pdos, pdo);
    m_gone.erase(pdo);  // the address may come back for another device
    m_removed.erase(pdo);
    m_kernel.registry().forget_device(pdo);
    IoDeleteDevice(pdo);
}

BusDriver& BusDriver::of(PDEVICE_OBJECT device) {
    return *static_cast<PdoExtension*>(device->DeviceExtension)->bus;
}

NTSTATUS BusDriver::complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI BusDriver::dispatch_pnp(PDEVICE_OBJECT device, PIRP irp) { return of(device).pnp(device, irp); }

bool BusDriver::removal_reached(PDEVICE_OBJECT pdo) const { return m_removal_reached.count(pdo) != 0; }

void BusDriver::arrival(const Arrival& a) {
    m_arrivals.push_back(a);
    ++m_arrived;
    if (m_arrivals.size() > kArrivalsKept) m_arrivals.pop_front();
    if (a.major == IRP_MJ_PNP && a.minor == IRP_MN_REMOVE_DEVICE) m_removal_reached.insert(a.pdo);
}

// Answers a Plug and Play request at once or, chosen by the world's seed,
// later from a thread of the bus's own, as a hub driver may: the request is
// then marked pending and STATUS_PENDING returned.
NTSTATUS BusDriver::pnp(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    arrival(Arrival{IRP_MJ_PNP, stack->MinorFunction, irp->IoStatus.Status, irp->IoStatus.Information, pdo});
    if (m_removed.count(pdo) != 0) return complete(irp, STATUS_NO_SUCH_DEVICE);
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE && m_gone.count(pdo) != 0) m_removed.insert(pdo);
    const NTSTATUS status = pnp_answer(stack, irp);
    if (!m_kernel.scheduler().one_in(3)) return complete(irp, status);
    IoMarkIrpPending(irp);
    m_kernel.spawn("bus Plug and Play", [irp, status] {
        LARGE_INTEGER later;
        later.QuadPart = -kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &later);
        complete(irp, status);
    });
    return STATUS_PENDING;
}

NTSTATUS BusDriver::pnp_answer(PIO_STACK_LOCATION stack, PIRP irp) {
    auto chosen = m_pnp_results.find(stack->MinorFunction);
    if (chosen != m_pnp_results.end()) return chosen->second;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_CAPABILITIES:
        // The requests a bus driver may fail.
        if (m_kernel.faults().reached(FaultKind::LowerPnp, "Plug and Play request")) return STATUS_UNSUCCESSFUL;
        break;
    default:
        break;
    }
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
        caps->SystemWake = PowerSystemSleeping3;
        caps->DeviceWake = PowerDeviceD2;
        return STATUS_SUCCESS;
    }
    default:
        // A request the bus does not handle completes as it arrived.
        return irp->IoStatus.Status;
    }
}

NTSTATUS NTAPI BusDriver::dispatch_power(PDEVICE_OBJECT device, PIRP irp) {
    BusDriver& bus = of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bus.arrival(Arrival{IRP_MJ_POWER, stack->MinorFunction, irp->IoStatus.Status, irp->IoStatus.Information, device});
    PoStartNextPowerIrp(irp);
    if (bus.m_kernel.faults().reached(FaultKind::LowerPower, "power request")) return complete(irp, STATUS_UNSUCCESSFUL);
    return bus.power(device, irp);
}

NTSTATUS BusDriver::power(PDEVICE_OBJECT, PIRP irp) { return complete(irp, m_power_result); }

NTSTATUS NTAPI BusDriver::dispatch_other(PDEVICE_OBJECT device, PIRP irp) {
    BusDriver& bus = of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bus.arrival(Arrival{stack->MajorFunction, stack->MinorFunction, irp->IoStatus.Status, irp->IoStatus.Information});
    if (stack->MajorFunction == IRP_MJ_SYSTEM_CONTROL) return complete(irp, irp->IoStatus.Status);
    irp->IoStatus.Information = 0;
    return complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI BusDriver::dispatch_internal(PDEVICE_OBJECT device, PIRP irp) {
    BusDriver& bus = of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bus.arrival(Arrival{stack->MajorFunction, stack->MinorFunction, irp->IoStatus.Status, irp->IoStatus.Information});
    return bus.internal_device_control(device, irp);
}

NTSTATUS BusDriver::internal_device_control(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Information = 0;
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace host
