#include "host/kernel/trace.h"

#include <algorithm>
#include <cstdio>

namespace host {

namespace {

const char* kind_name(TraceKind kind) {
    switch (kind) {
    case TraceKind::Switch: return "switch";
    case TraceKind::Wait: return "wait";
    case TraceKind::Wake: return "wake";
    case TraceKind::Timeout: return "timeout";
    case TraceKind::SetEvent: return "set-event";
    case TraceKind::ThreadStart: return "thread-start";
    case TraceKind::ThreadExit: return "thread-exit";
    case TraceKind::IrpCall: return "irp-call";
    case TraceKind::IrpComplete: return "irp-complete";
    case TraceKind::IrpCancel: return "irp-cancel";
    case TraceKind::Allocate: return "allocate";
    case TraceKind::Free: return "free";
    case TraceKind::Apc: return "apc";
    }
    return "?";
}

}  // namespace

std::vector<TraceEntry> Trace::entries() const {
    std::vector<TraceEntry> out;
    const std::uint64_t n = std::min<std::uint64_t>(m_count, kRing);
    for (std::uint64_t i = m_count - n; i < m_count; ++i) out.push_back(m_ring[i % kRing]);
    return out;
}

std::string Trace::recent(std::size_t limit) const {
    const std::uint64_t n = std::min<std::uint64_t>({m_count, kRing, limit});
    std::string out;
    for (std::uint64_t i = m_count - n; i < m_count; ++i) {
        const TraceEntry& e = m_ring[i % kRing];
        char line[160];
        std::snprintf(line, sizeof line, "  %12.4f ms  T%u  %-13s %#llx %p\n",
                      static_cast<double>(e.time) / 10'000.0, e.thread, kind_name(e.kind),
                      static_cast<unsigned long long>(e.arg), e.object);
        out += line;
    }
    return out;
}

}  // namespace host
