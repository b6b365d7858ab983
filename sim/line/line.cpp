#include "sim/line/line.h"

#include "host/kernel/kernel.h"

namespace sim {

Time ScriptedPeer::now() const { return host::Kernel::current().now(); }

void ScriptedPeer::send(std::span<const std::uint8_t> bytes) { m_chip->line_send(bytes, m_framing, now()); }

const std::vector<std::uint8_t>& ScriptedPeer::received() {
    m_chip->advance_to(now());
    return m_received;
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
