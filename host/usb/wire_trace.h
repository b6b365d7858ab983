// The bus's ordered record of every request it carried: submission and
// completion, with virtual time, request id, URB function, endpoint, setup
// packet, data and status.
#pragma once

#include <cstdint>
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

class WireTrace {
public:
    void add(WireRecord record) { m_records.push_back(std::move(record)); }
    void clear() { m_records.clear(); }
    const std::vector<WireRecord>& records() const { return m_records; }

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
    std::vector<WireRecord> m_records;
};

}  // namespace host
