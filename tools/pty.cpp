#include "tools/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "sim/line/vcd.h"
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

// A serial port takes writes while its driver's buffer has room, and polls
// as writable only while little waits to go out. The tool reads the
// program's terminal while the port holds less than that buffer; the
// program's output is stopped while more waits, or while the far end holds
// the port back, and let go once the port has sent its queue down to the
// mark; the preload library stops it at once when a write passes the mark,
// by its own count, and lets a write through while the buffer has room. The
// far end's program is held the same way, by what it has still to send on
// the line.
constexpr std::size_t kTransmitHeld = TORVEX_PACE_BUFFER;
constexpr std::size_t kPaceMark = TORVEX_PACE_MARK;
constexpr std::size_t kFarHeld = 1024;
constexpr std::size_t kChunk = 4096;
// What waits for a program to read, beyond what its terminal holds, before
// the port or the far end stops taking more from the line.
constexpr std::size_t kBacklogHeld = 4096;
// What a closing program left in the terminal is read up to this much; a
// second program writing meanwhile waits for its own session.
constexpr std::size_t kCloseRead = 65536;
// How long a closing session waits, once it has sent everything, for the
// line to stop bringing bytes in.
constexpr host::Time kSettle = 5 * host::kMillisecond;
// How long a write the library stopped the terminal after may take to reach
// the master side: far more than the kernel's hand-over takes.
constexpr auto kWriteComing = std::chrono::milliseconds(50);

// One pseudo-terminal, seen from its master side. A pseudo-terminal tells
// nobody when a program opens or closes it, so every open and close of its
// path is watched (inotify), on a thread of its own that sees them the
// moment they happen. For the port, that thread also stops the terminal's
// output the moment a program closes it (as the program's own tcflow would,
// through a slave descriptor the tool keeps open): a program that opens next
// then writes nothing until the port has finished the last one's session
// and opened for it. Packet mode reports the program's flushes.
class Pty {
public:
    enum class Event { Opened, Closed };

    ~Pty() {
        if (m_watcher.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(m_quit, &one, sizeof one);
            m_watcher.join();
        }
        for (int fd : {m_quit, m_wake, m_watch, m_slave, m_fd}) {
            if (fd >= 0) ::close(fd);
        }
    }

    // `hold_at_close`: the port's terminal, whose output is stopped at each
    // close until let_through(). The tool keeps a slave descriptor of each
    // to stop and start the output.
    bool create(bool hold_at_close, std::string* error) {
        m_fd = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_fd < 0 || ::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0 || ::ptsname(m_fd) == nullptr) {
            *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        m_path = ::ptsname(m_fd);
        m_hold_at_close = hold_at_close;
        // The terminal starts raw at 9,600 8N1; the slave is opened here so
        // that what is set now stays set for the first program. The watch
        // starts after that open, so that it sees programs only.
        m_slave = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        int on = 1;
        if (m_slave < 0 || ::tcgetattr(m_fd, &t) != 0) {
            *error = "cannot set up " + m_path + ": " + std::strerror(errno);
            return false;
        }
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | HUPCL;
        t.c_cc[TORVEX_STASH_HELD] = TORVEX_STASH_SERVED;
        ::cfsetispeed(&t, B9600);
        ::cfsetospeed(&t, B9600);
        bool ok = ::tcsetattr(m_fd, TCSANOW, &t) == 0 && ::ioctl(m_fd, TIOCPKT, &on) == 0 &&
                  ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK) == 0;
        if (hold_at_close) {
            hold();  // until the port opens for a program
            ok = ok && m_held;
        }
        m_watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        m_quit = ::eventfd(0, EFD_CLOEXEC);
        ok = ok && m_watch >= 0 && m_wake >= 0 && m_quit >= 0 &&
             ::inotify_add_watch(m_watch, m_path.c_str(), IN_OPEN | IN_CLOSE) >= 0;
        if (!ok) {
            *error = "cannot set up " + m_path + ": " + std::strerror(errno);
            return false;
        }
        m_watcher = std::thread([this] { watch(); });
        // A program can close and open again within tens of microseconds:
        // the watching thread runs ahead of the others where the system
        // allows it (real-time scheduling needs the right to it).
        sched_param fifo{};
        fifo.sched_priority = 1;
        ::pthread_setschedparam(m_watcher.native_handle(), SCHED_FIFO, &fifo);
        return true;
    }

    int fd() const { return m_fd; }
    // The terminal's device numbers, as a program's descriptor of it has them.
    dev_t device() const {
        struct stat st {};
        return ::fstat(m_slave, &st) == 0 ? st.st_rdev : 0;
    }
    int wake() const { return m_wake; }  // readable when opens or closes wait to be taken
    const std::string& path() const { return m_path; }

    // Whether a program has the terminal open (no hang-up on the master);
    // the port's always is, by the tool.
    bool attached() const {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
    }

    // Opens and closes by programs since the last call, oldest first.
    void take_events(std::deque<Event>& events) {
        std::uint64_t count;
        [[maybe_unused]] const ssize_t n = ::read(m_wake, &count, sizeof count);
        std::lock_guard lock(m_lock);
        collect();
        events.insert(events.end(), m_events.begin(), m_events.end());
        m_events.clear();
    }

    // Lets the program's output through, unless a close has come since the
    // last take_events(); also when the preload library stopped it. On the
    // port's terminal only while the port is marked open for the program:
    // the library takes the mark back as the program closes, before the
    // close reaches the watch. Not while a write is on its way: a stop the
    // tool did not make is the library's, after a write that put more than
    // the mark ahead of the line, and the kernel hands the terminal's data
    // to the master a moment after the stop is seen; until it comes (or
    // for a bounded time) the port's queue does not show it yet.
    void let_through() {
        std::lock_guard lock(m_lock);
        collect();
        if (m_write_coming && std::chrono::steady_clock::now() - *m_write_coming > kWriteComing) m_write_coming.reset();
        if (m_events.empty() && !m_write_coming && (!m_hold_at_close || (told() & TORVEX_TOLD_OPEN))) {
            ::tcflow(m_slave, TCOON);
            m_held = false;
        }
    }
    // Tells the preload library that the port is open for the program, so
    // that it may let a write through; the watching thread takes it back at
    // the next close, before anything else sees that close.
    void mark_open() {
        std::lock_guard lock(m_lock);
        collect();
        if (!m_marked_open && m_events.empty()) {
            change_told(TORVEX_TOLD_OPEN, TORVEX_TOLD_OPEN);
            m_marked_open = true;
        }
    }
    // Stops the program's output while the port cannot take more.
    void stop() {
        std::lock_guard lock(m_lock);
        hold();
    }

    Termios2 settings() const {
        Termios2 t{};
        ::ioctl(m_fd, TORVEX_TCGETS2, &t);
        return t;
    }

    // What the tool tells the program (TORVEX_TOLD_*), as the terminal holds it.
    unsigned told() const {
        winsize w{};
        ::ioctl(m_fd, TIOCGWINSZ, &w);
        return w.ws_xpixel;
    }
    // Sets the bits of the tool's word in `mask` to `bits`.
    void tell(unsigned mask, unsigned bits) {
        std::lock_guard lock(m_lock);
        change_told(mask, bits);
    }
    // Tells the program the transmitter's state and queue, for the
    // library's TIOCSERGETLSR and TIOCOUTQ (the library counts a write in
    // them at once): whether everything it wrote has gone out on the line,
    // and how many bytes the port has still to send. Written only when
    // either changed.
    void tell_transmitter(bool empty, std::size_t waiting) {
        const unsigned sent = empty ? TORVEX_TOLD_SENT : 0;
        const auto count = static_cast<unsigned short>(std::min<std::size_t>(waiting, 0xFFFF));
        winsize w{};
        if (::ioctl(m_fd, TIOCGWINSZ, &w) == 0 && (w.ws_xpixel & TORVEX_TOLD_SENT) == sent && w.ws_ypixel == count) {
            return;
        }
        std::lock_guard lock(m_lock);
        lock_stash();
        ::ioctl(m_fd, TIOCGWINSZ, &w);
        w.ws_xpixel = static_cast<unsigned short>((w.ws_xpixel & ~TORVEX_TOLD_SENT) | sent);
        w.ws_ypixel = count;
        ::ioctl(m_fd, TIOCSWINSZ, &w);
        unlock_stash();
    }
    // At the end of a program's session: the lines it held (a break, DTR or
    // RTS dropped, a ring) are forgotten, as the next program starts with DTR and RTS
    // up and no break, and a drain it left asked for is answered, so that the
    // next program's drain waits for its own answer. Not when a program has
    // opened the terminal since the last take_events(): what it set is its
    // own. Decided with the stash locked, so a program that opens after the
    // decision changes the stash after it; the termios is rewritten only when
    // a line is held.
    // `forget_framing`: the framing the program asked for goes too (the far
    // end's, whose next program starts as a device set up to match).
    void end_session(bool forget_framing) {
        std::lock_guard lock(m_lock);
        lock_stash();
        collect();
        if (std::find(m_events.begin(), m_events.end(), Event::Opened) == m_events.end()) {
            Termios2 t = settings();
            constexpr cc_t lines = TORVEX_STASH_BREAK_ON | TORVEX_STASH_DTR_OFF | TORVEX_STASH_RTS_OFF | TORVEX_STASH_RING;
            const bool framing = forget_framing && t.c_cc[TORVEX_STASH_FRAMING] != 0;
            if ((t.c_cc[TORVEX_STASH_HELD] & lines) || framing) {
                t.c_cc[TORVEX_STASH_HELD] &= static_cast<cc_t>(~lines);
                if (framing) t.c_cc[TORVEX_STASH_FRAMING] = 0;
                ::ioctl(m_fd, TORVEX_TCSETS2, &t);
            }
            change_told(TORVEX_TOLD_DRAINED, stash::drain_bit(t.c_cc) ? TORVEX_TOLD_DRAINED : 0);
        }
        unlock_stash();
    }

    // What the program wrote; false when there is nothing to read now.
    bool read(std::vector<std::uint8_t>& data) {
        std::uint8_t buffer[kChunk + 1];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        if (buffer[0] == TIOCPKT_DATA) {
            data.insert(data.end(), buffer + 1, buffer + n);
            m_write_coming.reset();
        } else {
            if (buffer[0] & TIOCPKT_FLUSHREAD) m_backlog.clear();
            m_flushes |= buffer[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE);
            if (buffer[0] & TIOCPKT_STOP) {
                std::lock_guard lock(m_lock);
                if (!m_held) m_write_coming = std::chrono::steady_clock::now();
            }
        }
        return true;
    }
    // The program's flushes since the last call: TIOCPKT_FLUSHREAD for its
    // input (tcflush TCIFLUSH), TIOCPKT_FLUSHWRITE for its output (TCOFLUSH).
    // Reported ahead of the data, so a flush drops only what came before it.
    int take_flushes() { return std::exchange(m_flushes, 0); }
    // Whether a flush or other status waits to be read.
    bool status_waiting() const {
        pollfd p{m_fd, POLLPRI, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & POLLPRI) != 0;
    }
    std::size_t backlog() const { return m_backlog.size(); }

    // Towards the program: what the terminal does not take now is kept.
    void write(const std::vector<std::uint8_t>& bytes) { m_backlog.insert(m_backlog.end(), bytes.begin(), bytes.end()); }
    void flush() {
        while (!m_backlog.empty()) {
            const ssize_t n = ::write(m_fd, m_backlog.data(), std::min(m_backlog.size(), kChunk));
            if (n <= 0) return;
            m_backlog.erase(m_backlog.begin(), m_backlog.begin() + n);
        }
    }
    // Nothing sent towards the program is left for the next one to read.
    void drop_input() {
        m_backlog.clear();
        ::tcflush(m_fd, TCOFLUSH);
    }

private:
    void hold() {
        if (!m_held) m_held = ::tcflow(m_slave, TCOOFF) == 0;
    }

    // The stash's lock, taken again by a change made while it is held (a
    // close collected at the end of a session). Called with m_lock held.
    void lock_stash() {
        if (m_stash_locks++ == 0) torvex_stash_lock(m_slave, F_WRLCK);
    }
    void unlock_stash() {
        if (--m_stash_locks == 0) torvex_stash_lock(m_slave, F_UNLCK);
    }

    void change_told(unsigned mask, unsigned bits) {
        lock_stash();
        winsize w{};
        ::ioctl(m_fd, TIOCGWINSZ, &w);
        w.ws_xpixel = static_cast<unsigned short>((w.ws_xpixel & ~mask) | (bits & mask));
        ::ioctl(m_fd, TIOCSWINSZ, &w);
        unlock_stash();
    }

    // The watching thread takes the opens and closes the moment they come,
    // where the system lets it run; every step that depends on them takes
    // what is queued itself first, as the thread may lag behind a loaded
    // machine. The kernel queues an open's event before the open returns.
    void watch() {
        for (;;) {
            pollfd waits[] = {{m_watch, POLLIN, 0}, {m_quit, POLLIN, 0}};
            if (::poll(waits, 2, -1) < 0 && errno != EINTR) return;
            if (waits[1].revents) return;
            if (!waits[0].revents) continue;
            std::lock_guard lock(m_lock);
            collect();
        }
    }

    // Takes the queued opens and closes; a close stops the output at once
    // (the port's terminal) and takes back the mark of an open port. Called
    // with m_lock held.
    void collect() {
        alignas(inotify_event) char buffer[4096];
        bool any = false;
        for (ssize_t n; (n = ::read(m_watch, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                if (e->mask & IN_OPEN) m_events.push_back(Event::Opened);
                if (e->mask & IN_CLOSE) {
                    if (m_hold_at_close) hold();
                    if (m_marked_open) {
                        change_told(TORVEX_TOLD_OPEN, 0);
                        m_marked_open = false;
                    }
                    m_events.push_back(Event::Closed);
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
            any = true;
        }
        if (any) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t w = ::write(m_wake, &one, sizeof one);
        }
    }

    int m_fd = -1;
    int m_slave = -1;  // kept open by the tool to stop the output
    bool m_hold_at_close = false;
    int m_watch = -1;
    int m_wake = -1;
    int m_quit = -1;
    std::string m_path;
    std::vector<std::uint8_t> m_backlog;
    int m_flushes = 0;
    std::thread m_watcher;
    std::mutex m_lock;  // the watching thread's events and the output's state
    std::deque<Event> m_events;
    bool m_held = false;
    bool m_marked_open = false;
    std::optional<std::chrono::steady_clock::time_point> m_write_coming;  // the library's stop, seen then
    int m_stash_locks = 0;  // nested holds of the stash's lock
};

// The port's counts, shared with the programs' preload library
// (torvex_counts): created with the port's terminal, removed with the tool.
class SharedCounts {
public:
    ~SharedCounts() {
        if (m_shared == nullptr) return;
        ::munmap(m_shared, sizeof *m_shared);
        ::shm_unlink(m_name);
    }

    bool create(dev_t terminal, std::string* error) {
        torvex_counts_name(m_name, major(terminal), minor(terminal));
        const int fd = ::shm_open(m_name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::ftruncate(fd, sizeof *m_shared) != 0) {
            *error = std::string("cannot create the port's counts ") + m_name + ": " + std::strerror(errno);
            if (fd >= 0) ::close(fd);
            return false;
        }
        void* map = ::mmap(nullptr, sizeof *m_shared, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (map == MAP_FAILED) {
            *error = std::string("cannot map the port's counts: ") + std::strerror(errno);
            ::shm_unlink(m_name);
            return false;
        }
        m_shared = static_cast<torvex_counts*>(map);
        return true;
    }

    // The counts now; written only when one changed. Each is an int that
    // wraps, as a serial port's are.
    void publish(const std::array<std::uint64_t, TORVEX_COUNTS>& counts) {
        int now[TORVEX_COUNTS];
        for (int i = 0; i < TORVEX_COUNTS; ++i) now[i] = static_cast<int>(static_cast<unsigned>(counts[i]));
        if (std::memcmp(now, m_last, sizeof now) == 0) return;
        std::memcpy(m_last, now, sizeof now);
        torvex_counts_write(m_shared, now);
    }

private:
    char m_name[TORVEX_COUNTS_NAME_SIZE] = {};
    torvex_counts* m_shared = nullptr;
    int m_last[TORVEX_COUNTS] = {};
};

// A program's breaks as the preload library passes them on: held on and
// off, or timed (tcsendbreak, counted in the stash) for a quarter of a
// second. The count at the first look after a reset is where the session
// starts.
class Breaks {
public:
    enum class Change { None, On, Off, Timed };
    void reset() { *this = Breaks(); }
    // Sends what changed since the last look (`send(on)` sets the line's
    // break), and says what it was.
    template <class Send>
    Change follow(const cc_t* cc, host::Kernel& kernel, Send send) {
        const bool held = stash::held(cc);
        const std::uint8_t count = stash::breaks(cc);
        Change change = Change::None;
        if (held != m_held) {
            send(held);
            change = held ? Change::On : Change::Off;
        } else if (m_count && count != *m_count) {
            send(true);
            kernel.run_for(250 * host::kMillisecond);
            send(false);
            change = Change::Timed;
        }
        m_held = held;
        m_count = count;
        return change;
    }

private:
    bool m_held = false;
    std::optional<std::uint8_t> m_count;
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

// One adapter's port as a pseudo-terminal (and its far end as another, when
// asked for): the programs' sessions on it, and what goes between them and
// the port driver's port.
class Station {
public:
    Station(const PtyOptions& options, std::FILE* out, std::FILE* err, sim::World& world, int number)
        : m_options(options), m_out(out), m_err(err), m_world(world), m_number(number),
          m_link(adapter_path(options.link, number, world.adapters())) {}

    // The port and its terminals; false, with the reason told, when they
    // cannot be made.
    bool start() {
        m_serport = std::make_unique<sim::Serport>(adapter().port());
        std::string error;
        if (!m_port.create(true, &error) || !m_counts.create(m_port.device(), &error) ||
            (m_options.far_pty && !m_far.create(false, &error))) {
            std::fprintf(m_err, "torvex: %s\n", error.c_str());
            return false;
        }
        if (!m_link.empty()) {
            ::unlink(m_link.c_str());
            if (::symlink(m_port.path().c_str(), m_link.c_str()) != 0) {
                std::fprintf(m_err, "torvex: cannot link %s: %s\n", m_link.c_str(), std::strerror(errno));
                return false;
            }
        }
        std::fprintf(m_out, "COM%lu is %s%s%s\n", static_cast<unsigned long>(adapter().port()), m_port.path().c_str(),
                     m_link.empty() ? "" : " (linked as ", m_link.empty() ? "" : (m_link + ")").c_str());
        if (m_options.far_pty) {
            const std::string whose = m_world.adapters() == 1 ? "the" : "COM" + std::to_string(adapter().port()) + "'s";
            std::fprintf(m_out, "the far end of %s line is %s\n", whose.c_str(), m_far.path().c_str());
        }
        return true;
    }

    // What the turn waits for: the terminals' wake-ups, and what the programs
    // write while the port and the far end take it.
    void waits(std::vector<pollfd>& fds) {
        fds.push_back({m_port.wake(), POLLIN, 0});
        if (m_state == PortState::Open && m_programs > 0 && transmit_room() > 0) {
            fds.push_back({m_port.fd(), POLLIN, 0});
        }
        if (m_options.far_pty) {
            fds.push_back({m_far.wake(), POLLIN, 0});
            if (m_far_programs > 0 && chip().incoming() < kFarHeld) fds.push_back({m_far.fd(), POLLIN, 0});
        }
    }

    // Before the world runs: the programs' opens, closes, settings and bytes.
    void take() {
        port_sessions();
        from_port_program();
        if (m_options.far_pty) from_far_program();
    }

    // After each millisecond of the world: what arrived, to the programs.
    void give() {
        to_port_program();
        if (m_options.far_pty) to_far_program();
    }

    // The port closes if a program still has it; the link goes.
    void end() {
        if (m_state != PortState::Closed) close_port();
        if (!m_link.empty()) ::unlink(m_link.c_str());
        m_serport.reset();
    }

private:
    // Where the port is in a program's session. A close keeps the port open
    // until what the program wrote has gone out on the line, as a serial
    // port's close waits for its output, so that it all goes within its own
    // session; later opens and their bytes wait meanwhile.
    enum class PortState { Closed, Open, Closing };

    // Acts on the opens and closes programs made, in order: the first open
    // opens the port, the last close drains it and then closes it.
    void port_sessions() {
        m_port.take_events(m_port_events);
        if (m_state == PortState::Closing) finish_closing();
        while (m_state != PortState::Closing && !m_port_events.empty()) {
            const Pty::Event e = m_port_events.front();
            m_port_events.pop_front();
            if (e == Pty::Event::Opened) {
                if (++m_programs == 1) {
                    open_port();
                } else {
                    event("another program opened " + m_port.path());
                }
            } else if (m_programs > 1) {
                --m_programs;
                event("a program closed " + m_port.path() + "; another still has it open");
            } else if (m_programs == 1) {
                m_programs = 0;
                begin_closing();
            }
        }
    }

    // While the port is open, what the program writes goes to the port as
    // the port takes it; while it closes, what the program left.
    void from_port_program() {
        if (m_state == PortState::Closed) return;
        if (m_state == PortState::Closing) {
            const std::size_t n = std::min(m_last_words.size(), transmit_room());
            if (n > 0) {
                m_serport->write(std::span<const std::uint8_t>(m_last_words.data(), n));
                m_last_words.erase(m_last_words.begin(), m_last_words.begin() + static_cast<std::ptrdiff_t>(n));
            }
            return;
        }
        apply(m_port.settings());
        std::vector<std::uint8_t> data;
        // A flush waiting is read even when the port takes nothing more.
        const bool read_all = (transmit_room() > 0 || m_port.status_waiting()) && read_port_program(data, transmit_room());
        m_session_bytes += data.size();
        if (!data.empty()) m_serport->write(data);
        const bool all_sent = read_all && sent();
        answer_drain(m_port, all_sent);
        const std::size_t queued = m_serport->pending_transmit() + chip().tx_fifo_level();
        m_port.tell_transmitter(all_sent, queued);
        if (m_port_events.empty()) m_port.mark_open();
        if (queued > kTransmitHeld || chip().transmitter_held()) {
            m_port.stop();
        } else if (queued <= kPaceMark && m_port_events.empty()) {
            m_port.let_through();
        }
    }

    // What the program wrote, up to about `limit` bytes, into `data`; true
    // when its terminal had no more. A flush comes ahead of what the program
    // wrote after it: one of its output drops what was read before it and
    // what the port holds; one of its input what the port has received.
    bool read_port_program(std::vector<std::uint8_t>& data, std::size_t limit) {
        while (data.size() < limit) {
            if (!m_port.read(data)) return true;
            const int flushes = m_port.take_flushes();
            if (flushes & TIOCPKT_FLUSHWRITE) {
                m_session_bytes += data.size();
                data.clear();
                m_serport->purge_transmit();
            }
            if (flushes & TIOCPKT_FLUSHREAD) m_serport->purge_receive();
        }
        return false;
    }

    // A program waiting in tcdrain (through the preload library) is answered
    // once everything it wrote has gone out on the line.
    static void answer_drain(Pty& pty, bool sent) {
        if (!sent) return;
        const bool asked = stash::drain_bit(pty.settings().c_cc);
        if (asked != ((pty.told() & TORVEX_TOLD_DRAINED) != 0)) {
            pty.tell(TORVEX_TOLD_DRAINED, asked ? TORVEX_TOLD_DRAINED : 0);
        }
    }

    // What the port takes from the program before the tool stops reading it.
    std::size_t transmit_room() const { return kTransmitHeld - std::min(kTransmitHeld, m_serport->pending_transmit()); }

    // Whether everything given to the port has finished on the line.
    bool sent() {
        return m_serport->pending_transmit() == 0 && !m_serport->transmitting() && chip().tx_fifo_level() == 0;
    }

    void to_port_program() {
        if (m_state != PortState::Open) return;
        // The modem lines coming in, for the preload library to report.
        const std::uint16_t status = m_serport->modem_status();
        constexpr unsigned kLines = TORVEX_TOLD_CTS | TORVEX_TOLD_DSR | TORVEX_TOLD_DCD | TORVEX_TOLD_RI;
        const unsigned lines = ((status & 0x80) ? TORVEX_TOLD_CTS : 0) | ((status & 0x02) ? TORVEX_TOLD_DSR : 0) |
                               ((status & 0x01) ? TORVEX_TOLD_DCD : 0) | ((status & 0x08) ? TORVEX_TOLD_RI : 0);
        // Compared with what the terminal holds, not with what was put there
        // last: a program that sets a window size without the library
        // overwrites the word.
        const unsigned told = m_port.told();
        if ((told & kLines) != lines) m_port.tell(kLines, lines);
        publish_counts();
        // Handed to the program only while the port is marked open for it:
        // the library takes the mark back as the program closes, and what
        // arrives after that belongs to no program (a program that opens
        // right after must not read it). Taken from the port only as the
        // program's terminal takes it: the port's receive buffer fills
        // behind a program that does not read.
        if (!(told & TORVEX_TOLD_OPEN)) return;
        m_port.flush();
        if (m_port.backlog() < kBacklogHeld) {
            std::vector<std::uint8_t> received = m_serport->read(kBacklogHeld - m_port.backlog(), 0);
            if (!received.empty()) m_port.write(received);
            m_port.flush();
        }
    }

    void publish_counts() {
        const sim::Serport::LineEvents& e = m_serport->line_events();
        const sim::ChipCounters& chip_counts = chip().counters();
        std::array<std::uint64_t, TORVEX_COUNTS> counts{};
        counts[TORVEX_COUNT_CTS] = e.cts;
        counts[TORVEX_COUNT_DSR] = e.dsr;
        counts[TORVEX_COUNT_RNG] = e.rings;
        counts[TORVEX_COUNT_DCD] = e.dcd;
        counts[TORVEX_COUNT_RX] = chip_counts.rx_bytes;
        counts[TORVEX_COUNT_TX] = chip_counts.tx_bytes;
        counts[TORVEX_COUNT_FRAME] = e.framing;
        counts[TORVEX_COUNT_OVERRUN] = e.overruns;
        counts[TORVEX_COUNT_PARITY] = e.parity;
        counts[TORVEX_COUNT_BRK] = e.breaks;
        counts[TORVEX_COUNT_BUF_OVERRUN] = m_serport->receive_overflows();
        m_counts.publish(counts);
    }

    // The device at the far end: its lines are up while a program has its
    // terminal open; it follows the port's framing and flow control, as a
    // device set up to match would, and sends what its program writes no
    // faster than the line carries it.
    void from_far_program() {
        std::deque<Pty::Event> events;
        m_far.take_events(events);
        for (Pty::Event e : events) {
            if (e == Pty::Event::Opened) {
                ++m_far_programs;
            } else if (m_far_programs > 0) {
                --m_far_programs;
            }
        }
        // Two closes in a row that the watch merged: no program has the
        // terminal open any more.
        if (events.empty() && m_far_programs > 0 && !m_far.attached()) m_far_programs = 0;
        const bool open = m_far_programs > 0;
        if (open != m_far_open) {
            m_far_open = open;
            event(std::string("the far end's program ") + (open ? "opened" : "closed") + " " + m_far.path());
            if (open) {
                m_far_breaks.reset();  // what earlier programs sent is theirs
                m_far_first_framing.reset();
            } else {
                // The next program there starts as a device set up to match.
                m_far.end_session(true);
                far_settings();
            }
        }
        if (open) far_settings();
        std::vector<std::uint8_t> data;
        bool read_all = false;
        while (chip().incoming() + data.size() < kFarHeld) {
            if (!m_far.read(data)) {
                read_all = true;
                break;
            }
        }
        if (!data.empty()) peer().send(data);
        answer_drain(m_far, read_all && chip().incoming() == 0);
        if (chip().incoming() > kPaceMark) {
            m_far.stop();
        } else {
            m_far.let_through();
        }
    }

    // What the far end's program set through the preload library: its breaks
    // reach the line, held or timed (a quarter of a second). The first
    // framing it sets is a device's set up to match, which follows the port;
    // data bits, parity and stop bits it changes to after that are its own
    // (at the port's rate), and the port receives its characters with
    // framing errors, or as other bytes, as a device set up wrong sends them.
    void far_settings() {
        const Termios2 t = m_far.settings();
        std::optional<sim::Framing> own;
        if (stash::framing(t.c_cc)) {
            const unsigned framing = t.c_cc[TORVEX_STASH_FRAMING] | ((t.c_cflag & CSTOPB) ? 0x100u : 0u);
            if (!m_far_first_framing) m_far_first_framing = framing;
            if (framing != *m_far_first_framing) {
                const sim::LineSettings far = settings_of(t).line;
                own = sim::Framing{chip().line_coding().baud, far.data_bits, far.parity, far.stop_bits};
            }
        }
        if (own != m_far_framing) {
            m_far_framing = own;
            peer().set_framing(own);
            event(own ? "the far end sends " + framing_name(own->data_bits, own->parity, own->char_format)
                      : std::string("the far end follows the port's framing"));
        }
        const Breaks::Change change =
            m_far_breaks.follow(t.c_cc, m_world.kernel(), [this](bool on) { peer().send_break(on); });
        if (change != Breaks::Change::None) {
            event(change == Breaks::Change::On    ? "the far end's break on"
                  : change == Breaks::Change::Off ? "the far end's break off"
                                                  : "the far end sent a break of 250 ms");
        }
        far_lines(t);
    }

    // What the chip put on the line goes to the far end's program, or is lost
    // when none has the terminal open. Behind a program that does not read,
    // the device holds the port back as its flow control says: its RTS (the
    // chip's CTS) low, or an XOFF, at three quarters of what it keeps, and
    // lets it go at a quarter.
    void to_far_program() {
        std::vector<std::uint8_t> line = peer().take_received();
        // A break reads as a NUL, as from a Linux serial port without
        // IGNBRK or BRKINT.
        const std::vector<sim::LineLevels>& levels = peer().history();
        for (; m_far_levels < levels.size(); ++m_far_levels) {
            if (levels[m_far_levels].brk && !levels[m_far_levels - 1].brk) {
                line.push_back(0);
                event("a break reached the far end");
            }
        }
        if (m_far_open && !line.empty()) m_far.write(line);
        m_far.flush();
        const std::size_t level = m_far.backlog();
        const bool full = m_far_full ? level > kBacklogHeld / 4 : level >= kBacklogHeld * 3 / 4;
        if (full != m_far_full) {
            m_far_full = full;
            far_lines(m_far.settings());
            if (m_applied && m_applied->xon_xoff) peer().send(std::vector<std::uint8_t>{full ? sim::kXoff : sim::kXon});
        }
    }

    // The far end's lines reach the port as a null-modem cable wires them:
    // its RTS is the port's CTS, its DTR the port's DSR and DCD; its program
    // may ring the port (TIOCM_RI through the preload library). All are off
    // while no program has the far end open, and up at its open.
    void far_lines(const Termios2& t) {
        const cc_t* own = t.c_cc;
        const bool dtr = m_far_open && stash::dtr(own);
        const bool rts = m_far_open && stash::rts(own) && !(m_far_full && m_applied && m_applied->hardware_flow);
        const sim::ModemInputs lines{.dcd = dtr, .dsr = dtr, .cts = rts, .ring = m_far_open && stash::ring(own)};
        if (!(lines == peer().lines())) peer().set_lines(lines);
    }

    // As a real port: opened with DTR and RTS raised, settings as the
    // terminal has them.
    void open_port() {
        m_state = PortState::Open;
        m_session_bytes = 0;
        m_applied.reset();
        m_breaks.reset();
        m_dtr = m_rts = true;
        m_serport->open();
        m_serport->set_dtr(true);
        m_serport->set_rts(true);
        event("a program opened " + m_port.path() + ": the port is open, DTR and RTS on");
        apply(m_port.settings());
    }

    // Everything the program wrote and set before its close is in the
    // terminal now; it goes out before the port closes, for as long as the
    // line needs for it and a second more. What flow control still holds then
    // is dropped, and at once when another program waits to open the port:
    // the next session starts free of the last one's hold.
    void begin_closing() {
        m_state = PortState::Closing;
        m_dropped = 0;
        m_dropping = false;
        m_sent_at.reset();
        apply(m_port.settings());  // what the program set just before its close
        read_port_program(m_last_words, kCloseRead);
        m_session_bytes += m_last_words.size();
        const std::uint64_t waiting = m_last_words.size() + m_serport->pending_transmit() + chip().tx_fifo_level();
        m_close_by = m_world.kernel().now() + host::kSecond + line_time(waiting);
        finish_closing();
    }

    // Once everything has gone out, the close waits for what the line is
    // still bringing in (the last characters' echo through the plug, an
    // answer on its way over the bus) to arrive in this session, up to
    // kSettle: a program that opens next must not read it.
    void finish_closing() {
        const host::Time now = m_world.kernel().now();
        const bool held = chip().transmitter_held() && !m_port_events.empty();
        if (m_last_words.empty() && sent()) {
            settled(now);
        } else if (!m_dropping && (held || now >= m_close_by)) {
            drop_held();
        }
        if (m_state == PortState::Closing && now >= m_close_by) close_port();
    }

    void settled(host::Time now) {
        if (!m_sent_at) m_sent_at = now;
        if (now - m_serport->last_received_at() >= kSettle || now - *m_sent_at >= kSettle) close_port();
    }

    // What waits for the line is dropped, and the session's flow control is
    // switched off. What the driver and the chip had taken already (a chunk
    // on its way, the chip's FIFO) then goes out, as a UART's FIFO does when
    // its hold ends, before the port closes: within the line's time for it
    // and a tenth of a second more.
    void drop_held() {
        m_dropping = true;
        m_dropped = m_last_words.size() + m_serport->pending_transmit();
        m_last_words.clear();
        m_serport->purge_transmit();
        flow_off();
        const std::uint64_t taken = m_serport->chunk_bytes() + chip().tx_fifo_level();
        m_close_by = m_world.kernel().now() + host::kSecond / 10 + line_time(taken);
    }

    // The session's flow control ends with it: an XOFF the far end sent in
    // it holds no later session (the chip forgets it).
    void flow_off() {
        if (!m_applied || !(m_applied->hardware_flow || m_applied->xon_xoff)) return;
        m_serport->set_hardware_flow(false);
        m_serport->set_xon_xoff(false);
        m_applied->hardware_flow = m_applied->xon_xoff = false;
    }

    // How long `bytes` take on the line at the port's rate.
    host::Time line_time(std::uint64_t bytes) const {
        const std::uint64_t rate = std::max<std::uint64_t>(m_serport->rate(), 1);
        return static_cast<host::Time>(bytes * 12 * host::kSecond / rate);
    }

    // With HUPCL (the default) DTR and RTS drop before the port closes.
    // Nothing of this session is left for the next: what was not sent and
    // what the program did not read are dropped, and its flow control ends.
    void close_port() {
        m_state = PortState::Closed;
        const std::size_t dropped = m_dropped + m_last_words.size() + m_serport->pending_transmit();
        m_last_words.clear();
        m_serport->purge_transmit();
        flow_off();
        const bool hangup = (m_port.settings().c_cflag & HUPCL) != 0;
        if (hangup) {
            m_serport->set_dtr(false);
            m_serport->set_rts(false);
        }
        m_serport->close();
        m_serport->purge_receive();
        m_port.drop_input();
        // Here rather than at the next open, where rewriting the termios could
        // undo the settings the program makes right after opening.
        if (m_port_events.empty()) m_port.end_session(false);
        event("the program closed " + m_port.path() + " after writing " + std::to_string(m_session_bytes) + " bytes" +
              (dropped ? " (" + std::to_string(dropped) + " of them held back by the line and dropped)" : "") +
              ": the port is closed" + (hangup ? ", DTR and RTS off" : ""));
    }

    void apply(const Termios2& t) {
        const PortSettings wanted = settings_of(t);
        if (!m_applied || !(wanted == *m_applied)) {
            const bool line_ok = m_serport->set_line(wanted.line);
            m_serport->set_hardware_flow(wanted.hardware_flow);
            m_serport->set_xon_xoff(wanted.xon_xoff);
            if (m_options.far_pty) {
                peer().set_flow_control({.hardware = wanted.hardware_flow, .xon_xoff = wanted.xon_xoff});
            }
            // The flow-control switches reach the chip as fire-and-forget
            // register writes: the line printed below is the chip's after them.
            m_world.kernel().run_for(3 * host::kMillisecond);
            m_applied = wanted;
            event(std::string(line_ok ? "settings" : "settings refused") + ": " + std::to_string(wanted.line.baud) +
                  " " + framing_name(wanted.line.data_bits, wanted.line.parity, wanted.line.stop_bits) +
                  (wanted.hardware_flow ? ", flow hardware" : wanted.xon_xoff ? ", flow xon" : "") +
                  "; the chip's UART runs at " + uart_text(chip()));
        }
        const Breaks::Change change =
            m_breaks.follow(t.c_cc, m_world.kernel(), [this](bool on) { m_serport->set_break(on); });
        if (change != Breaks::Change::None) {
            event(change == Breaks::Change::On    ? "break on"
                  : change == Breaks::Change::Off ? "break off"
                                                  : "a break of 250 ms");
        }
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
        const std::string who = m_world.adapters() == 1 ? "" : "COM" + std::to_string(adapter().port()) + ": ";
        std::fprintf(m_out, "[%10.3f ms] %s%s\n", static_cast<double>(m_world.kernel().now()) / host::kMillisecond,
                     who.c_str(), text.c_str());
        std::fflush(m_out);
    }

    sim::Adapter& adapter() { return m_world.adapter(m_number); }
    sim::BridgeChip& chip() { return adapter().chip(); }
    sim::ScriptedPeer& peer() { return adapter().peer(); }

    const PtyOptions& m_options;
    std::FILE* m_out;
    std::FILE* m_err;
    sim::World& m_world;
    int m_number;  // the adapter's
    std::string m_link;
    std::unique_ptr<sim::Serport> m_serport;
    Pty m_port;
    SharedCounts m_counts;
    Pty m_far;
    PortState m_state = PortState::Closed;
    std::deque<Pty::Event> m_port_events;  // not yet acted on
    unsigned m_programs = 0;               // programs with the port's terminal open
    std::uint64_t m_session_bytes = 0;     // what the session's programs wrote
    std::vector<std::uint8_t> m_last_words;  // what a closing program left, still to go out
    host::Time m_close_by = 0;
    bool m_dropping = false;     // the close dropped what the line held; the rest goes out
    std::optional<host::Time> m_sent_at;  // when the closing session had sent everything
    std::size_t m_dropped = 0;   // what it dropped
    unsigned m_far_programs = 0;
    bool m_far_open = false;
    bool m_far_full = false;  // the far end holds the port back for its program
    std::size_t m_far_levels = 1;  // the far end's line changes looked at (the first is the start)
    std::optional<sim::Framing> m_far_framing;  // the far end's own, when not the port's
    std::optional<unsigned> m_far_first_framing;  // the first its program set (stash byte, CSTOPB)
    Breaks m_far_breaks;  // the far end's program's, on the line toward the port
    std::optional<PortSettings> m_applied;
    Breaks m_breaks;  // the program's, on the port's line
    bool m_dtr = true;
    bool m_rts = true;
};


// The world, its adapters' stations, and the turns that pace it to the wall
// clock.
class Session {
public:
    Session(const PtyOptions& options, std::FILE* out, std::FILE* err) : m_options(options), m_out(out), m_err(err) {}

    int run() {
        sim::WorldOptions world_options = m_options.world;
        world_options.line = m_options.far_pty ? sim::LineKind::Peer : sim::LineKind::Loopback;
        m_world = std::make_unique<sim::World>(world_options);
        m_world->bus().trace().keep_nothing();  // nobody reads it here; a session may run for hours
        const int adapters = m_world->adapters();
        for (int k = 1; k <= adapters; ++k) {
            if (!m_options.vcd.empty()) {
                auto vcd = std::make_unique<sim::VcdWriter>();
                std::string error;
                if (!vcd->open(vcd_path(k), &error)) {
                    std::fprintf(m_err, "torvex: %s\n", error.c_str());
                    return finish(1);
                }
                m_world->adapter(k).chip().set_probe(vcd.get());
                m_vcds.push_back(std::move(vcd));
            }
            if (!NT_SUCCESS(m_world->adapter(k).start())) {
                std::fprintf(m_err, "torvex: the device did not start\n");
                return finish(1);
            }
        }
        sim::Serport::register_callbacks();
        for (int k = 1; k <= adapters; ++k) {
            m_stations.push_back(std::make_unique<Station>(m_options, m_out, m_err, *m_world, k));
            if (!m_stations.back()->start()) return finish(1);
        }
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
    // millisecond at most), acts on their opens and closes, hands the world
    // what they wrote and their settings, brings the world's virtual time up
    // to the time that has passed, and hands the programs what arrived
    // meanwhile.
    void loop() {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point wall_start = Clock::now();
        host::Kernel& kernel = m_world->kernel();
        const host::Time virtual_start = kernel.now();
        std::vector<pollfd> waits;
        while (!g_stop) {
            waits.clear();
            for (auto& station : m_stations) station->waits(waits);
            ::poll(waits.data(), waits.size(), 1);

            for (auto& station : m_stations) station->take();
            const auto passed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - wall_start);
            const host::Time target = virtual_start + static_cast<host::Time>(passed.count() / 100);
            // After a late turn the world catches up a millisecond at a time,
            // handing over what arrived in each, as a port's interrupts would:
            // its buffers are not meant to hold what a late turn brings.
            do {
                if (target > kernel.now()) kernel.run_for(std::min<host::Time>(target - kernel.now(), host::kMillisecond));
                for (auto& station : m_stations) station->give();
            } while (target > kernel.now());
        }
    }

    std::string vcd_path(int k) const { return adapter_path(m_options.vcd, k, m_world->adapters()); }

    int finish(int status) {
        for (auto& station : m_stations) station->end();
        m_stations.clear();
        const host::Time end = m_world->kernel().now();
        const std::string left = m_world->teardown();
        for (std::size_t k = 0; k < m_vcds.size(); ++k) {
            std::string error;
            if (!m_vcds[k]->close(end, &error)) {
                std::fprintf(m_err, "torvex: %s\n", error.c_str());
                status = 1;
            } else {
                std::fprintf(m_out, "waveform written to %s\n", vcd_path(static_cast<int>(k + 1)).c_str());
            }
        }
        if (!left.empty()) {
            std::fprintf(m_err, "torvex: the world left this behind:\n%s", left.c_str());
            return 1;
        }
        if (status == 0) {
            std::fprintf(m_out, "%s, nothing left behind\n",
                         m_world->adapters() == 1 ? "the port closed, the device removed"
                                                  : "the ports closed, the devices removed");
        }
        return status;
    }

    const PtyOptions& m_options;
    std::FILE* m_out;
    std::FILE* m_err;
    std::vector<std::unique_ptr<sim::VcdWriter>> m_vcds;  // the chips report to them: they outlive the world
    std::unique_ptr<sim::World> m_world;
    std::vector<std::unique_ptr<Station>> m_stations;
};

}  // namespace

int pty_command(const PtyOptions& options, std::FILE* out, std::FILE* err) {
    return Session(options, out, err).run();
}

}  // namespace tool
