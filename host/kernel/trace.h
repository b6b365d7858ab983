// The kernel's own event log: a digest of everything that happened, for
// determinism checks, and the most recent entries, for bug-check reports.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

enum class TraceKind : std::uint8_t {
    Switch,
    Wait,
    Wake,
    Timeout,
    SetEvent,
    ThreadStart,
    ThreadExit,
    IrpCall,
    IrpComplete,
    IrpCancel,
    Allocate,
    Free,
    Apc,
};

struct TraceEntry {
    std::int64_t time = 0;
    std::uint32_t thread = 0;
    TraceKind kind = TraceKind::Switch;
    std::uint64_t arg = 0;          // deterministic detail: ids, sizes, statuses
    const void* object = nullptr;   // shown in reports, never part of the digest
};

class Trace {
public:
    void record(std::int64_t time, std::uint32_t thread, TraceKind kind, std::uint64_t arg,
                const void* object = nullptr);

    // A hash of every entry's deterministic fields since the world began.
    std::uint64_t digest() const { return m_digest; }
    std::uint64_t count() const { return m_count; }

    // The last entries, oldest first, one per line.
    std::string recent(std::size_t limit = 32) const;
    // The entries still kept, oldest first.
    std::vector<TraceEntry> entries() const;

private:
    static constexpr std::size_t kRing = 256;
    std::array<TraceEntry, kRing> m_ring{};
    std::uint64_t m_count = 0;
    std::uint64_t m_digest = 1469598103934665603ull;
};

}  // namespace host
