// Every control request the chip understands, built by hand as a URB: the
// setup packet the bus puts on the wire, and what the chip does with it.
#include <functional>
#include <string>

#include "tests/usb/usb_fixture.h"

namespace torvex_test {
namespace {

using host::SetupPacket;

struct Row {
    std::string name;
    SetupPacket setup;
    std::function<NTSTATUS(UsbTest&)> send;
    std::function<void(UsbTest&)> check;
};

constexpr USHORT kVendor = URB_FUNCTION_VENDOR_DEVICE;
constexpr USHORT kClass = URB_FUNCTION_CLASS_INTERFACE;

class CatalogueTest : public UsbTest {
public:
    UCHAR buffer[256] = {};
    ULONG got = 0;
};

std::vector<Row> catalogue() {
    return {
        {"device descriptor", {0x80, 0x06, 0x0100, 0, 18},
         [](UsbTest& t) { return t.get_descriptor(1, 0, 0, static_cast<CatalogueTest&>(t).buffer, 18); },
         [](UsbTest& t) {
             auto& c = static_cast<CatalogueTest&>(t);
             EXPECT_EQ(c.buffer[0], 18);
             EXPECT_EQ(c.buffer[7], 64);  // bMaxPacketSize0
         }},
        {"configuration header", {0x80, 0x06, 0x0200, 0, 9},
         [](UsbTest& t) { return t.get_descriptor(2, 0, 0, static_cast<CatalogueTest&>(t).buffer, 9); },
         [](UsbTest& t) { EXPECT_EQ(static_cast<CatalogueTest&>(t).buffer[2], 39); }},
        {"configuration whole", {0x80, 0x06, 0x0200, 0, 39},
         [](UsbTest& t) { return t.get_descriptor(2, 0, 0, static_cast<CatalogueTest&>(t).buffer, 39); },
         nullptr},
        {"configuration, tool's length", {0x80, 0x06, 0x0200, 0, 255},
         [](UsbTest& t) {
             auto& c = static_cast<CatalogueTest&>(t);
             NTSTATUS s = t.get_descriptor(2, 0, 0, c.buffer, 255, &c.got);
             return s;
         },
         [](UsbTest& t) { EXPECT_EQ(static_cast<CatalogueTest&>(t).got, 39u); }},
        {"string descriptor", {0x80, 0x06, 0x0302, 0x0409, 255},
         [](UsbTest& t) {
             auto& c = static_cast<CatalogueTest&>(t);
             return t.get_descriptor(3, 2, 0x0409, c.buffer, 255, &c.got);
         },
         [](UsbTest& t) {
             auto& c = static_cast<CatalogueTest&>(t);
             EXPECT_EQ(c.got, c.buffer[0]);
             EXPECT_EQ(c.buffer[2], 'U');
         }},
        {"set remote wake-up", {0x00, 0x03, 0x0001, 0, 0},
         [](UsbTest& t) {
             URB urb{};
             urb.UrbControlFeatureRequest.Hdr.Length = URB_TARGET_SIZE_CONTROL_REQUEST;
             urb.UrbControlFeatureRequest.Hdr.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
             urb.UrbControlFeatureRequest.FeatureSelector = USB_FEATURE_REMOTE_WAKEUP;
             return t.call(&urb);
         },
         [](UsbTest& t) { EXPECT_TRUE(t.chip->remote_wakeup()); }},
        {"clear remote wake-up", {0x00, 0x01, 0x0001, 0, 0},
         [](UsbTest& t) {
             URB urb{};
             urb.UrbControlFeatureRequest.Hdr.Length = URB_TARGET_SIZE_CONTROL_REQUEST;
             urb.UrbControlFeatureRequest.Hdr.Function = URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE;
             urb.UrbControlFeatureRequest.FeatureSelector = USB_FEATURE_REMOTE_WAKEUP;
             return t.call(&urb);
         },
         [](UsbTest& t) { EXPECT_FALSE(t.chip->remote_wakeup()); }},
        {"select configuration", {0x00, 0x09, 0x0001, 0, 0},
         [](UsbTest& t) {
             // The descriptor read that precedes the selection is checked above.
             t.bus->trace().clear();
             return t.select_configuration().status;
         },
         [](UsbTest& t) { EXPECT_EQ(t.chip->configuration(), 1); }},
        {"unconfigure", {0x00, 0x09, 0x0000, 0, 0}, [](UsbTest& t) { return t.unconfigure(); },
         [](UsbTest& t) { EXPECT_EQ(t.chip->configuration(), 0); }},
        {"set comm feature", {0x21, 0x02, 0x0001, 0, 2},
         [](UsbTest& t) {
             UCHAR value[2] = {0x34, 0x12};
             return t.request(kClass, false, 0x02, 1, 0, value, 2);
         },
         [](UsbTest& t) { EXPECT_EQ(t.chip->comm_feature(), 0x1234); }},
        {"get comm feature", {0xA1, 0x03, 0x0001, 0, 2},
         [](UsbTest& t) {
             auto& c = static_cast<CatalogueTest&>(t);
             return t.request(kClass, true, 0x03, 1, 0, c.buffer, 2, &c.got);
         },
         [](UsbTest& t) {
             auto& c = static_cast<CatalogueTest&>(t);
             EXPECT_EQ(c.got, 2u);
             EXPECT_EQ(c.buffer[0] | c.buffer[1] << 8, 0x1234);
         }},
        {"clear comm feature", {0x21, 0x04, 0x0001, 0, 0},
         [](UsbTest& t) { return t.request(kClass, false, 0x04, 1, 0); },
         [](UsbTest& t) { EXPECT_EQ(t.chip->comm_feature(), 0); }},
        {"set line coding (divisor code)", {0x21, 0x20, 0, 0, 7},
         [](UsbTest& t) {
             UCHAR coding[7] = {0x68, 0x04, 0x00, 0x80, 2, 2, 7};  // 0x80000468, 2 stop, even, 7 bits
             return t.request(kClass, false, 0x20, 0, 0, coding, 7);
         },
         [](UsbTest& t) {
             const sim::LineCoding& c = t.chip->line_coding();
             EXPECT_EQ(c.dte_rate, 0x80000468u);
             EXPECT_EQ(c.baud, 230769u);  // 384,000,000 / (104 x 4^2)
             EXPECT_EQ(c.char_format, 2);
             EXPECT_EQ(c.parity, 2);
             EXPECT_EQ(c.data_bits, 7);
         }},
        {"get line coding", {0xA1, 0x21, 0, 0, 7},
         [](UsbTest& t) {
             auto& c = static_cast<CatalogueTest&>(t);
             return t.request(kClass, true, 0x21, 0, 0, c.buffer, 7, &c.got);
         },
         [](UsbTest& t) {
             auto& c = static_cast<CatalogueTest&>(t);
             EXPECT_EQ(c.got, 7u);
             EXPECT_EQ(c.buffer[3], 0x80);
             EXPECT_EQ(c.buffer[6], 7);
         }},
        {"set control lines", {0x21, 0x22, 0x0003, 0, 0},
         [](UsbTest& t) { return t.request(kClass, false, 0x22, 3, 0); },
         [](UsbTest& t) {
             EXPECT_TRUE(t.chip->dtr());
             EXPECT_TRUE(t.chip->rts());
         }},
        {"break on", {0x21, 0x23, 0xFFFF, 0, 0}, [](UsbTest& t) { return t.request(kClass, false, 0x23, 0xFFFF, 0); },
         [](UsbTest& t) { EXPECT_TRUE(t.chip->break_on()); }},
        {"break off", {0x21, 0x23, 0x0000, 0, 0}, [](UsbTest& t) { return t.request(kClass, false, 0x23, 0, 0); },
         [](UsbTest& t) { EXPECT_FALSE(t.chip->break_on()); }},
        {"write register 2", {0x40, 0x01, 0x0002, 0x0044, 0},
         [](UsbTest& t) { return t.request(kVendor, false, 1, 2, 0x44); },
         [](UsbTest& t) { EXPECT_EQ(t.chip->reg(2), 0x44); }},
        {"read register 2 (one byte)", {0xC0, 0x01, 0x0082, 0, 1},
         [](UsbTest& t) {
             auto& c = static_cast<CatalogueTest&>(t);
             return t.request(kVendor, true, 1, 0x82, 0, c.buffer, 1, &c.got);
         },
         [](UsbTest& t) {
             auto& c = static_cast<CatalogueTest&>(t);
             EXPECT_EQ(c.got, 1u);
             EXPECT_EQ(c.buffer[0], 0x44);
         }},
        {"flow threshold", {0x40, 0x01, 0x0B0B, 3, 0}, [](UsbTest& t) { return t.request(kVendor, false, 1, 0x0B0B, 3); },
         [](UsbTest& t) { EXPECT_EQ(t.chip->flow_threshold(), 3); }},
        {"data-pipe reset, transmit", {0x40, 0x01, 0x0909, 0, 0},
         [](UsbTest& t) { return t.request(kVendor, false, 1, 0x0909, 0); },
         [](UsbTest& t) { EXPECT_EQ(t.chip->counters().tx_flushes, 1u); }},
        {"data-pipe reset, receive", {0x40, 0x01, 0x0808, 0, 0},
         [](UsbTest& t) { return t.request(kVendor, false, 1, 0x0808, 0); },
         [](UsbTest& t) { EXPECT_EQ(t.chip->counters().rx_flushes, 1u); }},
        {"EEPROM byte write", {0x40, 0x01, 0x0303, 0x5A07, 0},
         [](UsbTest& t) { return t.request(kVendor, false, 1, 0x0303, 0x5A07); },
         [](UsbTest& t) {
             EXPECT_EQ(t.chip->eeprom()[7], 0x5A);
             EXPECT_TRUE(t.chip->eeprom_busy(t.kernel->now()));
         }},
        {"EEPROM status while busy", {0xC0, 0x01, 0x8484, 0, 1},
         [](UsbTest& t) {
             auto& c = static_cast<CatalogueTest&>(t);
             return t.request(kVendor, true, 1, 0x8484, 0, c.buffer, 1);
         },
         [](UsbTest& t) { EXPECT_EQ(static_cast<CatalogueTest&>(t).buffer[0] & 1, 1); }},
        {"EEPROM read address", {0x40, 0x01, 0x0404, 0x0007, 0},
         [](UsbTest& t) { return t.request(kVendor, false, 1, 0x0404, 7); }, nullptr},
        {"EEPROM data read", {0xC0, 0x01, 0x8383, 0, 1},
         [](UsbTest& t) {
             auto& c = static_cast<CatalogueTest&>(t);
             return t.request(kVendor, true, 1, 0x8383, 0, c.buffer, 1);
         },
         [](UsbTest& t) { EXPECT_EQ(static_cast<CatalogueTest&>(t).buffer[0], 0x5A); }},
    };
}

TEST_F(CatalogueTest, EveryRowPutsItsSetupPacketOnTheWireAndChangesTheChip) {
    for (const Row& row : catalogue()) {
        SCOPED_TRACE(row.name);
        std::size_t before = bus->trace().control_setups().size();
        if (row.name == "select configuration") before = 0;
        EXPECT_EQ(row.send(*this), STATUS_SUCCESS);
        auto setups = bus->trace().control_setups();
        ASSERT_GT(setups.size(), before);
        EXPECT_EQ(setups.back(), row.setup);
        if (row.check) row.check(*this);
    }
}

TEST_F(CatalogueTest, PipeResetSendsClearFeatureForTheEndpointAndClearsTheHalt) {
    Select selected = select_configuration();
    ASSERT_EQ(selected.status, STATUS_SUCCESS);
    ASSERT_EQ(selected.endpoints, (std::vector<UCHAR>{0x81, 0x02, 0x83}));
    URB urb{};
    urb.UrbPipeRequest.Hdr.Length = URB_TARGET_SIZE_PIPE_REQUEST;
    urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    urb.UrbPipeRequest.PipeHandle = selected.pipes[2];
    EXPECT_EQ(call(&urb), STATUS_SUCCESS);
    auto resets = bus->trace().submissions(URB_FUNCTION_RESET_PIPE);
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0]->kind, host::TransferKind::IrpInfo);
    EXPECT_EQ(resets[0]->setup, (SetupPacket{0x02, 0x01, 0, 0x83, 0}));
}

TEST_F(CatalogueTest, UnknownRequestsStallAndMapToUnsuccessful) {
    EXPECT_EQ(request(kVendor, false, 1, 0x7777, 0), STATUS_UNSUCCESSFUL);
    auto& done = bus->trace().records().back();
    EXPECT_TRUE(done.completion);
    EXPECT_EQ(done.usbd_status, USBD_STATUS_STALL_PID);
    // Class requests go to interface 0 only.
    EXPECT_EQ(request(kClass, false, 0x22, 1, 1), STATUS_UNSUCCESSFUL);
    // A divisor code with a zero mantissa is no rate.
    UCHAR coding[7] = {0x00, 0x02, 0x00, 0x80, 0, 0, 8};
    EXPECT_EQ(request(kClass, false, 0x20, 0, 0, coding, 7), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(chip->line_coding().baud, 9600u);
}

TEST_F(CatalogueTest, ScriptedRegisterReadsAndTheEepromWriteCycle) {
    chip->on_register_read(1, [](std::uint32_t n, std::uint8_t stored) {
        return static_cast<std::uint8_t>(n >= 3 ? stored | 0x08 : stored);
    });
    std::vector<UCHAR> seen;
    for (int i = 0; i < 4; ++i) {
        UCHAR value = 0xFF;
        ASSERT_EQ(request(kVendor, true, 1, 0x81, 0, &value, 1), STATUS_SUCCESS);
        seen.push_back(value);
    }
    EXPECT_EQ(seen, (std::vector<UCHAR>{0x00, 0x00, 0x08, 0x08}));

    ASSERT_EQ(request(kVendor, false, 1, 0x0303, 0x1100), STATUS_SUCCESS);
    ASSERT_EQ(request(kVendor, false, 1, 0x0303, 0x2200), STATUS_SUCCESS);  // during the write cycle
    EXPECT_EQ(chip->eeprom()[0], 0x11);
    EXPECT_EQ(chip->counters().eeprom_writes_while_busy, 1u);
    kernel->run_for(5 * host::kMillisecond);
    UCHAR status = 0xFF;
    ASSERT_EQ(request(kVendor, true, 1, 0x8484, 0, &status, 1), STATUS_SUCCESS);
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace torvex_test
