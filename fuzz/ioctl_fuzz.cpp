// Device control from a tool that sends anything: arbitrary codes (the
// driver's own and any other), arbitrary input and output lengths and
// contents, to a started device whose port is open. The driver must never
// read or write outside the buffers (the sanitizers watch them, sized
// exactly), the verifier must stay silent, and nothing may be left behind.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "ioctl/ioctl_codes.h"
#include "sim/bench/tool.h"
#include "sim/serport/serport.h"

namespace {

const ULONG kCodes[] = {
#define TORVEX_FUZZ_CODE(Name, Code) Code,
    USB2SER_IOCTL_CODES(TORVEX_FUZZ_CODE)
#undef TORVEX_FUZZ_CODE
};
constexpr std::size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];
constexpr std::size_t kRequests = 6;  // per input
constexpr std::size_t kLengthLimit = 320;

}  // namespace

// Each request: a code selector (below the count of the driver's codes: one
// of them; otherwise the next four bytes are the code), the input length and
// the output length (two bytes each, below kLengthLimit), then the input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    torvex_fuzz::Reader in{data, size};
    std::string left;
    {
        sim::World world({.line = sim::LineKind::Loopback});
        world.bus().trace().keep_nothing();  // nobody reads it
        if (!NT_SUCCESS(world.start())) std::abort();
        sim::Serport serport(world.port());
        sim::Serport::register_callbacks();
        serport.open();
        sim::Tool tool(world);
        for (std::size_t n = 0; n < kRequests && !in.done(); ++n) {
            const std::uint8_t selector = in.byte();
            ULONG code = kCodes[selector % kCodeCount];
            if (selector >= 2 * kCodeCount) {
                code = in.dword();
            }
            const std::size_t input_length = in.word() % kLengthLimit;
            const ULONG output_length = static_cast<ULONG>(in.word() % kLengthLimit);
            std::vector<std::uint8_t> input(input_length);
            for (std::uint8_t& b : input) b = in.byte();
            tool.send(code, input, output_length);
        }
        serport.close();
        left = world.teardown();
    }
    if (!left.empty()) {
        std::fprintf(stderr, "the requests left this behind:\n%s", left.c_str());
        std::abort();
    }
    return 0;
}
