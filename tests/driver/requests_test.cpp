// Every row of the control-request catalogue through its builder: the exact
// setup packet on the wire, sent synchronously or fire-and-forget.
#include <functional>
#include <string>

#include "tests/driver/driver_fixture.h"
#include "usb/requests.h"

namespace torvex_test {
namespace {

using host::SetupPacket;

struct Row {
    int number;
    std::function<PURB(UCHAR* buffer)> build;
    bool fire_and_forget;
    SetupPacket setup;
    ULONG transferred;  // bytes the data stage moves; kWholeConfiguration: the chip's configuration
};

constexpr ULONG kWholeConfiguration = ~0u;

UCHAR g_buffer[256];

std::vector<Row> catalogue() {
    return {
        {1, [](UCHAR* b) { return USB2SER_BuildDescriptorRequest(1, 0, 0, b, 18); }, false, {0x80, 6, 0x0100, 0, 18}, 18},
        {2, [](UCHAR* b) { return USB2SER_BuildDescriptorRequest(2, 0, 0, b, 9); }, false, {0x80, 6, 0x0200, 0, 9}, 9},
        {3, [](UCHAR* b) { return USB2SER_BuildDescriptorRequest(2, 0, 0, b, 39); }, false, {0x80, 6, 0x0200, 0, 39}, 39},
        {4, [](UCHAR* b) { return USB2SER_BuildDescriptorRequest(2, 0, 0, b, 255); }, false, {0x80, 6, 0x0200, 0, 255},
         kWholeConfiguration},
        {5, [](UCHAR* b) { return USB2SER_BuildDescriptorRequest(3, 2, USB2SER_LANGUAGE_ENGLISH_US, b, 255); }, false,
         {0x80, 6, 0x0302, 0x0409, 255}, 60},
        {6, [](UCHAR*) { return USB2SER_BuildFeatureRequest(TRUE, USB_FEATURE_REMOTE_WAKEUP); }, false, {0x00, 3, 1, 0, 0}, 0},
        {7, [](UCHAR*) { return USB2SER_BuildFeatureRequest(FALSE, USB_FEATURE_REMOTE_WAKEUP); }, false, {0x00, 1, 1, 0, 0}, 0},
        {11, [](UCHAR* b) { return USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SET_COMM_FEATURE, USB2SER_CDC_ABSTRACT_STATE, b, 2); },
         false, {0x21, 0x02, 1, 0, 2}, 2},
        {12, [](UCHAR* b) { return USB2SER_BuildClassRequest(TRUE, USB2SER_CDC_GET_COMM_FEATURE, USB2SER_CDC_ABSTRACT_STATE, b, 2); },
         false, {0xA1, 0x03, 1, 0, 2}, 2},
        {13, [](UCHAR*) { return USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_CLEAR_COMM_FEATURE, USB2SER_CDC_ABSTRACT_STATE, nullptr, 0); },
         false, {0x21, 0x04, 1, 0, 0}, 0},
        {14, [](UCHAR* b) {
             const UCHAR coding[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};
             RtlCopyMemory(b, coding, 7);
             return USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SET_LINE_CODING, 0, b, USB2SER_LINE_CODING_SIZE);
         }, false, {0x21, 0x20, 0, 0, 7}, 7},
        {15, [](UCHAR* b) { return USB2SER_BuildClassRequest(TRUE, USB2SER_CDC_GET_LINE_CODING, 0, b, USB2SER_LINE_CODING_SIZE); },
         false, {0xA1, 0x21, 0, 0, 7}, 7},
        {16, [](UCHAR*) { return USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SET_CONTROL_LINE_STATE, 3, nullptr, 0); },
         false, {0x21, 0x22, 3, 0, 0}, 0},
        {16, [](UCHAR*) { return USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SET_CONTROL_LINE_STATE, 1, nullptr, 0); },
         true, {0x21, 0x22, 1, 0, 0}, 0},
        {17, [](UCHAR*) { return USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SET_CONTROL_LINE_STATE, 0x0002, nullptr, 0); },
         false, {0x21, 0x22, 2, 0, 0}, 0},
        {18, [](UCHAR*) { return USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SEND_BREAK, USB2SER_BREAK_ON, nullptr, 0); },
         true, {0x21, 0x23, 0xFFFF, 0, 0}, 0},
        {18, [](UCHAR*) { return USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SEND_BREAK, USB2SER_BREAK_OFF, nullptr, 0); },
         true, {0x21, 0x23, 0x0000, 0, 0}, 0},
        {19, [](UCHAR* b) { return USB2SER_BuildVendorRead(USB2SER_VENDOR_READ_REGISTER(2), b); }, false, {0xC0, 1, 0x0082, 0, 1}, 1},
        {20, [](UCHAR* b) { return USB2SER_BuildVendorRead(USB2SER_VENDOR_READ_REGISTER(0), b); }, false, {0xC0, 1, 0x0080, 0, 1}, 1},
        {21, [](UCHAR*) { return USB2SER_BuildVendorWrite(USB2SER_VENDOR_WRITE_REGISTER(0), 0x41); }, true, {0x40, 1, 0, 0x41, 0}, 0},
        {22, [](UCHAR*) { return USB2SER_BuildVendorWrite(USB2SER_VENDOR_WRITE_REGISTER(1), 0x08); }, false, {0x40, 1, 1, 0x08, 0}, 0},
        {23, [](UCHAR*) { return USB2SER_BuildVendorWrite(USB2SER_VENDOR_WRITE_REGISTER(2), 0x44); }, false, {0x40, 1, 2, 0x44, 0}, 0},
        {24, [](UCHAR*) { return USB2SER_BuildVendorWrite(USB2SER_VENDOR_FLOW_THRESHOLD, 3); }, false, {0x40, 1, 0x0B0B, 3, 0}, 0},
        {25, [](UCHAR*) { return USB2SER_BuildVendorWrite(USB2SER_VENDOR_DATA_PIPE_RESET_ON, 0); }, false, {0x40, 1, 0x0909, 0, 0}, 0},
        {25, [](UCHAR*) { return USB2SER_BuildVendorWrite(USB2SER_VENDOR_DATA_PIPE_RESET_OFF, 0); }, false, {0x40, 1, 0x0808, 0, 0}, 0},
        {26, [](UCHAR* b) { return USB2SER_BuildVendorRead(USB2SER_VENDOR_EEPROM_STATUS, b); }, false, {0xC0, 1, 0x8484, 0, 1}, 1},
        {27, [](UCHAR*) { return USB2SER_BuildVendorWrite(USB2SER_VENDOR_EEPROM_WRITE, 0x5A07); }, false, {0x40, 1, 0x0303, 0x5A07, 0}, 0},
        {28, [](UCHAR*) { return USB2SER_BuildVendorWrite(USB2SER_VENDOR_EEPROM_ADDRESS, 0x0107); }, false, {0x40, 1, 0x0404, 0x0107, 0}, 0},
        {29, [](UCHAR* b) { return USB2SER_BuildVendorRead(USB2SER_VENDOR_EEPROM_DATA, b); }, false, {0xC0, 1, 0x8383, 0, 1}, 1},
        {30, [](UCHAR*) { return USB2SER_BuildVendorWrite(0x0001, 0x0033); }, false, {0x40, 1, 0x0001, 0x0033, 0}, 0},
        {31, [](UCHAR* b) { return USB2SER_BuildVendorRead(0x0081, b); }, false, {0xC0, 1, 0x0081, 0, 1}, 1},
    };
}

class RequestsTest : public DriverTest, public ::testing::WithParamInterface<int> {};

TEST_P(RequestsTest, EveryRowPutsItsExactSetupPacketOnTheWire) {
    build({.chip = sim::ChipKind::Comm, .interfaces = GetParam()});
    for (const Row& row : catalogue()) {
        SCOPED_TRACE("row " + std::to_string(row.number));
        std::size_t before = world->bus().trace().control_setups().size();
        ULONG transferred = 99;
        NTSTATUS status = USB2SER_SendRequest(fdo(), row.build(g_buffer), row.fire_and_forget, &transferred);
        if (row.fire_and_forget) {
            EXPECT_EQ(status, STATUS_PENDING);
            EXPECT_EQ(transferred, 0u);
            kernel().run_for(2 * host::kMillisecond);
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(transferred, row.transferred == kWholeConfiguration
                                       ? world->chip().configuration_descriptor().size()
                                       : row.transferred);
        }
        auto setups = world->bus().trace().control_setups();
        ASSERT_EQ(setups.size(), before + 1);
        EXPECT_EQ(setups.back(), row.setup);
    }
    EXPECT_EQ(ext()->CtrlIoCount, 0);
}

INSTANTIATE_TEST_SUITE_P(OneAndTwoInterfaces, RequestsTest, ::testing::Values(1, 2));

TEST_F(RequestsTest, ABuilderOutOfPoolSendsNothing) {
    std::size_t records = world->bus().trace().records().size();
    kernel().pool().fail_tag(USB2SER_POOL_TAG);
    UCHAR byte = 0;
    ULONG transferred = 99;
    EXPECT_EQ(USB2SER_SendRequest(fdo(), USB2SER_BuildVendorRead(USB2SER_VENDOR_READ_REGISTER(0), &byte), FALSE,
                                  &transferred),
              STATUS_NO_MEMORY);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(USB2SER_SendRequest(fdo(), USB2SER_BuildVendorWrite(0, 1), TRUE, nullptr), STATUS_NO_MEMORY);
    kernel().pool().clear_failures();
    EXPECT_EQ(world->bus().trace().records().size(), records);
    EXPECT_EQ(ext()->CtrlIoCount, 0);
}

TEST_F(RequestsTest, BuildersWriteTheTargetsLengthAndSetEveryField) {
    UCHAR byte = 0;
    PURB urb = USB2SER_BuildVendorRead(USB2SER_VENDOR_EEPROM_STATUS, &byte);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, 80);
    EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferFlags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferBufferLength, 1u);
    EXPECT_EQ(urb->UrbControlVendorClassRequest.RequestTypeReservedBits, 0);
    EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferBufferMDL, nullptr);
    EXPECT_EQ(urb->UrbControlVendorClassRequest.UrbLink, nullptr);
    ExFreePool(urb);
}

}  // namespace
}  // namespace torvex_test
