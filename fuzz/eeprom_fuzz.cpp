// A chip whose EEPROM holds anything at all: the chip's initialisation reads
// it at the start and after every power loss. Whatever it holds, the port
// must start, open, carry a text through the loopback plug at two rates,
// sleep and wake with it, and leave nothing behind.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_world.h"

namespace {

using torvex_fuzz::finding;
using torvex_fuzz::read_for;

// A text through the loopback plug comes back as it went.
void echo(sim::World& world, sim::Serport& serport, const char* when) {
    const std::vector<std::uint8_t> text = {'e', 'e', 'p', 'r', 'o', 'm'};
    serport.write(text);
    if (read_for(world, serport, text.size(), host::kSecond) != text) finding(when);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the chip and its layout; the rest is the EEPROM.
    std::string left;
    {
        sim::World world({.chip = static_cast<sim::ChipKind>(data[0] % 3),
                          .interfaces = 1 + data[0] / 3 % 2,
                          .eeprom = std::vector<std::uint8_t>(data + 1, data + std::min<std::size_t>(size, 257))});
        if (!NT_SUCCESS(world.start())) finding("the start failed");
        sim::Serport serport(world.port());
        sim::Serport::register_callbacks();
        if (!serport.open()) finding("the port did not open");
        echo(world, serport, "no echo at the start's rate");
        serport.set_baud(115200);
        echo(world, serport, "no echo at 115200");
        if (!NT_SUCCESS(world.sleep()) || !NT_SUCCESS(world.wake())) finding("the sleep or the wake failed");
        echo(world, serport, "no echo after the wake");
        serport.close();
        left = world.teardown();
    }
    if (!left.empty()) finding("the session left this behind:\n" + left);
    return 0;
}
