#include "sim/chip/bridge_chip.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "host/kernel/kernel.h"
#include "platform/usb.h"
#include "sim/line/line.h"

namespace sim {

namespace {

constexpr std::uint8_t kConfigurationValue = 1;
constexpr std::uint16_t kInterruptMaxPacket = 16;
constexpr std::uint16_t kBulkMaxPacket = 64;

// Vendor request 1: wValue codes.
constexpr std::uint16_t kRegisterReadBase = 0x0080;
constexpr std::uint16_t kEepromStatus = 0x8484;
constexpr std::uint16_t kEepromWrite = 0x0303;
constexpr std::uint16_t kEepromLatch = 0x0404;
constexpr std::uint16_t kEepromData = 0x8383;
constexpr std::uint16_t kFlowThreshold = 0x0B0B;
constexpr std::uint16_t kResetTransmit = 0x0909;
constexpr std::uint16_t kResetReceive = 0x0808;

// The receive time-out of the period's 16550-type UARTs, in character times:
// bytes under a packet go to the host once the line has been quiet this long.
constexpr std::size_t kQuietCharacters = 4;

// Class requests of the communications class.
constexpr std::uint8_t kSetCommFeature = 0x02;
constexpr std::uint8_t kGetCommFeature = 0x03;
constexpr std::uint8_t kClearCommFeature = 0x04;
constexpr std::uint8_t kSetLineCoding = 0x20;
constexpr std::uint8_t kGetLineCoding = 0x21;
constexpr std::uint8_t kSetControlLineState = 0x22;
constexpr std::uint8_t kSendBreak = 0x23;
constexpr std::uint16_t kAbstractState = 0x0001;

constexpr host::ControlResult kStall{true, 0};
constexpr host::ControlResult kOk{false, 0};

host::ControlResult reply(std::span<std::uint8_t> in, std::span<const std::uint8_t> data) {
    std::size_t n = std::min(in.size(), data.size());
    std::copy_n(data.begin(), n, in.begin());
    return host::ControlResult{false, n};
}

}  // namespace

ChipConfig ChipConfig::of(ChipKind kind, int interfaces) {
    ChipConfig config;
    config.kind = kind;
    config.interfaces = interfaces;
    const InterfaceKey vendor{0xFF, 0xFF, 0xFF};
    switch (kind) {
    case ChipKind::Comm:
        config.device_class = 0x02;
        config.keys = {InterfaceKey{0x02, 0x02, 0xFF}, InterfaceKey{0x0A, 0x00, 0x00}, vendor};
        break;
    case ChipKind::Vendor:
        config.device_class = 0xFF;
        config.keys = {vendor, vendor, vendor};
        break;
    case ChipKind::Extended:
        config.device_class = 0x00;
        config.max_packet0 = 64;
        config.keys = {vendor, vendor, vendor};
        break;
    }
    return config;
}

BridgeChip::BridgeChip(ChipConfig config) : m_config(std::move(config)), m_table(table_of(m_config)) {
    m_registers = m_config.registers;
    m_coding = m_config.line;
    if (m_config.eeprom_signature) {
        m_eeprom[0] = 0x2A;
        m_eeprom[1] = 0x0E;
    }
}

void BridgeChip::set_probe(LineProbe* probe) {
    m_probe = probe;
    if (m_probe == nullptr) return;
    m_probe->expect(m_coding.framing(), m_now);
    m_probe->outputs(m_line_dtr, m_line_rts, m_now);
    m_probe->inputs(m_inputs, m_now);
    m_probe->line_break(LineProbe::Wire::Txd, m_break, m_now);
    m_probe->aux(aux(), m_now);
}

void BridgeChip::connect(LineEnd* line) {
    m_line = line;
    if (m_line == nullptr) return;
    m_line->attached(*this);
    if (aux()) m_line->on_aux(true, m_now);  // a power-on level the line end sees from the start
}

void BridgeChip::on_register_read(int n, std::function<std::uint8_t(std::uint32_t, std::uint8_t)> script) {
    m_register_scripts.at(static_cast<std::size_t>(n)) = std::move(script);
}

void BridgeChip::kick() const {
    if (m_kick) m_kick();
}

// ---------------------------------------------------------------------------
// Descriptors

// What the chip declares itself to be: the device, its one configuration
// (bus-powered, remote wake-up, 100 mA) with one, two or three interfaces, and
// its three strings.
DeviceTable BridgeChip::table_of(const ChipConfig& config) {
    const EndpointTable interrupt_in{kInterruptEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, kInterruptMaxPacket,
                                     config.interrupt_interval};
    const EndpointTable bulk_out{kBulkOutEndpoint, USB_ENDPOINT_TYPE_BULK, kBulkMaxPacket, 0};
    const EndpointTable bulk_in{kBulkInEndpoint, USB_ENDPOINT_TYPE_BULK, kBulkMaxPacket, 0};
    auto interface = [&](std::uint8_t number, std::vector<EndpointTable> endpoints) {
        const InterfaceKey& key = config.keys[number];
        return InterfaceTable{number, key.interface_class, key.subclass, key.protocol, std::move(endpoints)};
    };
    std::vector<InterfaceTable> interfaces;
    switch (std::clamp(config.interfaces, 1, 3)) {
    case 1: interfaces = {interface(0, {interrupt_in, bulk_out, bulk_in})}; break;
    case 2: interfaces = {interface(0, {interrupt_in}), interface(1, {bulk_out, bulk_in})}; break;
    default: interfaces = {interface(0, {interrupt_in}), interface(1, {bulk_out, bulk_in}), interface(2, {})}; break;
    }
    return DeviceTable{.bcd_usb = 0x0110,
                       .device_class = config.device_class,
                       .max_packet0 = config.max_packet0,
                       .vendor_id = config.vendor_id,
                       .product_id = config.product_id,
                       .bcd_device = config.bcd_device,
                       .manufacturer_string = 1,
                       .product_string = 2,
                       .serial_string = 3,
                       .configuration = {kConfigurationValue, 0xA0, 50, std::move(interfaces)},
                       .strings = {config.manufacturer, config.product, config.serial}};
}

std::vector<std::uint8_t> BridgeChip::configuration_descriptor() const {
    return m_config.configuration_override ? *m_config.configuration_override : m_table.configuration_descriptor();
}

// ---------------------------------------------------------------------------
// Control requests

host::ControlResult BridgeChip::control(const host::SetupPacket& setup, std::span<const std::uint8_t> out,
                                        std::span<std::uint8_t> in, Time now) {
    advance_to(now);
    switch (setup.bmRequestType & 0x60) {
    case 0x00: return standard_request(setup, in);
    case 0x20: return class_request(setup, out, in, now);
    case 0x40: return vendor_request(setup, in, now);
    default: return kStall;
    }
}

host::ControlResult BridgeChip::standard_request(const host::SetupPacket& setup, std::span<std::uint8_t> in) {
    const std::uint8_t recipient = setup.bmRequestType & 0x1F;
    switch (setup.bRequest) {
    case host::kGetDescriptor: {
        const bool configuration = setup.wValue == USB_CONFIGURATION_DESCRIPTOR_TYPE << 8;
        const std::vector<std::uint8_t> descriptor =
            configuration ? configuration_descriptor() : m_table.descriptor(setup.wValue);
        if (descriptor.empty()) return kStall;
        return reply(in, descriptor);
    }
    case host::kSetConfiguration:
        if (setup.wValue != 0 && setup.wValue != m_table.configuration.value) return kStall;
        m_configuration = static_cast<std::uint8_t>(setup.wValue);
        return kOk;
    case host::kSetFeature:
    case host::kClearFeature: {
        bool set = setup.bRequest == host::kSetFeature;
        if (recipient == 0 && setup.wValue == USB_FEATURE_REMOTE_WAKEUP) {
            m_remote_wakeup = set;
            return kOk;
        }
        if (recipient == 2 && setup.wValue == USB_FEATURE_ENDPOINT_STALL && m_table.has_endpoint(setup.wIndex)) {
            return kOk;
        }
        return kStall;
    }
    case host::kGetStatus: {
        const std::uint8_t status[2] = {static_cast<std::uint8_t>(m_remote_wakeup ? 0x02 : 0x00), 0};
        return reply(in, status);
    }
    default:
        return kStall;
    }
}

host::ControlResult BridgeChip::class_request(const host::SetupPacket& setup, std::span<const std::uint8_t> out,
                                              std::span<std::uint8_t> in, Time now) {
    // Class requests go to the communications interface, interface 0.
    if ((setup.bmRequestType & 0x1F) != 1 || setup.wIndex != 0) return kStall;
    // A request asked for in the other direction is no request the chip
    // knows: a request error, answered with a stall (USB 2.0, 9.2.7).
    const bool reads = setup.bRequest == kGetLineCoding || setup.bRequest == kGetCommFeature;
    if (((setup.bmRequestType & 0x80) != 0) != reads) return kStall;
    switch (setup.bRequest) {
    case kSetLineCoding:
        return set_line_coding(out, now) ? kOk : kStall;
    case kGetLineCoding: {
        const std::uint8_t coding[7] = {
            static_cast<std::uint8_t>(m_coding.dte_rate), static_cast<std::uint8_t>(m_coding.dte_rate >> 8),
            static_cast<std::uint8_t>(m_coding.dte_rate >> 16), static_cast<std::uint8_t>(m_coding.dte_rate >> 24),
            m_coding.char_format, m_coding.parity, m_coding.data_bits};
        return reply(in, coding);
    }
    case kSetControlLineState:
        m_dtr = (setup.wValue & 1) != 0;
        m_rts = (setup.wValue & 2) != 0;
        lines_changed(now);
        return kOk;
    case kSendBreak:
        // 0xFFFF starts a break that lasts until stopped, 0 stops it; any
        // other duration is taken as a start as well. The line is held in
        // the spacing state meanwhile: the transmitter sends nothing.
        if (m_break != (setup.wValue != 0)) {
            m_break = setup.wValue != 0;
            if (m_line) m_line->on_break(m_break, now);
            if (m_probe) m_probe->line_break(LineProbe::Wire::Txd, m_break, now);
            kick();
        }
        return kOk;
    case kSetCommFeature:
        if (setup.wValue != kAbstractState || out.size() < 2) return kStall;
        m_comm_feature = static_cast<std::uint16_t>(out[0] | out[1] << 8);
        return kOk;
    case kGetCommFeature: {
        if (setup.wValue != kAbstractState) return kStall;
        const std::uint8_t value[2] = {static_cast<std::uint8_t>(m_comm_feature),
                                       static_cast<std::uint8_t>(m_comm_feature >> 8)};
        return reply(in, value);
    }
    case kClearCommFeature:
        if (setup.wValue != kAbstractState) return kStall;
        m_comm_feature = 0;
        return kOk;
    default:
        return kStall;
    }
}

host::ControlResult BridgeChip::vendor_request(const host::SetupPacket& setup, std::span<std::uint8_t> in,
                                               Time now) {
    if ((setup.bmRequestType & 0x1F) != 0 || setup.bRequest != 0x01) return kStall;
    if (setup.device_to_host()) {
        std::uint8_t value = 0;
        if (setup.wValue >= kRegisterReadBase && setup.wValue < kRegisterReadBase + 3) {
            value = read_register(setup.wValue - kRegisterReadBase, now);
        } else if (setup.wValue == kEepromStatus) {
            value = eeprom_busy(now) ? 0x01 : 0x00;
        } else if (setup.wValue == kEepromData) {
            value = m_eeprom[m_eeprom_address & 0xFF];
        } else {
            return kStall;
        }
        const std::uint8_t byte[1] = {value};
        return reply(in, byte);
    }
    const std::uint8_t low = static_cast<std::uint8_t>(setup.wIndex);
    switch (setup.wValue) {
    case 0x0000:
    case 0x0001:
    case 0x0002:
        write_register(setup.wValue, low, now);
        return kOk;
    case kEepromWrite:
        // The EEPROM ignores a write that arrives during a write cycle.
        if (eeprom_busy(now)) {
            ++m_counters.eeprom_writes_while_busy;
            return kOk;
        }
        m_eeprom[low] = static_cast<std::uint8_t>(setup.wIndex >> 8);
        m_eeprom_busy_until = now + m_config.eeprom_busy_us * host::kMicrosecond;
        ++m_counters.eeprom_writes;
        return kOk;
    case kEepromLatch:
        m_eeprom_address = setup.wIndex;
        return kOk;
    case kFlowThreshold:
        m_flow_threshold = setup.wIndex;
        return kOk;
    case kResetTransmit:
        m_tx_fifo.clear();
        ++m_counters.tx_flushes;
        return kOk;
    case kResetReceive:
        m_rx_fifo.clear();
        ++m_counters.rx_flushes;
        rx_taken(now);
        return kOk;
    default:
        return kStall;
    }
}

std::uint32_t BridgeChip::decode_rate(std::uint32_t dte_rate) {
    if ((dte_rate & 0x80000000u) == 0) return dte_rate;
    std::uint32_t mantissa = dte_rate & 0x1FF;
    std::uint32_t exponent = (dte_rate >> 9) & 0x7;
    if (mantissa == 0) return 0;
    return 384'000'000u / (mantissa << (2 * exponent));
}

bool BridgeChip::set_line_coding(std::span<const std::uint8_t> bytes, Time now) {
    if (bytes.size() < 7) return false;
    LineCoding coding;
    coding.dte_rate = static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) |
                      static_cast<std::uint32_t>(bytes[3]) << 24;
    coding.char_format = bytes[4];
    coding.parity = bytes[5];
    coding.data_bits = bytes[6];
    coding.baud = decode_rate(coding.dte_rate);
    if (coding.char_format > 2 || coding.parity > 4 || coding.data_bits < 5 || coding.data_bits > 8 ||
        coding.baud == 0) {
        return false;
    }
    // Characters already on the line finish at the old speed.
    advance_to(now);
    m_coding = coding;
    if (m_probe) m_probe->expect(m_coding.framing(), now);
    m_tx_free = LineClock{std::max(m_tx_free.at, now), 0};
    m_rx_free = LineClock{std::max(m_rx_free.at, now), 0};
    kick();
    return true;
}

// ---------------------------------------------------------------------------
// Registers

std::uint8_t BridgeChip::read_register(std::size_t n, Time now) {
    std::uint8_t value = m_registers[n];
    if (n == 1) {
        const bool ready = aux() && m_config.aux_ready_after && now - m_aux_since >= *m_config.aux_ready_after;
        value = static_cast<std::uint8_t>(ready ? value | kAuxReady : value & ~kAuxReady);
    }
    std::uint32_t count = ++m_register_reads[n];
    return m_register_scripts[n] ? m_register_scripts[n](count, value) : value;
}

void BridgeChip::write_register(std::size_t n, std::uint8_t value, Time now) {
    if (n == 1) {
        value = static_cast<std::uint8_t>(value & ~kAuxReady);  // an input: writes do not reach it
        const bool level = (value & kAuxLine) != 0;
        if (level != aux()) {
            if (level) m_aux_since = now;
            if (m_line) m_line->on_aux(level, now);
            if (m_probe) m_probe->aux(level, now);
        }
    }
    m_registers[n] = value;
    if (n == 0) {
        // Switched off, the XON/XOFF logic forgets an XOFF it received: on
        // again, it starts with the transmitter running.
        if (!flow_control().xon_xoff) m_xoff_received = false;
        lines_changed(now);  // hardware flow control may hold RTS low, or let it go
        kick();
    }
}

FlowControl BridgeChip::flow_control() const {
    const std::uint8_t r = m_registers[0];
    if (m_config.kind == ChipKind::Extended) return FlowControl{(r & 0x20) != 0, (r & 0x80) != 0};
    return FlowControl{(r & 0x40) != 0, false};
}

bool BridgeChip::line_rts() const { return m_rts && !(flow_control().hardware && m_rx_high); }

// Tells the line end the output lines when they changed.
void BridgeChip::lines_changed(Time now) {
    const bool rts = line_rts();
    if (m_dtr != m_line_dtr || rts != m_line_rts) {
        if (m_line) m_line->on_control_lines(m_dtr, rts, now);
        if (m_probe) m_probe->outputs(m_dtr, rts, now);
    }
    m_line_dtr = m_dtr;
    m_line_rts = rts;
}

// ---------------------------------------------------------------------------
// Endpoints

bool BridgeChip::out_packet(std::uint8_t endpoint, std::span<const std::uint8_t> data, Time now) {
    if (endpoint != kBulkOutEndpoint) return false;
    advance_to(now);
    if (m_tx_fifo.size() + data.size() > m_config.tx_fifo_bytes) return false;  // NAK: no room
    if (data.empty()) ++m_counters.zero_length_out;
    m_tx_fifo.append(data);
    return true;
}

std::optional<std::size_t> BridgeChip::in_packet(std::uint8_t endpoint, std::span<std::uint8_t> buffer, Time now) {
    advance_to(now);
    if (endpoint == kInterruptEndpoint) {
        // A notification is one packet of 10 bytes: into less room it babbles.
        if (m_notifications.empty()) return std::nullopt;
        std::copy_n(m_notifications.front().begin(), std::min<std::size_t>(buffer.size(), 10), buffer.begin());
        m_notifications.pop_front();
        return 10;
    }
    if (endpoint != kBulkInEndpoint) return std::nullopt;
    // Whatever holds a full packet goes at once. Fewer bytes wait, as in a
    // UART's receive FIFO, until the line has been quiet for four character
    // times (the receive time-out of the period's 16550-type UARTs): then
    // they go as a short packet, or, when a full packet left the FIFO empty
    // and the host's transfer open, a zero-length one ends it.
    if (m_rx_fifo.size() < kBulkMaxPacket) {
        if (m_rx_fifo.empty() && !m_rx_owes_short) return std::nullopt;
        if (now < m_rx_last + static_cast<Time>(kQuietCharacters) * char_time_whole()) return std::nullopt;
    }
    std::size_t n = std::min(buffer.size(), m_rx_fifo.size());
    m_rx_owes_short = n == kBulkMaxPacket;
    m_rx_fifo.copy_front(buffer.first(n));
    m_rx_fifo.pop_front(n);
    if (n > 0) rx_taken(now);
    return n;
}

std::optional<Time> BridgeChip::in_ready_at(std::uint8_t endpoint, Time now) const {
    if (endpoint == kInterruptEndpoint) return m_notifications.empty() ? std::nullopt : std::optional(now);
    if (endpoint != kBulkInEndpoint) return std::nullopt;
    std::optional<Time> ready = bulk_in_ready_at(now);
    if (ready && *ready < now) ready = now;
    return ready;
}

// The earliest the bulk-in endpoint can answer: when the receive FIFO holds a
// full packet, or when the line has been quiet for the time-out with bytes
// waiting. Characters known to come back to back (through the loopback plug
// what the transmit FIFO holds, from the far end what it has queued) put the
// time-out off; after them more may come, so the time is a lower bound the
// bus asks again at.
std::optional<Time> BridgeChip::bulk_in_ready_at(Time now) const {
    const std::size_t level = m_rx_fifo.size();
    if (level >= kBulkMaxPacket) return now;
    const Time ct = char_time_whole();
    const bool waiting = level > 0 || m_rx_owes_short;
    // The next character to finish on the line, sent or received, and how
    // many follow it back to back.
    std::optional<Time> next;
    std::size_t run = 0;
    const Framing own = m_coding.framing();
    if (!m_tx_fifo.empty() && !transmitter_held()) {
        next = next_char(m_tx_free, own).at;
        run = m_line != nullptr && m_line->echoes() ? m_tx_fifo.size() : 0;
    }
    if (!m_incoming.empty() && !receiver_held()) {
        const Framing framing = m_incoming.front().framing.value_or(own);
        Time arrival = next_char(m_rx_free, framing).at;
        if (!next || arrival < *next) {
            next = arrival;
            run = framing == own ? m_incoming.size() : 1;
        }
    }
    const Time quiet = m_rx_last + static_cast<Time>(kQuietCharacters) * ct;
    if (!next || (waiting && quiet < *next)) return waiting ? std::optional(quiet) : std::nullopt;
    // A character comes before the time-out: the FIFO fills to a packet, or
    // the run ends and the time-out runs from its last character.
    const std::size_t to_packet = kBulkMaxPacket - 1 - level;
    const std::size_t to_quiet = std::max<std::size_t>(run, 1) - 1 + kQuietCharacters;
    return *next + static_cast<Time>(std::min(to_packet, to_quiet)) * ct;
}

std::optional<Time> BridgeChip::out_ready_at(std::uint8_t endpoint, std::size_t size, Time now) const {
    if (endpoint != kBulkOutEndpoint || size > m_config.tx_fifo_bytes) return std::nullopt;
    std::size_t room = m_config.tx_fifo_bytes - m_tx_fifo.size();
    if (room >= size) return now;
    if (transmitter_held()) return std::nullopt;  // until the hold ends, which kicks the bus
    return m_tx_free.at + static_cast<Time>(size - room) * char_time_whole();
}

void BridgeChip::port_reset(Time now) {
    advance_to(now);
    m_configuration = 0;
    m_remote_wakeup = false;
    const bool aux_was = aux();
    m_registers = m_config.registers;
    m_coding = m_config.line;
    m_dtr = m_rts = false;
    m_break = false;
    m_tx_fifo.clear();
    m_tx_control.reset();
    m_xoff_received = false;
    m_rx_fifo.clear();
    m_rx_owes_short = false;
    m_rx_high = false;
    m_notifications.clear();
    m_transient = 0;
    m_tx_free = m_rx_free = LineClock{now, 0};
    m_aux_since = now;
    if (m_line) {
        lines_changed(now);
        m_line->on_break(false, now);
        if (aux() != aux_was) m_line->on_aux(aux(), now);
    }
    if (m_probe) {
        m_probe->expect(m_coding.framing(), now);
        m_probe->line_break(LineProbe::Wire::Txd, false, now);
        if (aux() != aux_was) m_probe->aux(aux(), now);
    }
}

// Without power the chip keeps only its EEPROM: it comes back as from a
// port reset, with the flow threshold and the communications feature at
// their power-on values too.
void BridgeChip::power_lost(Time now) {
    port_reset(now);
    m_flow_threshold = 0;
    m_comm_feature = 0;
    m_eeprom_busy_until = 0;
}

// ---------------------------------------------------------------------------
// The UART

std::uint64_t Framing::half_bits() const {
    return 2u * (1u + data_bits + (parity ? 1u : 0u)) + (char_format == 0 ? 2u : char_format == 1 ? 3u : 4u);
}

std::optional<bool> Framing::parity_bit(std::uint8_t byte) const {
    const unsigned ones = static_cast<unsigned>(std::popcount(static_cast<unsigned>(byte & ((1u << data_bits) - 1))));
    switch (parity) {
    case 1: return ones % 2 == 0;  // odd: the bit makes the count of ones odd
    case 2: return ones % 2 == 1;  // even
    case 3: return true;           // mark
    case 4: return false;          // space
    default: return std::nullopt;
    }
}

Reception receive(const Framing& sender, const Framing& receiver, std::uint8_t byte) {
    if (sender == receiver) return Reception::Byte;  // the common case, without the model's arithmetic
    // From the start edge to the middle of the first stop bit, in half bits of
    // the receiver; the sender's edges drift from the samples by |rs - rr| / rr
    // of a bit per bit, and half a bit of drift misses the stop bit.
    const std::uint64_t half_bits = 2u * (1u + receiver.data_bits + (receiver.parity ? 1u : 0u)) + 1u;
    const std::uint64_t difference = sender.baud > receiver.baud ? sender.baud - receiver.baud : receiver.baud - sender.baud;
    if (half_bits * difference >= receiver.baud || sender.data_bits != receiver.data_bits ||
        (sender.parity != 0) != (receiver.parity != 0)) {
        return Reception::FramingError;
    }
    if (sender.parity_bit(byte) != receiver.parity_bit(byte)) return Reception::ParityError;
    return Reception::Byte;
}

Time BridgeChip::char_time_whole() const {
    const std::uint64_t denominator = 2u * m_coding.baud;
    return static_cast<Time>((m_coding.framing().half_bits() * 10'000'000u + denominator - 1) / denominator);
}

BridgeChip::LineClock BridgeChip::next_char(LineClock clock, const Framing& framing, std::uint64_t count) {
    const std::uint64_t denominator = 2u * framing.baud;
    const std::uint64_t numerator = count * framing.half_bits() * 10'000'000u + clock.fraction;
    clock.at += static_cast<Time>(numerator / denominator);
    clock.fraction = numerator % denominator;
    return clock;
}

// A break holds the line; the flow control in force may hold the data (XON
// and XOFF themselves still go out).
bool BridgeChip::transmitter_held() const {
    const FlowControl flow = flow_control();
    return m_break || (flow.hardware && !m_inputs.cts) || (flow.xon_xoff && m_xoff_received);
}

bool BridgeChip::receiver_held() const { return m_line != nullptr && m_line->sending_held(); }

void BridgeChip::transmit_one(Time at) {
    std::uint8_t byte;
    if (m_tx_control) {
        byte = *m_tx_control;
        m_tx_control.reset();
    } else {
        byte = m_tx_fifo.front();
        m_tx_fifo.pop_front();
        ++m_counters.tx_bytes;
    }
    if (m_line) m_line->on_byte(byte, m_coding.framing(), at);
    if (m_probe) m_probe->character(LineProbe::Wire::Txd, byte, m_coding.framing(), at);
}

// How many of the characters waiting to go out can go through a loopback
// plug in one run before `now`: each comes straight back with the chip's own
// framing, into the receive FIFO, and nothing can change what follows until
// the FIFO reaches its mark (which moves RTS, and so CTS) or fills, or an
// XON or XOFF may come back. Characters one at a time where a run cannot go:
// an XON or XOFF to send, a waveform to draw, another kind of line end.
std::size_t BridgeChip::echo_run(Time now) const {
    if (m_line == nullptr || !m_line->echoes() || m_probe != nullptr || m_tx_control || !m_incoming.empty() ||
        transmitter_held() || flow_control().xon_xoff) {
        return 0;
    }
    const std::size_t mark = m_config.rx_fifo_bytes * 3 / 4;
    const std::size_t limit = m_rx_high ? m_config.rx_fifo_bytes : mark;
    if (m_rx_fifo.size() + 1 >= limit) return 0;
    // The k-th character ends at at + (k * N + fraction) / D (N the character's
    // half bits times the clock's rate, D twice the baud rate): at or before
    // now for k up to ((now - at + 1) * D - fraction - 1) / N.
    // (The time is taken no further than 1,000 s ahead, more than a full FIFO
    // takes at any rate, so that the product stays within 64 bits.)
    if (now < m_tx_free.at) return 0;
    const Framing own = m_coding.framing();
    const std::uint64_t denominator = 2u * own.baud;
    const std::uint64_t numerator = own.half_bits() * 10'000'000u;
    const std::uint64_t ahead = std::min<std::uint64_t>(static_cast<std::uint64_t>(now - m_tx_free.at) + 1, 10'000'000'000u);
    const std::uint64_t fits = (ahead * denominator - m_tx_free.fraction - 1) / numerator;
    return static_cast<std::size_t>(std::min<std::uint64_t>({fits, m_tx_fifo.size(), limit - 1 - m_rx_fifo.size()}));
}

// The run: as many characters sent and received again, one at a time, would
// leave the FIFOs, the counters and the transmit clock.
void BridgeChip::echo(std::size_t count) {
    m_tx_free = next_char(m_tx_free, m_coding.framing(), count);
    if (m_coding.data_bits >= 8) {
        m_tx_fifo.move_front_to(m_rx_fifo, count);
    } else {
        const std::uint8_t mask = static_cast<std::uint8_t>((1u << m_coding.data_bits) - 1);
        for (std::size_t i = 0; i < count; ++i) m_rx_fifo.push_back(m_tx_fifo[i] & mask);
        m_tx_fifo.pop_front(count);
    }
    m_counters.tx_bytes += count;
    m_counters.rx_bytes += count;
    m_rx_last = m_tx_free.at;
}

// Both directions, one character at a time in the order they finish on the
// line, so that what one direction carries (XOFF, a full FIFO dropping RTS)
// holds the other at the right moment; through a loopback plug, in runs.
void BridgeChip::advance_to(Time now) {
    if (now <= m_now || m_advancing) return;
    m_advancing = true;
    for (;;) {
        if (const std::size_t run = echo_run(now); run > 1) {
            echo(run);
            continue;
        }
        const Framing own = m_coding.framing();
        std::optional<LineClock> tx;
        std::optional<LineClock> rx;
        if ((m_tx_control && !m_break) || (!m_tx_fifo.empty() && !transmitter_held())) tx = next_char(m_tx_free, own);
        if (!m_incoming.empty() && !receiver_held()) rx = next_char(m_rx_free, m_incoming.front().framing.value_or(own));
        if (tx && tx->at <= now && (!rx || tx->at <= rx->at)) {
            m_tx_free = *tx;
            transmit_one(tx->at);
        } else if (rx && rx->at <= now) {
            m_rx_free = *rx;
            Incoming c = m_incoming.front();
            m_incoming.pop_front();
            rx_arrive(c.byte, c.framing.value_or(own), rx->at);
        } else {
            break;
        }
    }
    // A side with nothing to do, or held, starts its next character no
    // earlier than now. The receiver's characters come from the far end,
    // whose clock is the world's: the bus may have looked ahead to a later
    // transaction of the frame, and what the far end sends meanwhile starts
    // when it sends it (line_send), not at that transaction's time.
    if ((m_tx_fifo.empty() && !m_tx_control) || transmitter_held()) m_tx_free = std::max(m_tx_free, LineClock{now, 0});
    if (receiver_held()) m_rx_free = std::max(m_rx_free, LineClock{now, 0});
    m_now = now;
    m_advancing = false;
}

const ChipCounters& BridgeChip::counters() {
    advance_to(host::Kernel::current().now());
    return m_counters;
}

std::size_t BridgeChip::rx_fifo_level() {
    advance_to(host::Kernel::current().now());
    return m_rx_fifo.size();
}

std::size_t BridgeChip::tx_fifo_level() {
    advance_to(host::Kernel::current().now());
    return m_tx_fifo.size();
}

// A character reaches the receiver. One sent with another framing is an
// error, reported in the serial state, not a byte.
void BridgeChip::rx_arrive(std::uint8_t byte, const Framing& framing, Time at) {
    if (m_probe) m_probe->character(LineProbe::Wire::Rxd, byte, framing, at);
    const Reception reception = receive(framing, m_coding.framing(), byte);
    if (reception != Reception::Byte) {
        ++(reception == Reception::FramingError ? m_counters.framing_errors : m_counters.parity_errors);
        m_transient |= reception == Reception::FramingError ? kStateFraming : kStateParity;
        update_state(at);
        return;
    }
    if (flow_control().xon_xoff && (byte == kXon || byte == kXoff)) {
        m_xoff_received = byte == kXoff;
        if (!m_xoff_received) m_tx_free = std::max(m_tx_free, LineClock{at, 0});
        kick();
        return;
    }
    if (m_rx_fifo.size() >= m_config.rx_fifo_bytes) {
        ++m_counters.overruns;
        m_transient |= kStateOverrun;
        update_state(at);
        return;
    }
    const std::uint8_t mask = static_cast<std::uint8_t>((1u << m_coding.data_bits) - 1);
    m_rx_fifo.push_back(byte & mask);
    m_rx_last = at;
    ++m_counters.rx_bytes;
    if (!m_rx_high && m_rx_fifo.size() >= m_config.rx_fifo_bytes * 3 / 4) {
        m_rx_high = true;
        if (flow_control().xon_xoff) m_tx_control = kXoff;
        lines_changed(at);
    }
}

// The host took bytes: below a quarter full the far end may send again.
void BridgeChip::rx_taken(Time now) {
    if (!m_rx_high || m_rx_fifo.size() > m_config.rx_fifo_bytes / 4) return;
    m_rx_high = false;
    if (flow_control().xon_xoff) {
        m_tx_control = kXon;
        m_tx_free = std::max(m_tx_free, LineClock{now, 0});
    }
    lines_changed(now);
    kick();
}

void BridgeChip::line_receive(std::uint8_t byte, const Framing& framing, Time at) { rx_arrive(byte, framing, at); }

void BridgeChip::line_send(std::span<const std::uint8_t> bytes, std::optional<Framing> framing, Time now) {
    advance_to(now);
    if (m_probe) m_probe->expect(framing.value_or(m_coding.framing()), now);
    if (m_incoming.empty() && m_rx_free.at < now) m_rx_free = LineClock{now, 0};
    for (std::uint8_t byte : bytes) m_incoming.push_back(Incoming{byte, framing});
    kick();
}

void BridgeChip::set_modem_inputs(ModemInputs inputs, Time now) {
    advance_to(now);
    if (inputs.ring && !m_inputs.ring) m_transient |= kStateRing;
    m_inputs = inputs;
    if (m_probe) m_probe->inputs(inputs, now);
    update_state(now);
    kick();  // CTS may let the transmitter go on
}

void BridgeChip::line_break(bool on, Time now) {
    advance_to(now);
    if (m_probe) m_probe->line_break(LineProbe::Wire::Rxd, on, now);
    if (on) m_transient |= kStateBreak;
    update_state(now);
}

void BridgeChip::line_error(std::uint16_t state_bit, Time now) {
    advance_to(now);
    m_transient |= state_bit & (kStateFraming | kStateParity);
    update_state(now);
}

// Queues a serial-state notification when the state changed. The transient
// bits are reported once and then cleared.
void BridgeChip::update_state(Time) {
    std::uint16_t state = static_cast<std::uint16_t>((m_inputs.dcd ? kStateDcd : 0) |
                                                     (m_inputs.dsr ? kStateDsr : 0) |
                                                     (m_inputs.cts ? kStateCts : 0) | m_transient);
    m_transient = 0;
    if (state == m_state) return;
    m_state = state & static_cast<std::uint16_t>(kStateDcd | kStateDsr | kStateCts);
    std::array<std::uint8_t, 10> packet = {0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00,
                                           static_cast<std::uint8_t>(state),
                                           static_cast<std::uint8_t>(state >> 8)};
    m_notifications.push_back(packet);
    kick();
}

}  // namespace sim
