// Scenario scripts: a world driven from a short text file, one command a
// line, comments with '#'. The reference is docs/SCRIPTS.md.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "host/kernel/scheduler.h"

namespace tool {

struct ScriptRun {
    std::string path;                    // for messages and the replay line
    std::optional<std::uint64_t> seed;   // overrides the script's own seed
    std::optional<host::Strategy> strategy;  // overrides the script's own strategy
};

// Runs the script text. Prints one line per command, with the virtual time,
// to `out`; a failed expectation prints the script line, the seed and the
// command that replays it. Returns 0 when everything held, 1 on a failed
// expectation or a world left unclean, 2 on a script that cannot run.
int run_script(const std::string& text, const ScriptRun& run, std::FILE* out);

}  // namespace tool
