#include "sim/line/line.h"


#include "host/kernel/kernel.h"

namespace sim {

Time ScriptedPeer::now() const { return host::Kernel::current().now(); }

void ScriptedPeer::send(std::span<const std::uint8_t> bytes) { m_chip->line_send(bytes, now()); }

const std::vector<std::uint8_t>& ScriptedPeer::received() {
    m_chip->advance_to(now());
    return m_received;
}

const std::vector<Time>& ScriptedPeer::received_at() {
    m_chip->advance_to(now());
    return m_received_at;
}

void ScriptedPeer::set_lines(ModemInputs inputs) { m_chip->set_modem_inputs(inputs, now()); }
void ScriptedPeer::send_break(bool on) { m_chip->line_break(on, now()); }
void ScriptedPeer::send_error(std::uint16_t state_bit) { m_chip->line_error(state_bit, now()); }

void ScriptedPeer::on_byte(std::uint8_t byte, Time at) {
    m_received.push_back(byte);
    m_received_at.push_back(at);
}

void ScriptedPeer::on_control_lines(bool dtr, bool rts, Time) {
    m_dtr = dtr;
    m_rts = rts;
}

}  // namespace sim
