// A full-duplex loopback stream through Serport, the driver, the bus and the
// chip: the share of the line's rate each direction reaches in simulated
// time, and how many simulated seconds pass per real second.
#include <benchmark/benchmark.h>

#include <chrono>

#include "sim/bench/world.h"
#include "sim/serport/serport.h"

namespace {

void BM_DriverLoopback(benchmark::State& state) {
    const ULONG baud = static_cast<ULONG>(state.range(0));
    const std::size_t chunk = static_cast<std::size_t>(state.range(1));
    const std::size_t bytes = baud / 10 * 2;  // two seconds of the line
    double tx_share = 0, rx_share = 0, speed = 0;
    std::uint64_t overruns = 0;
    for (auto _ : state) {
        sim::World world({.seed = 1});
        world.start();
        sim::Serport serport(world.port(), chunk);
        sim::Serport::register_callbacks();
        serport.set_baud(baud);
        serport.open();
        std::vector<std::uint8_t> source(bytes);
        for (std::size_t i = 0; i < bytes; ++i) source[i] = static_cast<std::uint8_t>(i);

        auto started = std::chrono::steady_clock::now();
        host::Time start = world.kernel().now();
        serport.write(source);
        // The application looks every 10 ms, as a terminal program would.
        while (serport.available() < bytes) world.kernel().run_for(10 * host::kMillisecond);
        std::size_t received = serport.read(bytes, 0).size();
        double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        double simulated = static_cast<double>(world.kernel().now() - start) / host::kSecond;
        double seconds = static_cast<double>(serport.last_received_at() - start) / host::kSecond;
        const double line = baud / 10.0;
        tx_share = static_cast<double>(world.chip().counters().tx_bytes) / (line * seconds);
        rx_share = static_cast<double>(received) / (line * seconds);
        speed = simulated / real;
        overruns = world.chip().counters().overruns;
        if (!world.teardown().empty()) state.SkipWithError("the world left something behind");
    }
    state.counters["tx_share"] = tx_share;
    state.counters["rx_share"] = rx_share;
    state.counters["overruns"] = static_cast<double>(overruns);
    state.counters["simulated_s_per_real_s"] = speed;
}
BENCHMARK(BM_DriverLoopback)
    ->Args({6'000'000, 256})
    ->Args({6'000'000, 4096})
    ->Args({115'200, 256})
    ->Args({115'200, 4096})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
