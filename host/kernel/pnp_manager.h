// The Plug and Play manager and the power manager: they send their requests
// to the top of a device stack at PASSIVE_LEVEL and wait for them, as the
// platform does, and serve PoRequestPowerIrp.
#pragma once

#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "host/kernel/scheduler.h"
#include "platform/wdm.h"

namespace host {

class Kernel;

class PnpManager {
public:
    struct PowerRequest {
        Time time;
        PDEVICE_OBJECT device;
        UCHAR minor;
        POWER_STATE state;
        bool sent;  // false: the device was in that state, and the request never comes
    };

    explicit PnpManager(Kernel& kernel) : m_kernel(kernel) {}

    // The states the manager keeps a device in, and sends requests by.
    enum class State { Added, Started, Stopped, Removed };

    // Calls the driver's AddDevice for a physical device object.
    NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

    // Sends one Plug and Play request with no parameters and waits for it.
    NTSTATUS send(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information = nullptr);
    // Start, then the queries the platform makes of a started device:
    // capabilities, device relations, identifiers, and a request a function
    // driver does not handle, which must reach the bus with its status as sent.
    NTSTATUS start(PDEVICE_OBJECT pdo);
    // Query-stop, then stop when the query succeeded.
    NTSTATUS stop(PDEVICE_OBJECT pdo);
    // Query-remove, then remove when the query succeeded.
    NTSTATUS remove(PDEVICE_OBJECT pdo);
    // The device has left the bus: the removal request comes without a query.
    NTSTATUS remove_gone(PDEVICE_OBJECT pdo);
    NTSTATUS query_capabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities);
    NTSTATUS query_relations(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type);
    // The identifiers answered, as the strings of the returned list; the list
    // is freed. `handed_down` is a list a driver above would have put in the
    // request's information (it passes with the request).
    NTSTATUS query_id(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, std::vector<std::u16string>* ids,
                      ULONG_PTR handed_down = 0);
    NTSTATUS system_control(PDEVICE_OBJECT pdo);

    // Power manager.
    NTSTATUS set_system_power(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
    NTSTATUS query_system_power(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
    NTSTATUS send_power(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
    NTSTATUS request_power_irp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                               PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* irp);
    // Every PoRequestPowerIrp made, in order.
    const std::vector<PowerRequest>& power_requests() const { return m_power_requests; }
    // The device power state the power manager knows a device in: D0 from
    // its start, then what each device set-power request it completed set.
    DEVICE_POWER_STATE device_power(PDEVICE_OBJECT pdo) const;
    void device_powered(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) { m_device_power[pdo] = state; }

private:
    // Sends a request built by the I/O manager to the top of the stack and waits.
    NTSTATUS request(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                     const std::function<void(IO_STACK_LOCATION&)>& parameters, ULONG_PTR* information,
                     ULONG_PTR initial_information = 0);

    // Checks a request against the device's state: out of order it is a
    // verifier report.
    void expect_state(PDEVICE_OBJECT pdo, std::initializer_list<State> allowed, const char* request);
    // After a removal: the request reached the bus, and the function
    // driver's device object is detached and deleted.
    NTSTATUS removed(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo, NTSTATUS status);

    Kernel& m_kernel;
    std::vector<PowerRequest> m_power_requests;
    std::map<PDEVICE_OBJECT, State> m_states;
    std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> m_device_power;
};

}  // namespace host
