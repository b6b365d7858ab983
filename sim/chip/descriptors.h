// A USB device's descriptors as declarative tables, and the standard requests
// answered from them in one place: a device model declares what it is, the
// bytes on the wire follow from the tables (as the USB 1.1 specification's
// chapter 9 lays them out).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct EndpointTable {
    std::uint8_t address;     // bEndpointAddress: 0x80 for IN
    std::uint8_t attributes;  // bmAttributes: the transfer type
    std::uint16_t max_packet;
    std::uint8_t interval;    // bInterval, in frames (interrupt endpoints)
};

struct InterfaceTable {
    std::uint8_t number;
    std::uint8_t interface_class;
    std::uint8_t subclass;
    std::uint8_t protocol;
    std::vector<EndpointTable> endpoints;
};

struct ConfigurationTable {
    std::uint8_t value;       // bConfigurationValue
    std::uint8_t attributes;  // bmAttributes: 0x80, 0x20 remote wake-up, 0x40 self-powered
    std::uint8_t max_power;   // in 2 mA units
    std::vector<InterfaceTable> interfaces;
};

// The device with its one configuration and its strings (index 1 upwards;
// index 0 is the language list, English (United States)).
struct DeviceTable {
    std::uint16_t bcd_usb;
    std::uint8_t device_class;
    std::uint8_t max_packet0;
    std::uint16_t vendor_id;
    std::uint16_t product_id;
    std::uint16_t bcd_device;
    std::uint8_t manufacturer_string, product_string, serial_string;
    ConfigurationTable configuration;
    std::vector<std::string> strings;

    std::vector<std::uint8_t> device_descriptor() const;
    std::vector<std::uint8_t> configuration_descriptor() const;
    // Empty for a string the device does not have.
    std::vector<std::uint8_t> string_descriptor(std::uint8_t index) const;
    // GET_DESCRIPTOR's answer for wValue (type in the high byte, index in the
    // low), or empty: the request stalls.
    std::vector<std::uint8_t> descriptor(std::uint16_t value) const;
    // Whether an endpoint with this address is declared (endpoint 0 is not).
    bool has_endpoint(std::uint16_t address) const;
};

}  // namespace sim
