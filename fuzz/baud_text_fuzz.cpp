// The run-time baud-rate text the port driver hands over: any bytes, with or
// without a terminator. The driver reads at most its 260-byte buffer's worth
// looking for the terminator, so a text without one is handed over in at
// least that many bytes (the port driver's own buffer); the sanitizers watch
// every byte of it. Then the table must hold what the driver says it holds
// (a count within its rows), and a started port must take rates through it
// and leave nothing behind.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/usb2ser.h"
#include "serial/line_coding.h"
#include "sim/bench/world.h"
#include "sim/serport/serport.h"

namespace {

const std::size_t kDriverReads = 260;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char> text(data, data + size);
    if (std::find(text.begin(), text.end(), '\0') == text.end() && text.size() < kDriverReads) {
        for (std::size_t i = 0; text.size() < kDriverReads; ++i) text.push_back(size != 0 ? data[i % size] | 1 : ' ');
    }
    std::string left;
    {
        sim::World world({.chip = sim::ChipKind::Extended});
        if (!NT_SUCCESS(world.start())) std::abort();
        if (!sim::Serport::imports().ExtBaudrateForSerport(text.data())) std::abort();
        if (gExtBaudrateCnt < 0 || gExtBaudrateCnt > USB2SER_EXT_BAUD_ROWS) {
            std::fprintf(stderr, "the table says it holds %ld rows\n", static_cast<long>(gExtBaudrateCnt));
            std::abort();
        }
        sim::Serport serport(world.port());
        sim::Serport::register_callbacks();
        serport.open();
        // The rates of the table's first rows, and ones it may not hold.
        for (LONG row = 0; row < std::min<LONG>(gExtBaudrateCnt, 3); ++row) serport.set_baud(AvailExtBaudRate[row][0]);
        for (ULONG rate : {0u, 9600u, 921600u, 0xFFFFFFFFu}) serport.set_baud(rate);
        serport.close();
        sim::Serport::imports().ExtBaudrateForSerport(nullptr);
        left = world.teardown();
    }
    if (!left.empty()) {
        std::fprintf(stderr, "the text left this behind:\n%s", left.c_str());
        std::abort();
    }
    return 0;
}
