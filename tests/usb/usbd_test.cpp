// The USBD library: parsing never reads outside wTotalLength, and the
// selection request has room for every listed interface's pipes.
#include <vector>

#include "tests/kernel/fixture.h"
#include "platform/usb.h"

namespace torvex_test {
namespace {

class UsbdTest : public KernelTest {
protected:
    // A configuration: header, then interfaces {number, alt, class, endpoints}.
    static std::vector<UCHAR> configuration(std::initializer_list<std::array<UCHAR, 4>> interfaces) {
        std::vector<UCHAR> bytes = {9, 2, 0, 0, static_cast<UCHAR>(interfaces.size()), 1, 0, 0x80, 50};
        for (auto& i : interfaces) {
            bytes.insert(bytes.end(), {9, 4, i[0], i[1], i[3], i[2], 0, 0, 0});
            for (UCHAR e = 0; e < i[3]; ++e) bytes.insert(bytes.end(), {7, 5, static_cast<UCHAR>(0x81 + e), 2, 64, 0, 0});
        }
        bytes[2] = static_cast<UCHAR>(bytes.size());
        return bytes;
    }
    static PUSB_CONFIGURATION_DESCRIPTOR as_config(std::vector<UCHAR>& bytes) {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    }
};

TEST_F(UsbdTest, ParsingMatchesEveryGivenFieldAndMinusOneMatchesAnything) {
    auto bytes = configuration({{0, 0, 0x02, 1}, {1, 0, 0x0A, 2}, {1, 1, 0x0A, 2}});
    auto* config = as_config(bytes);
    auto* first = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bInterfaceNumber, 0);
    auto* data = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, 0x0A, -1, -1);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->bAlternateSetting, 0);
    auto* alternate = USBD_ParseConfigurationDescriptorEx(config, data + 1, 1, -1, -1, -1, -1);
    ASSERT_NE(alternate, nullptr);
    EXPECT_EQ(alternate->bAlternateSetting, 1);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 2, 0, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, 0xFF, -1, -1), nullptr);
}

TEST_F(UsbdTest, BrokenDescriptorsEndTheWalkInsideTheirLength) {
    // A descriptor with bLength 0 would loop forever; one that claims to run
    // past wTotalLength would be read outside the buffer.
    auto zero = configuration({{0, 0, 0x02, 1}});
    zero.insert(zero.begin() + 9, {0, 4});
    zero[2] = static_cast<UCHAR>(zero.size());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(as_config(zero), as_config(zero), -1, -1, -1, -1, -1), nullptr);

    auto truncated = configuration({{0, 0, 0x02, 1}});
    truncated[2] = 12;  // wTotalLength ends inside the interface descriptor
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(as_config(truncated), as_config(truncated), -1, -1, -1, -1, -1),
              nullptr);
}

TEST_F(UsbdTest, TheSelectionRequestHoldsEveryListedInterfaceWithItsPipes) {
    auto bytes = configuration({{0, 0, 0x02, 1}, {1, 0, 0x0A, 2}});
    auto* config = as_config(bytes);
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr},
        {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[1].Interface->Pipes[1].MaximumTransferSize, static_cast<ULONG>(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
    auto* end = reinterpret_cast<UCHAR*>(list[1].Interface) + list[1].Interface->Length;
    EXPECT_LE(end, reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length);
    ExFreePool(urb);

    kernel->pool().fail_nth(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, list), nullptr);
}

}  // namespace
}  // namespace torvex_test
