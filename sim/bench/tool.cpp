#include "sim/bench/tool.h"

#include <cstdio>

#include "ioctl/ioctl_codes.h"

namespace sim {

namespace {

struct NamedCode {
    const char* name;
    ULONG code;
};

#define TORVEX_NAMED_CODE(Name, Code) {#Name, Code},
const NamedCode kCodes[] = {USB2SER_IOCTL_CODES(TORVEX_NAMED_CODE)};
#undef TORVEX_NAMED_CODE
static_assert(sizeof kCodes / sizeof kCodes[0] == USB2SER_IOCTL_CODE_COUNT, "every code has its name");

}  // namespace

std::string Tool::device_name() const {
    // Without the driver's device (its AddDevice failed) the name is one no
    // device has.
    PUSB2SER_EXTENSION extension = m_world.adapter(m_adapter).extension();
    if (extension == nullptr) return R"(\\.\USBCOM-)";
    std::string link = host::to_utf8(extension->SymbolicLinkName);
    const std::string prefix = "\\DosDevices\\";
    return R"(\\.\)" + (link.starts_with(prefix) ? link.substr(prefix.size()) : link);
}

Tool::Answer Tool::send(ULONG code, std::span<const std::uint8_t> input, ULONG output_length) {
    Answer answer;
    host::IoManager& io = m_world.kernel().io();
    PFILE_OBJECT file = nullptr;
    answer.status = io.open(device_name(), &file);
    if (!NT_SUCCESS(answer.status)) return answer;
    // Buffers of exactly the lengths given: a driver that goes past one is
    // caught by the address sanitizer.
    std::vector<std::uint8_t> in(input.begin(), input.end());
    std::vector<std::uint8_t> out(output_length);
    answer.status = io.device_io_control(file, code, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
                                         out.empty() ? nullptr : out.data(), output_length, &answer.information);
    io.close(file);
    if (!NT_ERROR(answer.status)) {
        out.resize(static_cast<std::size_t>(answer.information));
        answer.output = std::move(out);
    }
    return answer;
}

std::optional<ULONG> Tool::code_of(std::string_view name) {
    for (const NamedCode& c : kCodes) {
        if (name == c.name) return c.code;
    }
    return std::nullopt;
}

std::string Tool::name_of(ULONG code) {
    for (const NamedCode& c : kCodes) {
        if (code == c.code) return c.name;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

}  // namespace sim
