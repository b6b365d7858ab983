/* What a pseudo-terminal cannot carry, kept for `torvex pty` in fields Linux
 * leaves unused: a pseudo-terminal forces CS8 without parity, ignores breaks
 * and has no modem lines, so the preload library (tools/tty_preload.c)
 * records the data bits and parity a program asks for, its breaks and its
 * DTR and RTS, in the spare control characters of the terminal's termios,
 * which the master side reads back. What the tool tells the program (the
 * modem lines coming in, a drain done, the port open) goes in the window
 * size, which the master sets without rewriting the termios: a program
 * without the library sets its termios without the stash's lock, and a
 * rewrite made meanwhile would undo it. Shared by the library (C) and the
 * tool (C++). */
#ifndef TORVEX_PTY_STASH_H
#define TORVEX_PTY_STASH_H

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>

/* The kernel's struct termios2, which TCGETS2 and TCSETS2 carry (any rate as
 * a number); the kernel's struct termios is its first 36 bytes. */
struct torvex_termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
#define TORVEX_TCGETS2 0x802C542AUL  /* _IOR('T', 0x2A, struct termios2) */
#define TORVEX_TCSETS2 0x402C542BUL  /* _IOW('T', 0x2B, struct termios2) */
#define TORVEX_TCSETSW2 0x402C542CUL
#define TORVEX_TCSETSF2 0x402C542DUL
#define TORVEX_BOTHER 0010000  /* CBAUD: the rate is c_ispeed, c_ospeed as numbers */
#define TORVEX_IBSHIFT 16      /* the input rate's CBAUD bits, shifted */

/* c_cc[7] (VSWTC, unused on Linux): 0x80 | 0x40 if PARENB | CSIZE >> 4, the
 * framing the program asked for. */
#define TORVEX_STASH_FRAMING 7
#define TORVEX_STASH_MARK 0x80
/* c_cc[17] (past VEOL2, unused): timed breaks sent so far, modulo 256.
 * c_cc[18]: the program's own lines: 0x01 while a break is held on, 0x02
 * when it dropped DTR, 0x04 when it dropped RTS (both are up at an open);
 * 0x08, flipped to ask for a drain (tcdrain); 0x10 while it raises the
 * ring indicator (TIOCM_RI: a far end's program ringing the port); 0x20
 * while it asked for a custom divisor (TIOCSSERIAL with ASYNC_SPD_CUST,
 * which B38400 then stands for: the terminal holds the rate); 0x80, set
 * by the tool when it creates the terminal, says that it serves the
 * terminal. */
#define TORVEX_STASH_BREAKS 17
#define TORVEX_STASH_HELD 18
#define TORVEX_STASH_BREAK_ON 0x01
#define TORVEX_STASH_DTR_OFF 0x02
#define TORVEX_STASH_RTS_OFF 0x04
#define TORVEX_STASH_DRAIN_ASKED 0x08
#define TORVEX_STASH_RING 0x10
#define TORVEX_STASH_SPD_CUST 0x20
#define TORVEX_STASH_SERVED 0x80
/* The tool's word, in ws_xpixel of a terminal it serves (a serial port has no
 * window; the library keeps the field when a program sets a window size):
 * the modem lines coming in; 0x10, made equal to the drain bit once the port
 * has sent everything the program wrote; 0x20, while the port is open for
 * the program, lets the library start a stopped output for a write while
 * the port has room (the library takes it back at the program's close);
 * 0x40 while everything the program wrote has gone out on the line (the
 * transmitter is empty). ws_ypixel holds how many bytes the port has still
 * to send, up to 65,535. */
#define TORVEX_TOLD_CTS 0x01
#define TORVEX_TOLD_DSR 0x02
#define TORVEX_TOLD_DCD 0x04
#define TORVEX_TOLD_RI 0x08
#define TORVEX_TOLD_DRAINED 0x10
#define TORVEX_TOLD_OPEN 0x20
#define TORVEX_TOLD_SENT 0x40
/* Pacing a served terminal's writes as a serial port's: it takes writes
 * while fewer than TORVEX_PACE_BUFFER bytes wait to go on the line (its
 * driver's buffer), and polls as writable only while at most
 * TORVEX_PACE_MARK wait (Linux: 256); the output is stopped otherwise. */
#define TORVEX_PACE_MARK 256
#define TORVEX_PACE_BUFFER 4096

/* Both sides change the stash and the tool's word by reading them and
 * writing them back whole, so a change made between the other's read and
 * write would be lost (a program's new rate, or a break). Each holds a lock
 * on the terminal around its read and write: an open file description's
 * lock on one byte far past anything a program locks (not flock, which a
 * program may hold for its whole session). The tool holds it only for those
 * two calls; a program only around a change that does not wait for the
 * tool. */
#define TORVEX_STASH_LOCK_AT 0x7FFFFFFF00LL
static inline int torvex_stash_lock(int fd, short type) {
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = TORVEX_STASH_LOCK_AT;
    lock.l_len = 1;
    while (fcntl(fd, F_OFD_SETLKW, &lock) != 0) {
        if (errno != EINTR) return -1;
    }
    return 0;
}

/* The port's counts, which a program reads with TIOCGICOUNT and waits on
 * with TIOCMIWAIT: the changes of CTS, DSR and DCD, the rings, the bytes the
 * UART received and sent, the line's errors and breaks, and what the port's
 * receive buffer lost. They are a serial port's interrupt counts, kept for
 * the port's life, more than a terminal's fields can carry: the tool keeps
 * them in a shared memory object named after the terminal's device numbers
 * (torvex_counts_name), which it creates and removes; the library maps it to
 * read. `sequence` is odd while the tool writes, so that a reader tries
 * again instead of taking half a change. */
enum {
    TORVEX_COUNT_CTS, TORVEX_COUNT_DSR, TORVEX_COUNT_RNG, TORVEX_COUNT_DCD, TORVEX_COUNT_RX, TORVEX_COUNT_TX,
    TORVEX_COUNT_FRAME, TORVEX_COUNT_OVERRUN, TORVEX_COUNT_PARITY, TORVEX_COUNT_BRK, TORVEX_COUNT_BUF_OVERRUN,
    TORVEX_COUNTS
};
struct torvex_counts {
    unsigned sequence;
    int count[TORVEX_COUNTS];
};
#define TORVEX_COUNTS_NAME_SIZE 48
static inline void torvex_counts_name(char* name, unsigned major, unsigned minor) {
    snprintf(name, TORVEX_COUNTS_NAME_SIZE, "/torvex-tty-%u.%u", major, minor);
}
static inline void torvex_counts_write(struct torvex_counts* shared, const int* count) {
    const unsigned s = __atomic_load_n(&shared->sequence, __ATOMIC_RELAXED);
    __atomic_store_n(&shared->sequence, s + 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    for (int i = 0; i < TORVEX_COUNTS; ++i) __atomic_store_n(&shared->count[i], count[i], __ATOMIC_RELAXED);
    __atomic_store_n(&shared->sequence, s + 2, __ATOMIC_RELEASE);
}
/* 0, or -1 when the tool left a change unfinished (it was killed). */
static inline int torvex_counts_read(const struct torvex_counts* shared, int* count) {
    for (int tries = 0; tries < 100000; ++tries) {
        const unsigned s = __atomic_load_n(&shared->sequence, __ATOMIC_ACQUIRE);
        if (s & 1) continue;
        for (int i = 0; i < TORVEX_COUNTS; ++i) count[i] = __atomic_load_n(&shared->count[i], __ATOMIC_RELAXED);
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        if (__atomic_load_n(&shared->sequence, __ATOMIC_RELAXED) == s) return 0;
    }
    return -1;
}

#ifdef __cplusplus
#include <optional>

namespace tool::stash {

// The CSIZE and PARENB bits the program asked for, if the library kept them.
inline std::optional<tcflag_t> framing(const cc_t* cc) {
    const cc_t v = cc[TORVEX_STASH_FRAMING];
    if (!(v & TORVEX_STASH_MARK)) return std::nullopt;
    return static_cast<tcflag_t>(((v & 0x03) << 4) | ((v & 0x40) ? PARENB : 0));
}

inline cc_t breaks(const cc_t* cc) { return cc[TORVEX_STASH_BREAKS]; }
inline bool held(const cc_t* cc) { return (cc[TORVEX_STASH_HELD] & TORVEX_STASH_BREAK_ON) != 0; }
inline bool dtr(const cc_t* cc) { return (cc[TORVEX_STASH_HELD] & TORVEX_STASH_DTR_OFF) == 0; }
inline bool rts(const cc_t* cc) { return (cc[TORVEX_STASH_HELD] & TORVEX_STASH_RTS_OFF) == 0; }
inline bool ring(const cc_t* cc) { return (cc[TORVEX_STASH_HELD] & TORVEX_STASH_RING) != 0; }
// The program's drain bit, which the tool's word answers.
inline bool drain_bit(const cc_t* cc) { return (cc[TORVEX_STASH_HELD] & TORVEX_STASH_DRAIN_ASKED) != 0; }

}  // namespace tool::stash
#endif

#endif
