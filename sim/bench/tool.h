// A configuration or diagnostic tool, as a program on the platform is one: it
// opens the driver's device by its name ("\\.\USBCOM-" and the device's
// character), sends device-control codes with input and output buffers of
// exactly the lengths it chose, and closes the device again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bench/world.h"

namespace sim {

class Tool {
public:
    struct Answer {
        NTSTATUS status = STATUS_SUCCESS;
        ULONG_PTR information = 0;
        std::vector<std::uint8_t> output;  // the Information bytes handed back
    };

    // A tool for the world's adapter of this number (the first by default).
    explicit Tool(World& world, int adapter = 1) : m_world(world), m_adapter(adapter) {}

    // The name a program opens the device by.
    std::string device_name() const;
    // Opens the device, sends one code, closes the device. A device that
    // cannot be opened answers with the open's status.
    Answer send(ULONG code, std::span<const std::uint8_t> input, ULONG output_length);

    // The control codes by their names, and back.
    static std::optional<ULONG> code_of(std::string_view name);
    static std::string name_of(ULONG code);

private:
    World& m_world;
    int m_adapter;
};

}  // namespace sim
