// Power: the system sleeps and wakes with the port in use. The driver follows
// with device power requests of its own, and after the wake the chip, which
// lost its power with the port, runs as the port had it again; so it does
// after a restart, whose port reset loses the same.
#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "ioctl/ioctl_codes.h"
#include "legacy/devnode.h"
#include "sim/bench/tool.h"
#include "tests/driver/driver_fixture.h"

namespace torvex_test {
namespace {

using host::kMillisecond;
using host::kSecond;

const sim::Framing kInUse{115'200, 7, 2, 0};

// What the far end can tell of the chip: its line, its flow control and the
// lines it drives.
struct Uart {
    sim::Framing framing;
    bool hardware_flow = false;
    bool xon_xoff = false;
    bool dtr = false;
    bool rts = false;
    bool operator==(const Uart&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Uart& u) {
    return out << u.framing.baud << " " << int{u.framing.data_bits} << "/" << int{u.framing.parity} << "/"
               << int{u.framing.char_format} << (u.hardware_flow ? ", flow hardware" : "")
               << (u.xon_xoff ? ", flow xon" : "") << ", DTR " << u.dtr << ", RTS " << u.rts;
}

class PowerTest : public PortTest {
public:
    // The port as an application leaves it: open at 115,200 7E1 with DTR,
    // RTS and hardware flow control; the peer set up once for that framing,
    // with CTS up.
    void open_in_use() {
        ASSERT_TRUE(serport->open());
        ASSERT_TRUE(serport->set_line({.baud = 115'200, .data_bits = 7, .parity = 2, .stop_bits = 0}));
        ASSERT_TRUE(serport->set_dtr(true));
        ASSERT_TRUE(serport->set_rts(true));
        ASSERT_TRUE(serport->set_hardware_flow(true));
        world->peer().set_framing(kInUse);
        world->peer().set_lines({.dsr = true, .cts = true});
        serport->set_chunk_bytes(16);  // a sleep or a stop finds chunks still queued behind the one in flight
    }

    Uart uart() {
        kernel().run_for(5 * kMillisecond);  // the fire-and-forget register writes land
        sim::BridgeChip& chip = world->chip();
        return {chip.line_coding().framing(), chip.flow_control().hardware, chip.flow_control().xon_xoff, chip.dtr(),
                chip.rts()};
    }

    void expect_port_restored(std::uint64_t s) {
        EXPECT_EQ(uart(), (Uart{kInUse, true, false, true, true})) << "seed " << s;
        EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0) << "seed " << s;
        EXPECT_EQ(kernel().io().reported_power_state(world->pdo()), PowerDeviceD0) << "seed " << s;
    }

    // Once the traffic from before has settled (what the port driver still
    // queued is sent, the driver asking for it of its own accord), a text
    // written at each end arrives at the other exactly: nothing lost, garbled
    // or added on the way; and a change of the far end's DCD reaches the port
    // driver (the status read is armed).
    void expect_flowing(std::uint64_t s) {
        for (int i = 0; i < 100 && serport->pending_transmit() != 0; ++i) kernel().run_for(10 * kMillisecond);
        // ... and the chip's transmit FIFO has run dry.
        for (std::size_t i = 0, before = SIZE_MAX; i < 200 && world->peer().received().size() != before; ++i) {
            before = world->peer().received().size();
            kernel().run_for(5 * kMillisecond);
        }
        while (!serport->read(4096, kMillisecond).empty()) {
        }
        const std::string out = "after the restore";
        const std::string in = "from the far end";
        const std::size_t seen = world->peer().received().size();
        serport->write(std::span(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()));
        world->peer().send(std::vector<std::uint8_t>(in.begin(), in.end()));
        std::string got;
        for (int i = 0; i < 100 && got.size() < in.size(); ++i) {
            std::vector<std::uint8_t> part = serport->read(256, 10 * kMillisecond);
            got.append(part.begin(), part.end());
        }
        kernel().run_for(20 * kMillisecond);
        const std::vector<std::uint8_t>& all = world->peer().received();
        EXPECT_EQ(got, in) << "seed " << s;
        EXPECT_EQ(std::string(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end()), out) << "seed " << s;
        // The chip reports each receive error of the far end's bytes lost in
        // the sleep first, one report a frame.
        const bool dcd = !serport->dcd();
        world->peer().set_lines({.dcd = dcd, .dsr = true, .cts = true});
        for (int i = 0; i < 100 && serport->dcd() != dcd; ++i) kernel().run_for(5 * kMillisecond);
        EXPECT_EQ(serport->dcd(), dcd) << "seed " << s;
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
            for (int copy = 0; copy < 16; ++copy) serport->write(text);  // more than the chip's FIFO holds
            world->peer().send(text);
            kernel().run_for(static_cast<host::Time>((s + round) * 7919 % 120) * 100 * host::kMicrosecond);
            const auto state = static_cast<SYSTEM_POWER_STATE>(PowerSystemSleeping1 + (s + round) % 4);
            ASSERT_EQ(world->sleep(state), STATUS_SUCCESS) << "seed " << s;
            EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3) << "seed " << s;
            EXPECT_TRUE(world->bus().unpowered(world->pdo())) << "seed " << s;
            kernel().run_for(kSecond);
            const host::Time waking = kernel().now();
            ASSERT_EQ(world->wake(), STATUS_SUCCESS) << "seed " << s;
            expect_port_restored(s);
            expect_flowing(s);
            // Nothing went out at the chip's power-on line after the wake.
            for (const sim::PeerError& e : world->peer().errors()) EXPECT_LT(e.at, waking) << "seed " << s;
        }
        finish();
        if (HasFailure()) break;
    }
}

// A device added again on the physical device object of a stack that was
// started, its own start failing at each of its first fault points in turn:
// the power manager knows no power state of the new stack, so the power-up
// the driver asks for at the wake is sent and answered, not taken for the
// state the old stack had (and waited for in vain, its wait block left).
TEST_F(PowerTest, ANewStackOnAStartedDevicesObjectIsPoweredUpAtTheWake) {
    int failed_starts = 0;
    for (std::uint64_t point = 1; point <= 24; ++point) {
        started({});
        ASSERT_EQ(world->remove(), STATUS_SUCCESS);
        ASSERT_EQ(world->add_device(), STATUS_SUCCESS);
        kernel().faults().fail_at(kernel().faults().count() + point);
        if (NT_SUCCESS(world->start())) continue;
        ++failed_starts;
        ASSERT_EQ(world->sleep(), STATUS_SUCCESS) << "point " << point;
        const host::Time waking = kernel().now();
        ASSERT_EQ(world->wake(), STATUS_SUCCESS) << "point " << point;
        EXPECT_LT(kernel().now() - waking, kSecond) << "point " << point;
    }
    EXPECT_GT(failed_starts, 0);
}

// A chunk the port driver hands over while a start runs waits for the start
// to give the chip the port's settings, and goes: the export answers TRUE and
// the far end gets it at the port's line. After the start, and after a wake,
// the port driver is asked for the next chunk only when none is in flight.
TEST_F(PowerTest, AChunkDuringAStartGoesAfterItAndTheNextIsAskedForOnlyWithTheSlotFree) {
    started({.line = sim::LineKind::Peer, .bus = {.cut_power_in_sleep = false}});
    ASSERT_TRUE(serport->open());
    ASSERT_TRUE(serport->set_line({.baud = 115'200, .data_bits = 7, .parity = 2, .stop_bits = 0}));
    world->peer().set_framing(sim::Framing{115'200, 7, 2, 0});
    ASSERT_EQ(world->stop(), STATUS_SUCCESS);
    static bool during;
    static BOOLEAN answer;
    during = false;
    answer = FALSE;
    kernel().spawn("writer", [this] {
        while (!ext()->Restoring) {
            LARGE_INTEGER later;
            later.QuadPart = -10 * static_cast<LONGLONG>(host::kMicrosecond);
            KeDelayExecutionThread(KernelMode, FALSE, &later);
        }
        during = true;
        UCHAR late[] = {'l', 'a', 't', 'e'};
        answer = sim::Serport::imports().WriteForSerport(late, sizeof late, port);
    });
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    kernel().run_for(20 * kMillisecond);
    EXPECT_TRUE(during);
    EXPECT_TRUE(answer);
    EXPECT_EQ(world->peer().received(), (std::vector<std::uint8_t>{'l', 'a', 't', 'e'}));
    EXPECT_TRUE(world->peer().errors().empty());

    // At 300 baud a chunk behind a full transmit FIFO stays in flight over a
    // sleep that keeps the power: the wake does not ask for the next.
    ASSERT_TRUE(serport->set_line({.baud = 300}));
    serport->write(std::vector<std::uint8_t>(600, 'x'));
    kernel().run_for(50 * kMillisecond);
    ASSERT_NE(ext()->IrpSlot[USB2SER_SLOT_BULK_OUT], nullptr);
    const std::uint64_t asked = serport->write_callbacks();
    ASSERT_EQ(world->sleep(), STATUS_SUCCESS);
    ASSERT_EQ(world->wake(), STATUS_SUCCESS);
    kernel().run_for(10 * kMillisecond);
    ASSERT_NE(ext()->IrpSlot[USB2SER_SLOT_BULK_OUT], nullptr);
    EXPECT_EQ(serport->write_callbacks(), asked);
}

// A stop and a start (a rebalance) at a moment the seed chooses while bytes
// cross both ways: the start's port reset returns the chip to its power-on
// line, and the driver gives it the open port's settings back.
TEST_F(PowerTest, ARestartWhileDataFlowsGivesThePortBackUnderEverySeed) {
    const SeedRange seeds = seed_range(100);
    for (std::uint64_t s = seeds.first; s <= seeds.last; ++s) {
        started({.seed = s, .line = sim::LineKind::Peer});
        open_in_use();
        std::vector<std::uint8_t> text(64);
        for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>('a' + i % 26);
        serport->write(text);
        world->peer().send(text);
        kernel().run_for(static_cast<host::Time>(s * 7919 % 60) * 100 * host::kMicrosecond);
        // The application goes on writing through the stop and the start:
        // what the stop cuts off is lost, but nothing goes out at the chip's
        // power-on line before the port's own is back.
        bool restarted = false;
        host::Thread& application = kernel().spawn("application", [this, &text, &restarted] {
            while (!restarted) {
                serport->write(std::span(text).first(8));
                LARGE_INTEGER pause;
                pause.QuadPart = -static_cast<LONGLONG>(kMillisecond);
                KeDelayExecutionThread(KernelMode, FALSE, &pause);
            }
        });
        ASSERT_EQ(world->stop(), STATUS_SUCCESS) << "seed " << s;
        ASSERT_EQ(world->start(), STATUS_SUCCESS) << "seed " << s;
        restarted = true;
        host::wait_for(&application.object, nullptr);
        expect_port_restored(s);
        expect_flowing(s);
        EXPECT_TRUE(world->peer().errors().empty()) << "seed " << s;
        finish();
        if (HasFailure()) break;
    }
}

// After a wake, and after a restart with the port open, the far end finds
// the chip as it was before: the line, the flow-control switches and the
// control lines, whether the port is open or closed. A restart with the port
// closed leaves the chip at its power-on state, and a wake after it keeps it so.
TEST_F(PowerTest, TheChipComesBackAsTheFarEndKnewIt) {
    enum Transition { Sleep, Restart, RestartThenSleep };
    struct Row {
        const char* what;
        sim::ChipKind chip;
        Transition transition;
        std::function<void(sim::Serport&)> use;
    };
    auto xon_dtr = [](sim::Serport& p) {
        ASSERT_TRUE(p.open());
        ASSERT_TRUE(p.set_line({.baud = 9'600, .data_bits = 8, .parity = 1, .stop_bits = 2}));
        ASSERT_TRUE(p.set_xon_xoff(true));
        ASSERT_TRUE(p.set_dtr(true));
    };
    auto both_flows = [](sim::Serport& p) {
        ASSERT_TRUE(p.open());
        ASSERT_TRUE(p.set_baud(57'600));
        ASSERT_TRUE(p.set_hardware_flow(true));
        ASSERT_TRUE(p.set_xon_xoff(true));
        ASSERT_TRUE(p.set_rts(true));
    };
    auto closed_with_lines_on = [](sim::Serport& p) {
        ASSERT_TRUE(p.open());
        ASSERT_TRUE(p.set_baud(19'200));
        ASSERT_TRUE(p.set_dtr(false));
        ASSERT_TRUE(p.set_rts(true));
        ASSERT_TRUE(p.close());  // the extended chip's close sequence ends with DTR on
    };
    const Row rows[] = {
        {"XON/XOFF and DTR, open, over a sleep", sim::ChipKind::Extended, Sleep, xon_dtr},
        {"both flow controls and RTS, open, over a sleep", sim::ChipKind::Extended, Sleep, both_flows},
        {"a closed port's lines over a sleep", sim::ChipKind::Extended, Sleep, closed_with_lines_on},
        {"a closed port's lines over a sleep, communications class", sim::ChipKind::Comm, Sleep,
         closed_with_lines_on},
        {"XON/XOFF and DTR, open, over a restart", sim::ChipKind::Extended, Restart, xon_dtr},
        {"both flow controls and RTS, open, over a restart", sim::ChipKind::Extended, Restart, both_flows},
        {"a port closed at a restart, over a sleep", sim::ChipKind::Extended, RestartThenSleep,
         [&](sim::Serport& p) {
             both_flows(p);
             closed_with_lines_on(p);
         }},
        {"hardware flow and RTS, open, over a restart, vendor class", sim::ChipKind::Vendor, Restart,
         [](sim::Serport& p) {
             ASSERT_TRUE(p.open());
             ASSERT_TRUE(p.set_line({.baud = 38'400, .data_bits = 7, .parity = 2, .stop_bits = 0}));
             ASSERT_TRUE(p.set_hardware_flow(true));
             ASSERT_TRUE(p.set_rts(true));
         }},
    };
    for (const Row& row : rows) {
        started({.chip = row.chip, .line = sim::LineKind::Peer});
        row.use(*serport);
        if (row.transition != Sleep) {
            const Uart before = uart();
            ASSERT_EQ(world->stop(), STATUS_SUCCESS) << row.what;
            ASSERT_EQ(world->start(), STATUS_SUCCESS) << row.what;
            EXPECT_EQ(uart(), before) << row.what;
        }
        if (row.transition != Restart) {
            const Uart before = uart();
            ASSERT_EQ(world->sleep(), STATUS_SUCCESS) << row.what;
            ASSERT_EQ(world->wake(), STATUS_SUCCESS) << row.what;
            EXPECT_EQ(uart(), before) << row.what;
        }
    }
}

// Each system request is followed by at most one device request, which the
// driver makes of itself; the chip is restored only when power comes back,
// and its line only when the port ever set one.
TEST_F(PowerTest, ADeviceRequestFollowsOnlyWhenTheDeviceStateMustChange) {
    const std::size_t unset = world->bus().trace().control_setups().size();
    ASSERT_EQ(world->sleep(), STATUS_SUCCESS);
    ASSERT_EQ(world->wake(), STATUS_SUCCESS);
    EXPECT_FALSE(line_coding_sent_since(unset));
    ASSERT_TRUE(serport->set_line({.baud = 19'200}));
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
// less power that fails (or cannot be built) fails the system request, which goes no further; a
// power-up that fails restores nothing; a query is never refused here.
TEST_F(PowerTest, FailuresBelowStopTheTransitionAndAreReported) {
    ASSERT_EQ(world->wake(), STATUS_SUCCESS);
    world->bus().set_power_result(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kernel().pnp().query_system_power(world->pdo(), PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    const std::uint64_t arrived = world->bus().arrived();
    EXPECT_EQ(kernel().pnp().set_system_power(world->pdo(), PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(world->bus().arrived(), arrived + 1);  // the device request only
    EXPECT_FALSE(world->bus().unpowered(world->pdo()));

    const std::size_t mark = world->bus().trace().control_setups().size();
    EXPECT_EQ(world->wake(), STATUS_UNSUCCESSFUL);
    kernel().run_for(100 * kMillisecond);
    EXPECT_FALSE(line_coding_sent_since(mark));
    world->bus().set_power_result(STATUS_SUCCESS);
    // The device stayed at full power, and the driver knows it: the next
    // sleep and wake go as ever (a wake that took the device for one in D3
    // would ask for D0, which Windows 98 never answers).
    EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
    const host::Time before = kernel().now();
    ASSERT_EQ(world->sleep(), STATUS_SUCCESS);
    ASSERT_EQ(world->wake(), STATUS_SUCCESS);
    EXPECT_LT(kernel().now() - before, kSecond);
    EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);

    // A device request the power manager cannot even build fails the sleep
    // too, and leaves nothing behind.
    const std::size_t blocks = kernel().pool().outstanding().size();
    kernel().faults().fail_at(kernel().faults().count() + 2);  // after the wait's block
    EXPECT_EQ(kernel().pnp().set_system_power(world->pdo(), PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_NE(kernel().faults().failed().find("PoRequestPowerIrp"), std::string::npos) << kernel().faults().failed();
    EXPECT_EQ(kernel().pool().outstanding().size(), blocks);
    EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
}

// A DTR or RTS code that finds the device in D3 (its wake failed below) asks
// the power manager for D0 instead of only recording it: the power manager's
// view and the driver's stay one, so the next sleep's D3 request is a change,
// which Windows 98 completes (the same state it would never answer).
TEST_F(PowerTest, AControlLineCodeAfterAFailedWakeAsksForFullPower) {
    ASSERT_EQ(world->sleep(), STATUS_SUCCESS);
    world->bus().set_power_result(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(world->wake(), STATUS_UNSUCCESSFUL);
    world->bus().set_power_result(STATUS_SUCCESS);
    ASSERT_EQ(ext()->DevicePowerState, PowerDeviceD3);
    const std::size_t requests = kernel().pnp().power_requests().size();
    ASSERT_EQ(sim::Tool(*world).send(IOCTL_SERIAL_SET_DTR, {}, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(kernel().pnp().power_requests().size(), requests + 1);
    EXPECT_EQ(kernel().pnp().power_requests().back().state.DeviceState, PowerDeviceD0);
    EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(kernel().pnp().device_power(world->pdo()), PowerDeviceD0);
    const host::Time before = kernel().now();
    ASSERT_EQ(world->sleep(), STATUS_SUCCESS);
    EXPECT_LT(kernel().now() - before, kSecond);
    ASSERT_EQ(world->wake(), STATUS_SUCCESS);
    EXPECT_EQ(kernel().pnp().device_power(world->pdo()), PowerDeviceD0);
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
    EXPECT_EQ(world->bus().arrivals().back().major, IRP_MJ_POWER);
    EXPECT_EQ(world->bus().arrivals().back().minor, IRP_MN_WAIT_WAKE);
}

// A power-up that comes back once the worker thread has said it is on its
// way out (the moment before a removal ends it) is not handed over: it
// completes with the lower drivers' status, nothing is restored (no read is
// armed again), and its device reference goes with it. With the thread back,
// the next wake restores.
TEST_F(PowerTest, APowerUpTheThreadOnItsWayOutWouldNotTakeIsTakenBack) {
    started({.line = sim::LineKind::Peer});
    open_in_use();
    const Uart before = uart();
    InterlockedExchange(&ext()->ThreadGone, TRUE);
    for (int wake = 0; wake < 2; ++wake) {
        ASSERT_EQ(world->sleep(), STATUS_SUCCESS);
        ASSERT_EQ(world->wake(), STATUS_SUCCESS);
        kernel().run_for(100 * kMillisecond);
        EXPECT_EQ(ext()->PowerUpIrp, nullptr);
        EXPECT_NE(uart(), before);  // the chip as its power came back
        EXPECT_EQ(ext()->IoCount, 1);  // the device's own: no read was armed again
    }

    InterlockedExchange(&ext()->ThreadGone, FALSE);
    ASSERT_EQ(world->sleep(), STATUS_SUCCESS);
    ASSERT_EQ(world->wake(), STATUS_SUCCESS);
    EXPECT_EQ(uart(), before);
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
        kernel().run_for(static_cast<host::Time>(s * 37 % 60) * kMillisecond);
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
