// The USB-to-serial bridge chip as a USB device: descriptors of a configurable
// identity, the vendor and class requests it understands, three registers, a
// 256-byte EEPROM with a busy write cycle, and a UART whose speed follows the
// line coding, behind transmit and receive FIFOs of a real chip's size.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/usb/usb_device.h"
#include "sim/chip/byte_fifo.h"
#include "sim/chip/descriptors.h"

namespace sim {

class LineEnd;
using host::Time;

enum class ChipKind {
    Comm,      // device class 0x02
    Vendor,    // device class 0xFF
    Extended,  // device class 0x00 with a 64-byte endpoint 0
};

struct InterfaceKey {
    std::uint8_t interface_class = 0;
    std::uint8_t subclass = 0;
    std::uint8_t protocol = 0;
};

// Modem-status bits of the serial-state notification. CTS, which the
// notification's layout lacks, is reported on bit 7.
constexpr std::uint16_t kStateDcd = 0x01;
constexpr std::uint16_t kStateDsr = 0x02;
constexpr std::uint16_t kStateBreak = 0x04;
constexpr std::uint16_t kStateRing = 0x08;
constexpr std::uint16_t kStateFraming = 0x10;
constexpr std::uint16_t kStateParity = 0x20;
constexpr std::uint16_t kStateOverrun = 0x40;
constexpr std::uint16_t kStateCts = 0x80;

constexpr std::uint8_t kInterruptEndpoint = 0x81;
constexpr std::uint8_t kBulkOutEndpoint = 0x02;
constexpr std::uint8_t kBulkInEndpoint = 0x83;

struct ModemInputs {
    bool dcd = false;
    bool dsr = false;
    bool cts = false;
    bool ring = false;
    bool operator==(const ModemInputs&) const = default;
};

// How a UART frames its characters: the rate and the character format.
struct Framing {
    std::uint32_t baud = 9600;
    std::uint8_t data_bits = 8;
    std::uint8_t parity = 0;       // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t char_format = 0;  // stop bits; 0: 1, 1: 1.5, 2: 2
    bool operator==(const Framing&) const = default;

    // Start bit, data bits, parity bit and stop bits, in half bits (a
    // character may have one and a half stop bits).
    std::uint64_t half_bits() const;
    // The value of the parity bit sent with `byte`, or none without parity.
    std::optional<bool> parity_bit(std::uint8_t byte) const;
};

// What a receiver makes of a character sent with another framing. A receiver
// samples each bit in its middle from the start bit's edge, so a rate that
// differs by more than half a bit over the character, or a different number
// of data bits or parity, misplaces the stop bit (a framing error); the same
// shape with a parity bit of the wrong value is a parity error. Stop bits
// beyond the first are not checked, as UARTs do.
enum class Reception { Byte, FramingError, ParityError };
Reception receive(const Framing& sender, const Framing& receiver, std::uint8_t byte);

struct LineCoding {
    std::uint32_t dte_rate = 9600;  // as sent: a rate, or a divisor code with bit 31 set
    std::uint8_t char_format = 0;   // 0: 1 stop bit, 1: 1.5, 2: 2
    std::uint8_t parity = 0;        // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t data_bits = 8;
    std::uint32_t baud = 9600;      // the rate the UART runs at

    Framing framing() const { return Framing{baud, data_bits, parity, char_format}; }
    bool operator==(const LineCoding&) const = default;
};

struct ChipConfig {
    ChipKind kind = ChipKind::Extended;  // the register layout the chip has
    std::uint8_t device_class = 0x00;
    std::uint8_t max_packet0 = 64;
    std::uint16_t vendor_id = 0x4A54;
    std::uint16_t product_id = 0x0B1D;
    std::uint16_t bcd_device = 0x0300;
    // 1: one interface with interrupt-in, bulk-out and bulk-in endpoints.
    // 2: interrupt-in on the first, bulk-out then bulk-in on the second.
    // 3: as 2, followed by a third interface without endpoints.
    int interfaces = 1;
    std::array<InterfaceKey, 3> keys{};
    std::string manufacturer = "Torvex Simulations";
    std::string product = "USB-Serial Bridge (simulated)";
    std::string serial = "SIM0001";
    std::uint8_t interrupt_interval = 1;  // bInterval of the interrupt-in endpoint, in frames
    std::size_t tx_fifo_bytes = 256;
    std::size_t rx_fifo_bytes = 256;
    bool eeprom_signature = true;
    std::int64_t eeprom_busy_us = 5000;
    std::array<std::uint8_t, 3> registers{};  // power-on values
    LineCoding line{};                        // the power-on line
    // Register 1: bit 0x04 drives the auxiliary output line; bit 0x08 reads
    // as set once the auxiliary line has been high this long (never when
    // unset): the device on the far side answering that it is ready.
    std::optional<Time> aux_ready_after = 0;
    // Served instead of the configuration descriptor built from the above.
    std::optional<std::vector<std::uint8_t>> configuration_override;

    // The identity and interface keys a chip of the kind has.
    static ChipConfig of(ChipKind kind, int interfaces);
};

// The flow control register 0 switches on. A chip of the extended kind has
// hardware flow control on bit 0x20 and XON/XOFF on bit 0x80; the other kinds
// hardware flow control on bit 0x40.
struct FlowControl {
    bool hardware = false;  // transmit only while CTS; drop RTS when the receive FIFO nears full
    bool xon_xoff = false;  // obey XOFF and XON from the far end; send them when the FIFO nears full
};

constexpr std::uint8_t kXon = 0x11;
constexpr std::uint8_t kXoff = 0x13;

struct ChipCounters {
    std::uint64_t tx_bytes = 0;   // bytes the UART sent on the line
    std::uint64_t rx_bytes = 0;   // bytes the UART put in the receive FIFO
    std::uint64_t overruns = 0;   // bytes lost to a full receive FIFO
    std::uint64_t eeprom_writes = 0;
    std::uint64_t eeprom_writes_while_busy = 0;  // ignored by the EEPROM
    std::uint64_t tx_flushes = 0;  // data-pipe resets of the transmit side
    std::uint64_t rx_flushes = 0;  // data-pipe resets of the receive side
    std::uint64_t framing_errors = 0;  // characters received with the wrong framing
    std::uint64_t zero_length_out = 0;  // zero-length packets on the bulk-out endpoint
    std::uint64_t parity_errors = 0;
};

// Watches the line at the chip's connector, both directions: each character
// with its framing and the time its last stop bit ends, the breaks, the
// chip's output lines as the line sees them, its inputs, and the auxiliary
// line. `expect` names a framing characters may come with from now on,
// before the first of them ends.
class LineProbe {
public:
    enum class Wire { Txd, Rxd };  // from the chip, and toward it
    virtual ~LineProbe() = default;
    virtual void expect(const Framing& framing, Time at) = 0;
    virtual void character(Wire wire, std::uint8_t byte, const Framing& framing, Time end) = 0;
    virtual void line_break(Wire wire, bool on, Time at) = 0;
    virtual void outputs(bool dtr, bool rts, Time at) = 0;
    virtual void inputs(const ModemInputs& inputs, Time at) = 0;
    virtual void aux(bool level, Time at) = 0;
};

class BridgeChip final : public host::UsbDevice {
public:
    explicit BridgeChip(ChipConfig config);

    void connect(LineEnd* line);
    // Tells `probe` (none: nobody) the line's levels now and every change.
    void set_probe(LineProbe* probe);
    const ChipConfig& config() const { return m_config; }

    // host::UsbDevice
    void attach(std::function<void()> kick) override { m_kick = std::move(kick); }
    std::vector<std::uint8_t> device_descriptor() const override { return m_table.device_descriptor(); }
    std::vector<std::uint8_t> configuration_descriptor() const override;
    host::ControlResult control(const host::SetupPacket& setup, std::span<const std::uint8_t> out,
                                std::span<std::uint8_t> in, Time now) override;
    bool out_packet(std::uint8_t endpoint, std::span<const std::uint8_t> data, Time now) override;
    std::optional<std::size_t> in_packet(std::uint8_t endpoint, std::span<std::uint8_t> buffer,
                                         Time now) override;
    std::optional<Time> in_ready_at(std::uint8_t endpoint, Time now) const override;
    std::optional<Time> out_ready_at(std::uint8_t endpoint, std::size_t size, Time now) const override;
    void port_reset(Time now) override;
    void power_lost(Time now) override;

    // The UART up to `now`: bytes leave the transmit FIFO and arrive in the
    // receive FIFO no faster than the line coding allows.
    void advance_to(Time now);

    // The line end's side.
    void line_receive(std::uint8_t byte, const Framing& framing, Time at);  // a character arrives, at its time
    // The far end starts sending, with its framing (none: the chip's own).
    void line_send(std::span<const std::uint8_t> bytes, std::optional<Framing> framing, Time now);
    void set_modem_inputs(ModemInputs inputs, Time now);
    void line_break(bool on, Time now);
    void line_error(std::uint16_t state_bit, Time now);  // kStateFraming or kStateParity

    // State a test can read and set.
    std::uint8_t reg(int n) const { return m_registers.at(static_cast<std::size_t>(n)); }
    void set_reg(int n, std::uint8_t value) { m_registers.at(static_cast<std::size_t>(n)) = value; }
    // Scripts what reads of register n return: called with the read's number
    // (1 for the first) and the stored value.
    void on_register_read(int n, std::function<std::uint8_t(std::uint32_t, std::uint8_t)> script);
    std::array<std::uint8_t, 256>& eeprom() { return m_eeprom; }
    bool eeprom_busy(Time now) const { return now < m_eeprom_busy_until; }
    const LineCoding& line_coding() const { return m_coding; }
    bool dtr() const { return m_dtr; }
    bool rts() const { return m_rts; }  // as the driver set it; the line may see it held low
    bool line_rts() const;              // what the line sees
    bool aux() const { return (m_registers[1] & kAuxLine) != 0; }
    FlowControl flow_control() const;
    bool break_on() const { return m_break; }
    bool remote_wakeup() const { return m_remote_wakeup; }
    std::uint8_t configuration() const { return m_configuration; }
    std::uint16_t flow_threshold() const { return m_flow_threshold; }
    std::uint16_t comm_feature() const { return m_comm_feature; }
    // The UART's state as of the world's present time.
    const ChipCounters& counters();
    std::size_t rx_fifo_level();
    // Bytes from the host that have not finished on the line yet, and what
    // the far end has still to send.
    std::size_t tx_fifo_level();
    // Whether the far end holds the transmitter back now (CTS low with
    // hardware flow, an XOFF with XON/XOFF), or a break does.
    bool transmitter_held() const;
    std::size_t incoming() const { return m_incoming.size(); }

    static constexpr std::uint8_t kAuxLine = 0x04;   // register 1: the auxiliary output
    static constexpr std::uint8_t kAuxReady = 0x08;  // register 1: the far side is ready

    // Decodes a line-coding rate: a divisor code with bit 31 set gives
    // 384,000,000 / (m x 4^e), m in bits 0-8 and e in bits 9-11; 0 if m is 0.
    static std::uint32_t decode_rate(std::uint32_t dte_rate);

private:
    // A time on the line, kept exactly: whole 100-ns units plus a fraction
    // in units of 1/(2 x baud).
    struct LineClock {
        Time at = 0;
        std::uint64_t fraction = 0;
        auto operator<=>(const LineClock&) const = default;
    };

    host::ControlResult standard_request(const host::SetupPacket& setup, std::span<std::uint8_t> in);
    host::ControlResult class_request(const host::SetupPacket& setup, std::span<const std::uint8_t> out,
                                      std::span<std::uint8_t> in, Time now);
    host::ControlResult vendor_request(const host::SetupPacket& setup, std::span<std::uint8_t> in, Time now);
    bool set_line_coding(std::span<const std::uint8_t> bytes, Time now);
    static DeviceTable table_of(const ChipConfig& config);

    struct Incoming {
        std::uint8_t byte;
        std::optional<Framing> framing;  // none: the chip's own
    };

    Time char_time_whole() const;
    // The clock after `count` more characters back to back.
    static LineClock next_char(LineClock clock, const Framing& framing, std::uint64_t count = 1);
    std::size_t echo_run(Time now) const;
    std::optional<Time> bulk_in_ready_at(Time now) const;
    void echo(std::size_t count);
    bool receiver_held() const;
    void transmit_one(Time now);
    void rx_arrive(std::uint8_t byte, const Framing& framing, Time at);
    void rx_taken(Time now);
    void write_register(std::size_t n, std::uint8_t value, Time now);
    std::uint8_t read_register(std::size_t n, Time now);
    void lines_changed(Time now);
    void update_state(Time now);
    void kick() const;

    ChipConfig m_config;
    DeviceTable m_table;  // after m_config, which it is declared from
    std::function<void()> m_kick;
    LineEnd* m_line = nullptr;
    LineProbe* m_probe = nullptr;

    std::uint8_t m_configuration = 0;
    bool m_remote_wakeup = false;
    std::array<std::uint8_t, 3> m_registers{};
    std::array<std::uint32_t, 3> m_register_reads{};
    std::array<std::function<std::uint8_t(std::uint32_t, std::uint8_t)>, 3> m_register_scripts;
    std::array<std::uint8_t, 256> m_eeprom{};
    std::uint16_t m_eeprom_address = 0;
    Time m_eeprom_busy_until = 0;
    std::uint16_t m_flow_threshold = 0;
    std::uint16_t m_comm_feature = 0;

    LineCoding m_coding;
    bool m_dtr = false;
    bool m_rts = false;
    bool m_break = false;

    Time m_now = 0;  // how far the UART has been advanced
    ByteFifo m_tx_fifo;
    LineClock m_tx_free;  // when the transmitter finishes its current character
    std::optional<std::uint8_t> m_tx_control;  // XON or XOFF, sent ahead of the FIFO
    bool m_xoff_received = false;
    bool m_rx_high = false;  // the receive FIFO nears full: RTS held low, XOFF sent
    Time m_aux_since = 0;    // when the auxiliary line last went high
    std::deque<Incoming> m_incoming;  // what the far end is sending
    LineClock m_rx_free;
    ByteFifo m_rx_fifo;
    bool m_rx_owes_short = false;  // the last bulk-in packet was full: a short one must end the transfer
    Time m_rx_last = 0;  // when the last character reached the receive FIFO
    bool m_line_dtr = false;  // last DTR and RTS told to the line
    bool m_line_rts = false;
    bool m_advancing = false;

    ModemInputs m_inputs;
    std::uint16_t m_transient = 0;  // break, ring edge and errors, until reported
    std::uint16_t m_state = 0;      // last state queued for notification
    std::deque<std::array<std::uint8_t, 10>> m_notifications;
    ChipCounters m_counters;
};

}  // namespace sim
