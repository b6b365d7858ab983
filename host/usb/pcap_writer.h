// The wire trace as a capture file in the USBPcap format (pcap link type 249),
// which Wireshark and tshark open and dissect.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/usb/wire_trace.h"

namespace host {

// A device's descriptors, written at the head of the capture (as a capture
// tool does when it starts) so that class requests are decoded.
struct DescriptorSnapshot {
    std::uint8_t device = 0;
    std::vector<std::uint8_t> device_descriptor;
    std::vector<std::uint8_t> configuration_descriptor;
};

// Appends one record as the capture holds it; a port reset, which is not a
// URB, has none.
void pcap_record(std::vector<std::uint8_t>& bytes, const WireRecord& record);
// The whole capture: the snapshots, the spooled records and the window;
// nothing when the spool cannot be read.
std::vector<std::uint8_t> pcap_bytes(const WireTrace& trace,
                                     const std::vector<DescriptorSnapshot>& snapshots);
// Writes the capture; returns false, with the reason in `error`, when it cannot.
bool write_pcap(const std::string& path, const WireTrace& trace,
                const std::vector<DescriptorSnapshot>& snapshots, std::string* error);

}  // namespace host
