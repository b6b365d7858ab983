#include "tools/text.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>

namespace tool {

std::optional<std::uint64_t> unsigned_number(const std::string& text) {
    if (text.empty() || text[0] == '-') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return value;
}

std::optional<std::vector<std::uint8_t>> hex_bytes(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        digits += c;
    }
    if (digits.size() % 2 != 0) return std::nullopt;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string hex_text(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (std::uint8_t b : bytes) {
        char text[4];
        std::snprintf(text, sizeof text, "%s%02X", out.empty() ? "" : " ", b);
        out += text;
    }
    return out;
}

std::string status_text(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string framing_name(UCHAR data_bits, UCHAR parity, UCHAR stop_bits) {
    static const char* const stops[] = {"1", "1.5", "2"};
    return std::to_string(data_bits) + "NOEMS"[parity < 5 ? parity : 0] + stops[stop_bits < 3 ? stop_bits : 0];
}

std::string uart_text(const sim::BridgeChip& chip) {
    const sim::LineCoding& coding = chip.line_coding();
    const sim::FlowControl flow = chip.flow_control();
    return std::to_string(coding.baud) + " " + framing_name(coding.data_bits, coding.parity, coding.char_format) +
           ", flow " + (flow.hardware ? "hardware" : flow.xon_xoff ? "xon" : "none") + ", DTR " +
           (chip.dtr() ? "on" : "off") + ", RTS " + (chip.rts() ? "on" : "off");
}

std::string adapter_path(const std::string& path, int k, int adapters) {
    if (adapters == 1 || path.empty()) return path;
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const bool extension = dot != std::string::npos && dot > 0 && (slash == std::string::npos || dot > slash + 1);
    const std::size_t at = extension ? dot : path.size();
    return path.substr(0, at) + std::to_string(k) + path.substr(at);
}

}  // namespace tool
