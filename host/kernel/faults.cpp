#include "host/kernel/faults.h"

namespace host {

// The point to fail is reached: it fails, or the adapter is pulled out there.
bool FaultPoints::fail(FaultKind kind, const char* what) {
    m_failed = std::to_string(m_count) + " " + name(kind) + ": " + what;
    if (!m_unplug) return true;
    m_failed += ", the adapter pulled out there";
    m_unplug();
    return false;
}

const char* FaultPoints::name(FaultKind kind) {
    switch (kind) {
    case FaultKind::Pool: return "pool";
    case FaultKind::Irp: return "IRP";
    case FaultKind::PowerRequest: return "power request";
    case FaultKind::Registry: return "registry";
    case FaultKind::ConfigManager: return "configuration manager";
    case FaultKind::Thread: return "thread";
    case FaultKind::ThreadReference: return "thread reference";
    case FaultKind::Device: return "device";
    case FaultKind::Link: return "link";
    case FaultKind::Attach: return "attach";
    case FaultKind::BusFailed: return "bus request failed";
    case FaultKind::BusStalled: return "bus request stalled";
    case FaultKind::BusUnanswered: return "bus request unanswered";
    case FaultKind::LowerPnp: return "lower Plug and Play answer";
    case FaultKind::LowerPower: return "lower power answer";
    }
    return "?";
}

}  // namespace host
