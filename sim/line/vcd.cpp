#include "sim/line/vcd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {

namespace {
constexpr std::uint64_t kNanoseconds = 1'000'000'000;
std::uint64_t ns_of(Time t) { return static_cast<std::uint64_t>(t) * 100; }  // Time counts 100 ns

// A character's length on the line, and the start of its bit `half / 2`.
std::uint64_t length_ns(const Framing& f) { return (f.half_bits() * kNanoseconds + f.baud) / (2u * f.baud); }
std::uint64_t bit_ns(const Framing& f, unsigned bit) { return (bit * kNanoseconds + f.baud / 2) / f.baud; }

constexpr const char* kNames[] = {"TXD", "RXD", "DTR", "RTS", "CTS", "DSR", "DCD", "RI", "AUX"};
}  // namespace

VcdWriter::~VcdWriter() {
    if (m_file != nullptr) std::fclose(m_file);
}

bool VcdWriter::open(const std::string& path, std::string* error) {
    m_file = std::fopen(path.c_str(), "w");
    if (m_file == nullptr) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    m_path = path;
    m_level = {};
    m_level[kTxd] = m_level[kRxd] = true;  // an idle line is at mark
    std::fprintf(m_file, "$version torvex $end\n$timescale 1ns $end\n$scope module line $end\n");
    for (int s = 0; s < kSignals; ++s) std::fprintf(m_file, "$var wire 1 %c %s $end\n", '!' + s, kNames[s]);
    std::fprintf(m_file, "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n");
    for (int s = 0; s < kSignals; ++s) std::fprintf(m_file, "%d%c\n", m_level[s] ? 1 : 0, '!' + s);
    std::fprintf(m_file, "$end\n");
    return true;
}

bool VcdWriter::close(Time end, std::string* error) {
    if (m_file == nullptr) return true;  // never opened
    write_until(UINT64_MAX);
    std::fprintf(m_file, "#%llu\n", static_cast<unsigned long long>(std::max(ns_of(end), m_written)));
    const bool failed = std::ferror(m_file) != 0;
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    if (failed || !closed) {
        *error = "cannot write " + m_path;
        return false;
    }
    return true;
}

void VcdWriter::expect(const Framing& framing, Time at) {
    m_horizon = std::max(m_horizon, length_ns(framing));
    reached(ns_of(at));
}

// Start bit, data bits from the lowest, the parity bit, stop bits at mark.
void VcdWriter::character(Wire wire, std::uint8_t byte, const Framing& framing, Time end) {
    const Signal signal = wire == Wire::Txd ? kTxd : kRxd;
    const std::uint64_t stop = ns_of(end);
    const std::uint64_t length = length_ns(framing);
    m_horizon = std::max(m_horizon, length);
    const std::uint64_t start = stop > length ? stop - length : 0;
    unsigned bit = 0;
    change(signal, false, start);
    for (unsigned i = 0; i < framing.data_bits; ++i) change(signal, (byte >> i) & 1, start + bit_ns(framing, ++bit));
    if (const std::optional<bool> parity = framing.parity_bit(byte)) change(signal, *parity, start + bit_ns(framing, ++bit));
    change(signal, true, start + bit_ns(framing, ++bit));
    reached(stop);
}

void VcdWriter::line_break(Wire wire, bool on, Time at) {
    change(wire == Wire::Txd ? kTxd : kRxd, !on, ns_of(at));
    reached(ns_of(at));
}

void VcdWriter::outputs(bool dtr, bool rts, Time at) {
    change(kDtr, dtr, ns_of(at));
    change(kRts, rts, ns_of(at));
    reached(ns_of(at));
}

void VcdWriter::inputs(const ModemInputs& inputs, Time at) {
    change(kCts, inputs.cts, ns_of(at));
    change(kDsr, inputs.dsr, ns_of(at));
    change(kDcd, inputs.dcd, ns_of(at));
    change(kRi, inputs.ring, ns_of(at));
    reached(ns_of(at));
}

void VcdWriter::aux(bool level, Time at) {
    change(kAux, level, ns_of(at));
    reached(ns_of(at));
}

// A change is held until it is final; one that would land before what was
// written already (a character longer than any expected) is moved up to it.
void VcdWriter::change(Signal signal, bool level, std::uint64_t ns) {
    if (m_level[signal] == level) return;
    m_level[signal] = level;
    std::deque<Change>& held = m_held[signal];
    ns = std::max(ns, held.empty() ? m_written : held.back().ns);
    held.push_back(Change{ns, level});
}

// Nothing reported from now on starts earlier than a character before `ns`.
void VcdWriter::reached(std::uint64_t ns) {
    m_latest = std::max(m_latest, ns);
    if (m_latest > m_horizon) write_until(m_latest - m_horizon);
}

void VcdWriter::write_until(std::uint64_t ns) {
    if (m_file == nullptr) return;
    for (;;) {
        int next = -1;
        for (int s = 0; s < kSignals; ++s) {
            if (!m_held[s].empty() && m_held[s].front().ns <= ns &&
                (next < 0 || m_held[s].front().ns < m_held[next].front().ns)) {
                next = s;
            }
        }
        if (next < 0) return;
        const Change c = m_held[next].front();
        m_held[next].pop_front();
        if (c.ns > m_written) std::fprintf(m_file, "#%llu\n", static_cast<unsigned long long>(c.ns));
        m_written = std::max(m_written, c.ns);
        std::fprintf(m_file, "%d%c\n", c.level ? 1 : 0, '!' + next);
    }
}

}  // namespace sim
