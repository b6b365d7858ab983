// The Plug and Play manager and the power manager: they send their requests
// to the top of a device stack at PASSIVE_LEVEL and wait for them, as the
// platform does, and serve PoRequestPowerIrp.
#pragma once

#include <functional>
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
    };

    explicit PnpManager(Kernel& kernel) : m_kernel(kernel) {}

    // Calls the driver's AddDevice for a physical device object.
    NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

    // Sends one Plug and Play request with no parameters and waits for it.
    NTSTATUS send(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information = nullptr);
    NTSTATUS start(PDEVICE_OBJECT pdo) { return send(pdo, IRP_MN_START_DEVICE); }
    // Query-stop, then stop when the query succeeded.
    NTSTATUS stop(PDEVICE_OBJECT pdo);
    // Query-remove, then remove when the query succeeded.
    NTSTATUS remove(PDEVICE_OBJECT pdo);
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

private:
    // Sends a request built by the I/O manager to the top of the stack and waits.
    NTSTATUS request(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                     const std::function<void(IO_STACK_LOCATION&)>& parameters, ULONG_PTR* information,
                     ULONG_PTR initial_information = 0);

    Kernel& m_kernel;
    std::vector<PowerRequest> m_power_requests;
};

}  // namespace host
