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
                const void* object = nullptr) {
        m_ring[m_count % kRing] = TraceEntry{time, thread, kind, arg, object};
        ++m_count;
        mix(static_cast<std::uint64_t>(time));
        mix(static_cast<std::uint64_t>(thread) << 8 | static_cast<std::uint64_t>(kind));
        mix(arg);
    }

    // A hash of every entry's deterministic fields since the world began.
    std::uint64_t digest() const { return m_digest; }
    std::uint64_t count() const { return m_count; }

    // The last entries, oldest first, one per line.
    std::string recent(std::size_t limit = 32) const;
    // The entries still kept, oldest first.
    std::vector<TraceEntry> entries() const;

private:
    // A word at a time: a multiply by the golden ratio's odd constant spreads
    // each bit of the word over the upper half, and the shift folds it back down.
    void mix(std::uint64_t value) {
        m_digest = (m_digest ^ value) * 0x9E3779B97F4A7C15ull;
        m_digest ^= m_digest >> 29;
    }

    static constexpr std::size_t kRing = 256;
    std::array<TraceEntry, kRing> m_ring{};
    std::uint64_t m_count = 0;
    std::uint64_t m_digest = 1469598103934665603ull;
};

}  // namespace host
