// The USB bus driver: owns the physical device object of each plugged device,
// turns URBs into what goes on the wire, and completes them as a host
// controller of the period does: transactions share each 1 ms full-speed
// frame by their bus time, and what ended in a frame is completed from the
// controller's interrupt at the frame's end, at DISPATCH_LEVEL.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "host/kernel/bus_driver.h"
#include "host/usb/pcap_writer.h"
#include "host/usb/usb_device.h"
#include "host/usb/wire_trace.h"

namespace host {

constexpr Time kFrame = kMillisecond;
// A frame's transactions begin after its start-of-frame packet (35 bit times).
constexpr Time kStartOfFrame = 29;

// The host controller's kind. Both complete at the end of a frame; they differ
// in what a short packet does to the endpoint's queue and in the order they
// serve a frame's lists.
enum class Controller { Uhci, Ohci };

enum class FaultAction {
    Stall,  // the device answers with a STALL handshake
    Fail,   // the request fails with `usbd_status`
    Short,  // an IN data stage returns only `short_length` bytes
    Delay,  // the request waits `delay_frames` more frames
    Never,  // the request is never answered (until it is cancelled)
};

// Matches requests by their setup-packet fields, URB function or endpoint;
// every field that is set must match.
struct FaultRule {
    std::optional<std::uint16_t> function;
    std::optional<std::uint8_t> bmRequestType;
    std::optional<std::uint8_t> bRequest;
    std::optional<std::uint16_t> wValue;
    std::optional<std::uint16_t> wIndex;
    std::optional<std::uint8_t> endpoint;  // bulk or interrupt endpoint address
    FaultAction action = FaultAction::Stall;
    USBD_STATUS usbd_status = USBD_STATUS_DEV_NOT_RESPONDING;
    std::size_t short_length = 0;
    int delay_frames = 0;
    bool inline_completion = false;  // complete inside IofCallDriver
    int times = -1;                  // requests it applies to; -1 for every one
};

class UsbBus : public BusDriver {
public:
    struct Options {
        Controller controller = Controller::Uhci;
        // Complete control requests inside IofCallDriver instead of at a frame.
        bool complete_inline = false;
        // The port's power is cut while the system sleeps.
        bool cut_power_in_sleep = true;
        // A request that raises the power (working state, D0) completes after
        // the port's resume at DISPATCH_LEVEL, from the controller's context,
        // instead of at once; unset, the seed chooses for each request.
        std::optional<bool> power_up_at_dispatch;
        // Frames a request may be late by, under the seed: the controller's
        // interrupt after a frame, the first packet of a transfer queued on
        // an idle endpoint and a cancelled transfer's end each come up to
        // this many frames after the earliest frame they could (each frame
        // more with a chance of one in four), as a controller's schedule and
        // its interrupt latency vary.
        int jitter_frames = 2;
    };

    UsbBus(Kernel& kernel, Options options);
    explicit UsbBus(Kernel& kernel) : UsbBus(kernel, Options{}) {}
    ~UsbBus() override;

    PDEVICE_OBJECT plug(UsbDevice& device);
    // The device is gone: pending requests complete with STATUS_DEVICE_NOT_CONNECTED
    // and new ones are refused. The physical device object stays until removal.
    void unplug(PDEVICE_OBJECT pdo);
    // The adapter is pulled out at a moment the caller cannot act in (a
    // driver's call in progress): the controller notices at its next turn
    // and unplugs it then, from its own context. `pulled` tells when it has.
    void pull_out_soon(PDEVICE_OBJECT pdo);
    bool pulled(PDEVICE_OBJECT pdo) const;

    void add_fault(const FaultRule& rule) { m_faults.push_back(rule); }
    void clear_faults() { m_faults.clear(); }
    Options& options() { return m_options; }

    WireTrace& trace() { return m_trace; }
    std::vector<DescriptorSnapshot> snapshots() const;
    std::uint64_t frames() const { return m_frames; }
    // The controller's interrupts that completed something.
    std::uint64_t interrupts() const { return m_interrupts; }
    std::size_t pending() const { return m_pending.size(); }

    static NTSTATUS irp_status_of(USBD_STATUS status);
    // A request's lateness under the seed, in virtual time.
    Time jitter();

    // Whether the port's power is off (cut while the system sleeps).
    bool unpowered(PDEVICE_OBJECT pdo) { return port_of(pdo).unpowered; }
    // The address the device on the port was given.
    std::uint8_t address(PDEVICE_OBJECT pdo) { return port_of(pdo).address; }

protected:
    NTSTATUS internal_device_control(PDEVICE_OBJECT pdo, PIRP irp) override;
    NTSTATUS power(PDEVICE_OBJECT pdo, PIRP irp) override;

private:
    struct Pipe {
        std::uint8_t address = 0;
        USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
        std::uint16_t max_packet = 64;
        std::uint8_t interval = 0;
        ULONG max_transfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        bool halted = false;
        // A UHCI queue stopped by a short packet: it moves on once the
        // controller's driver has handled the interrupt.
        bool waits_for_interrupt = false;
    };
    struct Port {
        PDEVICE_OBJECT pdo = nullptr;
        UsbDevice* device = nullptr;
        std::uint8_t address = 0;
        bool present = true;
        bool unpowered = false;
        std::uint8_t configuration = 0;
        std::uint32_t generation = 1;  // pipe handles carry it
        std::vector<Pipe> pipes;
    };
    enum class Op { Control, Select, ResetPipe, AbortPipe, ResetPort, Data };
    struct Transfer {
        std::uint64_t id = 0;
        Port* port = nullptr;
        PIRP irp = nullptr;
        PURB urb = nullptr;
        Op op = Op::Control;
        SetupPacket setup;
        std::uint8_t endpoint = 0;
        Pipe* pipe = nullptr;
        UCHAR* buffer = nullptr;
        ULONG length = 0;
        ULONG done = 0;
        bool in = false;
        bool short_ok = false;
        Time ready_at = 0;
        std::optional<FaultRule> fault;
        bool cancelled = false;  // ends with USBD_STATUS_CANCELED at ready_at
        // Ended on the wire with `result`: completed at the controller's next interrupt.
        bool retired = false;
        USBD_STATUS result = USBD_STATUS_SUCCESS;
    };

    static VOID NTAPI cancel_routine(PDEVICE_OBJECT device, PIRP irp);

    Port& port_of(PDEVICE_OBJECT pdo);
    NTSTATUS submit_urb(Port& port, PIRP irp, PURB urb);
    USBD_STATUS prepare(Port& port, PURB urb, Transfer& t);
    USBD_STATUS prepare_select(Port& port, PURB urb);
    Pipe* pipe_of(Port& port, USBD_PIPE_HANDLE handle);
    void close_pipes(Port& port);
    void end_pending(const std::function<bool(const Transfer&)>& which, USBD_STATUS status);
    void restore_configuration(Port& port, Time now);
    void abort_pipe(const Transfer& abort);
    static Time next_poll(const Pipe& pipe, Time at);
    static USBD_PIPE_HANDLE handle_of(const Port& port, const Pipe& pipe);
    std::optional<FaultRule> match_fault(const Transfer& t);
    std::optional<FaultRule> injected_fault(const char* what, bool data);
    // A transfer in a list node of its own, spliced into and out of the
    // pending ones without a copy or an allocation.
    using Single = std::list<Transfer>;
    Single new_transfer(Port& port, PIRP irp);
    NTSTATUS pend(Single single);
    NTSTATUS complete_inline(Single single, USBD_STATUS status);

    WireRecord record_of(const Transfer& t);
    void record_submission(const Transfer& t);
    static bool on_default_pipe(const Transfer& t);
    static bool pipe_closed(const Transfer& t);
    static bool never_answered(const Transfer& t);
    static bool bulk_data(const Transfer& t);
    void finish(Transfer* t, USBD_STATUS status);
    void retire(Transfer& t, USBD_STATUS status);
    void handle_interrupt();
    bool take(Transfer* t);
    USBD_STATUS execute_control(Transfer& t, Time now);
    void apply_configuration(Port& port, PURB urb, std::uint8_t value);

    void run_host_controller();
    std::optional<Time> next_frame_due();
    void process_frame(Time frame_start);
    void serve_control();
    void serve_interrupts();
    void serve_bulk(std::int64_t until_ns);
    Time bulk_quiet_until(Time now) const;
    std::optional<std::size_t> serve_packet(Transfer& t, Time now);
    void spend(std::int64_t ns);
    std::optional<Time> device_ready_at(const Transfer& t, Time now) const;
    bool first_on_endpoint(const Transfer& t) const;
    Transfer* find(std::uint64_t id);
    Transfer* find(PIRP irp);
    void kick();

    Options m_options;
    WireTrace m_trace;
    std::vector<FaultRule> m_faults;
    std::map<PDEVICE_OBJECT, std::unique_ptr<Port>> m_ports;
    std::list<Transfer> m_pending;
    std::list<Transfer> m_spare;  // nodes of ended transfers, for the next ones
    std::uint64_t m_next_id = 1;
    std::uint8_t m_next_address = 1;
    std::uint64_t m_frames = 0;
    std::uint64_t m_interrupts = 0;
    Time m_last_frame = -kFrame;
    Time m_moment = 0;         // the time of the transaction being served within a frame
    std::int64_t m_frame_ns = 0;  // the frame's bus time spent, in nanoseconds
    unsigned m_round_robin = 0;  // the bulk endpoint served last: address << 8 | endpoint
    // What ended on the wire, in the order it ended, and when the controller's
    // interrupt for it comes.
    std::vector<std::uint64_t> m_done;
    std::optional<Time> m_interrupt_at;
    // A bulk round's candidates, kept to spare an allocation a round.
    struct Candidate {
        unsigned key;  // address << 8 | endpoint
        std::uint64_t id;
        Transfer* transfer;
    };
    std::vector<Candidate> m_candidates;
    std::vector<std::uint64_t> m_polled;  // a frame's interrupt endpoints, kept likewise
    // Something changed since the last bulk round that all its candidates
    // NAKed: the bus was kicked (a request came or went, the device's state
    // moved) or a transfer ended.
    bool m_bulk_changed = false;
    KEVENT m_work{};
    int m_free_check = 0;  // the kernel's check that nothing the bus holds is freed
    Thread* m_controller = nullptr;
    bool m_stopping = false;
    PDEVICE_OBJECT m_pull_out = nullptr;
};

}  // namespace host
