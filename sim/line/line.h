// The far side of the chip's UART: a loopback plug, or a peer that a test
// drives byte by byte and line by line.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/chip/bridge_chip.h"

namespace sim {

class LineEnd {
public:
    virtual ~LineEnd() = default;
    virtual void attached(BridgeChip& chip) { m_chip = &chip; }
    // What the chip puts on the line: a character when its last bit is sent,
    // the control lines, a break.
    virtual void on_byte(std::uint8_t byte, Time at) = 0;
    virtual void on_control_lines(bool dtr, bool rts, Time at) = 0;
    virtual void on_break(bool on, Time at) = 0;

protected:
    BridgeChip* m_chip = nullptr;
};

// TX to RX, DTR to DSR and DCD, RTS to CTS; a break comes back as a break.
class Loopback final : public LineEnd {
public:
    void on_byte(std::uint8_t byte, Time at) override { m_chip->line_receive(byte, at); }
    void on_control_lines(bool dtr, bool rts, Time at) override {
        m_chip->set_modem_inputs(ModemInputs{dtr, dtr, rts, false}, at);
    }
    void on_break(bool on, Time at) override { m_chip->line_break(on, at); }
};

class ScriptedPeer final : public LineEnd {
public:
    // The peer starts sending now, at the line's speed.
    void send(std::span<const std::uint8_t> bytes);
    void send(const std::vector<std::uint8_t>& bytes) { send(std::span<const std::uint8_t>(bytes)); }
    // What has arrived so far (the chip's UART is brought up to now first).
    const std::vector<std::uint8_t>& received();
    const std::vector<Time>& received_at();

    void set_lines(ModemInputs inputs);
    void send_break(bool on);
    void send_error(std::uint16_t state_bit);  // kStateFraming or kStateParity

    bool dtr() const { return m_dtr; }
    bool rts() const { return m_rts; }
    bool break_seen() const { return m_break; }

    void on_byte(std::uint8_t byte, Time at) override;
    void on_control_lines(bool dtr, bool rts, Time at) override;
    void on_break(bool on, Time at) override { m_break = on; }

private:
    Time now() const;
    std::vector<std::uint8_t> m_received;
    std::vector<Time> m_received_at;
    bool m_dtr = false;
    bool m_rts = false;
    bool m_break = false;
};

}  // namespace sim
