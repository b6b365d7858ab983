#include <cstring>

#include "tests/kernel/fixture.h"

namespace torvex_test {
namespace {

class RegistryTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        fdo = stack_on_bus();
        kernel->registry().set_dword(pdo, "MultiportDevice", 1);
        ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
                  STATUS_SUCCESS);
        RtlInitUnicodeString(&name, u"MultiportDevice");
    }
    void TearDown() override {
        if (key) ZwClose(key);
        KernelTest::TearDown();
    }
    PDEVICE_OBJECT fdo = nullptr;
    HANDLE key = nullptr;
    UNICODE_STRING name{};
};

TEST_F(RegistryTest, FullInformationHasThePublishedLayout) {
    alignas(8) UCHAR buffer[60];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &length),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(info->NameLength, 30u);  // 15 characters, no terminator
    EXPECT_EQ(info->DataOffset, 52u);  // after the name, aligned to 4
    EXPECT_EQ(info->DataLength, 4u);
    EXPECT_EQ(length, 56u);
    EXPECT_EQ(std::memcmp(info->Name, u"MultiportDevice", 30), 0);
    ULONG value = 0;
    std::memcpy(&value, buffer + info->DataOffset, 4);
    EXPECT_EQ(value, 1u);
}

TEST_F(RegistryTest, ShortBuffersAndMissingValuesGetThePlatformsAnswers) {
    alignas(8) UCHAR buffer[64];
    ULONG length = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, 19, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 56u);
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, 40, &length),
              STATUS_BUFFER_OVERFLOW);
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(info->DataLength, 4u);  // the fixed part is filled
    EXPECT_EQ(buffer[52], 0xEE);      // the data is not
    EXPECT_EQ(buffer[40], 0xEE);      // nothing past the given length

    UNICODE_STRING missing;
    RtlInitUnicodeString(&missing, u"PORTNAME");
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValueFullInformation, buffer, sizeof buffer, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);

    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->Data[0], 1);
}

TEST_F(RegistryTest, OnlyPhysicalDevicesHaveKeysAndOpeningCanBeMadeToFail) {
    HANDLE other = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &other),
              STATUS_INVALID_DEVICE_REQUEST);
    kernel->registry().fail_open(pdo, STATUS_ACCESS_DENIED);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &other),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(other, nullptr);
}

}  // namespace
}  // namespace torvex_test
