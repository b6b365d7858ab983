// Device start against a device whose configuration descriptor is anything at
// all: the driver must never read or write outside its buffers, whatever the
// bytes, and must leave nothing behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sim/bench/world.h"
#include "usb/configure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first byte chooses the chip's kind; the rest is its configuration descriptor.
    sim::ChipConfig config = sim::ChipConfig::of(static_cast<sim::ChipKind>(data[0] % 3), 1 + data[0] / 3 % 2);
    config.configuration_override = std::vector<std::uint8_t>(data + 1, data + size);
    std::string left;
    {
        sim::World world({.chip_config = config});
        USB2SER_StartDevice(world.fdo());
        left = world.teardown();
    }
    if (!left.empty()) {
        std::fprintf(stderr, "the start left this behind:\n%s", left.c_str());
        std::abort();
    }
    return 0;
}
