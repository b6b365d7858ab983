// A fuzz input read a byte at a time; past its end every byte is 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvex_fuzz {

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    // Little-endian, the low byte first.
    std::uint16_t word() {
        const std::uint8_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }
    std::uint32_t dword() {
        const std::uint16_t low = word();
        return low | static_cast<std::uint32_t>(word()) << 16;
    }
    bool done() const { return at >= size; }
};

}  // namespace torvex_fuzz
