// Power: the system sleeps and wakes with the port in use. The driver follows
// with device power requests of its own, and after the wake the chip, which
// lost its power with the port, runs as the port had it again.
#include <algorithm>
#include <string>
#include <vector>

#include "legacy/devnode.h"
#include "tests/driver/driver_fixture.h"

namespace torvex_test {
namespace {

using host::kMillisecond;
using host::kSecond;

const sim::LineCoding kInUse{.dte_rate = 57'600, .char_format = 0, .parity = 2, .data_bits = 7, .baud = 57'600};

class PowerTest : public PortTest {
public:
    // The port as an application leaves it: open at 57,600 7E1 with DTR, RTS
    // and hardware flow control, the peer at the same framing with CTS up.
    void open_in_use() {
        ASSERT_TRUE(serport->open());
        ASSERT_TRUE(serport->set_line({.baud = 57'600, .data_bits = 7, .parity = 2, .stop_bits = 0}));
        ASSERT_TRUE(serport->set_dtr(true));
        ASSERT_TRUE(serport->set_rts(true));
        ASSERT_TRUE(serport->set_hardware_flow(true));
        world->peer().set_lines({.dsr = true, .cts = true});
    }

    void expect_port_restored(std::uint64_t s) {
        kernel().run_for(5 * host::kMillisecond);  // the fire-and-forget register writes land
        sim::BridgeChip& chip = world->chip();
        EXPECT_EQ(chip.line_coding().framing(), kInUse.framing()) << "seed " << s;
        EXPECT_TRUE(chip.flow_control().hardware) << "seed " << s;
        EXPECT_TRUE(chip.dtr() && chip.rts()) << "seed " << s;
        EXPECT_NE(ext()->IrpSlot[USB2SER_SLOT_INTERRUPT_IN], nullptr) << "seed " << s;
        EXPECT_NE(ext()->IrpSlot[USB2SER_SLOT_BULK_IN], nullptr) << "seed " << s;
        EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0) << "seed " << s;
        EXPECT_EQ(kernel().io().reported_power_state(world->pdo()), PowerDeviceD0) << "seed " << s;
    }

    // A text written at each end arrives at the other (after whatever of the
    // old traffic was still queued).
    void expect_flowing(std::uint64_t s) {
        const std::string out = "after the wake";
        const std::string in = "from the far end";
        const std::size_t seen = world->peer().received().size();
        serport->write(std::span(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()));
        world->peer().send(std::vector<std::uint8_t>(in.begin(), in.end()));
        std::string got;
        auto far = [&] {
            const std::vector<std::uint8_t>& all = world->peer().received();
            return std::string(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
        };
        for (int i = 0; i < 100 && (got.find(in) == std::string::npos || far().find(out) == std::string::npos); ++i) {
            std::vector<std::uint8_t> part = serport->read(256, 10 * kMillisecond);
            got.append(part.begin(), part.end());
        }
        EXPECT_NE(got.find(in), std::string::npos) << "seed " << s;
        EXPECT_NE(far().find(out), std::string::npos) << "seed " << s;
    }

    // Whether the line coding was sent to the chip since the trace mark.
    bool line_coding_sent_since(std::size_t mark) {
        std::vector<host::SetupPacket> setups = world->bus().trace().control_setups();
        return std::any_of(setups.begin() + static_cast<std::ptrdiff_t>(std::min(mark, setups.size())), setups.end(),
                           [](const host::SetupPacket& p) { return p.bmRequestType == 0x21 && p.bRequest == 0x20; });
    }
};

// The system sleeps at a moment the seed chooses while bytes cross both
// ways, in a sleeping state the seed chooses, and wakes a second later. The
// bus completes the power-up at once on odd seeds and at DISPATCH_LEVEL from
// its own side on even ones: the restore waits, and the verifier stops any
// wait that is not at PASSIVE_LEVEL.
TEST_F(PowerTest, SleepAndWakeWhileDataFlowsRestoreThePortUnderEverySeed) {
    const SeedRange seeds = seed_range(16);
    for (std::uint64_t s = seeds.first; s <= seeds.last; ++s) {
        started({.seed = s, .line = sim::LineKind::Peer, .bus = {.power_up_at_dispatch = s % 2 == 0}});
        open_in_use();
        std::vector<std::uint8_t> text(64);
        for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>('a' + i % 26);
        // Two sleeps: the first finds the device in D3 still (as AddDevice
        // left it), the second in D0 after the first wake.
        for (int round = 0; round < 2; ++round) {
            serport->write(text);
            world->peer().send(text);
            kernel().run_for(static_cast<host::Time>((s + round) * 7919 % 120) * 100 * host::kMicrosecond);
            const auto state = static_cast<SYSTEM_POWER_STATE>(PowerSystemSleeping1 + (s + round) % 4);
            ASSERT_EQ(world->sleep(state), STATUS_SUCCESS) << "seed " << s;
            EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3) << "seed " << s;
            EXPECT_TRUE(world->bus().unpowered(world->pdo())) << "seed " << s;
            kernel().run_for(kSecond);
            ASSERT_EQ(world->wake(), STATUS_SUCCESS) << "seed " << s;
            expect_port_restored(s);
            expect_flowing(s);
        }
        finish();
        if (HasFailure()) break;
    }
}

// Each system request is followed by at most one device request, which the
// driver makes of itself; the chip is restored only when power comes back.
TEST_F(PowerTest, ADeviceRequestFollowsOnlyWhenTheDeviceStateMustChange) {
    struct Step {
        const char* what;
        SYSTEM_POWER_STATE system;
        std::optional<DEVICE_POWER_STATE> requested;
        bool restored;
    };
    const Step steps[] = {
        {"wake after the start: D0 since the start", PowerSystemWorking, std::nullopt, false},
        {"sleep", PowerSystemSleeping3, PowerDeviceD3, false},
        {"wake", PowerSystemWorking, PowerDeviceD0, true},
        {"wake again", PowerSystemWorking, std::nullopt, false},
        {"sleep", PowerSystemSleeping1, PowerDeviceD3, false},
        {"an unspecified state is the working state", PowerSystemUnspecified, PowerDeviceD0, true},
        {"shutdown", PowerSystemShutdown, PowerDeviceD3, false},
    };
    for (const Step& step : steps) {
        const std::size_t requests = kernel().pnp().power_requests().size();
        const std::size_t mark = world->bus().trace().control_setups().size();
        ASSERT_EQ(kernel().pnp().set_system_power(world->pdo(), step.system), STATUS_SUCCESS) << step.what;
        kernel().run_for(100 * kMillisecond);
        const auto& made = kernel().pnp().power_requests();
        ASSERT_EQ(made.size(), requests + (step.requested ? 1 : 0)) << step.what;
        if (step.requested) {
            EXPECT_EQ(made.back().device, world->pdo()) << step.what;
            EXPECT_EQ(made.back().state.DeviceState, *step.requested) << step.what;
            EXPECT_EQ(ext()->DevicePowerState, *step.requested) << step.what;
        }
        EXPECT_EQ(line_coding_sent_since(mark), step.restored) << step.what;
    }
}

// A failure below stops the transition where it happens: a device request for
// less power that fails fails the system request, which goes no further; a
// power-up that fails restores nothing; a query is never refused here.
TEST_F(PowerTest, FailuresBelowStopTheTransitionAndAreReported) {
    ASSERT_EQ(world->wake(), STATUS_SUCCESS);
    world->bus().set_power_result(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kernel().pnp().query_system_power(world->pdo(), PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    const std::size_t arrived = world->bus().arrivals().size();
    EXPECT_EQ(kernel().pnp().set_system_power(world->pdo(), PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(world->bus().arrivals().size(), arrived + 1);  // the device request only
    EXPECT_FALSE(world->bus().unpowered(world->pdo()));

    const std::size_t mark = world->bus().trace().control_setups().size();
    EXPECT_EQ(world->wake(), STATUS_UNSUCCESSFUL);
    kernel().run_for(100 * kMillisecond);
    EXPECT_FALSE(line_coding_sent_since(mark));
    world->bus().set_power_result(STATUS_SUCCESS);
}

// A wait-wake request takes the port's device node and its table entry away
// before it goes down.
TEST_F(PowerTest, WaitWakeRemovesTheDeviceNodeAndThePortEntry) {
    ASSERT_EQ(USB2SER_GetDeviceObject(port), fdo());
    ASSERT_NE(ext()->DevNode, 0u);
    POWER_STATE d2{};
    d2.SystemState = PowerSystemSleeping1;
    kernel().pnp().send_power(world->pdo(), IRP_MN_WAIT_WAKE, SystemPowerState, d2);
    EXPECT_EQ(USB2SER_GetDeviceObject(port), nullptr);
    EXPECT_EQ(ext()->DevNode, 0u);
    EXPECT_EQ(world->bus().arrivals().back().minor, IRP_MN_WAIT_WAKE);
}

// The adapter is pulled out, or removed, while the restore after a wake is
// still sending its requests: the restore holds the device, so the removal
// waits for it, and nothing is left behind.
TEST_F(PowerTest, RemovalDuringTheRestoreUnderEverySeed) {
    const SeedRange seeds = seed_range(16);
    for (std::uint64_t s = seeds.first; s <= seeds.last; ++s) {
        started({.seed = s, .line = sim::LineKind::Peer, .bus = {.power_up_at_dispatch = s % 2 == 0}});
        open_in_use();
        ASSERT_EQ(world->sleep(), STATUS_SUCCESS) << "seed " << s;
        NTSTATUS woke = STATUS_PENDING;
        host::Thread& power = kernel().spawn("power manager", [this, &woke] { woke = world->wake(); });
        kernel().run_for(static_cast<host::Time>(s * 7919 % 60) * kMillisecond);
        if (s % 3 == 0) {
            ASSERT_EQ(world->unplug(), STATUS_SUCCESS) << "seed " << s;
        } else {
            ASSERT_EQ(world->remove(), STATUS_SUCCESS) << "seed " << s;
        }
        host::wait_for(&power.object, nullptr);
        EXPECT_NE(woke, STATUS_PENDING) << "seed " << s;
        finish();
        if (HasFailure()) break;
    }
}

}  // namespace
}  // namespace torvex_test
