// A device that lies: the input decides the answers of the chip through a
// whole session. Each control transfer may stall, come back shorter, longer
// than asked (babble) or with other bytes; each IN packet on the status and
// bulk-in endpoints may be NAKed or made up (0 to 70 bytes of anything, past
// the packet size a babble); each OUT packet may be NAKed; and the device may
// vanish at any fault point. The session: start, open, rate and framing, the
// modem lines, a break, data both ways, a status poll, the register and
// EEPROM codes, a sleep and a wake, close. When the input runs out the device
// behaves again, and the port must then carry data (after putting the adapter
// back in if the lies cost it its start or it vanished). A finding is a
// crash, a sanitizer report, a bug check, a hang, anything left behind, or a
// port that does not work with a device that behaves.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_world.h"
#include "ioctl/ioctl_codes.h"
#include "sim/bench/tool.h"
#include "sim/bench/world.h"
#include "sim/serport/serport.h"

namespace {

using host::kFrame;
using host::kMillisecond;
using host::Time;
using torvex_fuzz::finding;
using torvex_fuzz::read_for;

const std::uint8_t kStatusEndpoint = 0x81;
const std::uint8_t kBulkInEndpoint = 0x83;

class LyingDevice : public host::UsbDevice {
public:
    LyingDevice(sim::BridgeChip& chip, torvex_fuzz::Reader& in) : m_chip(chip), m_in(in) {}
    bool lying() const { return !m_in.done(); }

    void attach(std::function<void()> kick) override { m_chip.attach(std::move(kick)); }
    std::vector<std::uint8_t> device_descriptor() const override { return m_chip.device_descriptor(); }
    std::vector<std::uint8_t> configuration_descriptor() const override { return m_chip.configuration_descriptor(); }

    host::ControlResult control(const host::SetupPacket& setup, std::span<const std::uint8_t> out,
                                std::span<std::uint8_t> in, Time now) override {
        host::ControlResult result = m_chip.control(setup, out, in, now);
        if (!lying()) return result;
        switch (m_in.byte() % 8) {
        case 4: return host::ControlResult{true, 0};
        case 5: result.in_length = m_in.byte() % (in.size() + 9); break;  // shorter, or babble
        case 6:
            for (std::size_t i = 0; i < result.in_length && i < in.size(); ++i) in[i] = m_in.byte();
            break;
        default: break;
        }
        return result;
    }

    bool out_packet(std::uint8_t endpoint, std::span<const std::uint8_t> data, Time now) override {
        if (lying() && m_in.byte() % 8 == 5) return false;  // a NAK
        return m_chip.out_packet(endpoint, data, now);
    }

    std::optional<std::size_t> in_packet(std::uint8_t endpoint, std::span<std::uint8_t> buffer, Time now) override {
        if (!lying() || (endpoint != kStatusEndpoint && endpoint != kBulkInEndpoint)) {
            return m_chip.in_packet(endpoint, buffer, now);
        }
        switch (m_in.byte() % 8) {
        case 5: return std::nullopt;  // a NAK
        case 6: {
            const std::size_t length = m_in.byte() % 71;
            for (std::size_t i = 0; i < length && i < buffer.size(); ++i) buffer[i] = m_in.byte();
            return length;
        }
        default: return m_chip.in_packet(endpoint, buffer, now);
        }
    }

    // While it lies the device may have a packet at any frame.
    std::optional<Time> in_ready_at(std::uint8_t endpoint, Time now) const override {
        std::optional<Time> ready = m_chip.in_ready_at(endpoint, now);
        if (!lying() || (endpoint != kStatusEndpoint && endpoint != kBulkInEndpoint)) return ready;
        const Time next = (now / kFrame + 1) * kFrame;
        return ready && *ready < next ? *ready : next;
    }
    std::optional<Time> out_ready_at(std::uint8_t endpoint, std::size_t size, Time now) const override {
        return m_chip.out_ready_at(endpoint, size, now);
    }
    void port_reset(Time now) override { m_chip.port_reset(now); }
    void power_lost(Time now) override { m_chip.power_lost(now); }

private:
    sim::BridgeChip& m_chip;
    torvex_fuzz::Reader& m_in;
};

// The session while the device lies; what it gets back is not checked.
void session(sim::World& world, torvex_fuzz::Reader& in) {
    sim::Serport serport(world.port());
    sim::Serport::register_callbacks();
    serport.open();
    serport.set_baud(in.byte() % 2 ? 115200 : 9600);
    sim::LineSettings line;
    line.baud = 57600;
    line.data_bits = 7;
    line.parity = 2;
    serport.set_line(line);
    serport.set_dtr(true);
    serport.set_rts(in.byte() % 2);
    serport.set_hardware_flow(in.byte() % 2);
    serport.set_break(true);
    world.kernel().run_for(2 * kMillisecond);
    serport.set_break(false);
    const std::vector<std::uint8_t> text(64, 'L');
    serport.write(text);
    read_for(world, serport, text.size(), 50 * kMillisecond);
    serport.poll_status();
    sim::Tool tool(world);
    tool.send(IOCTL_USB2SER_READ_REG1_BIT6, {}, 1);
    tool.send(IOCTL_USB2SER_EEPROM_STATUS, {}, 1);
    const std::uint8_t address[] = {0, 0};
    tool.send(IOCTL_USB2SER_EEPROM_READ, address, 2);
    const std::uint8_t string_index[] = {2};
    tool.send(IOCTL_USB2SER_GET_STRING_DESCRIPTOR, string_index, 64);
    if (NT_SUCCESS(world.sleep())) world.wake();
    serport.close();
}

// With the device behaving: the port carries a text both ways through the
// loopback plug.
bool carries_data(sim::World& world) {
    sim::Serport serport(world.port());
    sim::Serport::register_callbacks();
    if (!serport.open()) return false;
    const std::vector<std::uint8_t> text = {'h', 'o', 'n', 'e', 's', 't'};
    serport.write(text);
    const bool echoed = read_for(world, serport, text.size(), 500 * kMillisecond) == text;
    serport.close();
    return echoed;
}

}  // namespace

// The input: the chip's kind and layout, the fault point at which the device
// vanishes (0: it stays), then the lies, read as the session asks.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    torvex_fuzz::Reader in{data, size};
    const std::uint8_t kind = in.byte();
    const std::uint16_t vanish = in.word() % 2048;
    std::string left;
    {
        LyingDevice* device = nullptr;
        sim::World world({.chip = static_cast<sim::ChipKind>(kind % 3),
                          .interfaces = 1 + kind / 3 % 2,
                          .fault = vanish,
                          .fault_unplugs = vanish != 0,
                          .wrap = [&](sim::BridgeChip& chip) {
                              auto made = std::make_unique<LyingDevice>(chip, in);
                              device = made.get();
                              return made;
                          }});
        bool started = NT_SUCCESS(world.start());
        if (started) session(world, in);
        // The device behaves from here on, and stays.
        in.at = in.size;
        world.kernel().faults().fail_at(0);
        world.kernel().run_for(20 * kMillisecond);
        world.finish_pull_out();
        if (device->lying()) finding("the device still lies");
        if (!world.plugged() || !started) {
            if (world.plugged()) world.unplug();
            if (!NT_SUCCESS(world.plug())) finding("the adapter put back in does not start");
        }
        if (!carries_data(world)) {
            // Lies may have cost the port its reads for good; put back in, it must work.
            world.unplug();
            if (!NT_SUCCESS(world.plug())) finding("the adapter put back in does not start");
            if (!carries_data(world)) finding("the port carries no data with a device that behaves");
        }
        left = world.teardown();
    }
    if (!left.empty()) finding("the session left this behind:\n" + left);
    return 0;
}
