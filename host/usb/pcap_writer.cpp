#include "host/usb/pcap_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace host {

namespace {

constexpr std::uint32_t kMagic = 0xA1B2C3D4;
constexpr std::uint32_t kLinkTypeUsbPcap = 249;
constexpr std::uint32_t kSnapLength = 0x40000;
constexpr std::uint16_t kBus = 1;
constexpr std::uint64_t kSnapshotIdBase = 0xFFFF'0000'0000'0000ull;

class Out {
public:
    explicit Out(std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}
    void u8(std::uint8_t v) { m_bytes.push_back(v); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v));
        u8(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    void u64(std::uint64_t v) {
        u32(static_cast<std::uint32_t>(v));
        u32(static_cast<std::uint32_t>(v >> 32));
    }
    void bytes(const std::vector<std::uint8_t>& v) { m_bytes.insert(m_bytes.end(), v.begin(), v.end()); }

private:
    std::vector<std::uint8_t>& m_bytes;
};

// The bytes after the packet header: for a control submission the setup
// packet and any OUT data; otherwise the record's data.
std::vector<std::uint8_t> payload(const WireRecord& r) {
    if (r.kind == TransferKind::IrpInfo) return {};
    if (r.kind == TransferKind::Control && !r.completion) {
        std::vector<std::uint8_t> out;
        if (r.setup) {
            auto setup = r.setup->bytes();
            out.assign(setup.begin(), setup.end());
        }
        out.insert(out.end(), r.data.begin(), r.data.end());
        return out;
    }
    return r.data;
}

void encode(Out& out, const WireRecord& r) {
    std::vector<std::uint8_t> data = payload(r);
    const bool control = r.kind == TransferKind::Control;
    const std::uint16_t header = control ? 28 : 27;
    const auto length = static_cast<std::uint32_t>(header + data.size());
    out.u32(static_cast<std::uint32_t>(r.time / 10'000'000));
    out.u32(static_cast<std::uint32_t>((r.time % 10'000'000) / 10));
    out.u32(length);
    out.u32(length);
    out.u16(header);
    out.u64(r.id);
    out.u32(r.completion ? static_cast<std::uint32_t>(r.usbd_status) : 0);
    out.u16(r.function);
    out.u8(r.completion ? 1 : 0);
    out.u16(kBus);
    out.u16(r.device);
    out.u8(r.endpoint);
    out.u8(static_cast<std::uint8_t>(r.kind));
    out.u32(static_cast<std::uint32_t>(data.size()));
    if (control) out.u8(r.completion ? 3 : 0);
    out.bytes(data);
}

void descriptor_request(Out& out, std::uint64_t id, std::uint8_t device, std::uint8_t type,
                        const std::vector<std::uint8_t>& descriptor) {
    WireRecord submit;
    submit.id = id;
    submit.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    submit.device = device;
    submit.endpoint = 0x80;
    submit.setup = SetupPacket{0x80, 0x06, static_cast<std::uint16_t>(type << 8), 0,
                               static_cast<std::uint16_t>(descriptor.size())};
    encode(out, submit);
    WireRecord done = submit;
    done.completion = true;
    done.setup.reset();
    done.data = descriptor;
    encode(out, done);
}

// The capture's bytes in order, each part handed to `sink` (a pointer and a
// length); false, with the reason in `error`, when the spool cannot be read.
template <typename Sink>
bool emit(const WireTrace& trace, const std::vector<DescriptorSnapshot>& snapshots, Sink sink, std::string* error) {
    std::vector<std::uint8_t> bytes;
    Out out(bytes);
    out.u32(kMagic);
    out.u16(2);
    out.u16(4);
    out.u32(0);
    out.u32(0);
    out.u32(kSnapLength);
    out.u32(kLinkTypeUsbPcap);
    std::uint64_t id = kSnapshotIdBase;
    for (const DescriptorSnapshot& snapshot : snapshots) {
        descriptor_request(out, id++, snapshot.device, USB_DEVICE_DESCRIPTOR_TYPE,
                           snapshot.device_descriptor);
        descriptor_request(out, id++, snapshot.device, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                           snapshot.configuration_descriptor);
    }
    if (!sink(bytes.data(), bytes.size())) return false;
    if (!trace.spool_error().empty()) {
        if (error) *error = trace.spool_error();
        return false;
    }
    if (std::FILE* spool = trace.spool()) {
        std::uint8_t chunk[1 << 14];
        std::uint64_t left = trace.spool_bytes();
        std::fflush(spool);
        std::rewind(spool);
        while (left > 0) {
            const std::size_t n = std::fread(chunk, 1, std::min<std::uint64_t>(left, sizeof chunk), spool);
            if (n == 0 || !sink(chunk, n)) break;
            left -= n;
        }
        std::fseek(spool, 0, SEEK_END);  // the next record's place (a write after a read needs a seek)
        if (left > 0) {
            if (error) *error = "the spool of older records could not be read back";
            return false;
        }
    }
    bytes.clear();
    for (const WireRecord& r : trace.records()) pcap_record(bytes, r);
    return sink(bytes.data(), bytes.size());
}

}  // namespace

void pcap_record(std::vector<std::uint8_t>& bytes, const WireRecord& record) {
    Out out(bytes);
    if (record.function != kFunctionResetPort) encode(out, record);
}

std::vector<std::uint8_t> pcap_bytes(const WireTrace& trace,
                                     const std::vector<DescriptorSnapshot>& snapshots) {
    std::vector<std::uint8_t> bytes;
    const bool whole = emit(trace, snapshots, [&](const std::uint8_t* data, std::size_t size) {
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }, nullptr);
    if (!whole) bytes.clear();
    return bytes;
}

bool write_pcap(const std::string& path, const WireTrace& trace,
                const std::vector<DescriptorSnapshot>& snapshots, std::string* error) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    const bool whole = emit(trace, snapshots, [&](const std::uint8_t* data, std::size_t size) {
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return static_cast<bool>(file);
    }, error);
    if (!file) {
        if (error) *error = path + ": write failed";
        return false;
    }
    return whole;
}

}  // namespace host
