// The line as a Value Change Dump (IEEE 1364), in nanoseconds of virtual
// time: the chip's TXD and RXD at the bit level (start, data, parity and stop
// bits at the UART's timing, breaks held low), its DTR and RTS as the line
// sees them, its CTS, DSR, DCD and RI inputs, and the auxiliary line. GTKWave
// and PulseView open it; sigrok's UART decoder reads the bytes back.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

#include "sim/chip/bridge_chip.h"

namespace sim {

// Written as the world runs, so that a long session needs no memory for it:
// a change is written once no character still to come can start before it
// (a character is reported when its last stop bit ends).
class VcdWriter final : public LineProbe {
public:
    VcdWriter() = default;
    VcdWriter(const VcdWriter&) = delete;
    VcdWriter& operator=(const VcdWriter&) = delete;
    ~VcdWriter() override;

    // Creates `path` and writes the header; false, with `error` set, when it
    // cannot.
    bool open(const std::string& path, std::string* error);
    // Writes what is still held, ends the dump at `end` and closes the file;
    // false, with `error` set, when a write failed.
    bool close(Time end, std::string* error);

    void expect(const Framing& framing, Time at) override;
    void character(Wire wire, std::uint8_t byte, const Framing& framing, Time end) override;
    void line_break(Wire wire, bool on, Time at) override;
    void outputs(bool dtr, bool rts, Time at) override;
    void inputs(const ModemInputs& inputs, Time at) override;
    void aux(bool level, Time at) override;

private:
    enum Signal { kTxd, kRxd, kDtr, kRts, kCts, kDsr, kDcd, kRi, kAux, kSignals };
    struct Change {
        std::uint64_t ns;
        bool level;
    };
    void change(Signal signal, bool level, std::uint64_t ns);
    void reached(std::uint64_t ns);
    void write_until(std::uint64_t ns);

    std::FILE* m_file = nullptr;
    std::string m_path;
    std::array<std::deque<Change>, kSignals> m_held;  // each in time order
    std::array<bool, kSignals> m_level{};             // the last level given
    std::uint64_t m_written = 0;                      // the time of the last change written
    std::uint64_t m_latest = 0;                       // the latest time reported
    std::uint64_t m_horizon = 0;                      // the longest character expected
};

}  // namespace sim
