// Device control: a tool opens the device by its name and sends the codes,
// with buffers of exactly the lengths it chose.
#include <string>
#include <vector>

#include "host/kernel/bus_driver.h"
#include "ioctl/ioctl_codes.h"
#include "legacy/devnode.h"
#include "serial/line_coding.h"
#include "serial/modem_lines.h"
#include "usb/requests.h"
#include "sim/bench/tool.h"
#include "tests/driver/driver_fixture.h"

namespace torvex_test {
namespace {

using host::kMillisecond;
using Bytes = std::vector<std::uint8_t>;

class IoctlTest : public PortTest {
public:
    sim::Tool::Answer send(ULONG code, const Bytes& input = {}, ULONG output = 0) {
        return sim::Tool(*world).send(code, input, output);
    }
};

// The serial codes are the system's own numbers, the ones programs send; the
// driver's own codes are the numbers its tools send. Every one of them, each once.
TEST(IoctlCodes, TheCodesAreTheNumbersProgramsSend) {
    const std::pair<ULONG, ULONG> codes[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, 0x1B0004},          {IOCTL_SERIAL_SET_LINE_CONTROL, 0x1B000C},
        {IOCTL_SERIAL_SET_DTR, 0x1B0024},                {IOCTL_SERIAL_CLR_DTR, 0x1B0028},
        {IOCTL_SERIAL_SET_RTS, 0x1B0030},                {IOCTL_SERIAL_CLR_RTS, 0x1B0034},
        {IOCTL_SERIAL_PURGE, 0x1B004C},                  {IOCTL_SERIAL_GET_MODEMSTATUS, 0x1B0068},
        {IOCTL_USB2SER_OPEN_CAPTURE, 0x1B0190},          {IOCTL_USB2SER_CLOSE_CAPTURE, 0x1B0194},
        {IOCTL_USB2SER_NO_OPERATION, 0x1B0198},          {IOCTL_USB2SER_GET_CAPTURE, 0x1B019C},
        {IOCTL_USB2SER_SET_PORT_INDEX, 0x1B01A0},        {IOCTL_USB2SER_GET_DEVNODE, 0x1B01A4},
        {IOCTL_USB2SER_GET_DEVICE_DESCRIPTOR, 0x222000}, {IOCTL_USB2SER_GET_CONFIG_DESCRIPTOR, 0x222004},
        {IOCTL_USB2SER_GET_STRING_DESCRIPTOR, 0x222008}, {IOCTL_USB2SER_SEND_ENCAP, 0x22200C},
        {IOCTL_USB2SER_GET_ENCAP, 0x222010},             {IOCTL_USB2SER_READ_INTERRUPT, 0x222014},
        {IOCTL_USB2SER_WRITE_BULK, 0x222018},            {IOCTL_USB2SER_READ_BULK, 0x22201C},
        {IOCTL_USB2SER_SEND_CTRL_STATE, 0x222020},       {IOCTL_USB2SER_SET_FEATURE, 0x222024},
        {IOCTL_USB2SER_EEPROM_WRITE, 0x222028},          {IOCTL_USB2SER_EEPROM_READ, 0x22202C},
        {IOCTL_USB2SER_EEPROM_STATUS, 0x222030},         {IOCTL_USB2SER_GET_FEATURE, 0x222034},
        {IOCTL_USB2SER_CLR_FEATURE, 0x222038},           {IOCTL_USB2SER_WRITE_REG1_BIT4, 0x222050},
        {IOCTL_USB2SER_WRITE_REG1_BIT5, 0x222054},       {IOCTL_USB2SER_WRITE_REG1_BIT6, 0x222058},
        {IOCTL_USB2SER_WRITE_REG1_BIT7, 0x22205C},       {IOCTL_USB2SER_READ_REG1_BIT6, 0x222060},
        {IOCTL_USB2SER_READ_REG1_BIT7, 0x222064}};
    static_assert(std::size(codes) == USB2SER_IOCTL_CODE_COUNT);
    for (const auto& [code, number] : codes) EXPECT_EQ(code, number) << sim::Tool::name_of(code);
}

// Every code with no buffer at all, with one byte too few on the side whose
// length counts, and with exactly the bytes it needs. A buffer too short is
// refused before anything is done; no buffer at all is answered by the
// diagnostic and EEPROM routines as their interface says (a read with
// STATUS_NO_MEMORY, a write with STATUS_INVALID_PARAMETER). The sanitizers
// and the verifier watch every buffer.
TEST_F(IoctlTest, EveryCodeWithNoBufferOneByteShortAndExactlyEnough) {
    struct Row {
        ULONG code;
        Bytes input;  // exactly enough
        ULONG output;
        NTSTATUS status;  // with exactly enough
        ULONG_PTR information;
        NTSTATUS none;  // with no buffer at all
        enum { Neither, Input, Output } side;  // where one byte fewer counts
        NTSTATUS short_by_one;
    };
    const auto neither = Row::Neither;
    const auto in = Row::Input;
    const auto out = Row::Output;
    const NTSTATUS ok = STATUS_SUCCESS;
    const NTSTATUS small = STATUS_BUFFER_TOO_SMALL;
    const NTSTATUS no_memory = STATUS_NO_MEMORY;
    const NTSTATUS invalid = STATUS_INVALID_PARAMETER;
    const UCHAR index = static_cast<UCHAR>(port);
    const Row rows[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, {0x00, 0xE1, 0x00, 0x00}, 0, ok, 0, small, in, small},
        {IOCTL_SERIAL_SET_LINE_CONTROL, {0, 2, 7}, 0, ok, 0, small, in, small},
        {IOCTL_SERIAL_SET_DTR, {}, 0, ok, 0, ok, neither, ok},
        {IOCTL_SERIAL_CLR_DTR, {}, 0, ok, 0, ok, neither, ok},
        {IOCTL_SERIAL_SET_RTS, {}, 0, ok, 0, ok, neither, ok},
        {IOCTL_SERIAL_CLR_RTS, {}, 0, ok, 0, ok, neither, ok},
        {IOCTL_SERIAL_PURGE, {}, 0, ok, 0, ok, neither, ok},
        {IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4, ok, 4, small, out, small},
        {IOCTL_USB2SER_OPEN_CAPTURE, {}, 0, ok, 0, ok, neither, ok},
        {IOCTL_USB2SER_CLOSE_CAPTURE, {}, 0, ok, 0, ok, neither, ok},
        {IOCTL_USB2SER_NO_OPERATION, {}, 0, ok, 0, ok, neither, ok},
        {IOCTL_USB2SER_GET_CAPTURE, {}, 0, ok, 0, ok, neither, ok},
        {IOCTL_USB2SER_SET_PORT_INDEX, {index}, 0, ok, 0, small, in, small},
        {IOCTL_USB2SER_GET_DEVNODE, {}, 4, ok, 4, small, out, small},
        {IOCTL_USB2SER_GET_DEVICE_DESCRIPTOR, {}, 18, ok, 18, no_memory, out, small},
        {IOCTL_USB2SER_GET_CONFIG_DESCRIPTOR, {}, 9, ok, 9, no_memory, out, ok},
        {IOCTL_USB2SER_GET_STRING_DESCRIPTOR, {3}, 16, ok, 16, no_memory, in, small},
        {IOCTL_USB2SER_SEND_ENCAP, {0x01, 0x00, 0x44, 0x00}, 0, ok, 0, invalid, in, small},
        {IOCTL_USB2SER_GET_ENCAP, {0x81, 0x00}, 1, ok, 1, no_memory, out, small},
        {IOCTL_USB2SER_WRITE_BULK, {'a', 'b', 'c'}, 0, ok, 0, invalid, neither, ok},
        {IOCTL_USB2SER_READ_BULK, {}, 64, ok, 3, no_memory, neither, ok},
        {IOCTL_USB2SER_SEND_CTRL_STATE, {0x03, 0x00}, 0, ok, 0, invalid, in, small},
        {IOCTL_USB2SER_SET_FEATURE, {0x02, 0x00}, 0, ok, 0, invalid, in, small},
        {IOCTL_USB2SER_GET_FEATURE, {}, 2, ok, 2, no_memory, out, small},
        {IOCTL_USB2SER_CLR_FEATURE, {}, 0, ok, 0, ok, neither, ok},
        {IOCTL_USB2SER_EEPROM_WRITE, {0x80, 0x5A}, 0, ok, 0, invalid, in, ok},
        {IOCTL_USB2SER_EEPROM_READ, {0x80, 0x00}, 1, ok, 1, no_memory, in, small},
        {IOCTL_USB2SER_EEPROM_STATUS, {}, 1, ok, 1, no_memory, neither, ok},
        {IOCTL_USB2SER_WRITE_REG1_BIT4, {1}, 0, ok, 0, small, in, small},
        {IOCTL_USB2SER_WRITE_REG1_BIT5, {0}, 0, ok, 0, small, in, small},
        {IOCTL_USB2SER_WRITE_REG1_BIT6, {0x80}, 0, ok, 0, small, in, small},
        {IOCTL_USB2SER_WRITE_REG1_BIT7, {1}, 0, ok, 0, small, in, small},
        {IOCTL_USB2SER_READ_REG1_BIT6, {}, 1, ok, 1, small, out, small},
        {IOCTL_USB2SER_READ_REG1_BIT7, {}, 1, ok, 1, small, out, small},
        {IOCTL_USB2SER_READ_INTERRUPT, {}, 10, ok, 10, no_memory, neither, ok},
    };
    static_assert(sizeof rows / sizeof rows[0] == USB2SER_IOCTL_CODE_COUNT);
    for (const Row& row : rows) {
        const std::string name = sim::Tool::name_of(row.code);
        sim::Tool::Answer none = send(row.code);
        EXPECT_EQ(none.status, row.none) << name << " with no buffer";
        if (!NT_SUCCESS(none.status)) {
            EXPECT_EQ(none.information, 0u) << name << " with no buffer";
        }
        if (row.side != neither) {
            Bytes input = row.input;
            ULONG output = row.output;
            if (row.side == in) {
                input.pop_back();
            } else {
                --output;
            }
            sim::Tool::Answer short_answer = send(row.code, input, output);
            EXPECT_EQ(short_answer.status, row.short_by_one) << name << " one byte short";
            if (!NT_SUCCESS(short_answer.status)) {
                EXPECT_EQ(short_answer.information, 0u) << name;
            }
        }
        sim::Tool::Answer exact = send(row.code, row.input, row.output);
        EXPECT_EQ(exact.status, row.status) << name;
        EXPECT_EQ(exact.information, row.information) << name;
        // The bytes written come back through the loopback plug before the read.
        if (row.code == IOCTL_USB2SER_WRITE_BULK) kernel().run_for(10 * kMillisecond);
    }
    // Codes with no operation, and a serial code the driver does not serve.
    for (ULONG code : {0x1B0050u, 0x22203Cu, 0x22204Cu, 0x222003u}) {
        sim::Tool::Answer answer = send(code, {1, 2, 3, 4}, 8);
        EXPECT_EQ(answer.status, STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_EQ(answer.information, 0u) << std::hex << code;
    }
}

// A tool that holds the device open while the adapter is pulled out: the
// device object stays until the tool closes its handle, and the close still
// reaches the driver; a new open finds no device, and a port index is refused.
TEST_F(IoctlTest, AHandleHeldAcrossAnUnplugIsClosedThroughTheDriver) {
    const std::string name = sim::Tool(*world).device_name();
    PFILE_OBJECT file = nullptr;
    // An open that reaches the driver once removal has begun is refused.
    ext()->Removed = TRUE;
    EXPECT_EQ(kernel().io().open(name, &file), STATUS_DELETE_PENDING);
    ext()->Removed = FALSE;
    ASSERT_EQ(kernel().io().open(name, &file), STATUS_SUCCESS);
    PDEVICE_OBJECT device = fdo();
    ASSERT_EQ(world->unplug(), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().io().is_live_device(device));
    PFILE_OBJECT again = nullptr;
    EXPECT_EQ(kernel().io().open(name, &again), STATUS_OBJECT_NAME_NOT_FOUND);
    // The removed device cannot enter the port table again.
    const UCHAR number = 7;
    ULONG_PTR information = 0;
    EXPECT_EQ(kernel().io().device_io_control(file, IOCTL_USB2SER_SET_PORT_INDEX, &number, 1, nullptr, 0, &information),
              STATUS_DELETE_PENDING);
    for (PDEVICE_OBJECT entry : gDevObj) EXPECT_EQ(entry, nullptr);
    const std::uint64_t before = kernel().trace().count();
    EXPECT_EQ(kernel().io().close(file), STATUS_SUCCESS);
    std::vector<UCHAR> majors;  // the requests the close sent down the removed device's stack
    const std::vector<host::TraceEntry> entries = kernel().trace().entries();
    for (std::size_t i = entries.size() - std::min<std::size_t>(entries.size(), kernel().trace().count() - before);
         i < entries.size(); ++i) {
        if (entries[i].kind == host::TraceKind::IrpCall) majors.push_back(static_cast<UCHAR>(entries[i].arg >> 8));
    }
    EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_FALSE(kernel().io().is_live_device(device));
}

// Capture as a tool uses it: purge, open, bytes arrive, fetch (twice: the
// buffer keeps them; a single byte too), and close. What does not fit in the 256-byte buffer is
// dropped; an output too short for the captured bytes gets nothing.
TEST_F(IoctlTest, CaptureCollectsReceivedBytesUntilFetchedAndKeepsThemUntilThePurge) {
    started({.line = sim::LineKind::Peer});
    ASSERT_EQ(send(IOCTL_SERIAL_PURGE).status, STATUS_SUCCESS);
    sim::Tool::Answer empty = send(IOCTL_USB2SER_GET_CAPTURE, {}, 256);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);
    EXPECT_FALSE(ext()->CaptureMode);

    ASSERT_EQ(send(IOCTL_SERIAL_PURGE).status, STATUS_SUCCESS);
    const std::size_t resets = world->bus().trace().submissions(URB_FUNCTION_RESET_PIPE).size();
    ASSERT_EQ(send(IOCTL_USB2SER_OPEN_CAPTURE).status, STATUS_SUCCESS);
    EXPECT_TRUE(ext()->PortOpen);
    // The reads it arms go on pipes cleared of any stall first: the status pipe and bulk-in.
    EXPECT_EQ(world->bus().trace().submissions(URB_FUNCTION_RESET_PIPE).size(), resets + 2);
    world->peer().send(Bytes{'h', 'e', 'l', 'l', 'o'});
    kernel().run_for(20 * kMillisecond);
    world->peer().send(Bytes{'w', 'o', 'r', 'l', 'd'});
    kernel().run_for(20 * kMillisecond);
    EXPECT_EQ(send(IOCTL_USB2SER_GET_CAPTURE, {}, 9).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(ext()->CaptureMode);
    for (int fetch = 0; fetch < 2; ++fetch) {
        sim::Tool::Answer got = send(IOCTL_USB2SER_GET_CAPTURE, {}, 10);
        EXPECT_EQ(got.status, STATUS_SUCCESS);
        EXPECT_EQ(got.output, (Bytes{'h', 'e', 'l', 'l', 'o', 'w', 'o', 'r', 'l', 'd'}));
        EXPECT_FALSE(ext()->CaptureMode);
    }

    ASSERT_EQ(send(IOCTL_SERIAL_PURGE).status, STATUS_SUCCESS);
    world->peer().send(Bytes{'!'});
    kernel().run_for(20 * kMillisecond);
    EXPECT_EQ(send(IOCTL_USB2SER_GET_CAPTURE, {}, 1).output, Bytes{'!'});

    ASSERT_EQ(send(IOCTL_SERIAL_PURGE).status, STATUS_SUCCESS);
    world->peer().send(Bytes(300, 'x'));
    kernel().run_for(400 * kMillisecond);
    EXPECT_EQ(send(IOCTL_USB2SER_GET_CAPTURE, {}, 512).output, Bytes(256, 'x'));
    // The fetch ended the capture; opened again, without a purge, it captures again.
    EXPECT_FALSE(ext()->CaptureMode);
    ASSERT_EQ(send(IOCTL_USB2SER_OPEN_CAPTURE).status, STATUS_SUCCESS);
    EXPECT_TRUE(ext()->CaptureMode);

    ASSERT_EQ(send(IOCTL_USB2SER_CLOSE_CAPTURE).status, STATUS_SUCCESS);
    EXPECT_FALSE(ext()->PortOpen);
    EXPECT_EQ(ext()->IrpSlot[USB2SER_SLOT_BULK_IN], nullptr);
    // The device's power is what it was: a false state would turn the next
    // sleep into a wake.
    EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
    ASSERT_EQ(world->sleep(), STATUS_SUCCESS);
    EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3);
    ASSERT_EQ(world->wake(), STATUS_SUCCESS);
    ASSERT_EQ(send(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
    EXPECT_TRUE(world->chip().dtr());
}

// The line, the control lines, the modem status, the port index and the
// register-1 bits, as the chip and the tool see them.
TEST_F(IoctlTest, LineControlLinesPortIndexAndRegisterBits) {
    ASSERT_EQ(send(IOCTL_SERIAL_SET_BAUD_RATE, {0x00, 0xE1, 0x00, 0x00}).status, STATUS_SUCCESS);
    ASSERT_EQ(send(IOCTL_SERIAL_SET_LINE_CONTROL, {0, 2, 7}).status, STATUS_SUCCESS);
    EXPECT_EQ(world->chip().line_coding().framing(), (sim::Framing{57'600, 7, 2, 0}));
    ASSERT_EQ(send(IOCTL_SERIAL_SET_LINE_CONTROL, {2, 0, 8}).status, STATUS_SUCCESS);  // two stop bits
    EXPECT_EQ(world->chip().line_coding().framing(), (sim::Framing{57'600, 8, 0, 2}));
    ASSERT_EQ(send(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    EXPECT_TRUE(world->chip().rts());
    ASSERT_EQ(send(IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
    EXPECT_FALSE(world->chip().rts());

    ext()->ModemStatus = 0x00B0;
    EXPECT_EQ(send(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4).output, (Bytes{0xB0, 0, 0, 0}));
    EXPECT_EQ(send(IOCTL_USB2SER_GET_DEVNODE, {}, 4).output,
              (Bytes{static_cast<UCHAR>(ext()->DevNode), static_cast<UCHAR>(ext()->DevNode >> 8),
                     static_cast<UCHAR>(ext()->DevNode >> 16), static_cast<UCHAR>(ext()->DevNode >> 24)}));

    // Register 1: any non-zero byte sets the bit, the other bits are written
    // back as read; the read codes answer exactly 0 or 1.
    world->chip().set_reg(1, 0x05);
    ASSERT_EQ(send(IOCTL_USB2SER_WRITE_REG1_BIT6, {0x80}).status, STATUS_SUCCESS);
    EXPECT_EQ(world->chip().reg(1), 0x45);
    EXPECT_EQ(send(IOCTL_USB2SER_READ_REG1_BIT6, {}, 1).output, Bytes{1});
    EXPECT_EQ(send(IOCTL_USB2SER_READ_REG1_BIT7, {}, 1).output, Bytes{0});
    ASSERT_EQ(send(IOCTL_USB2SER_WRITE_REG1_BIT6, {0x00}).status, STATUS_SUCCESS);
    EXPECT_EQ(world->chip().reg(1), 0x05);
    // The read codes read the register afresh: the chip's own change shows.
    world->chip().set_reg(1, 0x85);
    EXPECT_EQ(send(IOCTL_USB2SER_READ_REG1_BIT7, {}, 1).output, Bytes{1});

    // The port index says where the line codes go: to the device at that
    // entry of the table (0 to 255, the byte taken unsigned). At an empty
    // entry they reach no device and nothing goes on the wire, while the
    // device stays bound under its own number for its port driver.
    ASSERT_EQ(send(IOCTL_USB2SER_SET_PORT_INDEX, {0xFF}).status, STATUS_SUCCESS);
    EXPECT_EQ(ext()->PortIndex, 255);
    EXPECT_EQ(USB2SER_GetDeviceObject(255), nullptr);
    EXPECT_EQ(USB2SER_GetDeviceObject(port), fdo());
    const std::size_t before = world->bus().trace().records().size();
    ASSERT_EQ(send(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);  // its result is not looked at
    EXPECT_EQ(send(IOCTL_SERIAL_SET_BAUD_RATE, {0x80, 0x25, 0x00, 0x00}).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(world->bus().trace().records().size(), before);
    EXPECT_FALSE(world->chip().dtr());
    EXPECT_TRUE(serport->set_dtr(true));
    EXPECT_TRUE(world->chip().dtr());

    // At a second device's entry (on a bus of its own, which refuses what
    // reaches it) they act on that device, and back at this device's own
    // number on this one again.
    host::BusDriver other_bus(kernel(), "OTHERBUS");
    PDEVICE_OBJECT second_pdo = other_bus.create_pdo();
    ASSERT_EQ(kernel().pnp().add_device(world->driver(), second_pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT second = second_pdo->AttachedDevice;
    USB2SER_SetPortIndex(second, 9, TRUE);
    ASSERT_EQ(send(IOCTL_USB2SER_SET_PORT_INDEX, {9}).status, STATUS_SUCCESS);
    const std::uint64_t arrived = other_bus.arrived();
    ASSERT_EQ(send(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(other_bus.arrived(), arrived + 1);
    EXPECT_EQ(other_bus.arrivals().back().major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_NE(USB2SER_Extension(second)->ControlLineState & USB2SER_CONTROL_RTS, 0);
    EXPECT_EQ(ext()->ControlLineState & USB2SER_CONTROL_RTS, 0);
    EXPECT_FALSE(world->chip().rts());
    ASSERT_EQ(send(IOCTL_USB2SER_SET_PORT_INDEX, {static_cast<UCHAR>(port)}).status, STATUS_SUCCESS);
    ASSERT_EQ(send(IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
    EXPECT_FALSE(world->chip().dtr());

    // Removed while its index names the second device, the device leaves no
    // entry naming it, the second's entry stays, and the removal is told to
    // the port it is bound under.
    sim::Serport others(9);
    ASSERT_EQ(send(IOCTL_USB2SER_SET_PORT_INDEX, {9}).status, STATUS_SUCCESS);
    ASSERT_EQ(world->unplug(), STATUS_SUCCESS);
    EXPECT_TRUE(serport->cable_removed());
    EXPECT_FALSE(others.cable_removed());
    for (ULONG n = 0; n < USB2SER_MAX_PORTS; ++n) EXPECT_EQ(gDevObj[n], n == 9 ? second : nullptr) << n;
    ASSERT_EQ(kernel().pnp().remove(second_pdo), STATUS_SUCCESS);
    world->bus().delete_pdo(second_pdo);
    for (PDEVICE_OBJECT entry : gDevObj) EXPECT_EQ(entry, nullptr);
}

// A line the chip refuses fails the request and leaves the chip's line and
// the driver's record as they were; before any rate or framing the record
// takes the half it lacks from the device (here left at 19,200 8N2), so the
// first change of either alone keeps the other as the device runs it, and a
// sleep gives back the whole line.
TEST_F(IoctlTest, TheFirstChangeOfFramingOrRateKeepsTheOtherAndARefusalFails) {
    for (ULONG first : {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE}) {
        started({});
        const USB2SER_LINE left{19'200, 2, 0, 8};
        UCHAR coding[USB2SER_LINE_CODING_SIZE];
        ASSERT_EQ(USB2SER_SendRequest(fdo(), USB2SER_BuildLineCoding(coding, &left), FALSE, nullptr), STATUS_SUCCESS);
        const bool framing = first == IOCTL_SERIAL_SET_LINE_CONTROL;
        EXPECT_EQ(send(first, framing ? Bytes{0, 2, 7} : Bytes{0x00, 0xE1, 0x00, 0x00}).status, STATUS_SUCCESS);
        EXPECT_EQ(world->chip().line_coding().framing(),
                  framing ? (sim::Framing{19'200, 7, 2, 0}) : (sim::Framing{57'600, 8, 0, 2}));
        const sim::Framing taken = world->chip().line_coding().framing();
        EXPECT_EQ(send(IOCTL_SERIAL_SET_LINE_CONTROL, {0, 0, 9}).status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(world->chip().line_coding().framing(), taken);
        ASSERT_EQ(world->sleep(), STATUS_SUCCESS);
        ASSERT_EQ(world->wake(), STATUS_SUCCESS);
        EXPECT_EQ(world->chip().line_coding().framing(), taken);
    }
}

// The diagnostic operations put exactly these requests on the wire.
TEST_F(IoctlTest, DiagnosticOperationsSendTheirRequests) {
    struct Row {
        ULONG code;
        Bytes input;
        ULONG output;
        host::SetupPacket setup;
        Bytes data;  // the OUT data stage
    };
    const Row rows[] = {
        {IOCTL_USB2SER_GET_STRING_DESCRIPTOR, {2}, 64, {0x80, 0x06, 0x0302, 0x0409, 64}, {}},
        {IOCTL_USB2SER_SEND_ENCAP, {0x01, 0x00, 0x44, 0x00}, 0, {0x40, 0x01, 0x0001, 0x0044, 0}, {}},
        {IOCTL_USB2SER_GET_ENCAP, {0x81, 0x00}, 1, {0xC0, 0x01, 0x0081, 0, 1}, {}},
        {IOCTL_USB2SER_SEND_CTRL_STATE, {0x01, 0x00}, 0, {0x21, 0x22, 0x0001, 0, 0}, {}},
        {IOCTL_USB2SER_SET_FEATURE, {0x02, 0x00}, 0, {0x21, 0x02, 0x0001, 0, 2}, {0x02, 0x00}},
        {IOCTL_USB2SER_GET_FEATURE, {}, 2, {0xA1, 0x03, 0x0001, 0, 2}, {}},
        {IOCTL_USB2SER_CLR_FEATURE, {}, 0, {0x21, 0x04, 0x0001, 0, 0}, {}},
        {IOCTL_USB2SER_GET_CONFIG_DESCRIPTOR, {}, 7, {0x80, 0x06, 0x0200, 0, 7}, {}},
    };
    for (const Row& row : rows) {
        const std::size_t before = world->bus().trace().records().size();
        sim::Tool::Answer answer = send(row.code, row.input, row.output);
        EXPECT_EQ(answer.status, STATUS_SUCCESS) << sim::Tool::name_of(row.code);
        const auto& records = world->bus().trace().records();
        ASSERT_GT(records.size(), before) << sim::Tool::name_of(row.code);
        const host::WireRecord& sent = records[before];
        ASSERT_TRUE(sent.setup.has_value()) << sim::Tool::name_of(row.code);
        EXPECT_EQ(*sent.setup, row.setup) << sim::Tool::name_of(row.code);
        EXPECT_EQ(sent.data, row.data) << sim::Tool::name_of(row.code);
    }
    // The string descriptor overwrites the index byte.
    sim::Tool::Answer product = send(IOCTL_USB2SER_GET_STRING_DESCRIPTOR, {2}, 64);
    ASSERT_GE(product.output.size(), 4u);
    EXPECT_EQ(product.output[1], USB_STRING_DESCRIPTOR_TYPE);
    EXPECT_EQ(product.output[2], 'U');
}

// The data pipes by interface layout: the bulk write goes to the second
// interface's first pipe on a two-interface adapter; the bulk read allows a
// short packet, the interrupt read does not.
TEST_F(IoctlTest, RawTransfersUseTheSlotPipesOfTheLayout) {
    for (int interfaces : {1, 2}) {
        started({.chip = sim::ChipKind::Comm, .interfaces = interfaces});
        ASSERT_EQ(send(IOCTL_USB2SER_WRITE_BULK, {'o', 'k'}).status, STATUS_SUCCESS);
        kernel().run_for(10 * kMillisecond);
        sim::Tool::Answer read = send(IOCTL_USB2SER_READ_BULK, {}, 64);
        EXPECT_EQ(read.status, STATUS_SUCCESS) << interfaces;
        EXPECT_EQ(read.output, (Bytes{'o', 'k'})) << interfaces;
        const auto writes = world->bus().trace().submissions(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.front()->endpoint, 0x02) << interfaces;  // the bulk-out endpoint of either layout
        EXPECT_EQ(world->bus().trace().completion_of(writes.front()->id)->status, STATUS_SUCCESS);
    }
}

}  // namespace
}  // namespace torvex_test
