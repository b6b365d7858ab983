// The seed a test's world uses: its own fixed seed, or TORVEX_SEED when set,
// which replays a run that a bug check reported.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "host/kernel/scheduler.h"

namespace torvex_test {

inline std::uint64_t seed_or_environment(std::uint64_t fixed) {
    const char* text = std::getenv("TORVEX_SEED");
    if (text == nullptr || *text == '\0') return fixed;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    return end != nullptr && *end == '\0' ? value : fixed;
}

// The scheduling strategy of a test's world: TORVEX_STRATEGY=pct picks the
// probabilistic-concurrency-testing one, which the sweep runs as well.
inline host::Strategy strategy_or_environment(host::Strategy fixed) {
    const char* text = std::getenv("TORVEX_STRATEGY");
    if (text == nullptr || *text == '\0') return fixed;
    return std::string_view(text) == "pct" ? host::Strategy::Pct : host::Strategy::Random;
}

// The seeds a race-prone scenario runs through: 1 to `count`, or the range
// TORVEX_SEEDS gives ("a..b"), which the sweep uses to go wider.
struct SeedRange {
    std::uint64_t first;
    std::uint64_t last;
};

inline SeedRange seed_range(std::uint64_t count) {
    const char* text = std::getenv("TORVEX_SEEDS");
    if (text != nullptr) {
        char* end = nullptr;
        unsigned long long first = std::strtoull(text, &end, 10);
        if (end != text && end[0] == '.' && end[1] == '.') {
            const char* rest = end + 2;
            unsigned long long last = std::strtoull(rest, &end, 10);
            if (end != rest && *end == '\0' && first <= last) return {first, last};
        }
    }
    return {1, count};
}

}  // namespace torvex_test
