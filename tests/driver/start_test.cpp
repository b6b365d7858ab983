// Device start: the descriptor reads, the chip's classification, the
// selection of one or two interfaces, remote wake-up, and what a broken or
// hostile device can and cannot make the driver do.
#include <string>

#include <unistd.h>
#include <vector>

#include "host/usb/pcap_writer.h"
#include "ioctl/diagnostics.h"
#include "tests/driver/driver_fixture.h"
#include "tests/usb/tshark.h"
#include "usb/configure.h"

namespace torvex_test {
namespace {

using host::SetupPacket;

SetupPacket device_descriptor() { return {0x80, 0x06, 0x0100, 0, 18}; }
SetupPacket config_header() { return {0x80, 0x06, 0x0200, 0, 9}; }
SetupPacket config_whole(std::uint16_t total) { return {0x80, 0x06, 0x0200, 0, total}; }
SetupPacket set_configuration(std::uint16_t value) { return {0x00, 0x09, value, 0, 0}; }
SetupPacket remote_wakeup() { return {0x00, 0x03, 0x0001, 0, 0}; }

struct Layout {
    sim::ChipKind kind;
    int interfaces;
    LONG chip_type;
};

class StartLayoutTest : public DriverTest, public ::testing::WithParamInterface<Layout> {};

// The start on the wire: descriptors, configuration, the port reset, remote
// wake-up (after the reset, which clears it), the EEPROM signature test on addresses 0 and 1 (a status read before
// each latch and each byte read), the three initialisation writes only
// without the signature, the flow threshold only on the extended chip.
TEST_P(StartLayoutTest, TheStartSequenceOnTheWire) {
    const Layout layout = GetParam();
    for (bool signature : {true, false}) {
        sim::ChipConfig config = sim::ChipConfig::of(layout.kind, layout.interfaces);
        config.eeprom_signature = signature;
        build({.chip_config = config});
        ASSERT_EQ(world->start(), STATUS_SUCCESS);
        const std::uint16_t total = layout.interfaces == 1 ? 39 : 48;
        std::vector<SetupPacket> expected = {device_descriptor(), config_header(), config_whole(total),
                                             set_configuration(1)};
        if (layout.interfaces == 2) expected.push_back(set_configuration(1));
        expected.push_back(remote_wakeup());
        const SetupPacket status{0xC0, 0x01, 0x8484, 0, 1};
        for (std::uint16_t address : {0, 1}) {
            expected.insert(expected.end(), {status, {0x40, 0x01, 0x0404, address, 0}, status, {0xC0, 0x01, 0x8383, 0, 1}});
        }
        if (!signature) {
            const std::uint16_t third = layout.kind == sim::ChipKind::Extended ? 0x44 : 0x24;
            expected.insert(expected.end(), {{0x40, 0x01, 0, 0x01, 0}, {0x40, 0x01, 1, 0x00, 0}, {0x40, 0x01, 2, third, 0}});
        }
        if (layout.kind == sim::ChipKind::Extended) expected.push_back({0x40, 0x01, 0x0B0B, 3, 0});
        EXPECT_EQ(world->bus().trace().control_setups(), expected) << (signature ? "signed" : "unsigned");
        EXPECT_EQ(world->chip().reg(2), signature ? 0 : layout.kind == sim::ChipKind::Extended ? 0x44 : 0x24);
        // The port reset follows the configuration.
        std::size_t resets = 0;
        for (const host::WireRecord& r : world->bus().trace().records()) resets += r.function == host::kFunctionResetPort;
        EXPECT_EQ(resets, 2u);  // submission and completion
        EXPECT_TRUE(world->chip().remote_wakeup());
    }

    PUSB2SER_EXTENSION e = ext();
    EXPECT_EQ(e->ChipType, layout.chip_type);
    EXPECT_EQ(e->VendorId, world->chip().config().vendor_id);
    EXPECT_EQ(e->ProductId, world->chip().config().product_id);
    EXPECT_EQ(e->SingleInterface, layout.interfaces == 1);
    ASSERT_NE(e->InterfaceInfo0, nullptr);
    EXPECT_EQ(e->InterfaceInfo1 != nullptr, layout.interfaces == 2);
    // Every slot reaches its pipe.
    std::vector<UCHAR> endpoints;
    for (ULONG slot = 0; slot < USB2SER_SLOT_COUNT; ++slot) {
        USBD_PIPE_HANDLE pipe = USB2SER_SlotPipeHandle(e, slot);
        ASSERT_NE(pipe, nullptr);
    }
    PUSBD_INTERFACE_INFORMATION data = layout.interfaces == 1 ? e->InterfaceInfo0 : e->InterfaceInfo1;
    EXPECT_EQ(e->InterfaceInfo0->Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(data->Pipes[layout.interfaces == 1 ? 1 : 0].EndpointAddress, 0x02);
    EXPECT_EQ(data->Pipes[layout.interfaces == 1 ? 2 : 1].EndpointAddress, 0x83);
}

TEST_P(StartLayoutTest, TsharkFindsTheSameRequestsInTheStartsCaptureAsInTheTrace) {
    ASSERT_TRUE(tshark_available()) << "tshark is not installed: make installs it (tools/install_deps.sh)";
    const Layout layout = GetParam();
    build({.chip = layout.kind, .interfaces = layout.interfaces});
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    std::string path = testing::TempDir() + "torvex_start_" + std::to_string(::getpid()) + ".pcap";
    std::string error;
    ASSERT_TRUE(host::write_pcap(path, world->bus().trace(), world->bus().snapshots(), &error)) << error;
    EXPECT_EQ(tshark_problems(path), "");
    EXPECT_EQ(tshark_setups(path), world->bus().trace().control_setups());
    if (!HasFailure()) std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(EveryKind, StartLayoutTest,
                         ::testing::Values(Layout{sim::ChipKind::Comm, 1, CHIP_CLASS_COMM},
                                           Layout{sim::ChipKind::Comm, 2, CHIP_CLASS_COMM},
                                           Layout{sim::ChipKind::Vendor, 1, CHIP_CLASS_VENDOR},
                                           Layout{sim::ChipKind::Vendor, 2, CHIP_CLASS_VENDOR},
                                           Layout{sim::ChipKind::Extended, 1, CHIP_EXTENDED},
                                           Layout{sim::ChipKind::Extended, 2, CHIP_EXTENDED}));

class StartTest : public DriverTest {
public:
    // A world whose chip is built from `config`, with the device added.
    void with_chip(const sim::ChipConfig& config) { build({.chip_config = config}); }

    std::vector<SetupPacket> setups() { return world->bus().trace().control_setups(); }
    std::size_t set_configurations() {
        std::size_t n = 0;
        for (const SetupPacket& s : setups()) n += s.bRequest == 0x09 ? 1 : 0;
        return n;
    }
};

struct Classification {
    std::uint8_t device_class;
    std::uint8_t max_packet0;
    LONG before;
    LONG after;
};

TEST_F(StartTest, ClassificationTestsTheClassBeforeThePacketSize) {
    const Classification table[] = {
        {0x02, 64, CHIP_EXTENDED, CHIP_CLASS_COMM},   {0xFF, 64, CHIP_EXTENDED, CHIP_CLASS_VENDOR},
        {0x00, 64, CHIP_CLASS_COMM, CHIP_EXTENDED},   {0x00, 8, CHIP_CLASS_COMM, CHIP_CLASS_COMM},
        {0x00, 8, CHIP_EXTENDED, CHIP_EXTENDED},      {0x02, 8, CHIP_EXTENDED, CHIP_CLASS_COMM},
        {0x0A, 64, CHIP_CLASS_VENDOR, CHIP_EXTENDED}, {0xEF, 16, CHIP_CLASS_VENDOR, CHIP_CLASS_VENDOR},
    };
    for (const Classification& row : table) {
        sim::ChipConfig config = sim::ChipConfig::of(sim::ChipKind::Extended, 1);
        config.device_class = row.device_class;
        config.max_packet0 = row.max_packet0;
        with_chip(config);
        ext()->ChipType = row.before;
        USB2SER_StartDevice(fdo());
        EXPECT_EQ(ext()->ChipType, row.after) << "class " << int{row.device_class} << " mps " << int{row.max_packet0};
    }
}

TEST_F(StartTest, AFailedDescriptorReadLeavesTheIdentifiersZeroAndSendsNothingMore) {
    world->bus().add_fault({.wValue = 0x0100, .action = host::FaultAction::Stall});
    EXPECT_EQ(USB2SER_StartDevice(fdo()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext()->VendorId, 0);
    EXPECT_EQ(ext()->ProductId, 0);
    EXPECT_EQ(ext()->ChipType, CHIP_CLASS_COMM);
    EXPECT_EQ(setups(), std::vector<SetupPacket>{device_descriptor()});
    // The pipe users refuse the slots of a device that never got a configuration.
    EXPECT_EQ(USB2SER_ResetPipe(fdo(), USB2SER_SLOT_BULK_IN), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(StartTest, OneInterfaceIsSelectedWhateverItIs) {
    sim::ChipConfig config = sim::ChipConfig::of(sim::ChipKind::Comm, 1);
    config.keys[0] = {0x42, 0x43, 0x44};
    with_chip(config);
    EXPECT_EQ(USB2SER_StartDevice(fdo()), STATUS_SUCCESS);
    EXPECT_EQ(ext()->InterfaceInfo0->Class, 0x42);
}

TEST_F(StartTest, TheSearchKeysOfTwoInterfaceChips) {
    // A communications chip whose interface 0 has protocol 0x01.
    sim::ChipConfig comm = sim::ChipConfig::of(sim::ChipKind::Comm, 2);
    comm.keys[0].protocol = 0x01;
    with_chip(comm);
    EXPECT_EQ(USB2SER_StartDevice(fdo()), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(set_configurations(), 0u);
    EXPECT_EQ(ext()->InterfaceInfo0, nullptr);

    // A vendor chip with the communications class's two interfaces.
    sim::ChipConfig vendor = sim::ChipConfig::of(sim::ChipKind::Vendor, 2);
    vendor.keys = sim::ChipConfig::of(sim::ChipKind::Comm, 2).keys;
    with_chip(vendor);
    EXPECT_EQ(USB2SER_StartDevice(fdo()), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(set_configurations(), 0u);

    // Three interfaces: the two-interface path selects interfaces 0 and 1.
    with_chip(sim::ChipConfig::of(sim::ChipKind::Extended, 3));
    EXPECT_EQ(USB2SER_StartDevice(fdo()), STATUS_SUCCESS);
    EXPECT_FALSE(ext()->SingleInterface);
    EXPECT_EQ(set_configurations(), 2u);
    EXPECT_EQ(ext()->InterfaceInfo0->InterfaceNumber, 0);
    EXPECT_EQ(ext()->InterfaceInfo1->InterfaceNumber, 1);
}

// Configuration descriptors a broken or hostile device might send.
std::vector<UCHAR> two_vendor_interfaces() {
    return sim::BridgeChip(sim::ChipConfig::of(sim::ChipKind::Extended, 2)).configuration_descriptor();
}

TEST_F(StartTest, NoInterfacesReportedStillLeavesRoomInTheList) {
    sim::ChipConfig config = sim::ChipConfig::of(sim::ChipKind::Extended, 2);
    std::vector<UCHAR> bytes = two_vendor_interfaces();
    bytes[4] = 0;  // bNumInterfaces
    config.configuration_override = bytes;
    with_chip(config);
    EXPECT_EQ(USB2SER_StartDevice(fdo()), STATUS_SUCCESS);
    EXPECT_EQ(set_configurations(), 2u);
}

TEST_F(StartTest, TheDescriptorIsUsedOnlyAsFarAsItWasReceived) {
    struct Case {
        const char* name;
        std::vector<UCHAR> bytes;
        NTSTATUS status;
    };
    std::vector<UCHAR> whole = two_vendor_interfaces();
    std::vector<Case> cases;
    {
        std::vector<UCHAR> b = whole;
        b[2] = 5;  // wTotalLength shorter than the header
        cases.push_back({"total below 9", b, STATUS_DEVICE_CONFIGURATION_ERROR});
    }
    {
        std::vector<UCHAR> b(whole.begin(), whole.begin() + 7);  // the header itself cut short
        cases.push_back({"header cut short", b, STATUS_DEVICE_CONFIGURATION_ERROR});
    }
    {
        std::vector<UCHAR> b = whole;
        b[2] = 0xF4;  // claims 500 bytes; the device has 48
        b[3] = 0x01;
        cases.push_back({"total beyond what was sent", b, STATUS_SUCCESS});
    }
    {
        std::vector<UCHAR> b(whole.begin(), whole.begin() + 30);  // ends inside interface 1
        cases.push_back({"interface 1 cut off", b, STATUS_DEVICE_CONFIGURATION_ERROR});
    }
    {
        std::vector<UCHAR> b = whole;
        b[9] = 0;  // a descriptor of length 0 before the interfaces
        cases.push_back({"zero-length descriptor", b, STATUS_DEVICE_CONFIGURATION_ERROR});
    }
    {
        std::vector<UCHAR> b = whole;
        b[9] = 200;  // a descriptor that claims to run past the end
        cases.push_back({"overlong descriptor", b, STATUS_DEVICE_CONFIGURATION_ERROR});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ChipConfig config = sim::ChipConfig::of(sim::ChipKind::Extended, 2);
        config.configuration_override = c.bytes;
        with_chip(config);
        EXPECT_EQ(USB2SER_StartDevice(fdo()), c.status);
    }
    // A whole descriptor answered with fewer bytes than the header it follows.
    with_chip(sim::ChipConfig::of(sim::ChipKind::Extended, 2));
    world->bus().add_fault({.wValue = 0x0200, .action = host::FaultAction::Short, .short_length = 9, .times = 1});
    world->bus().add_fault({.wValue = 0x0200, .action = host::FaultAction::Short, .short_length = 8, .times = 1});
    EXPECT_EQ(USB2SER_StartDevice(fdo()), STATUS_DEVICE_CONFIGURATION_ERROR);
}

TEST_F(StartTest, AStopThenAStartReplacesTheInterfaceCopies) {
    build({.interfaces = 2});
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    ASSERT_EQ(kernel().pnp().stop(world->pdo()), STATUS_SUCCESS);
    world->bus().trace().clear();
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    EXPECT_EQ(set_configurations(), 2u);
    EXPECT_EQ(kernel().pool().outstanding(USB2SER_POOL_TAG).size(), 2u);  // one copy per interface
    EXPECT_NE(ext()->InterfaceInfo1, nullptr);
}

// A stop kills the pipe handles: after a restart that fails (at the
// descriptor read, or at the selection), the start reports the failure and
// the pipe routines send nothing with a handle of the old configuration.
TEST_F(StartTest, AFailedRestartLeavesNoPipeHandleOfTheOldConfiguration) {
    for (UCHAR failing : {0x06, 0x09}) {  // GET_DESCRIPTOR, SET_CONFIGURATION
        build({.interfaces = 2});
        ASSERT_EQ(world->start(), STATUS_SUCCESS);
        ASSERT_EQ(kernel().pnp().stop(world->pdo()), STATUS_SUCCESS);
        world->bus().add_fault({.bRequest = failing, .action = host::FaultAction::Stall});
        EXPECT_FALSE(NT_SUCCESS(world->start())) << "request " << int{failing};
        world->bus().trace().clear();
        EXPECT_EQ(USB2SER_ResetPipe(fdo(), USB2SER_SLOT_BULK_IN), STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(USB2SER_AsyncTransfer(fdo(), USB2SER_SLOT_INTERRUPT_IN, nullptr, 10), STATUS_INVALID_DEVICE_STATE);
        UCHAR packet[USB2SER_INTERRUPT_PACKET_SIZE];
        ULONG count = 99;
        EXPECT_EQ(USB2SER_ReadInterrupt(fdo(), packet, sizeof packet, &count), STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(count, 0u) << "nothing was read";
        EXPECT_TRUE(world->bus().trace().records().empty()) << "request " << int{failing};
    }
}

// A restart whose selection fails part-way, at any allocation, keeps no copy
// of one interface without the other: every slot has a pipe or none has.
TEST_F(StartTest, ASelectionThatFailsPartWayNeverMixesTwoConfigurations) {
    for (std::uint64_t n = 1; n <= 40; ++n) {
        build({.interfaces = 2});
        ASSERT_EQ(world->start(), STATUS_SUCCESS);
        ASSERT_EQ(kernel().pnp().stop(world->pdo()), STATUS_SUCCESS);
        kernel().pool().fail_nth(n);
        world->start();
        kernel().pool().clear_failures();
        const bool first = USB2SER_SlotPipeHandle(ext(), USB2SER_SLOT_INTERRUPT_IN) != nullptr;
        const bool second = USB2SER_SlotPipeHandle(ext(), USB2SER_SLOT_BULK_IN) != nullptr;
        EXPECT_EQ(first, second) << "allocation " << n;
    }
}

TEST_F(StartTest, StopUnconfiguresTheDeviceAndAFailureEndsTheRequest) {
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    world->bus().trace().clear();
    ASSERT_EQ(kernel().pnp().stop(world->pdo()), STATUS_SUCCESS);
    EXPECT_EQ(setups(), std::vector<SetupPacket>{set_configuration(0)});
    EXPECT_EQ(world->chip().configuration(), 0);

    world->bus().add_fault({.bRequest = 0x09, .action = host::FaultAction::Stall});
    std::uint64_t arrivals = world->bus().arrived();
    EXPECT_EQ(kernel().pnp().send(world->pdo(), IRP_MN_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    // Only the selection's internal request reached the bus: the stop itself did not.
    EXPECT_EQ(world->bus().arrived(), arrivals + 1);
}

// A start that ran out of pool says so; one that says it succeeded has every pipe.
TEST_F(StartTest, OutOfPoolDuringTheStartLeavesNothingBehind) {
    for (int interfaces : {1, 2}) {
        for (std::uint64_t n = 1; n <= 12; ++n) {
            build({.interfaces = interfaces});
            kernel().pool().fail_nth(n);
            NTSTATUS status = USB2SER_StartDevice(fdo());
            kernel().pool().clear_failures();
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES ||
                        status == STATUS_NO_MEMORY)
                << "allocation " << n << ": " << std::hex << status;
            if (status != STATUS_SUCCESS) continue;
            for (ULONG slot : {USB2SER_SLOT_INTERRUPT_IN, USB2SER_SLOT_BULK_OUT, USB2SER_SLOT_BULK_IN}) {
                EXPECT_NE(USB2SER_SlotPipeHandle(ext(), slot), nullptr)
                    << interfaces << " interfaces, allocation " << n << ", slot " << slot;
            }
        }
    }
}

}  // namespace
}  // namespace torvex_test
