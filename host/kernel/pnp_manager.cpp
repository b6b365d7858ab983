#include "host/kernel/pnp_manager.h"

#include <algorithm>
#include <cstdio>

#include "host/kernel/bus_driver.h"
#include "host/kernel/kernel.h"

namespace host {

namespace {

struct PowerRequestContext {
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE state;
};

// Completion of a power IRP the power manager made for a driver: the driver's
// completion function sees the final status, then the IRP is released.
NTSTATUS NTAPI power_request_done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<PowerRequestContext*>(context);
    IO_STATUS_BLOCK status = irp->IoStatus;
    if (request->minor == IRP_MN_SET_POWER && NT_SUCCESS(status.Status)) {
        Kernel::current().pnp().device_powered(request->device, request->state.DeviceState);
    }
    if (request->completion != nullptr) {
        request->completion(request->device, request->minor, request->state, request->context,
                            &status);
    }
    IoFreeIrp(irp);
    delete request;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void require_passive(const char* what) {
    if (Kernel::current().scheduler().running().irql != PASSIVE_LEVEL) {
        bug_check(Check::PowerAbovePassive, std::string(what) + " must be sent at PASSIVE_LEVEL");
    }
}

}  // namespace

NTSTATUS PnpManager::add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    require_passive("AddDevice");
    PDRIVER_ADD_DEVICE add = driver->DriverExtension->AddDevice;
    if (add == nullptr) return STATUS_NOT_SUPPORTED;
    // The device is there whether or not its function driver took it: a
    // later removal goes to what the stack holds (a new physical device
    // object may have the address of one removed before).
    m_states[pdo] = State::Added;
    // A new stack has no power state the manager knows until its start: a
    // record of an earlier stack on this object (or of a deleted physical
    // device object at the same address) is not this one's.
    m_device_power.erase(pdo);
    return add(driver, pdo);
}

void PnpManager::expect_state(PDEVICE_OBJECT pdo, std::initializer_list<State> allowed, const char* request) {
    static const char* const names[] = {"added", "started", "stopped", "removed"};
    // A stack built without the manager is taken as added.
    auto it = m_states.try_emplace(pdo, State::Added).first;
    for (State state : allowed) {
        if (it->second == state) return;
    }
    bug_check(Check::PnpOutOfOrder, std::string(request) + " for a device that is " +
                                      names[static_cast<int>(it->second)]);
}

NTSTATUS PnpManager::start(PDEVICE_OBJECT pdo) {
    expect_state(pdo, {State::Added, State::Stopped}, "IRP_MN_START_DEVICE");
    NTSTATUS status = send(pdo, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) return status;
    m_states[pdo] = State::Started;
    m_device_power[pdo] = PowerDeviceD0;
    DEVICE_CAPABILITIES capabilities;
    query_capabilities(pdo, &capabilities);
    query_relations(pdo, BusRelations);
    std::vector<std::u16string> ids;
    query_id(pdo, BusQueryHardwareIDs, &ids);
    query_id(pdo, BusQueryCompatibleIDs, &ids);
    // A request no function driver handles: it must reach the bus as sent.
    // Other requests (the driver's own) may reach the bus meanwhile: the
    // check looks at this one's arrival.
    auto& bus = BusDriver::of(pdo);
    const std::uint64_t before = bus.arrived();
    send(pdo, IRP_MN_QUERY_LEGACY_BUS_INFORMATION);
    const std::size_t since = static_cast<std::size_t>(std::min<std::uint64_t>(bus.arrived() - before, bus.arrivals().size()));
    auto arrival = std::find_if(bus.arrivals().end() - static_cast<std::ptrdiff_t>(since), bus.arrivals().end(),
                                [](const BusDriver::Arrival& a) {
                                    return a.major == IRP_MJ_PNP && a.minor == IRP_MN_QUERY_LEGACY_BUS_INFORMATION;
                                });
    if (arrival != bus.arrivals().end() && (arrival->status != STATUS_NOT_SUPPORTED || arrival->information != 0)) {
        bug_check(Check::PnpStatusChanged,
                  "a request the function driver does not handle (IRP_MN_QUERY_LEGACY_BUS_INFORMATION) reached the "
                  "bus with its status or information changed");
    }
    return status;
}

NTSTATUS PnpManager::request(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                             const std::function<void(IO_STACK_LOCATION&)>& parameters, ULONG_PTR* information,
                             ULONG_PTR initial_information) {
    require_passive(major == IRP_MJ_POWER ? "a power request" : "a Plug and Play request");
    auto state = m_states.find(pdo);
    if (state != m_states.end() && state->second == State::Removed) {
        bug_check(Check::PnpOutOfOrder, "a request for a device that was removed");
    }
    PDEVICE_OBJECT top = IoManager::attached_top(pdo);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = m_kernel.io().build_request(top, major, minor, &event, &status);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (parameters) parameters(*IoGetNextIrpStackLocation(irp));
    irp->IoStatus.Information = initial_information;
    NTSTATUS result = m_kernel.io().send_and_wait(top, irp, &event, &status);
    if (information != nullptr) *information = status.Information;
    return result;
}

NTSTATUS PnpManager::send(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information) {
    return request(pdo, IRP_MJ_PNP, minor, nullptr, information);
}

NTSTATUS PnpManager::stop(PDEVICE_OBJECT pdo) {
    expect_state(pdo, {State::Started}, "IRP_MN_STOP_DEVICE");
    NTSTATUS status = send(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        send(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    status = send(pdo, IRP_MN_STOP_DEVICE);
    if (NT_SUCCESS(status)) m_states[pdo] = State::Stopped;
    return status;
}

NTSTATUS PnpManager::remove(PDEVICE_OBJECT pdo) {
    expect_state(pdo, {State::Added, State::Started, State::Stopped}, "IRP_MN_REMOVE_DEVICE");
    NTSTATUS status = send(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    return removed(pdo, fdo, send(pdo, IRP_MN_REMOVE_DEVICE));
}

NTSTATUS PnpManager::remove_gone(PDEVICE_OBJECT pdo) {
    expect_state(pdo, {State::Added, State::Started, State::Stopped}, "IRP_MN_REMOVE_DEVICE");
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    return removed(pdo, fdo, send(pdo, IRP_MN_REMOVE_DEVICE));
}

NTSTATUS PnpManager::removed(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo, NTSTATUS status) {
    m_states[pdo] = State::Removed;
    if (!BusDriver::of(pdo).removal_reached(pdo)) {
        bug_check(Check::RemovalNotPassedDown, "the removal request never reached the physical device object");
    }
    if (pdo->AttachedDevice != nullptr) {
        bug_check(Check::LeftAttached, "after its removal a device object is still attached to the stack");
    }
    // IoDeleteDevice with a handle still open leaves the object until the
    // handle's close: deleted, as far as the removal goes.
    if (fdo != nullptr && m_kernel.io().is_live_device(fdo) &&
        !(fdo->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING)) {
        bug_check(Check::LeftUndeleted, "after its removal the function driver's device object still exists");
    }
    return status;
}

NTSTATUS PnpManager::query_capabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities) {
    *capabilities = DEVICE_CAPABILITIES{};
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = 1;
    capabilities->Address = static_cast<ULONG>(-1);
    capabilities->UINumber = static_cast<ULONG>(-1);
    return request(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                   [&](IO_STACK_LOCATION& s) { s.Parameters.DeviceCapabilities.Capabilities = capabilities; },
                   nullptr);
}

NTSTATUS PnpManager::query_relations(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type) {
    ULONG_PTR information = 0;
    NTSTATUS result = request(pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                              [&](IO_STACK_LOCATION& s) { s.Parameters.QueryDeviceRelations.Type = type; },
                              &information);
    if (NT_SUCCESS(result) && information != 0) ExFreePool(reinterpret_cast<PVOID>(information));
    return result;
}

NTSTATUS PnpManager::query_id(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, std::vector<std::u16string>* ids,
                              ULONG_PTR handed_down) {
    ids->clear();
    ULONG_PTR information = 0;
    NTSTATUS result = request(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID,
                              [&](IO_STACK_LOCATION& s) { s.Parameters.QueryId.IdType = type; }, &information,
                              handed_down);
    if (NT_SUCCESS(result) && information != 0) {
        auto* list = reinterpret_cast<const WCHAR*>(information);
        const Pool::Block* block = m_kernel.pool().find(list);
        // Read the list only within its pool block: a list without its final
        // terminator must not make the manager read past it.
        std::size_t limit = block != nullptr ? block->size / sizeof(WCHAR) : 0;
        std::size_t i = 0;
        while (i < limit && list[i] != 0) {
            std::u16string id;
            while (i < limit && list[i] != 0) id += list[i++];
            ids->push_back(id);
            ++i;
        }
        ExFreePool(const_cast<WCHAR*>(list));
    }
    return result;
}

NTSTATUS PnpManager::system_control(PDEVICE_OBJECT pdo) {
    return request(pdo, IRP_MJ_SYSTEM_CONTROL, 0, nullptr, nullptr);
}

NTSTATUS PnpManager::send_power(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    return request(pdo, IRP_MJ_POWER, minor, [&](IO_STACK_LOCATION& s) {
        s.Parameters.Power.Type = type;
        s.Parameters.Power.State = state;
        if (type == SystemPowerState) {
            s.Parameters.Power.ShutdownType = state.SystemState <= PowerSystemWorking ? PowerActionNone
                                              : state.SystemState >= PowerSystemShutdown ? PowerActionShutdown
                                                                                         : PowerActionSleep;
        }
    }, nullptr);
}

NTSTATUS PnpManager::set_system_power(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    POWER_STATE power{};
    power.SystemState = state;
    return send_power(pdo, IRP_MN_SET_POWER, SystemPowerState, power);
}

NTSTATUS PnpManager::query_system_power(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    POWER_STATE power{};
    power.SystemState = state;
    return send_power(pdo, IRP_MN_QUERY_POWER, SystemPowerState, power);
}

NTSTATUS PnpManager::request_power_irp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                       PREQUEST_POWER_COMPLETE completion, PVOID context,
                                       PIRP* irp_out) {
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_kernel.io().is_live_device(device)) {
        bug_check(Check::InvalidDeviceObject, "PoRequestPowerIrp for a device object that does not exist");
    }
    // Windows 98 SE and Me take the physical device object only, and answer
    // a request for the device power state the device is in with
    // STATUS_PENDING and never send it (Oney, 1st and 2nd ed., the Windows
    // 98/Me notes of the power chapter).
    if (device->DeviceObjectExtension->AttachedTo != nullptr) {
        bug_check(Check::PowerRequestNotForPdo,
                  "PoRequestPowerIrp for a device object that is not a physical device object: "
                  "Windows 98 SE takes the PDO only");
    }
    const bool sent = minor != IRP_MN_SET_POWER || state.DeviceState != device_power(device);
    m_power_requests.push_back(PowerRequest{m_kernel.now(), device, minor, state, sent});
    if (!sent) return STATUS_PENDING;
    PDEVICE_OBJECT top = IoManager::attached_top(device);
    PIRP irp = m_kernel.io().allocate_irp(top->StackSize, false);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = state;
    IoSetCompletionRoutine(irp, power_request_done,
                           new PowerRequestContext{completion, context, device, minor, state}, TRUE,
                           TRUE, TRUE);
    if (irp_out != nullptr) *irp_out = irp;
    // On Windows 98 the request comes through the configuration manager, and
    // nothing public says from which context: under the seed it is sent
    // inside this call, or later from a thread of the power manager's.
    if (m_kernel.scheduler().one_in(2)) {
        PoCallDriver(top, irp);
    } else {
        m_kernel.spawn("power request", [top, irp] { PoCallDriver(top, irp); });
    }
    return STATUS_PENDING;
}

DEVICE_POWER_STATE PnpManager::device_power(PDEVICE_OBJECT pdo) const {
    auto it = m_device_power.find(pdo);
    return it == m_device_power.end() ? PowerDeviceUnspecified : it->second;
}

}  // namespace host
