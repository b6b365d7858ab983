#include "tools/adapter.h"

#include <unistd.h>

#include <algorithm>
#include <span>

#include "ioctl/ioctl_codes.h"
#include "sim/bench/tool.h"
#include "tools/text.h"

namespace tool {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kEepromBytes = 256;
constexpr ULONG kEepromChunk = 16;  // bytes per request, so that progress shows
constexpr ULONG kStringRoom = 255;

struct Failure {
    std::string message;
    int exit_status = 1;
};

[[noreturn]] void usage(const std::string& message) { throw Failure{message, 2}; }

unsigned word(const Bytes& d, std::size_t at) { return at + 1 < d.size() ? d[at] | d[at + 1] << 8 : 0; }

std::string bcd(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x.%02x", value >> 8, value & 0xFF);
    return text;
}

class AdapterSession {
public:
    AdapterSession(const sim::WorldOptions& options, std::FILE* out, std::FILE* progress)
        : m_options(options), m_world(options), m_tool(m_world), m_out(out),
          m_progress(progress != nullptr && isatty(fileno(progress)) ? progress : nullptr) {
        const NTSTATUS started = m_world.start();
        if (!NT_SUCCESS(started)) throw Failure{"the device did not start: " + status_text(started)};
    }

    int descriptors();
    int eeprom_read(unsigned long start, unsigned long length);
    int eeprom_write(unsigned long start, const Bytes& data);
    int registers();

    // Takes the world down: anything it left behind is an error.
    int finish(int status) {
        const std::string left = m_world.teardown();
        if (left.empty()) return status;
        std::fprintf(stderr, "torvex: the world left this behind:\n%s", left.c_str());
        return 1;
    }

private:
    Bytes call(ULONG code, const Bytes& input, ULONG output) {
        sim::Tool::Answer answer = m_tool.send(code, input, output);
        if (!NT_SUCCESS(answer.status)) {
            throw Failure{sim::Tool::name_of(code) + " failed: " + status_text(answer.status)};
        }
        return answer.output;
    }
    std::string string_of(unsigned index);
    void line(int indent, const char* field, const std::string& value) {
        std::fprintf(m_out, "%*s%-20s%s\n", indent, "", field, value.c_str());
    }
    void number_line(int indent, const char* field, unsigned value, const std::string& note = {}) {
        line(indent, field, std::to_string(value) + (note.empty() ? "" : " " + note));
    }
    void hex_line(int indent, const char* field, unsigned value, int digits, const std::string& note = {}) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%0*x", digits, value);
        line(indent, field, text + (note.empty() ? "" : " " + note));
    }
    void show_progress(std::size_t done, std::size_t total) {
        if (m_progress == nullptr) return;
        const int width = 40;
        const int filled = static_cast<int>(done * width / std::max<std::size_t>(total, 1));
        std::fprintf(m_progress, "\r  [%.*s%*s] %zu/%zu bytes", filled, "########################################",
                     width - filled, "", done, total);
        if (done == total) std::fprintf(m_progress, "\r%*s\r", width + 30, "");
        std::fflush(m_progress);
    }
    void device_time(host::Time since) {
        std::fprintf(m_out, "device time: %.3f s\n", static_cast<double>(m_world.kernel().now() - since) / host::kSecond);
    }

    sim::WorldOptions m_options;
    sim::World m_world;
    sim::Tool m_tool;
    std::FILE* m_out;
    std::FILE* m_progress;
};

std::string AdapterSession::string_of(unsigned index) {
    if (index == 0) return {};
    const Bytes input{static_cast<std::uint8_t>(index)};
    sim::Tool::Answer answer = m_tool.send(IOCTL_USB2SER_GET_STRING_DESCRIPTOR, input, kStringRoom);
    if (!NT_SUCCESS(answer.status) || answer.output.size() < 2) return "(unreadable: " + status_text(answer.status) + ")";
    std::string text;
    const std::size_t end = std::min<std::size_t>(answer.output[0], answer.output.size());
    for (std::size_t i = 2; i + 1 < end; i += 2) {
        const unsigned c = word(answer.output, i);
        text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return text;
}

// As the usual USB listing tools print them: each descriptor field by field,
// the strings they name read with language 0x0409.
int AdapterSession::descriptors() {
    const Bytes d = call(IOCTL_USB2SER_GET_DEVICE_DESCRIPTOR, {}, 18);
    if (d.size() < 18) throw Failure{"the device descriptor is short: " + std::to_string(d.size()) + " bytes"};
    std::fprintf(m_out, "Device Descriptor:\n");
    number_line(2, "bLength", d[0]);
    number_line(2, "bDescriptorType", d[1]);
    line(2, "bcdUSB", bcd(word(d, 2)));
    number_line(2, "bDeviceClass", d[4], d[4] == 0x02 ? "Communications" : d[4] == 0xFF ? "Vendor Specific" : "");
    number_line(2, "bDeviceSubClass", d[5]);
    number_line(2, "bDeviceProtocol", d[6]);
    number_line(2, "bMaxPacketSize0", d[7]);
    hex_line(2, "idVendor", word(d, 8), 4);
    hex_line(2, "idProduct", word(d, 10), 4);
    line(2, "bcdDevice", bcd(word(d, 12)));
    number_line(2, "iManufacturer", d[14], string_of(d[14]));
    number_line(2, "iProduct", d[15], string_of(d[15]));
    number_line(2, "iSerial", d[16], string_of(d[16]));
    number_line(2, "bNumConfigurations", d[17]);

    const Bytes head = call(IOCTL_USB2SER_GET_CONFIG_DESCRIPTOR, {}, 9);
    const unsigned total = word(head, 2);
    const Bytes c = call(IOCTL_USB2SER_GET_CONFIG_DESCRIPTOR, {}, std::max(total, 9u));
    static const char* const kTypes[] = {"Control", "Isochronous", "Bulk", "Interrupt"};
    for (std::size_t at = 0; at + 2 <= c.size() && c[at] >= 2; at += c[at]) {
        const Bytes e(c.begin() + static_cast<std::ptrdiff_t>(at),
                      c.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(at + c[at], c.size())));
        if (e[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE && e.size() >= 9) {
            std::fprintf(m_out, "  Configuration Descriptor:\n");
            number_line(4, "bLength", e[0]);
            number_line(4, "bDescriptorType", e[1]);
            hex_line(4, "wTotalLength", word(e, 2), 4);
            number_line(4, "bNumInterfaces", e[4]);
            number_line(4, "bConfigurationValue", e[5]);
            number_line(4, "iConfiguration", e[6], string_of(e[6]));
            hex_line(4, "bmAttributes", e[7], 2);
            std::fprintf(m_out, "      %s\n", (e[7] & 0x40) ? "Self Powered" : "(Bus Powered)");
            if (e[7] & 0x20) std::fprintf(m_out, "      Remote Wakeup\n");
            line(4, "MaxPower", std::to_string(e[8] * 2) + "mA");
        } else if (e[1] == USB_INTERFACE_DESCRIPTOR_TYPE && e.size() >= 9) {
            std::fprintf(m_out, "    Interface Descriptor:\n");
            number_line(6, "bLength", e[0]);
            number_line(6, "bDescriptorType", e[1]);
            number_line(6, "bInterfaceNumber", e[2]);
            number_line(6, "bAlternateSetting", e[3]);
            number_line(6, "bNumEndpoints", e[4]);
            number_line(6, "bInterfaceClass", e[5],
                        e[5] == 0x02 ? "Communications" : e[5] == 0x0A ? "CDC Data" : e[5] == 0xFF ? "Vendor Specific" : "");
            number_line(6, "bInterfaceSubClass", e[6]);
            number_line(6, "bInterfaceProtocol", e[7]);
            number_line(6, "iInterface", e[8], string_of(e[8]));
        } else if (e[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && e.size() >= 7) {
            std::fprintf(m_out, "      Endpoint Descriptor:\n");
            number_line(8, "bLength", e[0]);
            number_line(8, "bDescriptorType", e[1]);
            hex_line(8, "bEndpointAddress", e[2], 2,
                     "EP " + std::to_string(e[2] & 0x0F) + ((e[2] & 0x80) ? " IN" : " OUT"));
            number_line(8, "bmAttributes", e[3]);
            std::fprintf(m_out, "          Transfer Type            %s\n", kTypes[e[3] & 3]);
            hex_line(8, "wMaxPacketSize", word(e, 4), 4, "1x " + std::to_string(word(e, 4) & 0x7FF) + " bytes");
            number_line(8, "bInterval", e[6]);
        } else {
            std::fprintf(m_out, "      Descriptor type 0x%02x: %s\n", e[1], hex_text(e).c_str());
        }
    }
    return 0;
}

int AdapterSession::eeprom_read(unsigned long start, unsigned long length) {
    if (start >= kEepromBytes || length == 0 || length > kEepromBytes - start) {
        usage("eeprom read takes a start of 0 to 255 and a length that stays within the 256 bytes");
    }
    const host::Time began = m_world.kernel().now();
    Bytes data;
    while (data.size() < length) {
        const unsigned long at = start + data.size();
        const ULONG chunk = static_cast<ULONG>(std::min<unsigned long>(kEepromChunk, length - data.size()));
        Bytes part = call(IOCTL_USB2SER_EEPROM_READ, {static_cast<std::uint8_t>(at), static_cast<std::uint8_t>(at >> 8)},
                          chunk);
        if (part.size() != chunk) throw Failure{"the EEPROM read returned " + std::to_string(part.size()) + " bytes"};
        data.insert(data.end(), part.begin(), part.end());
        show_progress(data.size(), length);
    }
    for (std::size_t row = 0; row < data.size(); row += 16) {
        std::string hex;
        std::string text;
        for (std::size_t i = row; i < row + 16; ++i) {
            char cell[4];
            if (i < data.size()) {
                std::snprintf(cell, sizeof cell, "%02X ", data[i]);
                text += data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '.';
            } else {
                std::snprintf(cell, sizeof cell, "   ");
            }
            hex += cell;
        }
        std::fprintf(m_out, "%04lX: %s|%s|\n", start + row, hex.c_str(), text.c_str());
    }
    device_time(began);
    return 0;
}

int AdapterSession::eeprom_write(unsigned long start, const Bytes& data) {
    if (start >= kEepromBytes || data.empty() || data.size() > kEepromBytes - start) {
        usage("eeprom write takes a start of 0 to 255 and bytes that stay within the 256 bytes");
    }
    const host::Time began = m_world.kernel().now();
    for (std::size_t done = 0; done < data.size();) {
        const std::size_t chunk = std::min<std::size_t>(kEepromChunk, data.size() - done);
        Bytes input{static_cast<std::uint8_t>(start + done)};
        input.insert(input.end(), data.begin() + static_cast<std::ptrdiff_t>(done),
                     data.begin() + static_cast<std::ptrdiff_t>(done + chunk));
        call(IOCTL_USB2SER_EEPROM_WRITE, input, 0);
        done += chunk;
        show_progress(done, data.size());
    }
    std::fprintf(m_out, "wrote %zu byte%s at 0x%02lX\n", data.size(), data.size() == 1 ? "" : "s", start);
    device_time(began);
    return 0;
}

// Registers 0 to 2 (vendor request 1, read) and the modem status of a status
// packet read from the interrupt pipe, with their bits named.
int AdapterSession::registers() {
    struct Bit {
        std::uint8_t mask;
        const char* name;
    };
    const bool extended = m_options.chip == sim::ChipKind::Extended;
    const std::vector<Bit> bits[3] = {
        extended ? std::vector<Bit>{{0x20, "hardware flow control (the DCR switch sets 0x60)"},
                                    {0x40, "set by both switches"},
                                    {0x80, "XON/XOFF flow control (the XON/XOFF switch sets 0xC0)"}}
                 : std::vector<Bit>{{0x40, "hardware flow control (the DCR switch)"}},
        {{0x04, "auxiliary output (pulsed low by the close sequence)"},
         {0x08, "far side ready (awaited by the open sequence)"},
         {0x10, "tool bit 4"},
         {0x20, "tool bit 5"},
         {0x40, "tool bit 6"},
         {0x80, "tool bit 7"}},
        {{0x40, "ready (set by the open sequence)"}, {0x80, "cleared with 0x40 by the close sequence"}},
    };
    for (int n = 0; n < 3; ++n) {
        const Bytes value = call(IOCTL_USB2SER_GET_ENCAP, {static_cast<std::uint8_t>(0x80 + n), 0x00}, 1);
        if (value.size() != 1) throw Failure{"register " + std::to_string(n) + " gave no value"};
        std::fprintf(m_out, "register %d: 0x%02X\n", n, value[0]);
        for (const Bit& bit : bits[n]) {
            std::fprintf(m_out, "  0x%02X %-55s %s\n", bit.mask, bit.name, (value[0] & bit.mask) ? "on" : "off");
        }
    }
    // The chip sends a status packet when a line changes; a read that sees
    // none within the request's time limit is reported as such.
    sim::Tool::Answer packet = m_tool.send(IOCTL_USB2SER_READ_INTERRUPT, {}, 10);
    if (packet.status == STATUS_CANCELLED) {
        std::fprintf(m_out, "modem status: no status packet came (the chip sends one when a line changes)\n");
        return 0;
    }
    if (!NT_SUCCESS(packet.status) || packet.output.size() < 10) {
        throw Failure{"the status packet could not be read: " + status_text(packet.status)};
    }
    const unsigned status = word(packet.output, 8);
    static const Bit kModem[] = {{0x01, "DCD"},     {0x02, "DSR"},           {0x04, "break"},
                                 {0x08, "ring"},    {0x10, "framing error"}, {0x20, "parity error"},
                                 {0x40, "overrun"}, {0x80, "CTS"}};
    std::fprintf(m_out, "modem status: 0x%04X\n", status);
    for (const Bit& bit : kModem) {
        std::fprintf(m_out, "  0x%02X %-55s %s\n", bit.mask, bit.name, (status & bit.mask) ? "on" : "off");
    }
    return 0;
}

}  // namespace

int adapter_command(const std::string& command, const std::vector<std::string>& args, const sim::WorldOptions& world,
            std::FILE* out, std::FILE* progress) {
    try {
        if (command == "eeprom" && (args.empty() || (args[0] != "read" && args[0] != "write"))) {
            usage("eeprom takes read [START] [LENGTH] or write START HEX...");
        }
        if ((command == "descriptors" || command == "registers") && !args.empty()) {
            usage(command + " takes no arguments");
        }
        unsigned long start = 0;
        unsigned long length = kEepromBytes;
        Bytes data;
        if (command == "eeprom") {
            const bool write = args[0] == "write";
            if (args.size() > (write ? 64 : 3) || (write && args.size() < 3)) {
                usage(write ? "eeprom write takes START and the bytes in hex" : "eeprom read takes [START] [LENGTH]");
            }
            if (args.size() >= 2) {
                auto n = unsigned_number(args[1]);
                if (!n) usage("the start is a number: " + args[1]);
                start = *n;
                length = kEepromBytes - std::min<unsigned long>(start, kEepromBytes);
            }
            if (!write && args.size() == 3) {
                auto n = unsigned_number(args[2]);
                if (!n) usage("the length is a number: " + args[2]);
                length = *n;
            }
            for (std::size_t i = 2; write && i < args.size(); ++i) {
                auto bytes = hex_bytes(args[i]);
                if (!bytes) usage("not hex bytes: " + args[i]);
                data.insert(data.end(), bytes->begin(), bytes->end());
            }
        }
        AdapterSession session(world, out, progress);
        int status;
        if (command == "descriptors") {
            status = session.descriptors();
        } else if (command == "registers") {
            status = session.registers();
        } else if (args[0] == "read") {
            status = session.eeprom_read(start, length);
        } else {
            status = session.eeprom_write(start, data);
        }
        return session.finish(status);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "torvex %s: %s\n", command.c_str(), failure.message.c_str());
        return failure.exit_status;
    }
}

}  // namespace tool
