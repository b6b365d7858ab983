#include "sim/chip/descriptors.h"

#include "platform/usb.h"

namespace sim {

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

}  // namespace

std::vector<std::uint8_t> DeviceTable::device_descriptor() const {
    std::vector<std::uint8_t> out{18, USB_DEVICE_DESCRIPTOR_TYPE};
    put16(out, bcd_usb);
    out.insert(out.end(), {device_class, 0, 0, max_packet0});
    put16(out, vendor_id);
    put16(out, product_id);
    put16(out, bcd_device);
    out.insert(out.end(), {manufacturer_string, product_string, serial_string, 1});
    return out;
}

std::vector<std::uint8_t> DeviceTable::configuration_descriptor() const {
    const ConfigurationTable& c = configuration;
    std::vector<std::uint8_t> out{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                                  static_cast<std::uint8_t>(c.interfaces.size()), c.value, 0, c.attributes,
                                  c.max_power};
    for (const InterfaceTable& i : c.interfaces) {
        out.insert(out.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, i.number, 0,
                               static_cast<std::uint8_t>(i.endpoints.size()), i.interface_class, i.subclass,
                               i.protocol, 0});
        for (const EndpointTable& e : i.endpoints) {
            out.insert(out.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes});
            put16(out, e.max_packet);
            out.push_back(e.interval);
        }
    }
    const auto total = static_cast<std::uint16_t>(out.size());
    out[2] = static_cast<std::uint8_t>(total);
    out[3] = static_cast<std::uint8_t>(total >> 8);
    return out;
}

std::vector<std::uint8_t> DeviceTable::string_descriptor(std::uint8_t index) const {
    if (index == 0) return {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};  // English (United States)
    if (index > strings.size()) return {};
    const std::string& text = strings[index - 1];
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (char c : text) put16(out, static_cast<std::uint8_t>(c));
    return out;
}

std::vector<std::uint8_t> DeviceTable::descriptor(std::uint16_t value) const {
    const auto type = static_cast<std::uint8_t>(value >> 8);
    const auto index = static_cast<std::uint8_t>(value);
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) return device_descriptor();
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) return configuration_descriptor();
    if (type == USB_STRING_DESCRIPTOR_TYPE) return string_descriptor(index);
    return {};
}

bool DeviceTable::has_endpoint(std::uint16_t address) const {
    for (const InterfaceTable& i : configuration.interfaces) {
        for (const EndpointTable& e : i.endpoints) {
            if (e.address == address) return true;
        }
    }
    return false;
}

}  // namespace sim
