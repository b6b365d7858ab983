#include "host/usb/wire_trace.h"

#include <cerrno>
#include <cstring>

#include "host/usb/pcap_writer.h"

namespace host {

namespace {

const char* function_name(std::uint16_t function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return "SELECT_CONFIGURATION";
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return "BULK_OR_INTERRUPT";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return "GET_DESCRIPTOR";
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE: return "SET_FEATURE";
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: return "CLEAR_FEATURE";
    case URB_FUNCTION_VENDOR_DEVICE: return "VENDOR_DEVICE";
    case URB_FUNCTION_CLASS_INTERFACE: return "CLASS_INTERFACE";
    case URB_FUNCTION_RESET_PIPE: return "RESET_PIPE";
    case URB_FUNCTION_ABORT_PIPE: return "ABORT_PIPE";
    case kFunctionResetPort: return "RESET_PORT";
    default: return "URB";
    }
}

// What a record holds in memory, for the window's size.
std::size_t footprint(const WireRecord& record) { return sizeof record + record.data.size(); }

}  // namespace

WireTrace::~WireTrace() {
    if (m_spool != nullptr) std::fclose(m_spool);
}

void WireTrace::add(WireRecord record) {
    if (!m_keeping) return;
    m_window_bytes += footprint(record);
    m_records.push_back(std::move(record));
    while (m_window_bytes > kWindowBytes && m_records.size() > 1) spool_front();
}

void WireTrace::spool_front() {
    const WireRecord& oldest = m_records.front();
    if (m_spool_error.empty()) {
        m_encoded.clear();
        pcap_record(m_encoded, oldest);
        if (m_spool == nullptr) m_spool = std::tmpfile();
        if (m_spool == nullptr || std::fwrite(m_encoded.data(), 1, m_encoded.size(), m_spool) != m_encoded.size()) {
            m_spool_error = std::string("the spool of older records could not be written: ") + std::strerror(errno);
        } else {
            m_spool_bytes += m_encoded.size();
        }
    }
    m_window_bytes -= footprint(oldest);
    m_records.pop_front();
}

void WireTrace::clear() {
    m_records.clear();
    m_window_bytes = 0;
    if (m_spool != nullptr) std::fclose(m_spool);
    m_spool = nullptr;
    m_spool_bytes = 0;
    m_spool_error.clear();
}

std::vector<SetupPacket> WireTrace::control_setups() const {
    std::vector<SetupPacket> setups;
    for (const WireRecord& record : m_records) {
        if (!record.completion && record.kind == TransferKind::Control && record.setup) {
            setups.push_back(*record.setup);
        }
    }
    return setups;
}

const WireRecord* WireTrace::completion_of(std::uint64_t id) const {
    for (const WireRecord& record : m_records) {
        if (record.completion && record.id == id) return &record;
    }
    return nullptr;
}

std::vector<const WireRecord*> WireTrace::submissions(std::uint16_t function) const {
    std::vector<const WireRecord*> found;
    for (const WireRecord& record : m_records) {
        if (!record.completion && record.function == function) found.push_back(&record);
    }
    return found;
}

std::string WireTrace::line(const WireRecord& r) {
    char text[256];
    int n = std::snprintf(text, sizeof text, "%10.4f ms  #%-5llu %s %-20s dev %u ep 0x%02X",
                          static_cast<double>(r.time) / 10'000.0,
                          static_cast<unsigned long long>(r.id), r.completion ? "<-" : "->",
                          function_name(r.function), r.device, r.endpoint);
    std::string out(text, static_cast<std::size_t>(n));
    if (r.setup && !r.completion) {
        std::snprintf(text, sizeof text, "  setup %02X %02X %04X %04X %04X", r.setup->bmRequestType,
                      r.setup->bRequest, r.setup->wValue, r.setup->wIndex, r.setup->wLength);
        out += text;
    }
    if (r.completion) {
        std::snprintf(text, sizeof text, "  status 0x%08X usbd 0x%08X", static_cast<unsigned>(r.status),
                      static_cast<unsigned>(r.usbd_status));
        out += text;
    }
    if (!r.data.empty()) {
        std::snprintf(text, sizeof text, "  %zu bytes:", r.data.size());
        out += text;
        std::size_t shown = r.data.size() < 16 ? r.data.size() : 16;
        for (std::size_t i = 0; i < shown; ++i) {
            std::snprintf(text, sizeof text, " %02X", r.data[i]);
            out += text;
        }
        if (shown < r.data.size()) out += " ...";
    }
    return out;
}

std::string WireTrace::text() const {
    std::string out;
    for (const WireRecord& record : m_records) out += line(record) + "\n";
    return out;
}

}  // namespace host
