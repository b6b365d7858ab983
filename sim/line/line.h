// The far side of the chip's UART: a loopback plug, or a peer that a test
// drives byte by byte and line by line.
#pragma once

#include <algorithm>
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
    // with its framing, the control lines, a break, the auxiliary line.
    virtual void on_byte(std::uint8_t byte, const Framing& framing, Time at) = 0;
    virtual void on_control_lines(bool dtr, bool rts, Time at) = 0;
    virtual void on_break(bool on, Time at) = 0;
    virtual void on_aux(bool, Time) {}
    // Whether the far end holds back what it sends (its flow control).
    virtual bool sending_held() const { return false; }
    // Whether every character sent comes straight back, as it was sent.
    virtual bool echoes() const { return false; }

protected:
    BridgeChip* m_chip = nullptr;
};

// TX to RX, DTR to DSR and DCD, RTS to CTS; a break comes back as a break.
class Loopback final : public LineEnd {
public:
    void on_byte(std::uint8_t byte, const Framing& framing, Time at) override {
        m_chip->line_receive(byte, framing, at);
    }
    void on_control_lines(bool dtr, bool rts, Time at) override {
        m_chip->set_modem_inputs(ModemInputs{dtr, dtr, rts, false}, at);
    }
    void on_break(bool on, Time at) override { m_chip->line_break(on, at); }
    bool echoes() const override { return true; }
};

// What a peer saw of the chip's output lines, at one moment.
struct LineLevels {
    Time at = 0;
    bool dtr = false;
    bool rts = false;
    bool brk = false;
    bool aux = false;
};

// A receive error the peer saw.
struct PeerError {
    Time at = 0;
    Reception kind = Reception::FramingError;
};

class ScriptedPeer final : public LineEnd {
public:
    // The peer's UART: none (the default) follows the chip, as a peer set up
    // to match would; a framing of its own sends and expects exactly that.
    void set_framing(std::optional<Framing> framing) { m_framing = framing; }
    // The peer's flow control: it holds back what it sends while the chip's
    // RTS is low (hardware) or after an XOFF until an XON (XON/XOFF).
    void set_flow_control(FlowControl flow) { m_flow = flow; }

    // The peer's receive buffer: once it holds this many bytes not yet
    // consumed, a further byte is lost (counted). Unlimited by default.
    void set_receive_capacity(std::size_t bytes) { m_capacity = bytes; }
    std::size_t unread() { return received().size() - m_consumed; }
    void consume(std::size_t bytes) { m_consumed += std::min(bytes, unread()); }
    std::uint64_t lost() const { return m_lost; }

    // The peer starts sending now.
    void send(std::span<const std::uint8_t> bytes);
    void send(const std::vector<std::uint8_t>& bytes) { send(std::span<const std::uint8_t>(bytes)); }
    // What has arrived so far (the chip's UART is brought up to now first).
    const std::vector<std::uint8_t>& received();
    const std::vector<Time>& received_at();
    // What has arrived since the last take, handed over and no longer kept
    // (nor counted as unread): for a far end that runs for long.
    std::vector<std::uint8_t> take_received();
    const std::vector<PeerError>& errors();

    void set_lines(ModemInputs inputs);
    const ModemInputs& lines() const { return m_inputs; }  // what the peer drives
    void send_break(bool on);
    void send_error(std::uint16_t state_bit);  // kStateFraming or kStateParity

    // The chip's output lines now (the chip's UART is brought up to now
    // first), and every change of them, oldest first, beginning with all of
    // them low at time 0.
    bool dtr() { return history().back().dtr; }
    bool rts() { return history().back().rts; }
    bool break_seen() { return history().back().brk; }
    const std::vector<LineLevels>& history();

    void on_byte(std::uint8_t byte, const Framing& framing, Time at) override;
    void on_control_lines(bool dtr, bool rts, Time at) override;
    void on_break(bool on, Time at) override;
    void on_aux(bool level, Time at) override;
    bool sending_held() const override;

private:
    Time now() const;
    void record(LineLevels levels);
    std::optional<Framing> m_framing;
    FlowControl m_flow;
    ModemInputs m_inputs;
    bool m_xoff = false;
    std::vector<std::uint8_t> m_received;
    std::vector<Time> m_received_at;
    std::vector<PeerError> m_errors;
    std::size_t m_capacity = 0;
    std::size_t m_consumed = 0;
    std::uint64_t m_lost = 0;
    std::vector<LineLevels> m_levels{LineLevels{}};
};

// An application at the far end that takes what the peer receives at a fixed
// rate, in steps of one millisecond of virtual time, on an emulated thread of
// its own. With hardware flow control the peer drops its RTS (the chip's CTS)
// when its buffer is three quarters full and raises it again at a quarter.
class PeerReader {
public:
    PeerReader(ScriptedPeer& peer, std::uint64_t bytes_per_second, std::size_t buffer_bytes, bool hardware_flow);
    ~PeerReader();
    PeerReader(const PeerReader&) = delete;
    PeerReader& operator=(const PeerReader&) = delete;

private:
    void run();

    ScriptedPeer& m_peer;
    const std::uint64_t m_rate;
    const std::size_t m_buffer;
    const bool m_hardware_flow;
    bool m_stop = false;
    KEVENT m_stopped;
};

}  // namespace sim
