// The chip's EEPROM through the driver: byte writes and reads with their busy
// waits, the signature test, and the initialisation of a chip without it.
#include <vector>

#include "ioctl/eeprom.h"
#include "tests/driver/driver_fixture.h"

namespace torvex_test {
namespace {

using host::SetupPacket;

class EepromTest : public DriverTest {
public:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(world->start(), STATUS_SUCCESS);
        world->bus().trace().clear();
    }

    // The vendor requests sent since the trace was cleared, without the
    // status reads of the busy waits.
    std::vector<SetupPacket> requests() {
        std::vector<SetupPacket> out;
        for (const SetupPacket& s : world->bus().trace().control_setups()) {
            if (s.wValue != 0x8484) out.push_back(s);
        }
        return out;
    }
    std::size_t status_reads() {
        return world->bus().trace().control_setups().size() - requests().size();
    }
};

SetupPacket write(std::uint8_t address, std::uint8_t data) {
    return {0x40, 0x01, 0x0303, static_cast<std::uint16_t>(data << 8 | address), 0};
}

// Each byte is written after the EEPROM reports it is not busy; the data
// follows the address, which wraps after 0xFF; the first failure ends it.
TEST_F(EepromTest, WritesGoByteByByteAndStopAtTheFirstFailure) {
    UCHAR two[] = {0x10, 0x41, 0x42};
    EXPECT_EQ(USB2SER_EEPROM_Write(fdo(), two, sizeof two), STATUS_SUCCESS);
    EXPECT_EQ(requests(), (std::vector<SetupPacket>{write(0x10, 0x41), write(0x11, 0x42)}));
    EXPECT_GE(status_reads(), 2u);
    EXPECT_EQ(world->chip().eeprom()[0x11], 0x42);

    world->bus().trace().clear();
    UCHAR address_only[] = {0x20};
    EXPECT_EQ(USB2SER_EEPROM_Write(fdo(), address_only, 1), STATUS_SUCCESS);
    EXPECT_TRUE(world->bus().trace().records().empty());
    EXPECT_EQ(USB2SER_EEPROM_Write(fdo(), nullptr, 3), STATUS_INVALID_PARAMETER);

    world->bus().trace().clear();
    UCHAR wrapping[] = {0xFE, 1, 2, 3};
    EXPECT_EQ(USB2SER_EEPROM_Write(fdo(), wrapping, sizeof wrapping), STATUS_SUCCESS);
    EXPECT_EQ(requests(), (std::vector<SetupPacket>{write(0xFE, 1), write(0xFF, 2), write(0x00, 3)}));

    // A whole EEPROM's worth from the middle: every byte where it belongs.
    std::vector<UCHAR> whole(1 + 256);
    whole[0] = 0x10;
    for (int k = 0; k < 256; ++k) whole[1 + k] = static_cast<UCHAR>(k ^ 0x5A);
    EXPECT_EQ(USB2SER_EEPROM_Write(fdo(), whole.data(), static_cast<ULONG>(whole.size())), STATUS_SUCCESS);
    for (int k = 0; k < 256; ++k) EXPECT_EQ(world->chip().eeprom()[(0x10 + k) % 256], k ^ 0x5A) << k;

    world->bus().trace().clear();
    world->bus().add_fault({.wValue = 0x0303, .wIndex = 0x0B31, .action = host::FaultAction::Stall});
    UCHAR failing[] = {0x30, 0x0A, 0x0B, 0x0C};
    EXPECT_NE(USB2SER_EEPROM_Write(fdo(), failing, sizeof failing), STATUS_SUCCESS);
    EXPECT_EQ(requests(), (std::vector<SetupPacket>{write(0x30, 0x0A), write(0x31, 0x0B)}));
    EXPECT_EQ(world->chip().eeprom()[0x30], 0x0A);
}

// An EEPROM that stays busy is given up on after a bounded wait (200 polls,
// about a second), instead of holding the request for ever.
TEST_F(EepromTest, AnEepromThatStaysBusyIsGivenUpOn) {
    sim::ChipConfig config = sim::ChipConfig::of(sim::ChipKind::Extended, 1);
    config.eeprom_busy_us = 3'600'000'000;  // an hour
    build({.chip_config = config});
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    UCHAR first[] = {0x00, 0x2A};
    ASSERT_EQ(USB2SER_EEPROM_Write(fdo(), first, sizeof first), STATUS_SUCCESS);
    const host::Time start = kernel().now();
    world->bus().trace().clear();
    UCHAR second[] = {0x01, 0x0E};
    EXPECT_EQ(USB2SER_EEPROM_Write(fdo(), second, sizeof second), STATUS_IO_TIMEOUT);
    EXPECT_EQ(status_reads(), 200u);
    EXPECT_GE(kernel().now() - start, host::kSecond);
    EXPECT_LT(kernel().now() - start, 2 * host::kSecond);
    EXPECT_EQ(world->chip().counters().eeprom_writes_while_busy, 0u);
}

// Reads latch each address and read its byte, after busy waits; a failed
// byte does not stop the loop and only the last byte's status counts; a
// range past address 0xFFFF is refused.
TEST_F(EepromTest, ReadsLatchEachAddressAndReportTheLastByte) {
    world->chip().eeprom()[0x40] = 0xA1;
    world->chip().eeprom()[0x41] = 0xB2;
    UCHAR buffer[3] = {0x40, 0x00, 0xEE};
    ULONG count = 99;
    EXPECT_EQ(USB2SER_EEPROM_ReadData(fdo(), buffer, 2, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(buffer[0], 0xA1);
    EXPECT_EQ(buffer[1], 0xB2);
    EXPECT_EQ(buffer[2], 0xEE);  // nothing past the length
    EXPECT_EQ(requests(), (std::vector<SetupPacket>{{0x40, 0x01, 0x0404, 0x40, 0},
                                                    {0xC0, 0x01, 0x8383, 0, 1},
                                                    {0x40, 0x01, 0x0404, 0x41, 0},
                                                    {0xC0, 0x01, 0x8383, 0, 1}}));
    EXPECT_EQ(status_reads(), 4u);

    world->bus().trace().clear();
    EXPECT_EQ(USB2SER_EEPROM_ReadData(fdo(), buffer, 0, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(world->bus().trace().records().empty());

    world->bus().add_fault({.wValue = 0x8383, .action = host::FaultAction::Stall, .times = 1});
    UCHAR three[3] = {0x40, 0x00, 0x00};
    EXPECT_EQ(USB2SER_EEPROM_ReadData(fdo(), three, 3, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(three[1], 0xB2);

    UCHAR status = 0xEE;
    EXPECT_EQ(USB2SER_EEPROM_ReadStatus(fdo(), &status, 0, &count), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(status, 0xEE);
    EXPECT_EQ(count, 0u);

    UCHAR far[2] = {0xFF, 0xFF};
    world->bus().trace().clear();
    EXPECT_EQ(USB2SER_EEPROM_ReadData(fdo(), far, 2, &count), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(world->bus().trace().records().empty());
    EXPECT_EQ(USB2SER_EEPROM_ReadData(fdo(), far, 1, &count), STATUS_SUCCESS);  // address 0xFFFF itself
}

// The signature test and the initialisation: swapped bytes are no signature;
// a failed first write does not stop the other two.
TEST_F(EepromTest, TheSignatureDecidesTheInitialisation) {
    EXPECT_TRUE(USB2SER_IsEEPROM0E2A(fdo()));
    world->chip().eeprom()[0] = 0x0E;
    world->chip().eeprom()[1] = 0x2A;
    EXPECT_FALSE(USB2SER_IsEEPROM0E2A(fdo()));

    world->bus().trace().clear();
    world->bus().add_fault({.wValue = 0x0000, .action = host::FaultAction::Stall, .times = 1});
    EXPECT_EQ(USB2SER_InitHW(fdo()), STATUS_SUCCESS);
    EXPECT_EQ(requests(), (std::vector<SetupPacket>{{0x40, 0x01, 0, 0x01, 0}, {0x40, 0x01, 1, 0, 0}, {0x40, 0x01, 2, 0x44, 0}}));
    EXPECT_EQ(world->chip().reg(2), 0x44);
}

// A start whose worker thread cannot be had fails, even when the chip then
// initialises without a fault.
TEST_F(EepromTest, AStartWithoutItsThreadFailsWhateverTheInitialisationSays) {
    sim::ChipConfig config = sim::ChipConfig::of(sim::ChipKind::Comm, 1);
    config.eeprom_signature = false;
    build({.chip_config = config});
    kernel().objects().fail_next_reference(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(world->start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(world->chip().reg(2), 0x24);  // the initialisation ran
}

}  // namespace
}  // namespace torvex_test
