// The inspection commands for users of the adapter: each builds an emulated
// world, starts the device, and works through the driver's own control codes
// as a tool on the platform would.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "sim/bench/world.h"

namespace tool {

// `descriptors`, `eeprom read [START] [LENGTH]`, `eeprom write START HEX...`
// or `registers`, with their arguments. Prints to `out`; a progress bar for
// long operations goes to `progress` when that is a terminal. Returns the
// exit status: 0, 1 when an operation failed, 2 for bad arguments.
int adapter_command(const std::string& command, const std::vector<std::string>& args, const sim::WorldOptions& world,
            std::FILE* out, std::FILE* progress);

}  // namespace tool
