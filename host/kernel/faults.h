// Fault points: every resource the driver asks the platform for, every
// request it sends the bus, every answer it gets from the drivers below it.
// They are counted in the order the world reaches them, which the seed fixes,
// and one of them, chosen by its number, can be made to fail: a scenario run
// once to count and then once per point fails each of them exactly once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace host {

enum class FaultKind : std::uint8_t {
    Pool,             // ExAllocatePoolWithTag: no block
    Irp,              // IoAllocateIrp, IoBuildDeviceIoControlRequest: no IRP
    PowerRequest,     // PoRequestPowerIrp: STATUS_INSUFFICIENT_RESOURCES
    Registry,         // IoOpenDeviceRegistryKey, ZwQueryValueKey: STATUS_INSUFFICIENT_RESOURCES
    ConfigManager,    // the configuration manager's services: CR_OUT_OF_MEMORY
    Thread,           // PsCreateSystemThread: STATUS_INSUFFICIENT_RESOURCES
    ThreadReference,  // ObReferenceObjectByHandle: STATUS_INVALID_HANDLE
    Device,           // IoCreateDevice: STATUS_INSUFFICIENT_RESOURCES
    Link,             // IoCreateSymbolicLink: STATUS_INSUFFICIENT_RESOURCES
    Attach,           // IoAttachDeviceToDeviceStack: no device
    BusFailed,        // a request to the bus ends with a transaction error (CRC)
    BusStalled,       // ... with a stall
    BusUnanswered,    // a control request is never answered, until it is cancelled
    LowerPnp,         // the bus fails a Plug and Play request it could fail
    LowerPower,       // the bus fails a power request
};

class FaultPoints {
public:
    // The point that fails: its number, counting from 1; 0 for none.
    void fail_at(std::uint64_t point) { m_fail_at = point; }
    // Instead of failing, the point's moment is when the adapter is pulled
    // out: `unplug` is called there (it must only ask for it; the bus pulls
    // the device from its own context), and the request goes on.
    void unplug_at(std::uint64_t point, std::function<void()> unplug) {
        m_fail_at = point;
        m_unplug = std::move(unplug);
    }

    // A fault point is reached: counts it, and answers whether it is the one
    // to fail. `what` names the service or request, for the report.
    bool reached(FaultKind kind, const char* what) {
        if (m_paused) return false;
        return ++m_count == m_fail_at && fail(kind, what);
    }
    // While paused nothing counts and nothing fails (a check of the world
    // that the run without a fault did not make).
    void set_paused(bool paused) { m_paused = paused; }

    std::uint64_t count() const { return m_count; }
    // The point that failed ("" while none has): "123 pool: ExAllocatePoolWithTag".
    const std::string& failed() const { return m_failed; }
    static const char* name(FaultKind kind);

private:
    bool fail(FaultKind kind, const char* what);

    std::uint64_t m_fail_at = 0;
    std::function<void()> m_unplug;
    bool m_paused = false;
    std::uint64_t m_count = 0;
    std::string m_failed;
};

}  // namespace host
