// Scenario scripts: a world driven from a short text file, one command a
// line, comments with '#'. The reference is docs/SCRIPTS.md.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "host/kernel/scheduler.h"
#include "host/usb/usb_bus.h"

namespace tool {

struct ScriptRun {
    std::string path;                    // for messages and the replay line
    std::optional<std::uint64_t> seed;   // overrides the script's own seed
    std::optional<host::Strategy> strategy;  // overrides the script's own strategy
    std::optional<int> interfaces;       // overrides the script's own layout
    std::optional<host::Controller> controller;  // overrides the script's own host controller
    // The fault point that fails (0: none). Such a run goes on past the
    // expectations that fail after the fault, and ends by checking that the
    // port carries data both ways again.
    std::uint64_t fault = 0;
    // The fault point is the moment the adapter is pulled out instead.
    bool unplug = false;
    // Where to leave the number of fault points the run reached, if anywhere.
    std::uint64_t* fault_points = nullptr;
    // Where to write the line's waveform as a Value Change Dump, if anywhere.
    std::string vcd;
    // The driver image the world loads (the 32-bit host runs only an image).
    std::string image;
};

// Runs the script text. Prints one line per command, with the virtual time,
// to `out`; a failed expectation prints the script line, the seed and the
// command that replays it. Returns 0 when everything held, 1 on a failed
// expectation or a world left unclean, 2 on a script that cannot run. With a
// fault: 0 when the port carried data afterwards and nothing was left
// behind, 1 otherwise.
int run_script(const std::string& text, const ScriptRun& run, std::FILE* out);

// The script words by their groups, each with its arguments and its line of
// help, and the notes on times and texts: the scenario-script part of
// torvex --help.
std::string script_help();

// The text of a script file ("-": standard input); false, with `error` set,
// when it cannot be opened.
bool read_script(const std::string& path, std::string* text, std::string* error);

}  // namespace tool
