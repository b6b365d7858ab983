// Several adapters on one bus, one driver: the port table, the naming loop,
// the driver-wide rate table and the bus's frames are where their devices meet.
#include <algorithm>
#include <string>

#include "legacy/devnode.h"
#include "tests/driver/driver_fixture.h"

namespace torvex_test {
namespace {

using host::kMillisecond;
using host::kSecond;

class AdaptersTest : public DriverTest {
public:
    void TearDown() override {
        finish();
        ports.clear();
    }

    // A world of `n` adapters, each started with a port of its own on the
    // number the class installer gave it.
    void adapters(int n, sim::WorldOptions options = {}) {
        finish();
        ports.clear();
        options.adapters = n;
        build(options);
        for (int k = 1; k <= n; ++k) ASSERT_EQ(world->adapter(k).start(), STATUS_SUCCESS) << "adapter " << k;
        for (int k = 1; k <= n; ++k) ports.push_back(std::make_unique<sim::Serport>(world->adapter(k).port()));
        sim::Serport::register_callbacks();
    }
    sim::Serport& port(int k) { return *ports[static_cast<std::size_t>(k - 1)]; }

    // Bytes that tell the adapters' streams apart.
    static std::vector<std::uint8_t> pattern(int k, std::size_t n) {
        std::vector<std::uint8_t> bytes(n);
        for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * (2 * k + 1) + k);
        return bytes;
    }

    // A port's stream through the loopback plug: all it was given to send,
    // and what came back.
    struct Stream {
        int adapter;
        std::vector<std::uint8_t> sent;
        std::vector<std::uint8_t> received;
        host::Time done = 0;  // when the last byte came back
    };
    // Gives each port its stream and reads until every byte is back or the
    // limit has passed; `during` runs once at `at` after the start.
    void stream(std::vector<Stream>& streams, host::Time limit, host::Time at = 0, std::function<void()> during = {}) {
        const host::Time start = kernel().now();
        for (Stream& s : streams) port(s.adapter).write(s.sent);
        bool pending = true;
        while (pending && kernel().now() - start < limit) {
            kernel().run_for(10 * kMillisecond);
            if (during && kernel().now() - start >= at) {
                during();
                during = {};
            }
            pending = false;
            for (Stream& s : streams) {
                if (!world->adapter(s.adapter).plugged() || s.received.size() == s.sent.size()) continue;
                std::vector<std::uint8_t> part = port(s.adapter).read(s.sent.size() - s.received.size(), 0);
                s.received.insert(s.received.end(), part.begin(), part.end());
                if (s.received.size() == s.sent.size()) s.done = port(s.adapter).last_received_at() - start;
                pending = pending || s.received.size() < s.sent.size();
            }
        }
    }

    // The port opened at the rate with hardware flow control, and a receive
    // buffer that holds more than the fastest line brings while the reader
    // looks away.
    static void flowing(sim::Serport& p, ULONG baud) {
        ASSERT_TRUE(p.open());
        ASSERT_TRUE(p.set_baud(baud));
        ASSERT_TRUE(p.set_rts(true));
        ASSERT_TRUE(p.set_hardware_flow(true));
        p.set_receive_buffer(64 * 1024);
    }

    std::vector<std::unique_ptr<sim::Serport>> ports;
};

// Two seconds of line each way on each of two adapters at 921,600 baud: every
// byte back on its own port, and the frames shared so that each port keeps
// its line nearly full (neither starves the other).
TEST_F(AdaptersTest, TwoAdaptersStreamFullDuplexAndShareTheBusUnderEverySeed) {
    const SeedRange seeds = seed_range(4);
    const ULONG baud = 921'600;
    const std::size_t bytes = baud / 10 * 2;
    for (std::uint64_t s = seeds.first; s <= seeds.last; ++s) {
        for (host::Controller controller : {host::Controller::Uhci, host::Controller::Ohci}) {
            adapters(2, {.seed = s, .bus = {.controller = controller}});
            world->bus().trace().keep_nothing();
            flowing(port(1), baud);
            flowing(port(2), baud);
            std::vector<Stream> streams{{1, pattern(1, bytes), {}}, {2, pattern(2, bytes), {}}};
            stream(streams, 6 * kSecond);
            for (const Stream& st : streams) {
                EXPECT_TRUE(st.received == st.sent) << "adapter " << st.adapter << ", seed " << s;
                EXPECT_EQ(world->adapter(st.adapter).chip().counters().overruns, 0u) << "seed " << s;
                // Two seconds of line, and at most a twentieth more.
                EXPECT_LT(st.done, 2 * kSecond * 21 / 20) << "adapter " << st.adapter << ", seed " << s;
            }
            finish();
            if (HasFailure()) return;
        }
    }
}

// One adapter is pulled out while both stream, at a moment the seed chooses:
// the other loses nothing, the pulled one's port driver is told once, the
// table names the other device only; put back, the pulled adapter has its
// port number again and streams again.
TEST_F(AdaptersTest, PullingOneOutWhileBothStreamLeavesTheOtherWholeUnderEverySeed) {
    const SeedRange seeds = seed_range(12);
    const ULONG baud = 921'600;
    const std::size_t bytes = baud / 10 / 2;  // half a second of line
    for (std::uint64_t s = seeds.first; s <= seeds.last; ++s) {
        adapters(2, {.seed = s});
        flowing(port(1), baud);
        flowing(port(2), baud);
        const ULONG first = world->adapter(1).port();
        const ULONG second = world->adapter(2).port();
        ASSERT_NE(first, second);
        std::vector<Stream> streams{{1, pattern(1, bytes), {}}, {2, pattern(2, bytes), {}}};
        const host::Time at = static_cast<host::Time>(s * 7919 % 40) * 10 * kMillisecond;
        stream(streams, 3 * kSecond, at, [&] { ASSERT_EQ(world->adapter(2).unplug(), STATUS_SUCCESS); });
        EXPECT_TRUE(streams[0].received == streams[0].sent) << "seed " << s;
        EXPECT_EQ(port(1).cable_removals(), 0u) << "seed " << s;
        EXPECT_EQ(port(2).cable_removals(), 1u) << "seed " << s;
        EXPECT_EQ(port(2).late_callbacks(), 0u) << "seed " << s;
        // What the pulled port received is a beginning of what it sent.
        const std::vector<std::uint8_t>& got = streams[1].received;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), streams[1].sent.begin())) << "seed " << s;
        for (ULONG n = 0; n < USB2SER_MAX_PORTS; ++n) {
            EXPECT_EQ(gDevObj[n], n == first ? world->adapter(1).fdo() : nullptr) << "COM" << n << ", seed " << s;
        }

        ASSERT_EQ(world->adapter(2).plug(), STATUS_SUCCESS) << "seed " << s;
        EXPECT_EQ(world->adapter(2).port(), second) << "seed " << s;
        EXPECT_EQ(gDevObj[second], world->adapter(2).fdo()) << "seed " << s;
        flowing(port(2), baud);
        std::vector<Stream> again{{1, pattern(3, bytes), {}}, {2, pattern(4, bytes), {}}};
        stream(again, 3 * kSecond);
        for (const Stream& st : again) {
            EXPECT_TRUE(st.received == st.sent) << "adapter " << st.adapter << ", seed " << s;
        }
        finish();
        if (HasFailure()) return;
    }
}

// The system sleeps and wakes with two ports open at different rates and
// framings: each chip gets its own line back, and each port carries a text.
TEST_F(AdaptersTest, SleepAndWakeRestoreEachAdaptersOwnLine) {
    adapters(2);
    const sim::LineSettings lines[] = {{57'600, 7, 2, 0}, {230'400, 8, 0, 2}};
    sim::LineCoding before[2];
    for (int k = 1; k <= 2; ++k) {
        ASSERT_TRUE(port(k).open());
        ASSERT_TRUE(port(k).set_line(lines[k - 1]));
        before[k - 1] = world->adapter(k).chip().line_coding();
    }
    ASSERT_EQ(world->sleep(), STATUS_SUCCESS);
    for (int k = 1; k <= 2; ++k) EXPECT_TRUE(world->bus().unpowered(world->adapter(k).pdo())) << "adapter " << k;
    kernel().run_for(kSecond);
    ASSERT_EQ(world->wake(), STATUS_SUCCESS);
    kernel().run_for(100 * kMillisecond);
    for (int k = 1; k <= 2; ++k) {
        EXPECT_TRUE(world->adapter(k).chip().line_coding() == before[k - 1]) << "adapter " << k;
        EXPECT_EQ(world->adapter(k).chip().line_coding().data_bits, lines[k - 1].data_bits) << "adapter " << k;
    }
    std::vector<Stream> streams{{1, pattern(1, 300), {}}, {2, pattern(2, 300), {}}};
    for (std::uint8_t& byte : streams[0].sent) byte &= 0x7F;  // seven data bits
    stream(streams, kSecond);
    for (const Stream& st : streams) EXPECT_TRUE(st.received == st.sent) << "adapter " << st.adapter;
}

// Eight adapters, each named by the class installer, each at its own rate,
// a text each way between each port and its far end; the teardown finds
// nothing left behind.
TEST_F(AdaptersTest, EightAdaptersEachAtItsOwnRateCarryATextEachWay) {
    const ULONG rates[] = {9'600, 19'200, 38'400, 57'600, 115'200, 230'400, 460'800, 921'600};
    adapters(8, {.line = sim::LineKind::Peer});
    for (int k = 1; k <= 8; ++k) {
        EXPECT_EQ(world->adapter(k).port(), static_cast<ULONG>(2 + k));  // COM3 to COM10
        EXPECT_EQ(gDevObj[2 + k], world->adapter(k).fdo());
        ASSERT_TRUE(port(k).open());
        ASSERT_TRUE(port(k).set_baud(rates[k - 1]));
        world->adapter(k).peer().set_lines({.dsr = true, .cts = true});
    }
    for (int k = 1; k <= 8; ++k) {
        const std::string out = "from COM" + std::to_string(2 + k);
        const std::string in = "to COM" + std::to_string(2 + k);
        port(k).write(std::vector<std::uint8_t>(out.begin(), out.end()));
        world->adapter(k).peer().send(std::vector<std::uint8_t>(in.begin(), in.end()));
    }
    kernel().run_for(100 * kMillisecond);  // 8 characters take 8 ms at 9,600 baud
    for (int k = 1; k <= 8; ++k) {
        const std::string out = "from COM" + std::to_string(2 + k);
        const std::string in = "to COM" + std::to_string(2 + k);
        const std::vector<std::uint8_t> got = port(k).read(64, 0);
        EXPECT_EQ(std::string(got.begin(), got.end()), in) << "adapter " << k;
        const std::vector<std::uint8_t>& far = world->adapter(k).peer().received();
        EXPECT_EQ(std::string(far.begin(), far.end()), out) << "adapter " << k;
        EXPECT_EQ(port(k).rate(), rates[k - 1]) << "adapter " << k;
        EXPECT_TRUE(world->adapter(k).peer().errors().empty()) << "adapter " << k;
    }
    for (int k = 1; k <= 8; ++k) ASSERT_TRUE(port(k).close());
}

// The naming loop over devices of the driver itself, added without being
// started. The loop tries the characters "1" to 0x130; object names are
// compared without case, so "a" to "z" find "A" to "Z" taken and are passed
// over: 230 devices are named, the next is refused with the status of its last
// failed creation and leaves nothing; removed, every name is free again.
TEST_F(AdaptersTest, TheNamingLoopNamesEveryDeviceItCanAndTakesTheNamesBack) {
    std::vector<PDEVICE_OBJECT> pdos;
    std::vector<LONG> instances{world->extension()->InstanceNumber};
    NTSTATUS added = STATUS_SUCCESS;
    while (NT_SUCCESS(added) && pdos.size() < 300) {
        pdos.push_back(world->bus().create_pdo());
        added = kernel().pnp().add_device(world->driver(), pdos.back());
        if (NT_SUCCESS(added)) instances.push_back(USB2SER_Extension(pdos.back()->AttachedDevice)->InstanceNumber);
    }
    EXPECT_EQ(added, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(pdos.back()->AttachedDevice, nullptr);
    std::vector<LONG> expected;
    for (LONG n = 1; n <= 256; ++n) {
        if (n < 'a' - 0x30 || n > 'z' - 0x30) expected.push_back(n);
    }
    EXPECT_EQ(instances, expected);
    const std::string last = host::to_utf8(u"\\DosDevices\\USBCOM-\u0130");
    EXPECT_TRUE(kernel().io().name_exists(last));
    world->bus().delete_pdo(pdos.back());
    pdos.pop_back();
    for (PDEVICE_OBJECT pdo : pdos) {
        ASSERT_EQ(kernel().pnp().remove(pdo), STATUS_SUCCESS);
        world->bus().delete_pdo(pdo);
    }
    ASSERT_EQ(world->remove(), STATUS_SUCCESS);
    EXPECT_EQ(world->driver()->DeviceObject, nullptr);
    for (int n = 1; n <= 256; ++n) {
        const std::u16string character(1, static_cast<char16_t>(0x30 + n));
        EXPECT_FALSE(kernel().io().name_exists(host::to_utf8(u"\\Device\\SerialPort" + character))) << n;
        EXPECT_FALSE(kernel().io().name_exists(host::to_utf8(u"\\DosDevices\\USBCOM-" + character))) << n;
    }
}

// The run-time rate table is the driver's, not a device's: set once, it
// reaches every device's chip, a device started after it was set as well.
TEST_F(AdaptersTest, TheRunTimeRateTableServesEveryDeviceOneStartedAfterItToo) {
    build({.adapters = 2});
    ASSERT_EQ(world->adapter(1).start(), STATUS_SUCCESS);
    ports.push_back(std::make_unique<sim::Serport>(world->adapter(1).port()));
    sim::Serport::register_callbacks();
    ASSERT_TRUE(sim::Serport::set_rate_table("1000000,-2147483520"));
    ASSERT_EQ(world->adapter(2).start(), STATUS_SUCCESS);
    ports.push_back(std::make_unique<sim::Serport>(world->adapter(2).port()));
    for (int k = 1; k <= 2; ++k) {
        ASSERT_TRUE(port(k).open());
        ASSERT_TRUE(port(k).set_baud(1'000'000));
        EXPECT_EQ(world->adapter(k).chip().line_coding().dte_rate, 0x80000080u) << "adapter " << k;
    }
}

// Two devices given the same port name: the later takes the table entry from
// a device whose port is closed (at its next binding), but not from one whose
// port is open. Removing the first then takes only its own entry.
TEST_F(AdaptersTest, ALaterDeviceOfTheSameNameDoesNotTakeAnOpenPortsEntry) {
    adapters(2);
    const ULONG shared = world->adapter(1).port();
    const host::ConfigManager::Node* second = kernel().configmg().node(world->adapter(2).extension()->DevNode);
    ASSERT_NE(second, nullptr);
    kernel().configmg().assign_port_name(second->id, "COM" + std::to_string(shared));
    ASSERT_TRUE(port(1).open());
    kernel().pnp().query_relations(world->adapter(2).pdo(), BusRelations);  // the second binds again
    EXPECT_EQ(world->adapter(2).extension()->PortIndex, static_cast<LONG>(shared));
    EXPECT_EQ(gDevObj[shared], world->adapter(1).fdo());
    port(1).write(pattern(1, 20));
    kernel().run_for(50 * kMillisecond);
    EXPECT_EQ(port(1).read(64, 0), pattern(1, 20));  // still the first adapter's line

    ASSERT_TRUE(port(1).close());
    kernel().pnp().query_relations(world->adapter(2).pdo(), BusRelations);
    EXPECT_EQ(gDevObj[shared], world->adapter(2).fdo());  // closed, it is taken: the later wins
    ASSERT_EQ(world->adapter(1).unplug(), STATUS_SUCCESS);
    EXPECT_EQ(gDevObj[shared], world->adapter(2).fdo());  // the first's removal left the entry alone
}

}  // namespace
}  // namespace torvex_test
