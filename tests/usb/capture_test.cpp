// Capture files: the wire trace in the USBPcap format, checked byte by byte
// here and, where tshark is installed, by tshark's own dissection.
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <string>

#include <unistd.h>

#include "host/usb/pcap_writer.h"
#include "tests/usb/tshark.h"
#include "tests/usb/usb_fixture.h"

namespace torvex_test {
namespace {

class CaptureTest : public UsbTest {
public:
    // A start-like session: descriptors, selection, remote wake-up, line
    // settings, a register read, a pipe reset and a little data.
    void session() {
        UCHAR buffer[256];
        ASSERT_EQ(get_descriptor(1, 0, 0, buffer, 18), STATUS_SUCCESS);
        ASSERT_EQ(get_descriptor(2, 0, 0, buffer, 9), STATUS_SUCCESS);
        selected = select_configuration();
        ASSERT_EQ(selected.status, STATUS_SUCCESS);
        URB feature{};
        feature.UrbControlFeatureRequest.Hdr.Length = URB_TARGET_SIZE_CONTROL_REQUEST;
        feature.UrbControlFeatureRequest.Hdr.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
        feature.UrbControlFeatureRequest.FeatureSelector = USB_FEATURE_REMOTE_WAKEUP;
        ASSERT_EQ(call(&feature), STATUS_SUCCESS);
        UCHAR coding[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};
        ASSERT_EQ(request(URB_FUNCTION_CLASS_INTERFACE, false, 0x20, 0, 0, coding, 7), STATUS_SUCCESS);
        ASSERT_EQ(request(URB_FUNCTION_CLASS_INTERFACE, false, 0x22, 3, 0), STATUS_SUCCESS);
        ASSERT_EQ(request(URB_FUNCTION_VENDOR_DEVICE, true, 1, 0x81, 0, buffer, 1), STATUS_SUCCESS);
        URB reset{};
        reset.UrbPipeRequest.Hdr.Length = URB_TARGET_SIZE_PIPE_REQUEST;
        reset.UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
        reset.UrbPipeRequest.PipeHandle = selected.pipes[2];
        ASSERT_EQ(call(&reset), STATUS_SUCCESS);
        UCHAR text[5] = {'h', 'e', 'l', 'l', 'o'};
        ASSERT_EQ(transfer(selected.pipes[1], 0, text, 5), STATUS_SUCCESS);
        kernel->run_for(host::kMillisecond);
        ULONG got = 0;
        ASSERT_EQ(transfer(selected.pipes[2], USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer, 64, &got),
                  STATUS_SUCCESS);
        ASSERT_EQ(got, 5u);
    }

    std::string write_capture() {
        std::string path = testing::TempDir() + "torvex_capture_" + std::to_string(::getpid()) + ".pcap";
        std::string error;
        EXPECT_TRUE(host::write_pcap(path, bus->trace(), bus->snapshots(), &error)) << error;
        return path;
    }

    Select selected;
};

std::uint32_t u32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint16_t u16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

TEST_F(CaptureTest, RecordsHaveTheUsbPcapLayout) {
    session();
    std::vector<std::uint8_t> bytes = host::pcap_bytes(bus->trace(), bus->snapshots());
    ASSERT_GE(bytes.size(), 24u);
    EXPECT_EQ(u32(bytes, 0), 0xA1B2C3D4u);
    EXPECT_EQ(u32(bytes, 20), 249u);
    std::size_t at = 24;
    std::size_t records = 0;
    std::vector<host::SetupPacket> setups;
    while (at < bytes.size()) {
        ASSERT_LE(at + 16, bytes.size());
        std::uint32_t length = u32(bytes, at + 8);
        EXPECT_LT(u32(bytes, at + 4), 1'000'000u);
        EXPECT_EQ(length, u32(bytes, at + 12));
        std::size_t packet = at + 16;
        ASSERT_LE(packet + length, bytes.size());
        std::uint16_t header = u16(bytes, packet);
        std::uint8_t transfer = bytes[packet + 22];
        std::uint32_t data_length = u32(bytes, packet + 23);
        EXPECT_EQ(header, transfer == 2 ? 28 : 27);
        EXPECT_EQ(header + data_length, length);
        EXPECT_NE(transfer, 0xFF);
        if (transfer == 2 && bytes[packet + 27] == 0 && u32(bytes, packet + 6) < 0xFFFF0000u) {
            const std::uint8_t* s = &bytes[packet + 28];
            setups.push_back({s[0], s[1], static_cast<std::uint16_t>(s[2] | s[3] << 8),
                              static_cast<std::uint16_t>(s[4] | s[5] << 8), static_cast<std::uint16_t>(s[6] | s[7] << 8)});
        }
        at = packet + length;
        ++records;
    }
    // Two records per request, plus the two descriptor requests of the snapshot.
    EXPECT_EQ(records, bus->trace().records().size() + 4);
    EXPECT_EQ(setups, bus->trace().control_setups());
}

TEST_F(CaptureTest, TsharkReadsTheCaptureCleanlyWithTheSameSetupPackets) {
    ASSERT_TRUE(tshark_available()) << "tshark is not installed: make installs it (tools/install_deps.sh)";
    session();
    std::string path = write_capture();
    EXPECT_EQ(tshark_problems(path), "") << "tshark reports problems in " << path;
    EXPECT_EQ(tshark_setups(path), bus->trace().control_setups());
    // Every completion is paired with its submission.
    EXPECT_EQ(tshark(path, "-Y 'usb.irp_info.direction == 1 && !usb.request_in'"), "");
    if (!HasFailure()) std::remove(path.c_str());
}

// A long session: memory keeps a window of the newest records; the capture
// still holds every record, byte for byte and in order. A trace told to keep
// nothing keeps nothing.
TEST(LongCapture, HoldsEveryRecordWhileMemoryKeepsAWindow) {
    host::WireTrace trace;
    std::vector<std::uint8_t> expected;
    const std::size_t count = 3 * host::WireTrace::kWindowBytes / 4096;
    auto record = [](std::size_t i) {
        host::WireRecord r;
        r.time = static_cast<host::Time>(i) * 1250;
        r.id = i;
        r.completion = i % 2 == 1;
        r.function = i % 7 == 0 ? host::kFunctionResetPort : URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        r.kind = host::TransferKind::Bulk;
        r.endpoint = 0x82;
        r.data.assign(4096, static_cast<std::uint8_t>(i));
        return r;
    };
    for (std::size_t i = 0; i < count; ++i) {
        host::pcap_record(expected, record(i));
        trace.add(record(i));
        ASSERT_LE(trace.records().size() * 4096, host::WireTrace::kWindowBytes) << i;
    }
    ASSERT_LT(trace.records().size(), count / 2);
    const std::vector<std::uint8_t> bytes = host::pcap_bytes(trace, {});
    ASSERT_EQ(bytes.size(), 24 + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin() + 24));
    // Read twice: the capture leaves the spool as it found it, and later
    // records follow the spooled ones.
    EXPECT_EQ(host::pcap_bytes(trace, {}), bytes);
    std::vector<std::uint8_t> after = bytes;
    host::pcap_record(after, record(count));
    trace.add(record(count));
    EXPECT_EQ(host::pcap_bytes(trace, {}), after);

    trace.keep_nothing();
    for (std::size_t i = 0; i < 4; ++i) trace.add(record(i));
    EXPECT_TRUE(trace.records().empty());
    EXPECT_EQ(host::pcap_bytes(trace, {}).size(), 24u);
}

TEST_F(CaptureTest, AnUnwritablePathIsReportedNotIgnored) {
    std::string error;
    EXPECT_FALSE(host::write_pcap("/nonexistent-dir/x.pcap", bus->trace(), bus->snapshots(), &error));
    EXPECT_NE(error.find("/nonexistent-dir/x.pcap"), std::string::npos);
}

}  // namespace
}  // namespace torvex_test
