// The bus's ordered record of every request it carried: submission and
// completion, with virtual time, request id, URB function, endpoint, setup
// packet, data and status.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "host/usb/usb_device.h"
#include "platform/usb.h"

namespace host {

// A host-only function code for the port reset in the wire trace; it is not a
// URB and is left out of capture files.
constexpr std::uint16_t kFunctionResetPort = 0xFFFF;

// USBPcap's transfer types.
enum class TransferKind : std::uint8_t {
    Isochronous = 0,
    Interrupt = 1,
    Control = 2,
    Bulk = 3,
    IrpInfo = 0xFE,  // pipe operations such as a pipe reset
};

struct WireRecord {
    Time time = 0;
    std::uint64_t id = 0;         // one per request: its submission and completion share it
    bool completion = false;
    std::uint16_t function = 0;   // URB function
    std::uint8_t device = 0;      // device address
    std::uint8_t endpoint = 0;    // bit 7 = IN; for control 0x00 or 0x80 by the data stage
    TransferKind kind = TransferKind::Control;
    std::optional<SetupPacket> setup;  // control requests, and the request a pipe reset sends
    std::vector<std::uint8_t> data;    // OUT data on the submission, IN data on the completion
    USBD_STATUS usbd_status = USBD_STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;  // completion: the IRP's status
};

// The newest records stay in memory, about kWindowBytes of them; older ones
// leave for a spool file in the capture file's own record format, which a
// capture copies: a capture of a long session holds every record while the
// process stays the same size. A session nobody reads the trace of (`torvex
// pty`, the benchmarks) keeps nothing at all.
class WireTrace {
public:
    static constexpr std::size_t kWindowBytes = 2u << 20;

    WireTrace() = default;
    WireTrace(const WireTrace&) = delete;
    WireTrace& operator=(const WireTrace&) = delete;
    ~WireTrace();

    // Whether records are kept: the bus builds none when they are not.
    bool keeping() const { return m_keeping; }
    void keep_nothing() {
        clear();
        m_keeping = false;
    }
    void add(WireRecord record);
    // Forgets every record, those in the spool too.
    void clear();
    // The window: the newest records, oldest first.
    const std::deque<WireRecord>& records() const { return m_records; }
    // The older records in the capture's format, in a file read from its
    // start up to spool_bytes(); null before any left the window. When the
    // spool could not be written, spool_error() says why.
    std::FILE* spool() const { return m_spool; }
    std::uint64_t spool_bytes() const { return m_spool_bytes; }
    const std::string& spool_error() const { return m_spool_error; }

    // The setup packets of the control requests submitted, in order.
    std::vector<SetupPacket> control_setups() const;
    // The completion of the request with this id, if it has completed.
    const WireRecord* completion_of(std::uint64_t id) const;
    // Submissions of one URB function, in order.
    std::vector<const WireRecord*> submissions(std::uint16_t function) const;

    // One line per record.
    std::string text() const;
    static std::string line(const WireRecord& record);

private:
    void spool_front();

    std::deque<WireRecord> m_records;
    std::size_t m_window_bytes = 0;
    bool m_keeping = true;
    std::FILE* m_spool = nullptr;
    std::uint64_t m_spool_bytes = 0;
    std::string m_spool_error;
    std::vector<std::uint8_t> m_encoded;  // one record on its way to the spool
};

}  // namespace host
