// A bus driver: owns the physical device objects at the bottom of device
// stacks and completes the Plug and Play, power and system-control requests
// that reach them, with results a test can choose. The USB bus driver builds
// on it; by itself it refuses internal device-control requests.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <set>
#include <utility>
#include <vector>

#include "platform/wdm.h"

namespace host {

class Kernel;

class BusDriver {
public:
    struct Arrival {
        UCHAR major;
        UCHAR minor;
        NTSTATUS status;          // the IRP's status when it arrived
        ULONG_PTR information;    // the IRP's information when it arrived
        PDEVICE_OBJECT pdo = nullptr;
    };

    BusDriver(Kernel& kernel, std::string name);
    virtual ~BusDriver();
    BusDriver(const BusDriver&) = delete;
    BusDriver& operator=(const BusDriver&) = delete;

    PDRIVER_OBJECT driver() const { return m_driver; }
    PDEVICE_OBJECT create_pdo();
    // Deletes a physical device object once nothing is attached to it.
    void delete_pdo(PDEVICE_OBJECT pdo);

    // The status the bus completes a Plug and Play (or power) request with.
    void set_pnp_result(UCHAR minor, NTSTATUS status) { m_pnp_results[minor] = status; }
    void set_power_result(NTSTATUS status) { m_power_result = status; }

    // The bus driver of a physical device object.
    static BusDriver& of(PDEVICE_OBJECT pdo);

    // The requests that reached a physical device object, in order: the last
    // kArrivalsKept of them, so that a long session keeps no more; arrived()
    // counts them all.
    static constexpr std::size_t kArrivalsKept = 1024;
    const std::deque<Arrival>& arrivals() const { return m_arrivals; }
    std::uint64_t arrived() const { return m_arrived; }
    // Whether the removal request reached the physical device object.
    bool removal_reached(PDEVICE_OBJECT pdo) const;

    // The device of a physical device object is gone: once its removal
    // request has come, the object refuses every request.
    void device_gone(PDEVICE_OBJECT pdo) { m_gone.insert(pdo); }

protected:
    virtual NTSTATUS internal_device_control(PDEVICE_OBJECT pdo, PIRP irp);
    // A power request, released for the next one already; completes it with
    // the chosen power result.
    virtual NTSTATUS power(PDEVICE_OBJECT pdo, PIRP irp);
    NTSTATUS power_result() const { return m_power_result; }
    static NTSTATUS complete(PIRP irp, NTSTATUS status);
    NTSTATUS pnp_answer(PIO_STACK_LOCATION stack, PIRP irp);
    Kernel& kernel() { return m_kernel; }

private:
    static NTSTATUS NTAPI dispatch_pnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI dispatch_power(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI dispatch_other(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI dispatch_internal(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS pnp(PDEVICE_OBJECT pdo, PIRP irp);
    void arrival(const Arrival& a);

    Kernel& m_kernel;
    std::string m_name;
    PDRIVER_OBJECT m_driver = nullptr;
    int m_next_pdo = 1;
    std::vector<PDEVICE_OBJECT> m_pdos;
    std::map<UCHAR, NTSTATUS> m_pnp_results;
    NTSTATUS m_power_result = STATUS_SUCCESS;
    std::deque<Arrival> m_arrivals;
    std::uint64_t m_arrived = 0;
    std::set<PDEVICE_OBJECT> m_removal_reached;
    std::set<PDEVICE_OBJECT> m_gone;     // devices gone from the bus
    std::set<PDEVICE_OBJECT> m_removed;  // gone, and their removal request came
};

}  // namespace host
