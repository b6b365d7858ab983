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

}  // namespace tool
