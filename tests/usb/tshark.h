// Reading capture files back with tshark, where it is installed.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "host/usb/usb_device.h"

namespace torvex_test {

inline bool tshark_available() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

// tshark's standard output for the capture and the arguments.
inline std::string tshark(const std::string& path, const std::string& arguments) {
    std::string output;
    FILE* pipe = ::popen(("tshark -r " + path + " " + arguments + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return output;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    ::pclose(pipe);
    return output;
}

// Packets tshark finds malformed or worth an expert note; empty when clean.
inline std::string tshark_problems(const std::string& path) {
    return tshark(path, "-Y '_ws.malformed || _ws.expert'");
}

// The setup packets of the control requests submitted, as tshark dissects
// them (it names the fields of standard requests after their meaning), leaving
// out the descriptor requests a capture starts with.
inline std::vector<host::SetupPacket> tshark_setups(const std::string& path) {
    std::string fields = tshark(path,
                                "--disable-protocol usbcom -Y 'usb.control_stage == 0 && usb.irp_id < 0xffff000000000000'"
                                " -T fields -E 'separator=;' -e usb.bmRequestType -e usb.setup.bRequest"
                                " -e usb.setup.wValue -e usb.DescriptorIndex -e usb.bDescriptorType"
                                " -e usb.bConfigurationValue -e usb.setup.wFeatureSelector -e usb.setup.wIndex"
                                " -e usb.LanguageId -e usb.setup.wLength");
    std::vector<host::SetupPacket> setups;
    std::istringstream lines(fields);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::istringstream columns(line);
        std::string column;
        while (std::getline(columns, column, ';')) f.push_back(column);
        f.resize(10);
        auto number = [](const std::string& text) { return text.empty() ? 0u : std::stoul(text, nullptr, 0); };
        unsigned long value = !f[2].empty()   ? number(f[2])
                              : !f[4].empty() ? number(f[4]) << 8 | number(f[3])
                              : !f[5].empty() ? number(f[5])
                                              : number(f[6]);
        unsigned long index = !f[7].empty() ? number(f[7]) : number(f[8]);
        setups.push_back({static_cast<std::uint8_t>(number(f[0])), static_cast<std::uint8_t>(number(f[1])),
                          static_cast<std::uint16_t>(value), static_cast<std::uint16_t>(index),
                          static_cast<std::uint16_t>(number(f[9]))});
    }
    return setups;
}

}  // namespace torvex_test
