#include "sim/serport/serport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "host/kernel/kernel.h"

namespace sim {

namespace {
std::map<ULONG, Serport*> g_ports;  // the Serport of each port number

// The flow-control characters, DC1 and DC3.
constexpr std::uint8_t kXon = 0x11;
constexpr std::uint8_t kXoff = 0x13;

ULONG rate_of(const SERPORT_SETTINGS& block) {
    ULONG rate = 0;
    for (int i = 3; i >= 0; --i) rate = rate << 8 | block.BaudRate[i];
    return rate;
}

PUCHAR bytes_of(SERPORT_SETTINGS& block) { return reinterpret_cast<PUCHAR>(&block); }
}  // namespace

std::string Serport::bind(const host::Module& driver) {
    SerportImports imports{};
    const struct {
        const char* name;
        void* slot;
    } table[] = {
#define SERPORT_IMPORT_ENTRY(name) {#name, &imports.name},
        SERPORT_IMPORTS(SERPORT_IMPORT_ENTRY)
#undef SERPORT_IMPORT_ENTRY
    };
    for (const auto& import : table) {
        PVOID address = driver.resolve(import.name);
        if (address == nullptr) return driver.name() + " does not export " + import.name;
        std::memcpy(import.slot, &address, sizeof address);
    }
    s_imports = imports;
    return {};
}

Serport::Serport(ULONG port, std::size_t chunk_bytes) : m_port(port), m_chunk_bytes(chunk_bytes) {
    KeInitializeEvent(&m_data, NotificationEvent, FALSE);
    KeInitializeEvent(&m_transmit_lock, SynchronizationEvent, TRUE);
    g_ports[port] = this;
}

// A port driver frees a port only once no callback of the driver runs in it:
// one may be waiting inside the driver (a write handed over from the callback
// that asked for it). Ten seconds of the world's time is far more than any
// call takes.
Serport::~Serport() {
    for (int waited = 0; m_active_callbacks > 0; ++waited) {
        if (waited == 10000) {
            std::fprintf(stderr, "a callback of the driver did not return within 10 s\n");
            std::abort();
        }
        host::Kernel::current().run_for(host::kMillisecond);
    }
    if (of(m_port) == this) g_ports.erase(m_port);
}

namespace {

// A call the application makes through the port driver. Under the world's
// other-vm option it comes from a program in another virtual machine than the
// system one (a DOS program's port), and the driver's waits in it answer at
// once (Thread::other_vm). The driver's callbacks, and what the port driver
// does from within them, run in the system's own threads.
class ApplicationCall {
public:
    ApplicationCall() : m_thread(host::Kernel::current().scheduler().running()), m_was(m_thread.other_vm) {
        m_thread.other_vm = host::Kernel::current().other_vm();
    }
    ~ApplicationCall() { m_thread.other_vm = m_was; }
    ApplicationCall(const ApplicationCall&) = delete;
    ApplicationCall& operator=(const ApplicationCall&) = delete;

private:
    host::Thread& m_thread;
    const bool m_was;
};

}  // namespace

Serport* Serport::of(ULONG port) {
    auto it = g_ports.find(port);
    return it == g_ports.end() ? nullptr : it->second;
}

void Serport::register_callbacks() {
    s_imports.SetMSRShadowForSerport(on_modem_status);
    s_imports.SetReadQueueForSerport(on_received);
    s_imports.CableRemoveForSerport(on_cable_remove);
    s_imports.WriteOutQueueForSerport(on_write_out);
}

// A port that opens gets its line set afresh: the device behind the number
// may be another than at the last open (the adapter was put back in). Its
// queues start empty, and its modem lines off, as the port driver makes them
// at each open: nothing of an earlier session (a write the adapter's removal
// cut short, the lines of a far end gone since) goes out in this one, is read
// in it or shows in it; the driver reports the lines it knows at the open.
bool Serport::open() {
    ApplicationCall call;
    m_applied.reset();
    m_modem_status = 0;
    purge_transmit();
    purge_receive();
    return s_imports.COMOpenedForSerport(TRUE, m_port);
}

bool Serport::close() {
    ApplicationCall call;
    return s_imports.COMOpenedForSerport(FALSE, m_port);
}

// The driver takes the framing with a line-control call and the rate with a
// baud-rate call, each from the whole block; a rate it matches to a table row
// comes back in the block.
bool Serport::set_line(const LineSettings& line) {
    ApplicationCall call;
    const bool framing = !m_applied || m_applied->data_bits != line.data_bits || m_applied->parity != line.parity ||
                         m_applied->stop_bits != line.stop_bits;
    const bool rate = !m_applied || m_applied->baud != line.baud;
    m_settings.DataBits = line.data_bits;
    m_settings.Parity = line.parity;
    m_settings.StopBits = line.stop_bits;
    for (int i = 0; i < 4; ++i) m_settings.BaudRate[i] = static_cast<UCHAR>(line.baud >> (8 * i));
    bool ok = true;
    if (framing) ok = s_imports.SetStateForSerport(bytes_of(m_settings), SERPORT_STATE_LINE_CONTROL, m_port) && ok;
    if (rate) ok = s_imports.SetStateForSerport(bytes_of(m_settings), SERPORT_STATE_BAUD_RATE, m_port) && ok;
    if (!ok) return false;
    m_line = line;
    m_applied = line;
    m_rate = rate_of(m_settings);
    return true;
}

bool Serport::set_baud(ULONG baud) {
    LineSettings line = m_line;
    line.baud = baud;
    return set_line(line);
}

std::optional<LineSettings> Serport::read_line() {
    ApplicationCall call;
    SERPORT_SETTINGS block{};
    if (!s_imports.GetStateForSerport(bytes_of(block), m_port)) return std::nullopt;
    LineSettings line;
    line.baud = rate_of(block);
    line.data_bits = block.DataBits;
    line.parity = block.Parity;
    line.stop_bits = block.StopBits;
    return line;
}

bool Serport::control_line(CHAR selector, bool on) { return s_imports.SetControlLineForSerport(selector, on ? 1 : 0, m_port); }

bool Serport::set_dtr(bool on) {
    ApplicationCall call;
    return control_line(SERPORT_LINE_DTR, on);
}

bool Serport::set_rts(bool on) {
    ApplicationCall call;
    m_rts = on;
    return control_line(SERPORT_LINE_RTS, on && !(m_holding && m_hardware_flow));
}

bool Serport::set_hardware_flow(bool on) { return switch_flow(m_hardware_flow, SERPORT_LINE_DCR, on); }
bool Serport::set_xon_xoff(bool on) { return switch_flow(m_xon_xoff, SERPORT_LINE_XON, on); }

// A flow control switched off while the receive buffer holds the far end back
// lets it go: RTS up, or an XON.
bool Serport::switch_flow(bool& flow, CHAR selector, bool on) {
    ApplicationCall call;
    if (!on && flow && m_holding) hold_far_end(false);
    flow = on;
    return control_line(selector, on);
}

// Up to DISPATCH_LEVEL, as the driver's RTS switch and kick are: the
// receive callback holds the far end back from within.
void Serport::hold_far_end(bool hold) {
    m_holding = hold;
    if (m_hardware_flow) control_line(SERPORT_LINE_RTS, m_rts && !hold);
    if (m_xon_xoff) {
        m_flow_char = hold ? kXoff : kXon;
        s_imports.KickTxForSerport(m_port);
    }
}

bool Serport::set_break(bool on) {
    ApplicationCall call;
    return s_imports.SetBreakForSerport(on ? TRUE : FALSE, m_port);
}

bool Serport::set_rate_table(const std::string& text) {
    ApplicationCall call;
    std::string copy = text;  // the driver takes a writable, NUL-terminated text
    return s_imports.ExtBaudrateForSerport(copy.data());
}

bool Serport::poll_status() {
    ApplicationCall call;
    std::uint8_t packet[10] = {};
    return s_imports.GetIntStatusForSerport(packet, m_port);
}

bool Serport::kick() {
    ApplicationCall call;
    return s_imports.KickTxForSerport(m_port);
}

// With a chunk still counted in flight, the worker thread is woken to ask
// for more: a transfer that failed (a stop closed its pipe, say) reports
// nothing, and the next chunk would otherwise wait for ever. While the last
// chunk is really in flight, the driver refuses the next and it waits.
void Serport::write(std::span<const std::uint8_t> bytes) {
    ApplicationCall call;
    bool stalled;
    {
        TransmitLock lock(*this);
        m_transmit.insert(m_transmit.end(), bytes.begin(), bytes.end());
        stalled = m_in_flight;
        if (!stalled) send_next_chunk();
    }
    if (stalled) kick();
}

Serport::TransmitLock::TransmitLock(Serport& serport) : m_serport(serport) {
    host::wait_for(&serport.m_transmit_lock, nullptr);
}

Serport::TransmitLock::~TransmitLock() { KeSetEvent(&m_serport.m_transmit_lock, IO_NO_INCREMENT, FALSE); }

// One chunk at a time, under the transmit lock: the next goes when the
// worker thread reports the last done. An XOFF or XON goes first, alone.
void Serport::send_next_chunk() {
    if (m_flow_char) {
        // Taken before the call, which may wait: the receive callback can
        // ask for the other one meanwhile, and that one goes next.
        UCHAR c = *m_flow_char;
        m_flow_char.reset();
        m_in_flight = s_imports.WriteForSerport(&c, 1, m_port) != FALSE;
        if (!m_in_flight && !m_flow_char) m_flow_char = c;
        return;
    }
    if (m_transmit.empty()) {
        m_in_flight = false;
        return;
    }
    std::size_t n = std::min(m_chunk_bytes, m_transmit.size());
    std::vector<std::uint8_t> chunk(m_transmit.begin(), m_transmit.begin() + static_cast<std::ptrdiff_t>(n));
    m_transmit.erase(m_transmit.begin(), m_transmit.begin() + static_cast<std::ptrdiff_t>(n));
    m_in_flight = true;
    if (!s_imports.WriteForSerport(chunk.data(), static_cast<ULONG>(n), m_port)) {
        // Not sent: the bytes go back to the head of the queue for the next try.
        m_transmit.insert(m_transmit.begin(), chunk.begin(), chunk.end());
        m_in_flight = false;
    }
}

void Serport::purge_transmit() {
    TransmitLock lock(*this);
    m_transmit.clear();
}

void Serport::purge_receive() {
    m_received.clear();
    KeClearEvent(&m_data);
    if (m_holding) hold_far_end(false);
}

std::vector<std::uint8_t> Serport::read(std::size_t max, host::Time timeout) {
    if (m_received.empty()) {
        LARGE_INTEGER limit;
        limit.QuadPart = -timeout;
        host::wait_for(&m_data, &limit);
    }
    std::size_t n = std::min(max, m_received.size());
    std::vector<std::uint8_t> out(n);
    m_received.copy_front(out);
    m_received.pop_front(n);
    if (m_received.empty()) KeClearEvent(&m_data);
    if (m_holding && m_received.size() <= m_receive_buffer / 4) hold_far_end(false);
    return out;
}

Serport::CallbackScope::CallbackScope(Serport& serport) : m_serport(serport) {
    if (serport.m_cable_removed) ++serport.m_late_callbacks;
    ++serport.m_active_callbacks;
}

Serport::CallbackScope::~CallbackScope() { --m_serport.m_active_callbacks; }

VOID NTAPI Serport::on_modem_status(PUSHORT status, ULONG port) {
    if (Serport* serport = of(port)) {
        CallbackScope scope(*serport);
        const std::uint16_t word = *status;
        const std::uint16_t changed = word ^ serport->m_modem_status;
        serport->m_modem_status = word;
        serport->m_modem_reports.push_back(word);
        LineEvents& events = serport->m_events;
        events.breaks += (word & 0x04) != 0;
        events.framing += (word & 0x10) != 0;
        events.parity += (word & 0x20) != 0;
        events.overruns += (word & 0x40) != 0;
        events.cts += (changed & 0x80) != 0;
        events.dsr += (changed & 0x02) != 0;
        events.dcd += (changed & 0x01) != 0;
        events.rings += (word & 0x08) != 0;
    }
}

// Called at up to DISPATCH_LEVEL; the bytes are valid only during the call.
VOID NTAPI Serport::on_received(PUCHAR data, ULONG length, ULONG port) {
    if (Serport* serport = of(port)) {
        CallbackScope scope(*serport);
        LONG work = 0;
        for (unsigned i = 0; i < serport->m_receive_cost; ++i) InterlockedIncrement(&work);
        ++serport->m_read_callbacks;
        const std::size_t room = serport->m_receive_buffer - std::min(serport->m_receive_buffer, serport->m_received.size());
        const std::size_t taken = std::min<std::size_t>(room, length);
        serport->m_received.append(std::span<const std::uint8_t>(data, taken));
        serport->m_receive_overflows += length - taken;
        if (!serport->m_holding && (serport->m_hardware_flow || serport->m_xon_xoff) &&
            serport->m_received.size() >= serport->m_receive_buffer * 3 / 4) {
            serport->hold_far_end(true);
        }
        if (length > 0) {
            host::Kernel& kernel = host::Kernel::current();
            serport->m_last_received_at = kernel.now();
            kernel.set_event(&serport->m_data, false);
        }
    }
}

VOID NTAPI Serport::on_cable_remove(ULONG port) {
    if (Serport* serport = of(port)) {
        if (serport->m_active_callbacks > 0) serport->m_late_callbacks += serport->m_active_callbacks;
        serport->m_cable_removed = true;
        ++serport->m_cable_removals;
    }
}

VOID NTAPI Serport::on_write_out(ULONG port) {
    if (Serport* serport = of(port)) {
        CallbackScope scope(*serport);
        ++serport->m_write_callbacks;
        TransmitLock lock(*serport);
        serport->send_next_chunk();
    }
}

}  // namespace sim
