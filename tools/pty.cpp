#include "tools/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <vector>

#include "sim/serport/serport.h"
#include "tools/pty_stash.h"
#include "tools/text.h"

namespace tool {

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

// The terminal's termios, read and set through the master side (on Linux
// that is the terminal the program configures), with the rates as numbers.
using Termios2 = torvex_termios2;
static_assert(sizeof(Termios2) == 44, "the kernel's struct termios2");

// Bytes a program may have queued towards the port before it is held back:
// then its writes block, or fill its buffer, as on a real port.
constexpr std::size_t kTransmitHeld = 4096;
constexpr std::size_t kChunk = 4096;

// One pseudo-terminal, seen from its master side: packet mode tells of the
// program's termios changes (EXTPROC), and a hang-up says no program has the
// terminal open.
class Pty {
public:
    ~Pty() {
        if (m_fd >= 0) ::close(m_fd);
    }

    bool create(std::string* error) {
        int slave = -1;
        m_fd = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_fd < 0 || ::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0 || ::ptsname(m_fd) == nullptr) {
            *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        m_path = ::ptsname(m_fd);
        // The terminal starts raw at 9,600 8N1; the slave is opened once here
        // so that what is set now stays set for the first program.
        slave = ::open(m_path.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        int on = 1;
        if (slave < 0 || ::tcgetattr(m_fd, &t) != 0) {
            *error = "cannot set up " + m_path + ": " + std::strerror(errno);
            if (slave >= 0) ::close(slave);
            return false;
        }
        ::cfmakeraw(&t);
        t.c_lflag |= EXTPROC;
        t.c_cflag |= CLOCAL | HUPCL;
        ::cfsetispeed(&t, B9600);
        ::cfsetospeed(&t, B9600);
        const bool ok = ::tcsetattr(m_fd, TCSANOW, &t) == 0 && ::ioctl(m_fd, TIOCPKT, &on) == 0 &&
                        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK) == 0;
        ::close(slave);
        if (!ok) *error = "cannot set up " + m_path + ": " + std::strerror(errno);
        return ok;
    }

    int fd() const { return m_fd; }
    const std::string& path() const { return m_path; }

    // Whether a program has the terminal open (no hang-up on the master).
    bool attached() const {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
    }

    Termios2 settings() const {
        Termios2 t{};
        ::ioctl(m_fd, TORVEX_TCGETS2, &t);
        return t;
    }

    // Sets the bits of one of the stash's fields in `mask` to `bits`.
    void set_stash(int index, cc_t mask, cc_t bits) {
        Termios2 t = settings();
        t.c_cc[index] = static_cast<cc_t>((t.c_cc[index] & ~mask) | (bits & mask));
        ::ioctl(m_fd, TORVEX_TCSETS2, &t);
    }

    // What the program wrote, and whether its termios changed since. False
    // when there is nothing to read now.
    bool read(std::vector<std::uint8_t>& data, bool& changed) {
        std::uint8_t buffer[kChunk + 1];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        if (buffer[0] == TIOCPKT_DATA) {
            data.insert(data.end(), buffer + 1, buffer + n);
        } else {
            if (buffer[0] & TIOCPKT_IOCTL) changed = true;
            if (buffer[0] & TIOCPKT_FLUSHREAD) m_backlog.clear();
        }
        return true;
    }

    // Towards the program: what the terminal does not take now is kept.
    void write(const std::vector<std::uint8_t>& bytes) { m_backlog.insert(m_backlog.end(), bytes.begin(), bytes.end()); }
    void flush() {
        while (!m_backlog.empty()) {
            const ssize_t n = ::write(m_fd, m_backlog.data(), std::min(m_backlog.size(), kChunk));
            if (n <= 0) return;
            m_backlog.erase(m_backlog.begin(), m_backlog.begin() + n);
        }
    }
    void drop_backlog() { m_backlog.clear(); }

private:
    int m_fd = -1;
    std::string m_path;
    std::vector<std::uint8_t> m_backlog;
};

// The port's settings as the program's termios gives them. Data bits and
// parity come from the stash the preload library keeps (a pseudo-terminal
// forces CS8 without parity); without it they stay 8N.
struct PortSettings {
    sim::LineSettings line;
    bool hardware_flow = false;
    bool xon_xoff = false;
    bool operator==(const PortSettings&) const = default;
};

PortSettings settings_of(const Termios2& t) {
    PortSettings s;
    s.line.baud = t.c_ospeed;
    tcflag_t cflag = t.c_cflag;
    if (std::optional<tcflag_t> framing = stash::framing(t.c_cc)) {
        cflag = (cflag & ~(CSIZE | PARENB)) | *framing;
    }
    static const UCHAR kDataBits[] = {5, 6, 7, 8};
    s.line.data_bits = kDataBits[(cflag & CSIZE) >> 4];
    s.line.parity = !(cflag & PARENB) ? 0
                    : (cflag & CMSPAR) ? ((cflag & PARODD) ? 3 : 4)
                                       : ((cflag & PARODD) ? 1 : 2);
    s.line.stop_bits = (cflag & CSTOPB) ? 2 : 0;
    s.hardware_flow = (cflag & CRTSCTS) != 0;
    s.xon_xoff = (t.c_iflag & (IXON | IXOFF)) != 0;
    return s;
}

class Session {
public:
    Session(const PtyOptions& options, std::FILE* out, std::FILE* err)
        : m_options(options), m_out(out), m_err(err) {}

    int run() {
        sim::WorldOptions world_options = m_options.world;
        world_options.line = m_options.far_pty ? sim::LineKind::Peer : sim::LineKind::Loopback;
        m_world = std::make_unique<sim::World>(world_options);
        if (!NT_SUCCESS(m_world->start())) {
            std::fprintf(m_err, "torvex: the device did not start\n");
            return 1;
        }
        sim::Serport::register_callbacks();
        m_serport = std::make_unique<sim::Serport>(m_world->port());
        std::string error;
        if (!m_port.create(&error) || (m_options.far_pty && !m_far.create(&error))) {
            std::fprintf(m_err, "torvex: %s\n", error.c_str());
            return finish(1);
        }
        if (!m_options.link.empty()) {
            ::unlink(m_options.link.c_str());
            if (::symlink(m_port.path().c_str(), m_options.link.c_str()) != 0) {
                std::fprintf(m_err, "torvex: cannot link %s: %s\n", m_options.link.c_str(), std::strerror(errno));
                return finish(1);
            }
        }
        std::fprintf(m_out, "COM%lu is %s%s%s\n", static_cast<unsigned long>(m_world->port()),
                     m_port.path().c_str(), m_options.link.empty() ? "" : " (linked as ",
                     m_options.link.empty() ? "" : (m_options.link + ")").c_str());
        if (m_options.far_pty) std::fprintf(m_out, "the far end of the line is %s\n", m_far.path().c_str());
        std::fprintf(m_out, "the world runs in real time; Ctrl-C ends it\n");
        std::fflush(m_out);

        std::signal(SIGINT, on_signal);
        std::signal(SIGTERM, on_signal);
        std::signal(SIGPIPE, SIG_IGN);
        loop();
        return finish(0);
    }

private:
    // Paced to the wall clock: each turn waits for the programs (a
    // millisecond at most), hands the world what they wrote and their
    // settings, brings the world's virtual time up to the time that has
    // passed, and hands the programs what arrived meanwhile.
    void loop() {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point wall_start = Clock::now();
        host::Kernel& kernel = m_world->kernel();
        const host::Time virtual_start = kernel.now();
        while (!g_stop) {
            std::vector<pollfd> waits;
            const bool attached = m_port.attached();
            if (attached && m_serport->pending_transmit() < kTransmitHeld) waits.push_back({m_port.fd(), POLLIN, 0});
            const bool far_attached = m_options.far_pty && m_far.attached();
            if (far_attached) waits.push_back({m_far.fd(), POLLIN, 0});
            ::poll(waits.data(), waits.size(), 1);

            from_port_program(attached);
            if (m_options.far_pty) from_far_program(far_attached);
            const auto passed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - wall_start);
            const host::Time target = virtual_start + static_cast<host::Time>(passed.count() / 100);
            if (target > kernel.now()) kernel.run_for(target - kernel.now());
            to_port_program();
            if (m_options.far_pty) to_far_program();
            // Nobody reads the wire trace here; a session may run for hours.
            m_world->bus().trace().clear();
        }
    }

    // A termios change applies when packet mode reports it; the report can
    // come ahead of bytes written before the change, which then go at the new
    // settings.
    void from_port_program(bool attached) {
        if (attached != m_open) attached ? open_port() : close_port();
        if (!m_open) return;
        std::vector<std::uint8_t> data;
        bool changed = false;
        while (m_serport->pending_transmit() + data.size() < kTransmitHeld && m_port.read(data, changed)) {
        }
        if (changed) apply(m_port.settings());
        if (!data.empty()) m_serport->write(data);
    }

    void to_port_program() {
        if (!m_open) return;
        // The modem lines coming in, for the preload library to report.
        const std::uint16_t status = m_serport->modem_status();
        const cc_t lines = static_cast<cc_t>(((status & 0x80) ? TORVEX_STASH_CTS : 0) |
                                             ((status & 0x02) ? TORVEX_STASH_DSR : 0) |
                                             ((status & 0x01) ? TORVEX_STASH_DCD : 0) |
                                             ((status & 0x08) ? TORVEX_STASH_RI : 0));
        if (lines != m_lines) {
            m_port.set_stash(TORVEX_STASH_FRAMING, TORVEX_STASH_LINES, lines);
            m_lines = lines;
        }
        std::vector<std::uint8_t> received = m_serport->read(SIZE_MAX, 0);
        if (!received.empty()) m_port.write(received);
        m_port.flush();
    }

    // The device at the far end: its lines are up while its program has the
    // terminal open; it follows the port's framing, as a device set up to
    // match would.
    void from_far_program(bool attached) {
        if (attached != m_far_open) {
            m_far_open = attached;
            m_world->peer().set_lines({.dcd = attached, .dsr = attached, .cts = attached});
            event(std::string("the far end's program ") + (attached ? "opened" : "closed") + " " + m_far.path());
        }
        if (!m_far_open) return;
        std::vector<std::uint8_t> data;
        bool changed = false;
        while (data.size() < kTransmitHeld && m_far.read(data, changed)) {
        }
        if (!data.empty()) m_world->peer().send(data);
    }

    // What the chip put on the line goes to the far end's program, or is lost
    // when none has the terminal open.
    void to_far_program() {
        std::vector<std::uint8_t> line = m_world->peer().take_received();
        if (m_far_open && !line.empty()) m_far.write(line);
        m_far.flush();
    }

    // As a real port: opened with DTR and RTS raised, settings as the
    // terminal has them.
    void open_port() {
        m_open = true;
        m_applied.reset();
        m_breaks = std::nullopt;
        m_held = false;
        m_dtr = m_rts = true;
        m_lines.reset();
        m_port.set_stash(TORVEX_STASH_HELD, 0xFF, 0);
        m_serport->open();
        m_serport->set_dtr(true);
        m_serport->set_rts(true);
        event("a program opened " + m_port.path() + ": the port is open, DTR and RTS on");
        apply(m_port.settings());
    }

    // With HUPCL (the default) DTR and RTS drop before the port closes.
    void close_port() {
        m_open = false;
        const bool hangup = (m_port.settings().c_cflag & HUPCL) != 0;
        if (hangup) {
            m_serport->set_dtr(false);
            m_serport->set_rts(false);
        }
        m_serport->close();
        m_port.drop_backlog();
        event(std::string("the program closed ") + m_port.path() + ": the port is closed" +
              (hangup ? ", DTR and RTS off" : ""));
    }

    void apply(const Termios2& t) {
        const PortSettings wanted = settings_of(t);
        if (!m_applied || !(wanted == *m_applied)) {
            const bool line_ok = m_serport->set_line(wanted.line);
            m_serport->set_hardware_flow(wanted.hardware_flow);
            m_serport->set_xon_xoff(wanted.xon_xoff);
            // The flow-control switches reach the chip as fire-and-forget
            // register writes: the line printed below is the chip's after them.
            m_world->kernel().run_for(3 * host::kMillisecond);
            m_applied = wanted;
            event(std::string(line_ok ? "settings" : "settings refused") + ": " + std::to_string(wanted.line.baud) +
                  " " + framing_name(wanted.line.data_bits, wanted.line.parity, wanted.line.stop_bits) +
                  (wanted.hardware_flow ? ", flow hardware" : wanted.xon_xoff ? ", flow xon" : "") +
                  "; the chip's UART runs at " + uart_text(m_world->chip()));
        }
        // Breaks the preload library passed on: held on and off, or timed
        // (tcsendbreak) for a quarter of a second.
        const bool held = stash::held(t.c_cc);
        const std::uint8_t breaks = stash::breaks(t.c_cc);
        if (held != m_held) {
            m_serport->set_break(held);
            event(held ? "break on" : "break off");
        } else if (m_breaks && breaks != *m_breaks) {
            m_serport->set_break(true);
            m_world->kernel().run_for(250 * host::kMillisecond);
            m_serport->set_break(false);
            event("a break of 250 ms");
        }
        m_held = held;
        m_breaks = breaks;
        // DTR and RTS the program set through the library.
        if (stash::dtr(t.c_cc) != m_dtr) {
            m_dtr = !m_dtr;
            m_serport->set_dtr(m_dtr);
            event(m_dtr ? "DTR on" : "DTR off");
        }
        if (stash::rts(t.c_cc) != m_rts) {
            m_rts = !m_rts;
            m_serport->set_rts(m_rts);
            event(m_rts ? "RTS on" : "RTS off");
        }
    }

    void event(const std::string& text) {
        std::fprintf(m_out, "[%10.3f ms] %s\n", static_cast<double>(m_world->kernel().now()) / host::kMillisecond,
                     text.c_str());
        std::fflush(m_out);
    }

    int finish(int status) {
        if (m_open) close_port();
        if (!m_options.link.empty()) ::unlink(m_options.link.c_str());
        m_serport.reset();
        const std::string left = m_world->teardown();
        if (!left.empty()) {
            std::fprintf(m_err, "torvex: the world left this behind:\n%s", left.c_str());
            return 1;
        }
        if (status == 0) std::fprintf(m_out, "the port closed, the device removed, nothing left behind\n");
        return status;
    }

    const PtyOptions& m_options;
    std::FILE* m_out;
    std::FILE* m_err;
    std::unique_ptr<sim::World> m_world;
    std::unique_ptr<sim::Serport> m_serport;
    Pty m_port;
    Pty m_far;
    bool m_open = false;
    bool m_far_open = false;
    std::optional<PortSettings> m_applied;
    std::optional<std::uint8_t> m_breaks;
    bool m_held = false;
    bool m_dtr = true;
    bool m_rts = true;
    std::optional<cc_t> m_lines;  // the modem lines last put in the stash
};

}  // namespace

int pty_command(const PtyOptions& options, std::FILE* out, std::FILE* err) {
    return Session(options, out, err).run();
}

}  // namespace tool
