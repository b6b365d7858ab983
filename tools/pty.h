// `torvex pty`: the emulated COM port as a pseudo-terminal (each adapter's,
// when the world has several), so that the serial programs people already
// have can use it, with the world paced to the wall clock while they do.
#pragma once

#include <cstdio>
#include <string>

#include "sim/bench/world.h"

namespace tool {

struct PtyOptions {
    sim::WorldOptions world;
    // The far end of the line: the loopback plug, or a second pseudo-terminal
    // standing for the device at the other end of the cable.
    bool far_pty = false;
    // A symlink to the port's pseudo-terminal, when given; with several
    // adapters (`world.adapters`) one to each port's, numbered from 1.
    std::string link;
    std::string vcd;  // where to write the line's waveform, when given; numbered likewise
};

// Runs until SIGINT or SIGTERM; returns 0 when the world was torn down clean.
int pty_command(const PtyOptions& options, std::FILE* out, std::FILE* err);

}  // namespace tool
