// What the fuzz targets that run a world share: how a finding ends the run,
// and reading what the port receives within a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/bench/world.h"
#include "sim/serport/serport.h"

namespace torvex_fuzz {

[[noreturn]] inline void finding(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

// Up to `count` bytes the port receives within `within`.
inline std::vector<std::uint8_t> read_for(sim::World& world, sim::Serport& serport, std::size_t count,
                                          host::Time within) {
    std::vector<std::uint8_t> got;
    const host::Time until = world.kernel().now() + within;
    while (got.size() < count && world.kernel().now() < until) {
        const std::vector<std::uint8_t> more = serport.read(count - got.size(), until - world.kernel().now());
        got.insert(got.end(), more.begin(), more.end());
    }
    return got;
}

}  // namespace torvex_fuzz
