#include <string>

#include "tests/kernel/fixture.h"
// Last: it binds the C runtime names to the kernel's own versions.
#include "platform/crt.h"

namespace torvex_test {
namespace {

class StringsTest : public KernelTest {};

TEST_F(StringsTest, UnicodeStringsCountBytesAndAppendWithinTheirRoom) {
    WCHAR storage[8] = {};
    UNICODE_STRING text{0, sizeof storage, storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&text, u"COM"), STATUS_SUCCESS);
    EXPECT_EQ(text.Length, 6);
    EXPECT_EQ(RtlAppendUnicodeToString(&text, u"1234"), STATUS_SUCCESS);
    EXPECT_EQ(text.Length, 14);
    EXPECT_EQ(storage[7], 0);  // terminated while there is room
    EXPECT_EQ(RtlAppendUnicodeToString(&text, u"5"), STATUS_SUCCESS);
    EXPECT_EQ(text.Length, 16);  // exactly full: no terminator
    EXPECT_EQ(RtlAppendUnicodeToString(&text, u"6"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::u16string(storage, 8), u"COM12345");

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\SerialPort1");
    EXPECT_EQ(name.Length, 38);
    EXPECT_EQ(name.MaximumLength, 40);
}

TEST_F(StringsTest, DebugOutputAndSprintfFormatAsTheKernelDoes) {
    DbgPrint("Varquel:\t<Build: %s - %s>\n", "Dec  7 2026", "20:15:00");
    EXPECT_EQ(kernel->debug_output(), "Varquel:\t<Build: Dec  7 2026 - 20:15:00>\n");
    char text[64];
    EXPECT_EQ(sprintf(text, "USBPorts\\VID_%04X&PID_%04X\\%4.4d", 0x1A2B, 0xC3D, 11), 31);
    EXPECT_EQ(std::string(text), "USBPorts\\VID_1A2B&PID_0C3D\\0011");
}

}  // namespace
}  // namespace torvex_test
