#include "sim/serport/serport.h"

#include <algorithm>
#include <map>

#include "host/kernel/kernel.h"
#include "serial/data_pump.h"
#include "usb/requests.h"
#include "usb/usb_submit.h"

namespace sim {

namespace {
std::map<ULONG, Serport*> g_ports;  // the Serport of each port number
}  // namespace

Serport::Serport(PDEVICE_OBJECT device, ULONG port, std::size_t chunk_bytes)
    : m_device(device), m_port(port), m_chunk_bytes(chunk_bytes) {
    KeInitializeEvent(&m_data, NotificationEvent, FALSE);
    g_ports[port] = this;
}

Serport::~Serport() { g_ports.erase(m_port); }

Serport* Serport::of(ULONG port) {
    auto it = g_ports.find(port);
    return it == g_ports.end() ? nullptr : it->second;
}

void Serport::register_callbacks() {
    pSetMSRShadow = on_modem_status;
    pSetReadQueue = on_received;
    pCableRemove = on_cable_remove;
    pWriteOutQueue = on_write_out;
}

void Serport::open() {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(m_device);
    ext->PortIndex = static_cast<LONG>(m_port);
    ext->PortOpen = TRUE;
    for (ULONG slot : {ULONG{USB2SER_SLOT_INTERRUPT_IN}, ULONG{USB2SER_SLOT_BULK_IN}}) {
        if (ext->IrpSlot[slot] != NULL) continue;
        USB2SER_ResetPipe(m_device, slot);
        USB2SER_AsyncTransfer(m_device, slot, NULL,
                              slot == USB2SER_SLOT_BULK_IN ? USB2SER_BULK_IN_SIZE : USB2SER_INTERRUPT_PACKET_SIZE);
    }
}

void Serport::close() { USB2SER_Extension(m_device)->PortOpen = FALSE; }

NTSTATUS Serport::set_baud(ULONG baud) {
    UCHAR coding[USB2SER_LINE_CODING_SIZE] = {static_cast<UCHAR>(baud), static_cast<UCHAR>(baud >> 8),
                                              static_cast<UCHAR>(baud >> 16), static_cast<UCHAR>(baud >> 24),
                                              0, 0, 8};
    return USB2SER_SendRequest(m_device,
                               USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SET_LINE_CODING, 0, coding, sizeof coding),
                               FALSE, nullptr);
}

void Serport::write(std::span<const std::uint8_t> bytes) {
    m_transmit.insert(m_transmit.end(), bytes.begin(), bytes.end());
    if (!m_in_flight) send_next_chunk();
}

// One chunk at a time: the next goes when the worker thread reports the last done.
void Serport::send_next_chunk() {
    if (m_transmit.empty()) {
        m_in_flight = false;
        return;
    }
    std::size_t n = std::min(m_chunk_bytes, m_transmit.size());
    std::vector<std::uint8_t> chunk(m_transmit.begin(), m_transmit.begin() + static_cast<std::ptrdiff_t>(n));
    m_transmit.erase(m_transmit.begin(), m_transmit.begin() + static_cast<std::ptrdiff_t>(n));
    m_in_flight = true;
    NTSTATUS status = USB2SER_AsyncTransfer(m_device, USB2SER_SLOT_BULK_OUT, chunk.data(), static_cast<ULONG>(n));
    if (status != STATUS_PENDING && !NT_SUCCESS(status)) m_in_flight = false;
}

std::vector<std::uint8_t> Serport::read(std::size_t max, host::Time timeout) {
    if (m_received.empty()) {
        LARGE_INTEGER limit;
        limit.QuadPart = -timeout;
        KeWaitForSingleObject(&m_data, Executive, KernelMode, FALSE, &limit);
    }
    std::size_t n = std::min(max, m_received.size());
    std::vector<std::uint8_t> out(m_received.begin(), m_received.begin() + static_cast<std::ptrdiff_t>(n));
    m_received.erase(m_received.begin(), m_received.begin() + static_cast<std::ptrdiff_t>(n));
    if (m_received.empty()) KeClearEvent(&m_data);
    return out;
}

Serport::CallbackScope::CallbackScope(Serport& serport) : m_serport(serport) {
    if (serport.m_cable_removed) ++serport.m_late_callbacks;
    ++serport.m_active_callbacks;
}

Serport::CallbackScope::~CallbackScope() { --m_serport.m_active_callbacks; }

VOID Serport::on_modem_status(PUSHORT status, ULONG port) {
    if (Serport* serport = of(port)) {
        CallbackScope scope(*serport);
        serport->m_modem_status = *status;
        serport->m_modem_reports.push_back(*status);
    }
}

// Called at up to DISPATCH_LEVEL; the bytes are valid only during the call.
VOID Serport::on_received(PUCHAR data, ULONG length, ULONG port) {
    if (Serport* serport = of(port)) {
        CallbackScope scope(*serport);
        LONG work = 0;
        for (unsigned i = 0; i < serport->m_receive_cost; ++i) InterlockedIncrement(&work);
        ++serport->m_read_callbacks;
        serport->m_received.insert(serport->m_received.end(), data, data + length);
        if (length > 0) {
            host::Kernel& kernel = host::Kernel::current();
            serport->m_last_received_at = kernel.now();
            kernel.set_event(&serport->m_data, false);
        }
    }
}

VOID Serport::on_cable_remove(ULONG port) {
    if (Serport* serport = of(port)) {
        if (serport->m_active_callbacks > 0) serport->m_late_callbacks += serport->m_active_callbacks;
        serport->m_cable_removed = true;
        ++serport->m_cable_removals;
    }
}

VOID Serport::on_write_out(ULONG port) {
    if (Serport* serport = of(port)) {
        CallbackScope scope(*serport);
        ++serport->m_write_callbacks;
        serport->send_next_chunk();
    }
}

}  // namespace sim
