/* libtorvex_tty.so: a preload library for programs that use `torvex pty`.
 * A pseudo-terminal forces CS8 without parity, ignores breaks and has no
 * modem lines; with this library preloaded (LD_PRELOAD) a program's data
 * bits, parity, breaks, DTR and RTS on a pseudo-terminal are kept in spare
 * termios fields (tools/pty_stash.h), where the tool reads them; the program
 * reads back the framing it set, and the modem lines the tool reports;
 * its drains (tcdrain) wait until the port has sent what it wrote, its
 * writes stop the terminal's output once they are ahead of the line, and
 * it reads the port's counts (TIOCGICOUNT), waits on its modem lines
 * (TIOCMIWAIT), sees its transmit queue (TIOCOUTQ, TIOCSERGETLSR) and sets
 * a custom divisor (TIOCSSERIAL).
 * Other terminals and files are left alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "tools/pty_stash.h"

static int (*real_ioctl)(int, unsigned long, ...);
static int (*real_tcsetattr)(int, int, const struct termios*);
static int (*real_tcgetattr)(int, struct termios*);
static int (*real_tcsendbreak)(int, int);
static int (*real_tcdrain)(int);
static ssize_t (*real_write)(int, const void*, size_t);
static int (*real_close)(int);
static int (*real_open)(const char*, int, ...);
static int (*real_open64)(const char*, int, ...);
static int (*real_openat)(int, const char*, int, ...);
static int (*real_openat64)(int, const char*, int, ...);

static void bind_real(void) {
    if (real_ioctl != NULL) return;
    real_tcsetattr = (int (*)(int, int, const struct termios*))dlsym(RTLD_NEXT, "tcsetattr");
    real_tcgetattr = (int (*)(int, struct termios*))dlsym(RTLD_NEXT, "tcgetattr");
    real_tcsendbreak = (int (*)(int, int))dlsym(RTLD_NEXT, "tcsendbreak");
    real_tcdrain = (int (*)(int))dlsym(RTLD_NEXT, "tcdrain");
    real_write = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
    real_open = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
    real_open64 = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open64");
    real_openat = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat");
    real_openat64 = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat64");
    real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
}

/* Unix 98 pseudo-terminal slaves have majors 136 to 143. */
static int is_pty(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

/* Ends a change of the stash begun with torvex_stash_lock(fd, F_WRLCK),
 * returning `result` with errno as the change left it. */
static int unlock(int fd, int result) {
    const int error = errno;
    torvex_stash_lock(fd, F_UNLCK);
    errno = error;
    return result;
}

/* The framing asked for goes into the stash; the stash's other fields keep
 * what the terminal holds. Called with the stash locked. */
static void stash(int fd, tcflag_t cflag, cc_t* cc) {
    struct termios now;
    if (real_tcgetattr(fd, &now) == 0) {
        cc[TORVEX_STASH_BREAKS] = now.c_cc[TORVEX_STASH_BREAKS];
        cc[TORVEX_STASH_HELD] = now.c_cc[TORVEX_STASH_HELD];
    }
    cc[TORVEX_STASH_FRAMING] = (cc_t)(TORVEX_STASH_MARK | ((cflag & PARENB) ? 0x40 : 0) | ((cflag & CSIZE) >> 4));
}

/* What the tool says on a terminal it serves; 0 on any other. */
static unsigned told(int fd, const cc_t* cc) {
    struct winsize w;
    if (!(cc[TORVEX_STASH_HELD] & TORVEX_STASH_SERVED) || real_ioctl(fd, TIOCGWINSZ, &w) != 0) return 0;
    return w.ws_xpixel;
}

/* What the terminal is handed: 8 bits without parity, as a pseudo-terminal
 * keeps them whatever it is told (the framing lives in the stash). The C
 * library reads the terminal back after setting it and fails with EINVAL
 * when it finds other bits than it set. */
static void as_pty(tcflag_t* cflag) { *cflag = (*cflag & ~(tcflag_t)(CSIZE | PARENB)) | CS8; }

/* What the program reads back: its own framing, B38400 for the rate of a
 * custom divisor, and no stash. */
static void unstash(tcflag_t* cflag, cc_t* cc) {
    const cc_t v = cc[TORVEX_STASH_FRAMING];
    if (v & TORVEX_STASH_MARK) *cflag = (*cflag & ~(tcflag_t)(CSIZE | PARENB)) | ((tcflag_t)(v & 3) << 4) | ((v & 0x40) ? PARENB : 0);
    if ((cc[TORVEX_STASH_HELD] & TORVEX_STASH_SPD_CUST) && (*cflag & CBAUD) == TORVEX_BOTHER) *cflag = (*cflag & ~(tcflag_t)CBAUD) | B38400;
    cc[TORVEX_STASH_FRAMING] = 0;
    cc[TORVEX_STASH_BREAKS] = 0;
    cc[TORVEX_STASH_HELD] = 0;
}

/* A change of the program's own lines: a timed break counted, or the bits
 * of c_cc[18] in `mask` set to `bits`; the tool sees a termios change. */
static int mark_lines(int fd, int counted, cc_t mask, cc_t bits) {
    struct termios t;
    torvex_stash_lock(fd, F_WRLCK);
    if (real_tcgetattr(fd, &t) != 0) return unlock(fd, -1);
    if (counted) t.c_cc[TORVEX_STASH_BREAKS]++;
    t.c_cc[TORVEX_STASH_HELD] = (cc_t)((t.c_cc[TORVEX_STASH_HELD] & ~mask) | (bits & mask));
    return unlock(fd, real_tcsetattr(fd, TCSANOW, &t));
}

/* A rate termios cannot name, asked for the old way: a custom divisor of
 * the port's base rate (TIOCSSERIAL with ASYNC_SPD_CUST), which B38400 then
 * stands for. The base rate is the bridge's fastest. The rate waits here,
 * by descriptor, for the B38400 that follows; the terminal then holds it as
 * a termios2 rate, where the tool reads it. */
#define BAUD_BASE 6000000

/* What the library keeps for each descriptor of a terminal the tool serves:
 * what its writes have put ahead of the line, by the library's own count (the
 * line takes a tenth of its rate in bytes a second), and a custom rate waiting
 * for its B38400. All start again at an open. */
#define DESCRIPTORS 256
static struct {
    double ahead;
    struct timespec at;
    unsigned custom_rate;
} descriptors[DESCRIPTORS];

/* The rate the terminal takes for `cflag` (0: the one cflag names): with a
 * custom divisor asked for, B38400 is the custom rate (the one just asked
 * for, or the one the terminal holds); any other rate ends the custom
 * divisor, in the stash `cc` about to be written. Called with the stash
 * locked. */
static speed_t custom_speed(int fd, tcflag_t cflag, cc_t* cc) {
    struct torvex_termios2 now;
    if (!(cc[TORVEX_STASH_HELD] & TORVEX_STASH_SPD_CUST)) return 0;
    if ((cflag & CBAUD) != B38400) {
        cc[TORVEX_STASH_HELD] &= (cc_t)~TORVEX_STASH_SPD_CUST;
        return 0;
    }
    if (fd < DESCRIPTORS && descriptors[fd].custom_rate != 0) {
        const speed_t rate = descriptors[fd].custom_rate;
        descriptors[fd].custom_rate = 0;
        return rate;
    }
    return real_ioctl(fd, TORVEX_TCGETS2, &now) == 0 && (now.c_cflag & CBAUD) == TORVEX_BOTHER ? now.c_ospeed : 0;
}

/* Writes a terminal's settings: `head` the kernel's termios fields, at the
 * custom rate when there is one. Called with the stash locked. */
static int set_terminal(int fd, const struct torvex_termios2* head, speed_t custom, int old) {
    struct torvex_termios2 t = *head;
    if (custom == 0) return real_ioctl(fd, old ? TCSETS : TORVEX_TCSETS2, &t);
    t.c_cflag = (t.c_cflag & ~(tcflag_t)(CBAUD | (CBAUD << TORVEX_IBSHIFT))) | TORVEX_BOTHER | (TORVEX_BOTHER << TORVEX_IBSHIFT);
    t.c_ispeed = t.c_ospeed = custom;
    return real_ioctl(fd, TORVEX_TCSETS2, &t);
}

/* TIOCGSERIAL and TIOCSSERIAL: the base rate and the custom divisor. */
static int get_serial(int fd, struct serial_struct* out) {
    struct torvex_termios2 t;
    if (out == NULL) {
        errno = EFAULT;
        return -1;
    }
    if (real_ioctl(fd, TORVEX_TCGETS2, &t) != 0) return -1;
    memset(out, 0, sizeof *out);
    out->baud_base = BAUD_BASE;
    out->xmit_fifo_size = 256;
    if (t.c_cc[TORVEX_STASH_HELD] & TORVEX_STASH_SPD_CUST) {
        out->flags = ASYNC_SPD_CUST;
        if ((t.c_cflag & CBAUD) == TORVEX_BOTHER && t.c_ospeed > 0) out->custom_divisor = (int)(BAUD_BASE / t.c_ospeed);
    }
    return 0;
}

static int set_serial(int fd, const struct serial_struct* in) {
    if (in == NULL) {
        errno = EFAULT;
        return -1;
    }
    const int custom = (in->flags & ASYNC_SPD_MASK) == ASYNC_SPD_CUST && in->custom_divisor > 0;
    if (fd < DESCRIPTORS) descriptors[fd].custom_rate = custom ? (unsigned)(BAUD_BASE / in->custom_divisor) : 0;
    return mark_lines(fd, 0, TORVEX_STASH_SPD_CUST, custom ? TORVEX_STASH_SPD_CUST : 0);
}

/* The program's own lines as the stash keeps them: DTR, RTS, and the ring
 * indicator a far end's program raises. */
static int own_lines(cc_t own) {
    return ((own & TORVEX_STASH_DTR_OFF) ? 0 : TIOCM_DTR) | ((own & TORVEX_STASH_RTS_OFF) ? 0 : TIOCM_RTS) |
           ((own & TORVEX_STASH_RING) ? TIOCM_RI : 0);
}

/* TIOCMGET: the program's DTR and RTS, and the lines the tool reports. */
static int modem_lines(int fd, int* out) {
    struct termios t;
    if (out == NULL || real_tcgetattr(fd, &t) != 0) return -1;
    const unsigned in = told(fd, t.c_cc);
    *out = (own_lines(t.c_cc[TORVEX_STASH_HELD]) & (TIOCM_DTR | TIOCM_RTS)) |
           ((in & TORVEX_TOLD_CTS) ? TIOCM_CTS : 0) | ((in & TORVEX_TOLD_DSR) ? TIOCM_DSR : 0) |
           ((in & TORVEX_TOLD_DCD) ? TIOCM_CD : 0) | ((in & TORVEX_TOLD_RI) ? TIOCM_RI : 0);
    return 0;
}

/* TIOCMSET, TIOCMBIS, TIOCMBIC: DTR and RTS, kept as "dropped" bits, and
 * the ring indicator a far end's program raises. */
static int set_modem_lines(int fd, unsigned long request, const int* in) {
    struct termios t;
    if (in == NULL || real_tcgetattr(fd, &t) != 0) return -1;
    const int now = own_lines(t.c_cc[TORVEX_STASH_HELD]);
    const int lines = request == TIOCMSET ? *in : request == TIOCMBIS ? (now | *in) : (now & ~*in);
    const cc_t bits = (cc_t)(((lines & TIOCM_DTR) ? 0 : TORVEX_STASH_DTR_OFF) |
                             ((lines & TIOCM_RTS) ? 0 : TORVEX_STASH_RTS_OFF) | ((lines & TIOCM_RI) ? TORVEX_STASH_RING : 0));
    return mark_lines(fd, 0, TORVEX_STASH_DTR_OFF | TORVEX_STASH_RTS_OFF | TORVEX_STASH_RING, bits);
}

/* A pseudo-terminal's output is gone once the master has read it; a port's
 * is gone once it is on the line. On a terminal `torvex pty` serves, the
 * library asks the tool for a drain (flips the stash's drain bit) and waits
 * until the tool answers (makes its word's bit equal), which it does once
 * the port has sent everything the program wrote. A signal ends the wait
 * with EINTR. */
static int drain(int fd) {
    struct termios t;
    torvex_stash_lock(fd, F_WRLCK);
    if (real_tcgetattr(fd, &t) != 0) return unlock(fd, -1);
    if (!(t.c_cc[TORVEX_STASH_HELD] & TORVEX_STASH_SERVED)) {
        unlock(fd, 0);
        return real_tcdrain(fd);
    }
    t.c_cc[TORVEX_STASH_HELD] ^= TORVEX_STASH_DRAIN_ASKED;
    if (unlock(fd, real_tcsetattr(fd, TCSANOW, &t)) != 0) return -1;
    const struct timespec turn = {0, 1000000};
    const int asked = (t.c_cc[TORVEX_STASH_HELD] & TORVEX_STASH_DRAIN_ASKED) != 0;
    for (;;) {
        if (nanosleep(&turn, NULL) != 0) return -1;
        if (((told(fd, t.c_cc) & TORVEX_TOLD_DRAINED) != 0) == asked) return 0;
    }
}

/* The port's counts as the tool keeps them for the terminal: 0, or -1 with
 * errno EIO when the tool is gone. */
static int read_counts(int fd, int* count) {
    struct stat st;
    char name[TORVEX_COUNTS_NAME_SIZE];
    if (fstat(fd, &st) != 0) return -1;
    torvex_counts_name(name, major(st.st_rdev), minor(st.st_rdev));
    const int shared = shm_open(name, O_RDONLY | O_CLOEXEC, 0);
    if (shared < 0) {
        errno = EIO;
        return -1;
    }
    void* map = mmap(NULL, sizeof(struct torvex_counts), PROT_READ, MAP_SHARED, shared, 0);
    real_close(shared);
    if (map == MAP_FAILED) {
        errno = EIO;
        return -1;
    }
    const int result = torvex_counts_read((const struct torvex_counts*)map, count);
    munmap(map, sizeof(struct torvex_counts));
    if (result != 0) errno = EIO;
    return result;
}

/* Whether the terminal is one the tool serves. */
static int served(int fd) {
    struct termios t;
    return real_tcgetattr(fd, &t) == 0 && (t.c_cc[TORVEX_STASH_HELD] & TORVEX_STASH_SERVED);
}

/* TIOCGICOUNT: the port's counts, as a serial port's driver keeps them. */
static int get_counts(int fd, struct serial_icounter_struct* out) {
    int count[TORVEX_COUNTS];
    if (out == NULL) {
        errno = EFAULT;
        return -1;
    }
    if (read_counts(fd, count) != 0) return -1;
    memset(out, 0, sizeof *out);
    out->cts = count[TORVEX_COUNT_CTS];
    out->dsr = count[TORVEX_COUNT_DSR];
    out->rng = count[TORVEX_COUNT_RNG];
    out->dcd = count[TORVEX_COUNT_DCD];
    out->rx = count[TORVEX_COUNT_RX];
    out->tx = count[TORVEX_COUNT_TX];
    out->frame = count[TORVEX_COUNT_FRAME];
    out->overrun = count[TORVEX_COUNT_OVERRUN];
    out->parity = count[TORVEX_COUNT_PARITY];
    out->brk = count[TORVEX_COUNT_BRK];
    out->buf_overrun = count[TORVEX_COUNT_BUF_OVERRUN];
    return 0;
}

/* TIOCMIWAIT: returns once one of the lines in `mask` (TIOCM_CTS, _DSR, _CD,
 * _RNG) changed, by the port's counts; a signal ends the wait with EINTR, as
 * the kernel's does. */
static int wait_for_lines(int fd, unsigned long mask) {
    static const struct {
        unsigned long line;
        int count;
    } lines[] = {{TIOCM_CTS, TORVEX_COUNT_CTS}, {TIOCM_DSR, TORVEX_COUNT_DSR},
                 {TIOCM_CD, TORVEX_COUNT_DCD}, {TIOCM_RNG, TORVEX_COUNT_RNG}};
    int start[TORVEX_COUNTS], now[TORVEX_COUNTS];
    const struct timespec turn = {0, 1000000};
    if (read_counts(fd, start) != 0) return -1;
    for (;;) {
        if (nanosleep(&turn, NULL) != 0 || read_counts(fd, now) != 0) return -1;
        for (size_t i = 0; i < sizeof lines / sizeof lines[0]; ++i) {
            if ((mask & lines[i].line) && now[lines[i].count] != start[lines[i].count]) return 0;
        }
    }
}

/* A program's window size on a terminal the tool serves keeps the tool's
 * word and count. */
static int set_window(int fd, const struct winsize* w) {
    struct termios t;
    struct winsize copy, now;
    if (w == NULL) return real_ioctl(fd, TIOCSWINSZ, w);
    copy = *w;
    torvex_stash_lock(fd, F_WRLCK);
    if (real_tcgetattr(fd, &t) != 0) return unlock(fd, -1);
    if ((t.c_cc[TORVEX_STASH_HELD] & TORVEX_STASH_SERVED) && real_ioctl(fd, TIOCGWINSZ, &now) == 0) {
        copy.ws_xpixel = now.ws_xpixel;
        copy.ws_ypixel = now.ws_ypixel;
    }
    return unlock(fd, real_ioctl(fd, TIOCSWINSZ, &copy));
}

/* A write counts in the port's queue at once, and the transmitter is no
 * longer empty: the tool tells the true figures once it has read the write,
 * a moment later. */
static void queued(int fd, size_t bytes) {
    struct winsize w;
    torvex_stash_lock(fd, F_WRLCK);
    if (real_ioctl(fd, TIOCGWINSZ, &w) == 0) {
        w.ws_ypixel = (unsigned short)(w.ws_ypixel + bytes > 0xFFFF ? 0xFFFF : w.ws_ypixel + bytes);
        w.ws_xpixel &= (unsigned short)~TORVEX_TOLD_SENT;
        real_ioctl(fd, TIOCSWINSZ, &w);
    }
    torvex_stash_lock(fd, F_UNLCK);
}

/* TIOCSERGETLSR: the transmitter is empty once the port has sent everything
 * the program wrote; TIOCOUTQ: what the terminal holds and the port has
 * still to send. */
static int transmitter(int fd, unsigned long request, int* out) {
    struct winsize w;
    int held = 0;
    if (out == NULL) {
        errno = EFAULT;
        return -1;
    }
    if (real_ioctl(fd, TIOCGWINSZ, &w) != 0 || real_ioctl(fd, TIOCOUTQ, &held) != 0) return -1;
    *out = request == TIOCOUTQ ? held + w.ws_ypixel : ((w.ws_xpixel & TORVEX_TOLD_SENT) ? TIOCSER_TEMT : 0);
    return 0;
}

int tcdrain(int fd) {
    bind_real();
    return is_pty(fd) ? drain(fd) : real_tcdrain(fd);
}

/* A serial port takes a write while its driver's buffer has room, then polls
 * as not writable while more than a few hundred bytes wait. A pseudo-terminal
 * takes kilobytes at once, so on a terminal the tool serves and has open for
 * the program, the library counts what its writes put ahead of the line:
 * while the buffer has room it starts the output the tool stopped and lets
 * the write through (no more than the room), and a write that leaves more
 * than the mark ahead stops the output (tcflow TCOOFF) before it returns;
 * the tool lets it go once the port has sent its queue down to the mark.
 * The count only knows the line's rate: while the far end holds the port,
 * the tool's stop holds the program (after the pseudo-terminal's own
 * buffer). */
static ssize_t paced_write(int fd, const void* data, size_t size) {
    struct torvex_termios2 t;
    struct timespec now;
    if (fd < 0 || fd >= DESCRIPTORS || real_ioctl(fd, TORVEX_TCGETS2, &t) != 0 ||
        !(t.c_cc[TORVEX_STASH_HELD] & TORVEX_STASH_SERVED)) {
        return real_write(fd, data, size);
    }
    /* A blocking write goes on, a buffer's room at a time, until all of it is
     * taken, as a serial port's does; a non-blocking one takes what it can. */
    const int blocking = !(fcntl(fd, F_GETFL) & O_NONBLOCK);
    size_t done = 0;
    ssize_t written;
    do {
        if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return real_write(fd, (const char*)data + done, size - done);
        const double passed = (double)(now.tv_sec - descriptors[fd].at.tv_sec) + (double)(now.tv_nsec - descriptors[fd].at.tv_nsec) / 1e9;
        const double sent = passed * (double)t.c_ospeed / 10.0;
        double ahead = descriptors[fd].ahead > sent ? descriptors[fd].ahead - sent : 0.0;
        size_t n = size - done;
        if ((told(fd, t.c_cc) & TORVEX_TOLD_OPEN) && ahead < TORVEX_PACE_BUFFER) {
            if (n > TORVEX_PACE_BUFFER - (size_t)ahead) n = TORVEX_PACE_BUFFER - (size_t)ahead;
            real_ioctl(fd, TCXONC, TCOON);
        }
        written = real_write(fd, (const char*)data + done, n);
        const int error = errno;
        if (written > 0) {
            ahead += (double)written;
            done += (size_t)written;
            queued(fd, (size_t)written);
        }
        descriptors[fd].ahead = ahead;
        descriptors[fd].at = now;
        if (ahead > TORVEX_PACE_MARK) real_ioctl(fd, TCXONC, TCOOFF);
        errno = error;
    } while (written > 0 && done < size && blocking);
    return done > 0 ? (ssize_t)done : written;
}

ssize_t write(int fd, const void* data, size_t size) {
    bind_real();
    return is_pty(fd) ? paced_write(fd, data, size) : real_write(fd, data, size);
}

/* A program's session on a terminal the tool serves ends at its close. The
 * tool learns of the close a moment after it (it watches the terminal's
 * path); meanwhile it keeps the port open for the program, and what a
 * program that opens next wrote would go out in the session that ends,
 * whose answers the port drops at its close. So the library ends the
 * session itself, before the descriptor closes: the tool's word no longer
 * says the port is open, and the output is stopped, as the tool stops it at
 * a close; the next program's writes wait for the tool to open the port for
 * it. The write count of the descriptor starts again at an open. */
static void session_ends(int fd) {
    struct winsize w;
    if (!served(fd)) return;
    torvex_stash_lock(fd, F_WRLCK);
    if (real_ioctl(fd, TIOCGWINSZ, &w) == 0 && (w.ws_xpixel & TORVEX_TOLD_OPEN)) {
        real_ioctl(fd, TCXONC, TCOOFF);
        w.ws_xpixel &= (unsigned short)~TORVEX_TOLD_OPEN;
        real_ioctl(fd, TIOCSWINSZ, &w);
    }
    torvex_stash_lock(fd, F_UNLCK);
}

static int opened(int fd) {
    if (fd >= 0 && fd < DESCRIPTORS) memset(&descriptors[fd], 0, sizeof descriptors[fd]);
    return fd;
}

int close(int fd) {
    bind_real();
    const int error = errno;
    if (fd >= 0 && is_pty(fd)) session_ends(fd);
    errno = error;
    return real_close(fd);
}

/* The mode argument, which open and openat take only when creating. */
#define MODE_OF(flags, last)                                          \
    mode_t mode = 0;                                                  \
    if ((flags) & (O_CREAT | O_TMPFILE)) {                            \
        va_list ap;                                                   \
        va_start(ap, last);                                           \
        mode = va_arg(ap, mode_t);                                    \
        va_end(ap);                                                   \
    }

int open(const char* path, int flags, ...) {
    bind_real();
    MODE_OF(flags, flags)
    return opened(real_open(path, flags, mode));
}

int open64(const char* path, int flags, ...) {
    bind_real();
    MODE_OF(flags, flags)
    return opened(real_open64(path, flags, mode));
}

int openat(int dir, const char* path, int flags, ...) {
    bind_real();
    MODE_OF(flags, flags)
    return opened(real_openat(dir, path, flags, mode));
}

int openat64(int dir, const char* path, int flags, ...) {
    bind_real();
    MODE_OF(flags, flags)
    return opened(real_openat64(dir, path, flags, mode));
}

int tcsetattr(int fd, int actions, const struct termios* t) {
    bind_real();
    if (t == NULL || !is_pty(fd)) return real_tcsetattr(fd, actions, t);
    /* TCSADRAIN and TCSAFLUSH change the settings once the output is out;
     * the change itself is then immediate, so that the lock is never held
     * while the terminal waits for the tool. */
    if (actions != TCSANOW && drain(fd) != 0) return -1;
    if (actions == TCSAFLUSH && tcflush(fd, TCIFLUSH) != 0) return -1;
    struct termios copy = *t;
    as_pty(&copy.c_cflag);
    torvex_stash_lock(fd, F_WRLCK);
    stash(fd, t->c_cflag, copy.c_cc);
    const speed_t custom = custom_speed(fd, copy.c_cflag, copy.c_cc);
    if (custom == 0) return unlock(fd, real_tcsetattr(fd, TCSANOW, &copy));
    struct torvex_termios2 head = {copy.c_iflag, copy.c_oflag, copy.c_cflag, copy.c_lflag, copy.c_line, {0}, 0, 0};
    memcpy(head.c_cc, copy.c_cc, sizeof head.c_cc);
    return unlock(fd, set_terminal(fd, &head, custom, 0));
}

int tcgetattr(int fd, struct termios* t) {
    bind_real();
    const int result = real_tcgetattr(fd, t);
    if (result == 0 && is_pty(fd)) unstash(&t->c_cflag, t->c_cc);
    return result;
}

int tcsendbreak(int fd, int duration) {
    bind_real();
    if (!is_pty(fd)) return real_tcsendbreak(fd, duration);
    return mark_lines(fd, 1, 0, 0);
}

int ioctl(int fd, unsigned long request, ...) {
    bind_real();
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (!is_pty(fd)) return real_ioctl(fd, request, arg);
    /* Only the fields a kernel termios shares with termios2 are touched. */
    struct torvex_termios2* head = (struct torvex_termios2*)arg;
    switch (request) {
    case TCSETS:
    case TCSETSW:
    case TCSETSF:
    case TORVEX_TCSETS2:
    case TORVEX_TCSETSW2:
    case TORVEX_TCSETSF2: {
        /* The caller's buffer is left as it was: the stash goes in a copy.
         * The waiting forms wait first, then set at once (as tcsetattr). */
        unsigned char copy[64];
        const int old = request == TCSETS || request == TCSETSW || request == TCSETSF;
        const size_t size = old ? 36 : 44;
        if (arg == NULL) break;
        if (request != TCSETS && request != TORVEX_TCSETS2 && drain(fd) != 0) return -1;
        if ((request == TCSETSF || request == TORVEX_TCSETSF2) && tcflush(fd, TCIFLUSH) != 0) return -1;
        memcpy(copy, arg, size);
        struct torvex_termios2* settings = (struct torvex_termios2*)copy;
        as_pty(&settings->c_cflag);
        torvex_stash_lock(fd, F_WRLCK);
        stash(fd, head->c_cflag, settings->c_cc);
        return unlock(fd, set_terminal(fd, settings, custom_speed(fd, settings->c_cflag, settings->c_cc), old));
    }
    case TCGETS:
    case TORVEX_TCGETS2: {
        const int result = real_ioctl(fd, request, arg);
        if (result == 0 && arg != NULL) unstash(&head->c_cflag, head->c_cc);
        return result;
    }
    case TCSBRK:
    case TCSBRKP:
        if ((long)arg == 0 || request == TCSBRKP) return mark_lines(fd, 1, 0, 0);
        return drain(fd); /* TCSBRK with a non-zero argument is tcdrain */
    case TIOCSBRK:
        return mark_lines(fd, 0, TORVEX_STASH_BREAK_ON, TORVEX_STASH_BREAK_ON);
    case TIOCCBRK:
        return mark_lines(fd, 0, TORVEX_STASH_BREAK_ON, 0);
    case TIOCMGET:
        return modem_lines(fd, (int*)arg);
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        return set_modem_lines(fd, request, (const int*)arg);
    case TIOCSWINSZ:
        return set_window(fd, (const struct winsize*)arg);
    case TIOCGSERIAL:
        if (!served(fd)) break;
        return get_serial(fd, (struct serial_struct*)arg);
    case TIOCSSERIAL:
        if (!served(fd)) break;
        return set_serial(fd, (const struct serial_struct*)arg);
    case TIOCSERGETLSR:
    case TIOCOUTQ:
        if (!served(fd)) break;
        return transmitter(fd, request, (int*)arg);
    case TIOCGICOUNT:
        if (!served(fd)) break;
        return get_counts(fd, (struct serial_icounter_struct*)arg);
    case TIOCMIWAIT:
        if (!served(fd)) break;
        return wait_for_lines(fd, (unsigned long)arg);
    default:
        break;
    }
    return real_ioctl(fd, request, arg);
}
