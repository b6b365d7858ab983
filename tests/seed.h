// The seed a test's world uses: its own fixed seed, or TORVEX_SEED when set,
// which replays a run that a bug check reported.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace torvex_test {

inline std::uint64_t seed_or_environment(std::uint64_t fixed) {
    const char* text = std::getenv("TORVEX_SEED");
    if (text == nullptr || *text == '\0') return fixed;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    return end != nullptr && *end == '\0' ? value : fixed;
}

}  // namespace torvex_test
