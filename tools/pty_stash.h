/* What a pseudo-terminal cannot carry, kept for `torvex pty` in termios
 * fields Linux leaves unused: a pseudo-terminal forces CS8 without parity
 * and ignores breaks, so the preload library (tools/tty_preload.c) records
 * the data bits and parity a program asks for, and counts its breaks, in the
 * spare control characters of the terminal's termios, which the master side
 * reads back. Shared by the library (C) and the tool (C++). */
#ifndef TORVEX_PTY_STASH_H
#define TORVEX_PTY_STASH_H

#include <termios.h>

/* c_cc[7] (VSWTC, unused on Linux): 0x80 | 0x40 if PARENB | CSIZE >> 4. */
#define TORVEX_STASH_FRAMING 7
#define TORVEX_STASH_MARK 0x80
/* c_cc[17] (past VEOL2, unused): timed breaks sent so far, modulo 256;
 * c_cc[18]: 1 while a break is held on. */
#define TORVEX_STASH_BREAKS 17
#define TORVEX_STASH_HELD 18

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
inline bool held(const cc_t* cc) { return cc[TORVEX_STASH_HELD] != 0; }

}  // namespace tool::stash
#endif

#endif
