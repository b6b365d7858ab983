// What the bus driver sees of a device on its port: the default control pipe
// and packet-level access to the other endpoints, at a given virtual time.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "host/kernel/scheduler.h"

namespace host {

struct SetupPacket {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;

    bool device_to_host() const { return (bmRequestType & 0x80) != 0; }
    std::array<std::uint8_t, 8> bytes() const {
        return {bmRequestType, bRequest, static_cast<std::uint8_t>(wValue),
                static_cast<std::uint8_t>(wValue >> 8), static_cast<std::uint8_t>(wIndex),
                static_cast<std::uint8_t>(wIndex >> 8), static_cast<std::uint8_t>(wLength),
                static_cast<std::uint8_t>(wLength >> 8)};
    }
    bool operator==(const SetupPacket&) const = default;
};

// Standard request codes.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kSetInterface = 0x0B;

struct ControlResult {
    bool stall = false;
    std::size_t in_length = 0;  // bytes of the IN data stage the device returned (more: babble)
};

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // Called by the bus when the device is plugged in: the device calls `kick`
    // whenever something changes that a pending transfer may wait for.
    virtual void attach(std::function<void()> kick) = 0;

    virtual std::vector<std::uint8_t> device_descriptor() const = 0;
    virtual std::vector<std::uint8_t> configuration_descriptor() const = 0;

    // A control transfer on the default pipe. `in` has room for wLength bytes.
    virtual ControlResult control(const SetupPacket& setup, std::span<const std::uint8_t> out,
                                  std::span<std::uint8_t> in, Time now) = 0;

    // One OUT packet: false when the device NAKs it (it takes all or nothing).
    virtual bool out_packet(std::uint8_t endpoint, std::span<const std::uint8_t> data, Time now) = 0;
    // One IN packet of at most buffer.size() bytes; nullopt when the device NAKs.
    // A length past the buffer's is a device babbling (it writes no more than
    // the buffer holds).
    virtual std::optional<std::size_t> in_packet(std::uint8_t endpoint, std::span<std::uint8_t> buffer,
                                                 Time now) = 0;

    // The earliest time an IN packet or an OUT packet of `size` bytes may be
    // taken on the endpoint; nullopt when only a kick can change that.
    virtual std::optional<Time> in_ready_at(std::uint8_t endpoint, Time now) const = 0;
    virtual std::optional<Time> out_ready_at(std::uint8_t endpoint, std::size_t size, Time now) const = 0;

    // The hub reset the port: the device returns to its default state.
    virtual void port_reset(Time now) = 0;
    // The port's power was cut: the device comes back as at power-on, but
    // for what it keeps without power.
    virtual void power_lost(Time now) = 0;
};

}  // namespace host
