// The port driver, as the driver sees it: it registers the four callbacks,
// keeps a receive queue filled by them, and hands the driver one transmit
// chunk at a time from its transmit queue, the next each time the driver's
// worker thread asks. Applications use it through write, read and the modem
// status.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/serport.h"
#include "sim/chip/byte_fifo.h"
#include "host/kernel/module.h"
#include "host/kernel/scheduler.h"

namespace sim {

// The line settings of a port: the rate and the framing, valued as in the
// communications class's line coding.
struct LineSettings {
    ULONG baud = 9600;
    UCHAR data_bits = 8;
    UCHAR parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    UCHAR stop_bits = 0;  // 0: 1, 1: 1.5, 2: 2
    bool operator==(const LineSettings&) const = default;
};

// The driver's exports, as the port driver imports them: resolved by name
// from the driver module's export directory, never by their symbols.
#define SERPORT_IMPORTS(X)                                                                                   \
    X(COMOpenedForSerport) X(CableRemoveForSerport) X(ExtBaudrateForSerport) X(GetIntStatusForSerport)   \
    X(GetStateForSerport) X(KickTxForSerport) X(SetBreakForSerport) X(SetControlLineForSerport)          \
    X(SetMSRShadowForSerport) X(SetReadQueueForSerport) X(SetStateForSerport) X(WriteForSerport)         \
    X(WriteOutQueueForSerport)
struct SerportImports {
#define SERPORT_IMPORT_SLOT(name) decltype(&::name) name;
    SERPORT_IMPORTS(SERPORT_IMPORT_SLOT)
#undef SERPORT_IMPORT_SLOT
};

class Serport {
public:
    // The receive buffer's size unless set otherwise.
    static constexpr std::size_t kReceiveBuffer = 4096;

    // Resolves the thirteen imports from the driver module, as the loader
    // does when the port driver loads. Empty when all were found; otherwise
    // the load fails, naming the first export the module lacks.
    static std::string bind(const host::Module& driver);
    static const SerportImports& imports() { return s_imports; }

    // One Serport serves one COM port number.
    explicit Serport(ULONG port, std::size_t chunk_bytes = 256);
    ~Serport();
    Serport(const Serport&) = delete;
    Serport& operator=(const Serport&) = delete;

    // Registers the four callbacks through the driver's registration exports.
    static void register_callbacks();

    // The port opens: the driver runs its open sequence and arms the status
    // and receive reads. Each returns what the driver's export returned.
    bool open();
    bool close();
    ULONG number() const { return m_port; }
    // The line: the framing (line control) when it changed, then the rate.
    // The rate the driver chose is what rate() reports afterwards.
    bool set_line(const LineSettings& line);
    bool set_baud(ULONG baud);
    const LineSettings& line() const { return m_line; }
    ULONG rate() const { return m_rate; }
    // The line as the device reports it back.
    std::optional<LineSettings> read_line();
    bool set_dtr(bool on);
    // RTS as the application wants it; while the receive buffer holds the
    // far end back with hardware flow, the line keeps it low until then.
    bool set_rts(bool on);
    bool set_hardware_flow(bool on);
    bool set_xon_xoff(bool on);
    bool set_break(bool on);
    // Hands the driver its run-time baud-rate table as text ("rate,code ...").
    static bool set_rate_table(const std::string& text);
    // Asks the driver to read one status packet now.
    bool poll_status();
    // Wakes the driver's worker thread to ask for the next chunk.
    bool kick();

    // Application side.
    void write(std::span<const std::uint8_t> bytes);
    // Waits up to `timeout` for at least one byte; returns what is there, at
    // most `max` bytes.
    std::vector<std::uint8_t> read(std::size_t max, host::Time timeout);
    std::size_t available() const { return m_received.size(); }
    // The receive buffer, as the port driver's is: what arrives when it is
    // full is lost (counted). With hardware flow RTS drops when it is three
    // quarters full and rises again when the application has read it down to
    // a quarter; with XON/XOFF an XOFF and an XON go out at the same marks,
    // ahead of what waits to be sent.
    void set_receive_buffer(std::size_t bytes) { m_receive_buffer = bytes; }
    std::uint64_t receive_overflows() const { return m_receive_overflows; }
    // Whether the receive buffer holds the far end back now.
    bool holding_far_end() const { return m_holding; }
    std::size_t pending_transmit() const { return m_transmit.size(); }
    // What waits to go to the driver, or for the application, is dropped.
    void purge_transmit();
    void purge_receive();
    bool transmitting() const { return m_in_flight; }
    // The modem status word as last reported, and every report. The word is
    // the serial state of the communications class (DCD 0x01, DSR 0x02,
    // break 0x04, ring 0x08, framing 0x10, parity 0x20, overrun 0x40), with
    // CTS on 0x80; the event bits come once, in the report after the event.
    std::uint16_t modem_status() const { return m_modem_status; }
    const std::vector<std::uint16_t>& modem_reports() const { return m_modem_reports; }
    bool cts() const { return (m_modem_status & 0x80) != 0; }
    bool dsr() const { return (m_modem_status & 0x02) != 0; }
    bool dcd() const { return (m_modem_status & 0x01) != 0; }
    bool ring() const { return (m_modem_status & 0x08) != 0; }
    // Line events reported so far: breaks, rings, framing, parity and
    // overrun errors (each an event bit of a report), and the changes of CTS,
    // DSR and DCD between reports. Counted for the port's life, as a serial
    // port's interrupt counts are.
    struct LineEvents {
        std::uint64_t breaks = 0;
        std::uint64_t framing = 0;
        std::uint64_t parity = 0;
        std::uint64_t overruns = 0;
        std::uint64_t cts = 0;
        std::uint64_t dsr = 0;
        std::uint64_t dcd = 0;
        std::uint64_t rings = 0;
    };
    const LineEvents& line_events() const { return m_events; }
    std::uint64_t read_callbacks() const { return m_read_callbacks; }
    host::Time last_received_at() const { return m_last_received_at; }
    std::uint64_t write_callbacks() const { return m_write_callbacks; }
    bool cable_removed() const { return m_cable_removed; }
    // Removal notices received; a driver sends one per device.
    std::uint64_t cable_removals() const { return m_cable_removals; }
    // Callbacks that broke the removal contract: entered after the removal
    // notice, or still running when it came.
    std::uint64_t late_callbacks() const { return m_late_callbacks; }
    void set_chunk_bytes(std::size_t bytes) { m_chunk_bytes = bytes; }
    std::size_t chunk_bytes() const { return m_chunk_bytes; }
    // How long the port driver takes over received bytes, in scheduling
    // points (other threads may run meanwhile): a slow consumer.
    void set_receive_cost(unsigned scheduling_points) { m_receive_cost = scheduling_points; }

private:
    static inline SerportImports s_imports{};
    static Serport* of(ULONG port);
    bool control_line(CHAR selector, bool on);
    static VOID NTAPI on_modem_status(PUSHORT status, ULONG port);
    static VOID NTAPI on_received(PUCHAR data, ULONG length, ULONG port);
    static VOID NTAPI on_cable_remove(ULONG port);
    static VOID NTAPI on_write_out(ULONG port);
    void send_next_chunk();
    void hold_far_end(bool hold);
    bool switch_flow(bool& flow, CHAR selector, bool on);
    // Holds the transmit queue and the chunk hand-off for one thread.
    class TransmitLock {
    public:
        explicit TransmitLock(Serport& serport);
        ~TransmitLock();
    private:
        Serport& m_serport;
    };
    // Brackets one callback: counts it late when the removal notice came first.
    class CallbackScope {
    public:
        explicit CallbackScope(Serport& serport);
        ~CallbackScope();
    private:
        Serport& m_serport;
    };

    ULONG m_port;
    SERPORT_SETTINGS m_settings{};  // the block exchanged with the driver
    LineSettings m_line;
    std::optional<LineSettings> m_applied;  // what the driver was last given
    ULONG m_rate = 0;
    std::size_t m_chunk_bytes;
    std::deque<std::uint8_t> m_transmit;
    ByteFifo m_received;
    std::size_t m_receive_buffer = kReceiveBuffer;
    std::uint64_t m_receive_overflows = 0;
    bool m_rts = false;               // as the application set it
    bool m_hardware_flow = false;
    bool m_xon_xoff = false;
    bool m_holding = false;           // RTS held low or XOFF sent by the receive buffer
    std::optional<std::uint8_t> m_flow_char;  // XOFF or XON, ahead of the transmit queue
    bool m_in_flight = false;
    KEVENT m_data;
    std::uint16_t m_modem_status = 0;
    std::vector<std::uint16_t> m_modem_reports;
    LineEvents m_events;
    KEVENT m_transmit_lock;  // the chunk hand-off: the application's thread and the worker thread
    std::uint64_t m_read_callbacks = 0;
    host::Time m_last_received_at = 0;
    std::uint64_t m_write_callbacks = 0;
    bool m_cable_removed = false;
    std::uint64_t m_cable_removals = 0;
    std::uint64_t m_late_callbacks = 0;
    int m_active_callbacks = 0;
    unsigned m_receive_cost = 0;
};

}  // namespace sim
