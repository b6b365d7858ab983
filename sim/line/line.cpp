#include "sim/line/line.h"

#include "host/kernel/kernel.h"

namespace sim {

Time ScriptedPeer::now() const { return host::Kernel::current().now(); }

void ScriptedPeer::send(std::span<const std::uint8_t> bytes) { m_chip->line_send(bytes, m_framing, now()); }

const std::vector<std::uint8_t>& ScriptedPeer::received() {
    m_chip->advance_to(now());
    return m_received;
}

std::vector<std::uint8_t> ScriptedPeer::take_received() {
    std::vector<std::uint8_t> taken = received();
    m_received.clear();
    m_received_at.clear();
    m_consumed = 0;
    return taken;
}

const std::vector<Time>& ScriptedPeer::received_at() {
    m_chip->advance_to(now());
    return m_received_at;
}

const std::vector<PeerError>& ScriptedPeer::errors() {
    m_chip->advance_to(now());
    return m_errors;
}

void ScriptedPeer::set_lines(ModemInputs inputs) {
    m_inputs = inputs;
    m_chip->set_modem_inputs(inputs, now());
}
void ScriptedPeer::send_break(bool on) { m_chip->line_break(on, now()); }
void ScriptedPeer::send_error(std::uint16_t state_bit) { m_chip->line_error(state_bit, now()); }

const std::vector<LineLevels>& ScriptedPeer::history() {
    m_chip->advance_to(now());
    return m_levels;
}

void ScriptedPeer::on_byte(std::uint8_t byte, const Framing& framing, Time at) {
    Reception reception = receive(framing, m_framing.value_or(framing), byte);
    if (reception != Reception::Byte) {
        m_errors.push_back(PeerError{at, reception});
        return;
    }
    if (m_flow.xon_xoff && (byte == kXon || byte == kXoff)) {
        m_xoff = byte == kXoff;
        return;
    }
    if (m_capacity != 0 && m_received.size() - m_consumed >= m_capacity) {
        ++m_lost;
        return;
    }
    m_received.push_back(byte);
    m_received_at.push_back(at);
}

void ScriptedPeer::record(LineLevels levels) { m_levels.push_back(levels); }

void ScriptedPeer::on_control_lines(bool dtr, bool rts, Time at) {
    LineLevels levels = m_levels.back();
    levels.at = at;
    levels.dtr = dtr;
    levels.rts = rts;
    record(levels);
}

void ScriptedPeer::on_break(bool on, Time at) {
    LineLevels levels = m_levels.back();
    levels.at = at;
    levels.brk = on;
    record(levels);
}

void ScriptedPeer::on_aux(bool level, Time at) {
    LineLevels levels = m_levels.back();
    levels.at = at;
    levels.aux = level;
    record(levels);
}

bool ScriptedPeer::sending_held() const {
    return (m_flow.hardware && !m_levels.back().rts) || (m_flow.xon_xoff && m_xoff);
}

}  // namespace sim

namespace sim {

PeerReader::PeerReader(ScriptedPeer& peer, std::uint64_t bytes_per_second, std::size_t buffer_bytes,
                       bool hardware_flow)
    : m_peer(peer), m_rate(bytes_per_second), m_buffer(buffer_bytes), m_hardware_flow(hardware_flow) {
    KeInitializeEvent(&m_stopped, NotificationEvent, FALSE);
    m_peer.set_receive_capacity(buffer_bytes);
    host::Kernel::current().spawn("peer reader", [this] { run(); });
}

PeerReader::~PeerReader() {
    m_stop = true;
    host::wait_for(&m_stopped, nullptr);
}

void PeerReader::run() {
    std::uint64_t owed = 0;  // in thousandths of a byte
    bool cts = true;
    while (!m_stop) {
        LARGE_INTEGER tick;
        tick.QuadPart = -host::kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
        owed += m_rate;  // a millisecond's worth
        m_peer.consume(static_cast<std::size_t>(owed / 1000));
        owed %= 1000;
        if (!m_hardware_flow) continue;
        const std::size_t level = m_peer.unread();
        const bool want = cts ? level < m_buffer * 3 / 4 : level <= m_buffer / 4;
        if (want != cts) {
            cts = want;
            ModemInputs lines = m_peer.lines();
            lines.cts = cts;
            m_peer.set_lines(lines);
        }
    }
    KeSetEvent(&m_stopped, IO_NO_INCREMENT, FALSE);
}

}  // namespace sim
