// A full-duplex loopback stream through Serport, the driver, the bus and the
// chip: the share of the line's rate each direction reaches in simulated
// time, and how many simulated seconds pass per second of CPU time (the
// world runs on one thread: the process's CPU time is its own).
#include <benchmark/benchmark.h>

#include <ctime>
#include <memory>
#include <vector>

#include "sim/bench/world.h"
#include "sim/serport/serport.h"

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Two seconds of the line through the loopback plug, full duplex: a counting
// pattern written at once, the application reading every 10 ms, as a
// terminal program would, until every byte has come back or was lost.
struct LoopbackStream {
    LoopbackStream(std::uint64_t seed, host::Controller controller, ULONG baud, std::size_t chunk, bool hardware_flow,
                   int adapters = 1)
        : world({.seed = seed, .adapters = adapters, .bus = {.controller = controller}}), bytes(baud / 10 * 2),
          received(static_cast<std::size_t>(adapters)) {
        world.bus().trace().keep_nothing();  // as `torvex pty`: nobody reads it
        for (int k = 1; k <= adapters; ++k) world.adapter(k).start();
        for (int k = 1; k <= adapters; ++k) {
            serports.push_back(std::make_unique<sim::Serport>(world.adapter(k).port(), chunk));
        }
        sim::Serport::register_callbacks();
        for (auto& serport : serports) {
            serport->set_baud(baud);
            if (hardware_flow) {
                serport->set_rts(true);
                serport->set_hardware_flow(true);
            }
            serport->set_receive_buffer(64 * 1024);  // more than 10 ms of the fastest line
            serport->open();
        }
    }

    void run() {
        std::vector<std::uint8_t> source(bytes);
        for (std::size_t i = 0; i < bytes; ++i) source[i] = static_cast<std::uint8_t>(i);
        start = world.kernel().now();
        for (auto& serport : serports) serport->write(source);
        while (total() + overruns() < bytes * serports.size() && world.kernel().now() - start < 10 * host::kSecond) {
            world.kernel().run_for(10 * host::kMillisecond);
            for (std::size_t k = 0; k < serports.size(); ++k) {
                received[k] += serports[k]->read(bytes - received[k], 0).size();
            }
        }
    }
    std::size_t total() const {
        std::size_t sum = 0;
        for (std::size_t n : received) sum += n;
        return sum;
    }
    std::uint64_t overruns() {
        std::uint64_t sum = 0;
        for (int k = 1; k <= world.adapters(); ++k) sum += world.adapter(k).chip().counters().overruns;
        return sum;
    }
    // The share of the line's rate adapter k's received bytes reached.
    double rx_share(std::size_t k, ULONG baud) const {
        const double seconds = static_cast<double>(serports[k]->last_received_at() - start) / host::kSecond;
        return static_cast<double>(received[k]) / (baud / 10.0 * seconds);
    }

    sim::World world;
    std::vector<std::unique_ptr<sim::Serport>> serports;
    const std::size_t bytes;
    host::Time start = 0;
    std::vector<std::size_t> received;  // by adapter
};

// With hardware flow control, under the period's host controllers with their
// interrupt's lateness (the world's default timing): nothing may be lost.
void BM_DriverLoopback(benchmark::State& state) {
    const ULONG baud = static_cast<ULONG>(state.range(0));
    const std::size_t chunk = static_cast<std::size_t>(state.range(1));
    const auto controller = static_cast<host::Controller>(state.range(2));
    double tx_share = 0, rx_share = 0, speed = 0;
    std::uint64_t overruns = 0;
    for (auto _ : state) {
        LoopbackStream stream(1, controller, baud, chunk, true);
        const double started = cpu_seconds();
        stream.run();
        const double cpu = cpu_seconds() - started;
        sim::World& world = stream.world;
        double simulated = static_cast<double>(world.kernel().now() - stream.start) / host::kSecond;
        double seconds = static_cast<double>(stream.serports[0]->last_received_at() - stream.start) / host::kSecond;
        const double line = baud / 10.0;
        tx_share = static_cast<double>(world.chip().counters().tx_bytes) / (line * seconds);
        rx_share = stream.rx_share(0, baud);
        speed = simulated / cpu;
        overruns = stream.overruns();
        if (stream.total() != stream.bytes || overruns != 0) state.SkipWithError("bytes were lost");
        if (!world.teardown().empty()) state.SkipWithError("the world left something behind");
    }
    state.counters["tx_share"] = tx_share;
    state.counters["rx_share"] = rx_share;
    state.counters["overruns"] = static_cast<double>(overruns);
    state.counters["simulated_s_per_cpu_s"] = speed;
}
BENCHMARK(BM_DriverLoopback)
    ->ArgNames({"baud", "chunk", "ohci"})
    ->ArgsProduct({{6'000'000, 921'600, 115'200}, {256, 4096}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Two adapters on one bus, each streaming two seconds of its line full duplex
// through its loopback plug with hardware flow control: the share of its
// line each one's received bytes reach (the bus's frames serve both), and the
// simulated seconds per CPU second.
void BM_TwoAdapterLoopback(benchmark::State& state) {
    const ULONG baud = static_cast<ULONG>(state.range(0));
    const auto controller = static_cast<host::Controller>(state.range(1));
    double first = 0, second = 0, speed = 0;
    for (auto _ : state) {
        LoopbackStream stream(1, controller, baud, 4096, true, 2);
        const double started = cpu_seconds();
        stream.run();
        const double cpu = cpu_seconds() - started;
        first = stream.rx_share(0, baud);
        second = stream.rx_share(1, baud);
        speed = static_cast<double>(stream.world.kernel().now() - stream.start) / host::kSecond / cpu;
        if (stream.total() != 2 * stream.bytes || stream.overruns() != 0) state.SkipWithError("bytes were lost");
        if (!stream.world.teardown().empty()) state.SkipWithError("the world left something behind");
    }
    state.counters["rx_share_1"] = first;
    state.counters["rx_share_2"] = second;
    state.counters["simulated_s_per_cpu_s"] = speed;
}
BENCHMARK(BM_TwoAdapterLoopback)
    ->ArgNames({"baud", "ohci"})
    ->ArgsProduct({{921'600, 3'000'000, 6'000'000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// Without flow control: the bytes the chip's receive FIFO could not hold
// while the host controller came late to the reads (counted by the chip as
// overruns), for each controller, over seeds 1 to 5, two seconds of line each.
void BM_UnflowedLoopback(benchmark::State& state) {
    const ULONG baud = static_cast<ULONG>(state.range(0));
    const auto controller = static_cast<host::Controller>(state.range(1));
    std::uint64_t overruns = 0;
    for (auto _ : state) {
        overruns = 0;
        for (std::uint64_t seed = 1; seed <= 5; ++seed) {
            LoopbackStream stream(seed, controller, baud, 4096, false);
            stream.run();
            overruns += stream.overruns();
            if (!stream.world.teardown().empty()) state.SkipWithError("the world left something behind");
        }
    }
    state.counters["overruns"] = static_cast<double>(overruns);
}
BENCHMARK(BM_UnflowedLoopback)
    ->ArgNames({"baud", "ohci"})
    ->ArgsProduct({{230'400, 460'800, 500'000, 921'600, 1'000'000, 1'500'000, 3'000'000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// 6,000,000 baud, full duplex with a device at the far end whose application
// reads at half the line's rate from an 8 KB buffer, hardware flow control on
// both sides: each direction's share of the line, and the bytes lost (none
// may be). The buffer leaves room for what arrives while the far end reacts:
// its reader's millisecond, and the frame the bus may run the chip ahead.
void BM_FlowControlledHalfRateReader(benchmark::State& state) {
    const ULONG baud = 6'000'000;
    const std::size_t bytes = baud / 10;  // one second of the line each way
    double out_share = 0, in_share = 0, speed = 0;
    std::uint64_t lost = 0;
    for (auto _ : state) {
        sim::World world({.seed = 1, .line = sim::LineKind::Peer});
        world.bus().trace().keep_nothing();
        world.start();
        sim::Serport serport(world.port(), 4096);
        sim::Serport::register_callbacks();
        serport.set_baud(baud);
        serport.set_rts(true);
        serport.set_hardware_flow(true);
        serport.open();
        world.peer().set_flow_control({.hardware = true});
        world.peer().set_lines({.cts = true});
        std::vector<std::uint8_t> out(bytes), in(bytes);
        for (std::size_t i = 0; i < bytes; ++i) {
            out[i] = static_cast<std::uint8_t>(i);
            in[i] = static_cast<std::uint8_t>(i * 3);
        }
        const double started = cpu_seconds();
        host::Time start = world.kernel().now();
        std::vector<std::uint8_t> got;
        {
            sim::PeerReader reader(world.peer(), baud / 10 / 2, 8192, true);
            serport.write(out);
            world.peer().send(in);
            const host::Time limit = world.kernel().now() + 10 * host::kSecond;
            while ((got.size() < bytes || world.peer().received().size() < bytes) && world.kernel().now() < limit) {
                std::vector<std::uint8_t> part = serport.read(bytes, 10 * host::kMillisecond);
                got.insert(got.end(), part.begin(), part.end());
            }
        }
        const double cpu = cpu_seconds() - started;
        const double line = baud / 10.0;
        const double out_seconds = static_cast<double>(world.peer().received_at().back() - start) / host::kSecond;
        const double in_seconds = static_cast<double>(serport.last_received_at() - start) / host::kSecond;
        out_share = static_cast<double>(bytes) / (line * out_seconds);
        in_share = static_cast<double>(bytes) / (line * in_seconds);
        speed = static_cast<double>(world.kernel().now() - start) / host::kSecond / cpu;
        lost = world.peer().lost() + world.chip().counters().overruns + (got == in ? 0 : 1) +
               (world.peer().received() == out ? 0 : 1);
        if (!world.teardown().empty()) state.SkipWithError("the world left something behind");
    }
    state.counters["out_share"] = out_share;
    state.counters["in_share"] = in_share;
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["simulated_s_per_cpu_s"] = speed;
}
BENCHMARK(BM_FlowControlledHalfRateReader)->Unit(benchmark::kMillisecond)->Iterations(1);

// From nothing to a port open for a program: the world built, the driver
// loaded, the device started, the port opened; then closed and the world torn
// down (timed apart). Process CPU time: the world runs on one thread.
void BM_WorldStartToOpenPort(benchmark::State& state) {
    double teardown = 0;
    for (auto _ : state) {
        std::string left;
        {
            sim::World world({.seed = 1});
            if (!NT_SUCCESS(world.start())) state.SkipWithError("the device did not start");
            sim::Serport serport(world.port());
            sim::Serport::register_callbacks();
            serport.open();
            state.PauseTiming();
            const double started = cpu_seconds();
            serport.close();
            left = world.teardown();
            teardown += cpu_seconds() - started;
        }
        if (!left.empty()) state.SkipWithError("the world left something behind");
        state.ResumeTiming();
    }
    state.counters["teardown_ms"] = benchmark::Counter(teardown * 1000, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_WorldStartToOpenPort)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

}  // namespace
