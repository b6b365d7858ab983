// The serial line as the far end sees it: the rate and framing the chip's
// UART runs at for what the port driver asks, the run-time rate table, the
// modem lines, the register switches and the timed register sequences.
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "serial/line_coding.h"
#include "serial/modem_lines.h"
#include "sim/serport/serport.h"
#include "tests/driver/driver_fixture.h"

namespace torvex_test {
namespace {

using host::kMillisecond;
using host::kSecond;

// A started device with a peer on the line.
class LineTest : public PortTest {
public:
    void SetUp() override { started({}); }

    void started(sim::WorldOptions options) {
        options.line = sim::LineKind::Peer;
        PortTest::started(options);
    }

    sim::ScriptedPeer& peer() { return world->peer(); }

    // The dwDTERate of the last SET_LINE_CODING on the wire.
    std::optional<std::uint32_t> last_line_rate() {
        std::optional<std::uint32_t> rate;
        for (const host::WireRecord& r : world->bus().trace().records()) {
            if (!r.completion && r.setup && r.setup->bRequest == 0x20 && r.data.size() == 7) {
                rate = static_cast<std::uint32_t>(r.data[0] | r.data[1] << 8 | r.data[2] << 16) |
                       static_cast<std::uint32_t>(r.data[3]) << 24;
            }
        }
        return rate;
    }

    // The rate the chip's UART runs at, measured at the far end: the time
    // the peer sees between the first and the last of `n` characters.
    double measured_rate(std::size_t n) {
        const std::size_t before = peer().received_at().size();
        std::vector<std::uint8_t> bytes(n, 0x55);
        serport->write(bytes);
        while (peer().received_at().size() < before + n) kernel().run_for(10 * kMillisecond);
        const std::vector<host::Time>& at = peer().received_at();
        const double span = static_cast<double>(at[before + n - 1] - at[before]) / kSecond;
        return static_cast<double>(n - 1) * 10.0 / span;  // 8N1: ten bits a character
    }

    std::vector<std::uint16_t> vendor_writes(std::uint16_t value) {
        std::vector<std::uint16_t> indices;
        for (const host::SetupPacket& s : world->bus().trace().control_setups()) {
            if (s.bmRequestType == 0x40 && s.bRequest == 0x01 && s.wValue == value) indices.push_back(s.wIndex);
        }
        return indices;
    }

    std::size_t register_reads(std::uint16_t n) {
        std::size_t count = 0;
        for (const host::SetupPacket& s : world->bus().trace().control_setups()) {
            count += s.bmRequestType == 0xC0 && s.wValue == 0x80 + n;
        }
        return count;
    }

};

// For every rate the device offers, on an extended chip and on a
// communications-class one: the rate is taken as it is, and the rate the
// chip's UART runs at, measured on the line, is the rate, or for the extended
// chip above 115,200 the rate its divisor code gives, to within 1 %; a rate
// one above it is taken to the row.
TEST_F(LineTest, EveryRowOfTheTableRunsTheUartAtItsRate) {
    const ULONG rates[USB2SER_BAUD_ROWS] = {6000000, 3000000, 2457600, 1228800, 921600, 812500, 806400, 614400, 460800,
                                            403200,  268800,  230400,  201600,  161280, 134400, 128000, 115200, 57600,
                                            38400,   28800,   19200,   14400,   9600,   7200,   4800,   3600,   2400,
                                            1800,    1200,    600,     300,     150,    75};
    for (sim::ChipKind kind : {sim::ChipKind::Extended, sim::ChipKind::Comm}) {
        sim::ChipConfig config = sim::ChipConfig::of(kind, 1);
        config.line = {.dte_rate = 19'200, .char_format = 2, .parity = 1, .data_bits = 7, .baud = 19'200};
        started({.chip_config = config});
        ASSERT_TRUE(serport->open());
        // Before any is set, the port reads the device's own line.
        std::optional<sim::LineSettings> own = serport->read_line();
        ASSERT_TRUE(own);
        EXPECT_EQ(own->baud, world->chip().line_coding().dte_rate);
        EXPECT_EQ(own->data_bits, world->chip().line_coding().data_bits);
        EXPECT_EQ(own->parity, world->chip().line_coding().parity);
        EXPECT_EQ(own->stop_bits, world->chip().line_coding().char_format);
        for (ULONG row = 0; row < USB2SER_BAUD_ROWS; ++row) {
            const ULONG rate = rates[row];
            ASSERT_TRUE(serport->set_baud(rate));
            EXPECT_EQ(serport->rate(), rate);
            const bool code = kind == sim::ChipKind::Extended && rate > 115'200;
            const double expected = code ? 384e6 / ((AvailBaudRate[row][1] & 0x1FF) << 2 * ((AvailBaudRate[row][1] >> 9) & 7))
                                         : rate;
            EXPECT_EQ(last_line_rate(), code ? AvailBaudRate[row][1] : rate) << rate;
            EXPECT_NEAR(measured_rate(rate > 1'200 ? 64 : 8), expected, expected / 100) << rate;
            // A rate just off the row goes to it, and comes back as the row's.
            ASSERT_TRUE(serport->set_baud(rate + 1));
            EXPECT_EQ(serport->rate(), rate);
        }
    }
}

// The nearest-row rule with its midpoint ties, what goes on the wire for it,
// and what the caller's block comes back with.
TEST_F(LineTest, ARequestedRateGoesToItsNearestRow) {
    const struct {
        sim::ChipKind kind;
        ULONG requested;
        ULONG chosen;  // the rate the block comes back with
        std::uint32_t sent;
    } table[] = {
        {sim::ChipKind::Extended, 9'600, 9'600, 9'600},
        {sim::ChipKind::Extended, 7'000'000, 6'000'000, 0x80000040},
        {sim::ChipKind::Extended, 4'500'000, 3'000'000, 0x80000080},  // the midpoint goes down
        {sim::ChipKind::Extended, 4'500'001, 6'000'000, 0x80000040},
        {sim::ChipKind::Extended, 250'000, 268'800, 0x80000459},
        {sim::ChipKind::Extended, 249'600, 230'400, 0x80000468},
        {sim::ChipKind::Extended, 230'400, 230'400, 0x80000468},
        {sim::ChipKind::Extended, 115'200, 115'200, 115'200},
        {sim::ChipKind::Extended, 100'000, 115'200, 115'200},
        {sim::ChipKind::Extended, 113, 150, 150},
        {sim::ChipKind::Extended, 100, 75, 75},
        {sim::ChipKind::Comm, 250'000, 268'800, 268'800},
        {sim::ChipKind::Vendor, 7'000'000, 6'000'000, 6'000'000},
        // No row: the rate goes as it was asked for, and the block keeps it.
        {sim::ChipKind::Extended, 112, 112, 112},
        {sim::ChipKind::Comm, 74, 74, 74},
        {sim::ChipKind::Comm, 50, 50, 50},
    };
    for (const auto& row : table) {
        started({.chip = row.kind});
        ASSERT_TRUE(serport->set_baud(row.requested));
        EXPECT_EQ(serport->rate(), row.chosen) << row.requested;
        EXPECT_EQ(last_line_rate(), row.sent) << row.requested;
        EXPECT_EQ(world->chip().line_coding().dte_rate, row.sent) << row.requested;
        EXPECT_EQ(USB2SER_SettingsRate(ext()->PortSettings), row.requested) << row.requested;
    }
}

// The run-time table: pairs "rate,code" a space apart, at most ten; anything
// malformed, too long for the buffer or beyond 32 bits leaves it empty.
TEST_F(LineTest, TheRunTimeTableTakesWellFormedTextOnly) {
    const std::string eleven = "1,1 2,2 3,3 4,4 5,5 6,6 7,7 8,8 9,9 10,10 11,11";
    const std::string too_long = "1,1" + std::string(257, ' ');
    const struct {
        std::string text;
        LONG count;
        ULONG last_code;
    } table[] = {
        {"1200,5", 1, 5},
        {"1200,5 2400,7", 2, 7},
        {"1200,5  2400,7", 2, 7},  // a second space is white space before the rate
        {"1200,5 ", 0, 0},         // a trailing space asks for another pair
        {"1200", 0, 0},
        {"", 0, 0},
        {eleven, 10, 10},
        {std::string(22, '1') + ",5", 0, 0},  // a 22-character rate
        {"1," + std::string(21, '0') + "7", 0, 0},
        {std::string(17, '0') + "1200," + std::string(20, '0') + "7", 1, 7},  // 21 characters each: taken
        {"1200,\t+9x", 1, 9},  // read as atol reads: white space, a sign, digits up to another
        {"1200,x9", 1, 0},
        {"1200,-1", 1, 0xFFFFFFFF},
        {"250000,-2147483583", 1, 0x80000041},
        {"250000,2147483713", 1, 0x80000041},
        {"250000,4294967295", 1, 0xFFFFFFFF},
        {"250000,4294967296", 0, 0},  // beyond 32 bits: refused, not wrapped
        {"250000,-2147483649", 0, 0},
        {too_long, 0, 0},             // does not fit the buffer: refused, not cut
    };
    for (const auto& row : table) {
        sim::Serport::set_rate_table(row.text);
        EXPECT_EQ(gExtBaudrateCnt, row.count) << '"' << row.text << '"';
        if (row.count > 0) {
            EXPECT_EQ(AvailExtBaudRate[row.count - 1][1], row.last_code) << '"' << row.text << '"';
        }
    }
    EXPECT_TRUE(sim::Serport::imports().ExtBaudrateForSerport(nullptr));
    EXPECT_EQ(gExtBaudrateCnt, 0);

    // An extended chip sends a run-time row's code as it stands, and the
    // block keeps the rate; other chips match the built-in table.
    sim::Serport::set_rate_table("250000,250000 1000000,-2147483520");
    ASSERT_TRUE(serport->set_baud(250'000));
    EXPECT_EQ(serport->rate(), 250'000u);
    EXPECT_EQ(world->chip().line_coding().baud, 250'000u);
    ASSERT_TRUE(serport->set_baud(1'000'000));
    EXPECT_EQ(world->chip().line_coding().dte_rate, 0x80000080u);
    started({.chip = sim::ChipKind::Comm});
    ASSERT_TRUE(serport->set_baud(250'000));
    EXPECT_EQ(world->chip().line_coding().baud, 268'800u);
}

// A change of framing keeps the line's speed, as the baud-rate change set
// it; so does the restore after power returns, and a code read back.
TEST_F(LineTest, AChangeOfFramingAndARestoreKeepTheSpeedTheRateWasGiven) {
    // Before the port sets its line the driver learns the device's own; a
    // line it cannot learn is not set, and the rate is not taken for sent.
    // (Both of the port driver's calls, framing and rate, ask for it.)
    world->bus().add_fault({.bRequest = 0x21, .action = host::FaultAction::Stall, .times = 2});
    world->bus().trace().clear();
    EXPECT_FALSE(serport->set_baud(250'000));
    EXPECT_FALSE(last_line_rate().has_value());
    // A change of rate is given 200 ms to settle; the same rate again is not.
    host::Time before = kernel().now();
    ASSERT_TRUE(serport->set_baud(250'000));
    EXPECT_GE(kernel().now() - before, 200 * kMillisecond);
    UCHAR block[USB2SER_PORT_SETTINGS_SIZE];
    std::memcpy(block, ext()->PortSettings, sizeof block);
    before = kernel().now();
    ASSERT_TRUE(SetStateForSerport(block, SERPORT_STATE_BAUD_RATE, port));
    EXPECT_LT(kernel().now() - before, 200 * kMillisecond);
    ASSERT_EQ(world->chip().line_coding().dte_rate, 0x80000459u);  // the row of 268,800
    before = kernel().now();  // nor is a change of framing
    ASSERT_TRUE(serport->set_line({.baud = 250'000, .data_bits = 7, .parity = 2, .stop_bits = 0}));
    EXPECT_LT(kernel().now() - before, 200 * kMillisecond);
    EXPECT_EQ(world->chip().line_coding().dte_rate, 0x80000459u);
    EXPECT_EQ(world->chip().line_coding().data_bits, 7);
    EXPECT_EQ(world->chip().line_coding().parity, 2);
    world->bus().trace().clear();
    EXPECT_EQ(USB2SER_RestoreState(fdo()), STATUS_SUCCESS);
    EXPECT_EQ(last_line_rate(), 0x80000459u);
    // The line recorded whole, the device's is not asked for again.
    for (const host::SetupPacket& setup : world->bus().trace().control_setups()) EXPECT_NE(setup.bRequest, 0x21);
    std::optional<sim::LineSettings> read = serport->read_line();  // the code comes back as the rate
    ASSERT_TRUE(read);
    EXPECT_EQ(read->baud, 0x80000459u);
    ASSERT_TRUE(serport->set_line({.baud = 250'000, .data_bits = 8, .parity = 0, .stop_bits = 0}));
    EXPECT_EQ(world->chip().line_coding().dte_rate, 0x80000459u);
    EXPECT_EQ(world->chip().line_coding().data_bits, 8);
    before = kernel().now();  // a change of rate alone settles
    ASSERT_TRUE(serport->set_baud(9'600));
    EXPECT_GE(kernel().now() - before, 200 * kMillisecond);
}

// A peer with another rate, character size or parity receives errors, not
// wrong bytes, and the port's side reports them in the serial state; with
// the port set to match, bytes go both ways.
TEST_F(LineTest, AMismatchedPeerSeesErrorsNotWrongBytes) {
    ASSERT_TRUE(serport->open());
    ASSERT_TRUE(serport->set_line({.baud = 19'200, .data_bits = 8, .parity = 0, .stop_bits = 0}));
    peer().set_framing(sim::Framing{19'200, 7, 2, 0});
    const std::vector<std::uint8_t> text = {'h', 'i', '!'};
    serport->write(text);
    peer().send(text);
    kernel().run_for(20 * kMillisecond);
    EXPECT_TRUE(peer().received().empty());
    EXPECT_EQ(peer().errors().size(), 3u);
    EXPECT_EQ(serport->available(), 0u);
    ASSERT_FALSE(serport->modem_reports().empty());
    EXPECT_NE(serport->modem_reports().back() & sim::kStateFraming, 0);

    ASSERT_TRUE(serport->set_line({.baud = 19'200, .data_bits = 7, .parity = 2, .stop_bits = 0}));
    serport->write(text);
    peer().send(text);
    kernel().run_for(20 * kMillisecond);
    EXPECT_EQ(peer().received(), text);
    EXPECT_EQ(serport->read(16, kMillisecond), text);

    ASSERT_TRUE(serport->set_line({.baud = 19'200, .data_bits = 7, .parity = 1, .stop_bits = 0}));
    peer().send(std::vector<std::uint8_t>{'a'});  // one 1-bit: odd and even parity differ
    kernel().run_for(20 * kMillisecond);
    EXPECT_NE(serport->modem_reports().back() & sim::kStateParity, 0);
    EXPECT_EQ(world->chip().counters().parity_errors, 1u);

    ASSERT_TRUE(serport->set_line({.baud = 9'600, .data_bits = 7, .parity = 2, .stop_bits = 0}));
    peer().send(std::vector<std::uint8_t>{'x'});
    kernel().run_for(20 * kMillisecond);
    EXPECT_EQ(world->chip().counters().framing_errors, 4u);  // three before, one at the wrong rate
    EXPECT_EQ(serport->available(), 0u);
}

// DTR and RTS reach the far end, each request carrying both lines; above
// PASSIVE_LEVEL the request goes fire-and-forget and the state changes at
// once. A break holds the line for as long as it lasts.
TEST_F(LineTest, ControlLinesAndBreakReachTheFarEnd) {
    ASSERT_TRUE(serport->set_dtr(true));
    ASSERT_TRUE(serport->set_rts(true));
    EXPECT_TRUE(peer().dtr());
    EXPECT_TRUE(peer().rts());
    std::vector<std::uint16_t> values;
    for (const host::SetupPacket& s : world->bus().trace().control_setups()) {
        if (s.bRequest == 0x22) values.push_back(s.wValue);
    }
    EXPECT_EQ(values, (std::vector<std::uint16_t>{1, 3}));

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(USB2SER_SetDTRState(FALSE, port));
    EXPECT_EQ(ext()->ControlLineState, 2);
    EXPECT_EQ(ext()->CtrlIoCount, 1);  // on its way
    KeLowerIrql(old);
    kernel().run_for(5 * kMillisecond);
    EXPECT_FALSE(peer().dtr());
    EXPECT_TRUE(peer().rts());

    const host::Time start = kernel().now();
    ASSERT_TRUE(serport->set_break(true));
    kernel().run_for(30 * kMillisecond);
    ASSERT_TRUE(serport->set_break(false));
    kernel().run_for(5 * kMillisecond);
    host::Time on = 0;
    host::Time off = 0;
    for (const sim::LineLevels& l : peer().history()) {
        if (l.at >= start && l.brk && on == 0) on = l.at;
        if (l.at > on && on != 0 && !l.brk && off == 0) off = l.at;
    }
    EXPECT_NEAR(static_cast<double>(off - on), 30.0 * kMillisecond, 3.0 * kMillisecond);
    EXPECT_FALSE(USB2SER_SetDTRState(TRUE, 200));  // no device on that port
}

// The register-0 switches, with the masks of each kind of chip, and their
// effect on the line: hardware flow control holds the transmitter while the
// peer drops CTS; XON/XOFF while the peer has sent XOFF.
TEST_F(LineTest, TheFlowControlSwitchesHoldTheTransmitter) {
    for (sim::ChipKind kind : {sim::ChipKind::Extended, sim::ChipKind::Vendor}) {
        started({.chip = kind});
        world->chip().set_reg(0, 0x12);
        ASSERT_TRUE(serport->set_hardware_flow(true));
        EXPECT_EQ(world->chip().reg(0), 0x12);  // the write goes on its own, not waited for
        EXPECT_TRUE(USB2SER_SetDCRState(TRUE, port));  // again: the bits are set already
        kernel().run_for(5 * kMillisecond);
        const std::uint8_t on = kind == sim::ChipKind::Extended ? 0x72 : 0x52;
        EXPECT_EQ(world->chip().reg(0), on);
        EXPECT_TRUE(ext()->DcrStateOn);

        ASSERT_TRUE(serport->open());
        ASSERT_TRUE(serport->set_baud(9'600));
        peer().set_lines({.cts = false});
        serport->write(std::vector<std::uint8_t>(10, 'a'));
        kernel().run_for(50 * kMillisecond);
        EXPECT_TRUE(peer().received().empty());
        peer().set_lines({.cts = true});
        kernel().run_for(50 * kMillisecond);
        EXPECT_EQ(peer().received().size(), 10u);

        world->chip().set_reg(0, 0xFF);
        ASSERT_TRUE(serport->set_hardware_flow(false));
        kernel().run_for(5 * kMillisecond);
        EXPECT_EQ(world->chip().reg(0), kind == sim::ChipKind::Extended ? 0x0F : 0x3F);
        EXPECT_FALSE(ext()->DcrStateOn);
    }
    // XON/XOFF exists on the extended chip only.
    world->bus().trace().clear();
    EXPECT_FALSE(USB2SER_SetXonXoffState(TRUE, port));
    EXPECT_TRUE(world->bus().trace().records().empty());

    started({});
    ASSERT_TRUE(serport->open());
    ASSERT_TRUE(serport->set_baud(9'600));
    world->chip().set_reg(0, 0x12);
    ASSERT_TRUE(serport->set_xon_xoff(true));
    kernel().run_for(5 * kMillisecond);
    EXPECT_EQ(world->chip().reg(0), 0xD2);  // the other bits kept
    peer().send(std::vector<std::uint8_t>{sim::kXoff});
    kernel().run_for(5 * kMillisecond);
    serport->write(std::vector<std::uint8_t>(10, 'b'));
    kernel().run_for(50 * kMillisecond);
    EXPECT_TRUE(peer().received().empty());
    EXPECT_EQ(serport->available(), 0u);  // flow characters are not data
    peer().send(std::vector<std::uint8_t>{sim::kXon});
    kernel().run_for(50 * kMillisecond);
    EXPECT_EQ(peer().received().size(), 10u);
    world->chip().set_reg(0, 0xFF);
    ASSERT_TRUE(serport->set_xon_xoff(false));
    kernel().run_for(5 * kMillisecond);
    EXPECT_EQ(world->chip().reg(0), 0x3F);
}

// With the chip's receive FIFO nearly full, hardware flow control drops RTS
// toward a peer that honours it; nothing is lost, and RTS comes back once the
// host has taken the bytes.
TEST_F(LineTest, AFullReceiveFifoHoldsAPeerThatHonoursRts) {
    ASSERT_TRUE(serport->set_baud(115'200));
    ASSERT_TRUE(serport->set_rts(true));
    ASSERT_TRUE(serport->set_hardware_flow(true));
    peer().set_flow_control({.hardware = true});
    peer().send(std::vector<std::uint8_t>(1'000, 'z'));  // the port is closed: no read takes them
    kernel().run_for(100 * kMillisecond);
    EXPECT_FALSE(peer().rts());
    EXPECT_EQ(world->chip().counters().overruns, 0u);
    EXPECT_EQ(world->chip().rx_fifo_level(), 192u);  // three quarters of 256
    ASSERT_TRUE(serport->open());  // empties the FIFO and reads on
    kernel().run_for(200 * kMillisecond);
    EXPECT_TRUE(peer().rts());
    EXPECT_EQ(world->chip().counters().overruns, 0u);
}

// An application that reads slower than the line brings: the port driver's
// receive buffer fills, and with flow control it holds the far end back
// (RTS low, or an XOFF) at three quarters and lets it go at a quarter, so
// nothing is lost; without, what the full buffer cannot take is lost and
// counted.
TEST_F(LineTest, AFullReceiveBufferHoldsTheFarEndBack) {
    const std::size_t n = 20'000;
    std::vector<std::uint8_t> in(n);
    for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<std::uint8_t>('a' + i * 7 % 26);  // no XON or XOFF in it
    const struct {
        bool hardware, xon;
    } flows[] = {{false, false}, {true, false}, {false, true}};
    for (const auto [hardware, xon] : flows) {
        SCOPED_TRACE(hardware ? "hardware" : xon ? "xon" : "none");
        started({});
        ASSERT_TRUE(serport->set_baud(115'200));
        ASSERT_TRUE(serport->set_rts(true));
        ASSERT_TRUE(serport->set_hardware_flow(hardware));
        ASSERT_TRUE(serport->set_xon_xoff(xon));
        ASSERT_TRUE(serport->open());
        peer().set_flow_control({.hardware = hardware, .xon_xoff = xon});
        peer().send(in);
        std::vector<std::uint8_t> got;
        std::size_t most = 0;
        bool held = false;
        const host::Time end = kernel().now() + 10 * kSecond;
        while (got.size() < n && kernel().now() < end) {
            kernel().run_for(50 * kMillisecond);  // 5 KB a second, half the line
            most = std::max(most, serport->available());
            held = held || serport->holding_far_end();
            std::vector<std::uint8_t> part = serport->read(256, 0);
            got.insert(got.end(), part.begin(), part.end());
        }
        EXPECT_LE(most, sim::Serport::kReceiveBuffer);
        EXPECT_EQ(world->chip().counters().overruns, 0u);
        if (hardware || xon) {
            EXPECT_TRUE(held);
            EXPECT_FALSE(serport->holding_far_end());
            EXPECT_EQ(serport->receive_overflows(), 0u);
            EXPECT_EQ(got, in);
            EXPECT_TRUE(peer().received().empty());  // XOFF and XON are no data
        } else {
            EXPECT_FALSE(held);
            EXPECT_GT(serport->receive_overflows(), 0u);
            EXPECT_EQ(got.size() + serport->receive_overflows(), n);
        }
        EXPECT_TRUE(!hardware || peer().rts());
    }
}

// At 6,000,000 baud with hardware flow control on both sides and an
// application at the far end that reads at half the line's rate: the port's
// transmitter waits for CTS, the far end waits for RTS, and no byte is lost
// in either direction.
TEST_F(LineTest, HardwareFlowControlLosesNothingToASlowReader) {
    const std::size_t n = 60'000;  // 0.1 s of the line
    std::vector<std::uint8_t> out(n);
    std::vector<std::uint8_t> in(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(i * 7);
        in[i] = static_cast<std::uint8_t>(i * 13 + 1);
    }
    ASSERT_TRUE(serport->set_baud(6'000'000));
    ASSERT_TRUE(serport->set_rts(true));
    ASSERT_TRUE(serport->set_hardware_flow(true));
    ASSERT_TRUE(serport->open());
    peer().set_flow_control({.hardware = true});
    peer().set_lines({.cts = true});
    {
        sim::PeerReader reader(peer(), 300'000, 8'192, true);
        serport->write(out);
        peer().send(in);
        std::vector<std::uint8_t> got;
        const host::Time end = kernel().now() + kSecond;
        while ((got.size() < n || peer().received().size() < n) && kernel().now() < end) {
            std::vector<std::uint8_t> part = serport->read(n, 10 * kMillisecond);
            got.insert(got.end(), part.begin(), part.end());
        }
        EXPECT_EQ(got, in);
        EXPECT_EQ(peer().received(), out);
        EXPECT_GE(kernel().now(), 200 * kMillisecond);  // the reader set the pace
    }
    EXPECT_EQ(peer().lost(), 0u);
    EXPECT_EQ(world->chip().counters().overruns, 0u);
    kernel().run_for(10 * kMillisecond);
}

// A register-0 switch whose read fails writes nothing (the value to modify
// is unknown) but records the state asked for; a register read that fails
// leaves the shadow as it was.
TEST_F(LineTest, AFailedRegisterReadWritesNothing) {
    world->chip().set_reg(0, 0x11);
    world->bus().add_fault({.wValue = 0x0080, .action = host::FaultAction::Stall, .times = 1});
    EXPECT_TRUE(USB2SER_SetDCRState(TRUE, port));
    kernel().run_for(2 * kMillisecond);
    EXPECT_EQ(world->chip().reg(0), 0x11);
    EXPECT_TRUE(vendor_writes(0x0000).empty());
    EXPECT_TRUE(ext()->DcrStateOn);
    // One whose read finds no pool for its request (the write's was had)
    // answers FALSE, records nothing and keeps nothing.
    const std::size_t blocks = kernel().pool().outstanding().size();
    kernel().pool().fail_nth(2);
    EXPECT_FALSE(USB2SER_SetXonXoffState(TRUE, port));
    kernel().pool().clear_failures();
    EXPECT_EQ(kernel().pool().injected_failures(), 1u);
    EXPECT_FALSE(ext()->XonXoffStateOn);
    EXPECT_EQ(kernel().pool().outstanding().size(), blocks);

    ext()->RegisterShadow[2] = 0x5A;
    world->bus().add_fault({.wValue = 0x0082, .action = host::FaultAction::Stall, .times = 1});
    EXPECT_TRUE(USB2SER_GetDCR(2, port));
    EXPECT_EQ(ext()->RegisterShadow[2], 0x5A);
    EXPECT_FALSE(USB2SER_GetDCR(3, port));

    // A register written directly: one of the three, of a port that has a device.
    EXPECT_TRUE(USB2SER_SetDCR(1, 0x40, port));
    kernel().run_for(2 * kMillisecond);
    EXPECT_EQ(world->chip().reg(1), 0x40);
    EXPECT_FALSE(USB2SER_SetDCR(3, 0x40, port));
    EXPECT_FALSE(USB2SER_SetDCR(1, 0x40, port + 1));
}

// The close sequence, at the line end: with DTR off the auxiliary line goes
// low for 250 ms, register 2 loses bits 0xC0, DTR ends on. With the line
// already low nothing but one read happens.
TEST_F(LineTest, TheCloseSequencePulsesTheAuxiliaryLine) {
    sim::ChipConfig config = sim::ChipConfig::of(sim::ChipKind::Extended, 1);
    config.registers = {0x00, 0x04, 0xC3};
    started({.chip_config = config});
    ASSERT_TRUE(serport->set_dtr(true));
    const host::Time start = kernel().now();
    ASSERT_TRUE(serport->close());
    EXPECT_GE(kernel().now() - start, 450 * kMillisecond);
    host::Time low = 0;
    host::Time high = 0;
    bool dtr_off_when_low = false;
    for (const sim::LineLevels& l : peer().history()) {
        if (l.at < start) continue;
        if (!l.aux && low == 0) {
            low = l.at;
            dtr_off_when_low = !l.dtr;
        }
        if (l.aux && low != 0 && high == 0) high = l.at;
    }
    EXPECT_TRUE(dtr_off_when_low);
    EXPECT_NEAR(static_cast<double>(high - low), 250.0 * kMillisecond, 3.0 * kMillisecond);
    EXPECT_TRUE(peer().dtr());
    EXPECT_TRUE(world->chip().aux());
    EXPECT_EQ(world->chip().reg(1), 0x04);  // the pulse touched the auxiliary bit only
    EXPECT_EQ(world->chip().reg(2), 0x03);

    // Register 2 unreadable: it is left as it is, and the rest goes on.
    world->chip().set_reg(2, 0xC3);
    ASSERT_TRUE(serport->set_dtr(true));
    world->bus().add_fault({.wValue = 0x0082, .action = host::FaultAction::Stall, .times = 1});
    const std::size_t pulses = peer().history().size();
    ASSERT_TRUE(serport->close());
    EXPECT_GT(peer().history().size(), pulses);
    EXPECT_TRUE(peer().dtr());
    EXPECT_TRUE(world->chip().aux());
    EXPECT_EQ(world->chip().reg(2), 0xC3);

    world->chip().set_reg(1, 0x00);
    world->bus().trace().clear();
    ASSERT_TRUE(serport->close());
    EXPECT_EQ(world->bus().trace().control_setups().size(), 1u);
}

// The open sequence waits for the far side to answer ready: once it does,
// register 2 gets bit 0x40; when it never does, ten polls (about a second)
// and register 2 is left alone.
TEST_F(LineTest, TheOpenSequenceWaitsForTheFarSide) {
    for (std::optional<host::Time> ready : {std::optional<host::Time>{350 * kMillisecond}, std::optional<host::Time>{}}) {
        sim::ChipConfig config = sim::ChipConfig::of(sim::ChipKind::Extended, 1);
        config.registers = {0x00, 0x05, 0x00};  // the auxiliary line up, and a bit that is no answer
        config.aux_ready_after = ready;
        started({.chip_config = config, .bus = {.jitter_frames = 0}});  // the polls' moments pinned
        world->bus().trace().clear();
        const host::Time start = kernel().now();
        ASSERT_TRUE(serport->open());
        const host::Time took = kernel().now() - start;
        EXPECT_EQ(register_reads(0), 1u);  // the open reads every register into its shadow
        if (ready) {
            EXPECT_EQ(world->chip().reg(2), 0x40);
            EXPECT_EQ(register_reads(1), 1u + 1u + 5u);  // the open's read, the check, ready at the fifth poll
            EXPECT_LT(took, 600 * kMillisecond);
        } else {
            EXPECT_EQ(world->chip().reg(2), 0x00);
            EXPECT_EQ(register_reads(1), 1u + 1u + 10u);  // the open's read, the check, ten polls
            EXPECT_GE(took, kSecond);
            EXPECT_LT(took, kSecond + 100 * kMillisecond);
        }
        EXPECT_EQ(vendor_writes(0x0909), std::vector<std::uint16_t>{0});
        EXPECT_EQ(vendor_writes(0x0808), std::vector<std::uint16_t>{0});
    }
}

// The data-pipe resets and the flow threshold exist on the extended chip
// only; elsewhere nothing is sent.
TEST_F(LineTest, ExtendedCommandsAreRefusedElsewhere) {
    for (sim::ChipKind kind : {sim::ChipKind::Comm, sim::ChipKind::Vendor}) {
        started({.chip = kind});
        world->bus().trace().clear();
        EXPECT_EQ(USB2SER_ResetDataPipe(fdo(), TRUE), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(USB2SER_SetFlowThreshold(fdo(), 3), STATUS_NOT_SUPPORTED);
        EXPECT_TRUE(world->bus().trace().records().empty());
    }
    started({});
    EXPECT_EQ(world->chip().flow_threshold(), 3);  // the start's
    EXPECT_EQ(USB2SER_SetFlowThreshold(fdo(), 5), STATUS_SUCCESS);
    EXPECT_EQ(world->chip().flow_threshold(), 5);
}

// Called from a program in another virtual machine, where every wait answers
// at once, each export either does its work without waiting or answers FALSE
// having sent nothing; back in the system virtual machine the port works.
TEST_F(LineTest, FromAnotherVirtualMachineAnExportThatMustWaitSendsNothingAndAnswersFalse) {
    ASSERT_TRUE(serport->open());
    ASSERT_TRUE(serport->set_baud(115'200));
    const sim::SerportImports& x = sim::Serport::imports();
    UCHAR settings[48] = {};
    settings[22] = 8;
    settings[8] = 0x80;  // 9,600
    settings[9] = 0x25;
    UCHAR packet[10] = {};
    CHAR table[] = "250000,250000";
    UCHAR data[] = "hi";
    const struct {
        const char* what;
        std::function<BOOLEAN()> call;
        BOOLEAN answer;
        bool sends;  // a fire-and-forget request
    } rows[] = {
        {"open", [&] { return x.COMOpenedForSerport(TRUE, port); }, FALSE, false},
        {"close", [&] { return x.COMOpenedForSerport(FALSE, port); }, FALSE, false},
        {"status read", [&] { return x.GetIntStatusForSerport(packet, port); }, FALSE, false},
        {"line read", [&] { return x.GetStateForSerport(settings, port); }, FALSE, false},
        {"rate", [&] { return x.SetStateForSerport(settings, 2, port); }, FALSE, false},
        {"framing", [&] { return x.SetStateForSerport(settings, 1, port); }, FALSE, false},
        {"DTR", [&] { return x.SetControlLineForSerport(1, 1, port); }, FALSE, false},
        {"RTS", [&] { return x.SetControlLineForSerport(2, 1, port); }, FALSE, false},
        {"hardware flow", [&] { return x.SetControlLineForSerport(3, 1, port); }, FALSE, false},
        {"XON/XOFF", [&] { return x.SetControlLineForSerport(4, 1, port); }, FALSE, false},
        {"break", [&] { return x.SetBreakForSerport(TRUE, port); }, TRUE, true},
        {"kick", [&] { return x.KickTxForSerport(port); }, TRUE, false},
        {"rate table", [&] { return x.ExtBaudrateForSerport(table); }, TRUE, false},
        {"write", [&] { return x.WriteForSerport(data, 2, port); }, TRUE, false},
        {"callback", [&] { return x.SetReadQueueForSerport(nullptr); }, TRUE, false},
    };
    host::Thread& self = kernel().scheduler().running();
    for (const auto& row : rows) {
        kernel().run_for(10 * kMillisecond);  // nothing outstanding on the control pipe
        const std::size_t before = world->bus().trace().control_setups().size();
        self.other_vm = true;
        EXPECT_EQ(row.call(), row.answer) << row.what;
        self.other_vm = false;
        EXPECT_EQ(world->bus().trace().control_setups().size(), before + (row.sends ? 1 : 0)) << row.what;
    }
    sim::Serport::register_callbacks();
    ASSERT_TRUE(serport->set_break(false));
    kernel().run_for(10 * kMillisecond);
    EXPECT_EQ(peer().received(), (std::vector<std::uint8_t>{'h', 'i'}));
    ASSERT_TRUE(serport->set_line({.baud = 57'600, .data_bits = 7, .parity = 2, .stop_bits = 0}));
    EXPECT_EQ(world->chip().line_coding().framing(), (sim::Framing{57'600, 7, 2, 0}));
    ASSERT_TRUE(serport->set_dtr(true));
    EXPECT_TRUE(world->chip().dtr());
}

}  // namespace
}  // namespace torvex_test
