// Streams bytes through the bus and chip with no driver in between: bulk-out
// transfers of a chosen size, several in flight, and one 256-byte bulk-in
// read, each re-submitted from its own completion routine, as a driver's
// data pump does.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/usb.h"

namespace torvex_test {

class StreamPump {
public:
    StreamPump(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE out, USBD_PIPE_HANDLE in, std::vector<std::uint8_t> source,
               ULONG chunk, int writes_in_flight)
        : m_pdo(pdo), m_out(out), m_in(in), m_source(std::move(source)), m_chunk(chunk),
          m_writes(writes_in_flight) {}

    // The read is armed first: bytes that loop back before it is would find
    // nobody to take them and overrun the chip's receive FIFO.
    void start() {
        submit(new Request(this, true, 256));
        for (int i = 0; i < m_writes; ++i) submit_write();
    }

    const std::vector<std::uint8_t>& received() const { return m_received; }
    std::size_t sent() const { return m_sent; }
    bool done() const { return m_received.size() >= m_source.size() && m_in_flight == 0; }
    int in_flight() const { return m_in_flight; }
    NTSTATUS failure() const { return m_failure; }

private:
    struct Request {
        Request(StreamPump* pump, bool in, ULONG length) : pump(pump), in(in), buffer(length) {}
        StreamPump* pump;
        bool in;
        std::vector<std::uint8_t> buffer;
        URB urb{};
    };

    void submit_write() {
        if (m_sent >= m_source.size()) return;
        ULONG length = static_cast<ULONG>(std::min<std::size_t>(m_chunk, m_source.size() - m_sent));
        auto* request = new Request(this, false, length);
        std::copy_n(m_source.begin() + static_cast<std::ptrdiff_t>(m_sent), length, request->buffer.begin());
        m_sent += length;
        submit(request);
    }

    void submit(Request* request) {
        auto& r = request->urb.UrbBulkOrInterruptTransfer;
        r.Hdr.Length = URB_TARGET_SIZE_BULK_OR_INTERRUPT;
        r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        r.PipeHandle = request->in ? m_in : m_out;
        r.TransferFlags = request->in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
        r.TransferBuffer = request->buffer.data();
        r.TransferBufferLength = static_cast<ULONG>(request->buffer.size());
        PIRP irp = IoAllocateIrp(m_pdo->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &request->urb;
        IoSetCompletionRoutine(irp, completed, request, TRUE, TRUE, TRUE);
        ++m_in_flight;
        IofCallDriver(m_pdo, irp);
    }

    static NTSTATUS completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        std::unique_ptr<Request> request(static_cast<Request*>(context));
        StreamPump& pump = *request->pump;
        NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        --pump.m_in_flight;
        if (!NT_SUCCESS(status)) {
            pump.m_failure = status;
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        if (request->in) {
            ULONG got = request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
            pump.m_received.insert(pump.m_received.end(), request->buffer.begin(), request->buffer.begin() + got);
            if (pump.m_received.size() < pump.m_source.size()) {
                request->urb = URB{};
                pump.submit(request.release());
            }
        } else {
            pump.submit_write();
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT m_pdo;
    USBD_PIPE_HANDLE m_out;
    USBD_PIPE_HANDLE m_in;
    std::vector<std::uint8_t> m_source;
    ULONG m_chunk;
    int m_writes;
    std::size_t m_sent = 0;
    std::vector<std::uint8_t> m_received;
    int m_in_flight = 0;
    NTSTATUS m_failure = STATUS_SUCCESS;
};

}  // namespace torvex_test
