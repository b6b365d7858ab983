#include "host/usb/usb_bus.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "host/kernel/kernel.h"

namespace host {

namespace {

constexpr int kResetPortFrames = 10;
// Resume signalling (20 ms) and the recovery time after it (10 ms).
constexpr Time kResumeTime = 30 * kMillisecond;
constexpr std::uintptr_t kHandleTag = 0x5B000000;

std::uint16_t target_size(std::uint16_t function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return URB_TARGET_SIZE_SELECT_CONFIGURATION;
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_ABORT_PIPE: return URB_TARGET_SIZE_PIPE_REQUEST;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return URB_TARGET_SIZE_BULK_OR_INTERRUPT;
    default: return URB_TARGET_SIZE_CONTROL_REQUEST;
    }
}

TransferKind kind_of(USBD_PIPE_TYPE type) {
    return type == UsbdPipeTypeInterrupt ? TransferKind::Interrupt : TransferKind::Bulk;
}

Time align_up(Time t) { return (t + kFrame - 1) / kFrame * kFrame; }

// A full-speed frame's bus time, in nanoseconds: 12,000 bit times, the first
// 35 of them the start-of-frame packet's.
constexpr std::int64_t kFrameNs = 1'000'000;
constexpr std::int64_t kSofNs = 35 * kFrameNs / 12'000;
static_assert(kStartOfFrame == kSofNs / 100);
// OHCI serves its periodic list from 10 % into the frame (HcPeriodicStart at
// 90 % of the frame interval, as its drivers set it); control and bulk before
// and after.
constexpr std::int64_t kOhciPeriodicStartNs = kFrameNs / 10;

// The bus time of one full-speed transaction with its handshake, carrying
// `bytes` of data: USB 1.1's formula for a non-isochronous transaction,
// 9107 + 83.54 * floor(3.167 + BitStuffTime(bytes)) ns, with the data's bits
// as sent. (The formula's 7/6 is the worst case of bit stuffing, the budget a
// schedule of periodic transfers reserves; a controller starts a transaction
// whenever what is left of the frame holds a largest packet, so that the bus
// carries about 19 full-size bulk packets a frame.) A transaction the device
// NAKs is charged as one without data. The controller's own delay between
// transactions is not counted.
constexpr std::int64_t transaction_ns(std::size_t bytes) {
    return (910'700 + 8354 * (3 + 8 * static_cast<std::int64_t>(bytes))) / 100;
}

// Where the interface descriptor with this number and alternate setting
// starts in a configuration descriptor; nullopt when there is none.
std::optional<std::size_t> find_interface(const std::vector<std::uint8_t>& config, UCHAR number, UCHAR alternate) {
    for (std::size_t at = 0; at + 9 <= config.size() && config[at] >= 2; at += config[at]) {
        if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && config[at + 2] == number && config[at + 3] == alternate) {
            return at;
        }
    }
    return std::nullopt;
}

// A transfer's link to further URBs is reserved and must be NULL, and its
// buffer is given either directly or through an MDL (the DDK's documentation
// of the transfer URBs). The driver hands no MDLs, and the bus models none:
// anything in either field is taken for what it is, an uninitialised one,
// which the platform's stack would follow, and the request is refused.
template <typename Request>
bool stray_link_or_mdl(const Request& r) {
    return r.UrbLink != nullptr || r.TransferBufferMDL != nullptr;
}

// Calls `visit` for each interface information entry of a selection URB, as far
// as the URB's length holds whole entries; stops when `visit` returns false.
template <typename Visit>
void for_each_interface(PURB urb, Visit visit) {
    auto* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    auto* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
    while (cursor + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        if (info->Length < sizeof(USBD_INTERFACE_INFORMATION) || cursor + info->Length > end) return;
        if (!visit(*info)) return;
        cursor += info->Length;
    }
}

// The status a stall or failure fault ends a request with.
std::optional<USBD_STATUS> fault_status(const std::optional<FaultRule>& fault) {
    if (!fault) return std::nullopt;
    if (fault->action == FaultAction::Stall) return USBD_STATUS_STALL_PID;
    if (fault->action == FaultAction::Fail) return fault->usbd_status;
    return std::nullopt;
}

}  // namespace

UsbBus::UsbBus(Kernel& kernel, Options options) : BusDriver(kernel, "UsbBus"), m_options(options) {
    KeInitializeEvent(&m_work, SynchronizationEvent, FALSE);
    m_controller = &kernel.spawn("host controller", [this] { run_host_controller(); });
    // A URB or a transfer buffer is the controller's until the request completes.
    m_free_check = kernel.add_free_check([this](const unsigned char* begin, const unsigned char* end) -> const char* {
        for (auto& t : m_pending) {
            const auto* urb = reinterpret_cast<const unsigned char*>(t.urb);
            if (urb >= begin && urb < end) return "the bus still holds a URB in it";
            if (t.buffer != nullptr && t.buffer < end && t.buffer + t.length > begin) {
                return "the bus still holds a transfer buffer in it";
            }
        }
        return nullptr;
    });
}

UsbBus::~UsbBus() {
    kernel().remove_free_check(m_free_check);
    // The world ends: its devices go, and with them what is pending on them.
    for (auto& [pdo, port] : m_ports) {
        if (port->present) unplug(pdo);
        port->device->attach(nullptr);  // the device outlives the bus: no more kicks
    }
    m_stopping = true;
    kick();
    host::wait_for(&m_controller->object, nullptr);
}

NTSTATUS UsbBus::irp_status_of(USBD_STATUS status) {
    switch (status) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE: return STATUS_INVALID_PARAMETER;
    default: return STATUS_UNSUCCESSFUL;
    }
}

Time UsbBus::jitter() {
    int frames = 0;
    while (frames < m_options.jitter_frames && kernel().scheduler().one_in(4)) ++frames;
    return frames * kFrame;
}

// ---------------------------------------------------------------------------
// Ports

PDEVICE_OBJECT UsbBus::plug(UsbDevice& device) {
    PDEVICE_OBJECT pdo = create_pdo();
    auto port = std::make_unique<Port>();
    port->pdo = pdo;
    port->device = &device;
    port->address = m_next_address++;
    device.attach([this] { kick(); });
    m_ports[pdo] = std::move(port);
    if (m_pull_out == pdo) m_pull_out = nullptr;  // asked for the device that had the address before
    return pdo;
}

// The transfers in flight end with transaction errors, as the host
// controller sees no answer any more; later requests are refused as from a
// device that is not connected.
void UsbBus::unplug(PDEVICE_OBJECT pdo) {
    Port& port = port_of(pdo);
    port.present = false;
    pdo->DeviceObjectExtension->ExtensionFlags |= DOE_REMOVE_PENDING;
    device_gone(pdo);
    end_pending([&](const Transfer& t) { return t.port == &port; }, USBD_STATUS_DEV_NOT_RESPONDING);
    close_pipes(port);
}

// Ends the pending transfers `which` picks, with `status`, at DISPATCH_LEVEL
// as the controller ends them; a transfer a canceller holds is ended by it.
// A completion routine may add or cancel requests, so each round looks the
// list up afresh.
void UsbBus::end_pending(const std::function<bool(const Transfer&)>& which, USBD_STATUS status) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (;;) {
        auto it = std::find_if(m_pending.begin(), m_pending.end(),
                               [&](auto& t) { return t.irp->CancelRoutine != nullptr && which(t); });
        if (it == m_pending.end()) break;
        Transfer* t = &*it;
        if (take(t)) finish(t, status);
    }
    KeLowerIrql(old);
}

// Power at a port. When the system sleeps with `cut_power_in_sleep`, the
// port's power goes: the device loses its state, and the transfers pending
// on it end as from a device that does not answer. When the system works
// again, the hub restores the address and the configuration it had (pipe
// handles stay valid). A request that raises the power completes at once,
// or after the port's resume time at DISPATCH_LEVEL from the controller's
// side, as `power_up_at_dispatch` (or the seed) says.
NTSTATUS UsbBus::power(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Port& port = port_of(pdo);
    if (stack->MinorFunction != IRP_MN_SET_POWER || !NT_SUCCESS(power_result()) || !port.present) {
        return BusDriver::power(pdo, irp);
    }
    const POWER_STATE state = stack->Parameters.Power.State;
    const bool system = stack->Parameters.Power.Type == SystemPowerState;
    if (system && state.SystemState >= PowerSystemSleeping1) {
        if (m_options.cut_power_in_sleep && !port.unpowered) {
            port.unpowered = true;
            port.device->power_lost(kernel().now());
            end_pending([&](const Transfer& t) { return t.port == &port; }, USBD_STATUS_DEV_NOT_RESPONDING);
        }
        return BusDriver::power(pdo, irp);
    }
    const bool up = system ? state.SystemState <= PowerSystemWorking : state.DeviceState == PowerDeviceD0;
    if (!up) return BusDriver::power(pdo, irp);
    if (system && port.unpowered) {
        port.unpowered = false;
        restore_configuration(port, kernel().now());
    }
    const bool at_dispatch = m_options.power_up_at_dispatch ? *m_options.power_up_at_dispatch
                                                            : kernel().scheduler().one_in(2);
    if (!at_dispatch) return BusDriver::power(pdo, irp);
    IoMarkIrpPending(irp);
    kernel().spawn("host controller resume", [this, irp] {
        LARGE_INTEGER resume;
        resume.QuadPart = -kResumeTime;
        KeDelayExecutionThread(KernelMode, FALSE, &resume);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        complete(irp, power_result());
        KeLowerIrql(old);
    });
    return STATUS_PENDING;
}

// The hub gives the device its address and configuration again, as after a
// reset of the port; the pipes are no longer halted.
void UsbBus::restore_configuration(Port& port, Time now) {
    if (port.configuration != 0) {
        SetupPacket restore{0x00, kSetConfiguration, port.configuration, 0, 0};
        port.device->control(restore, {}, {}, now);
    }
    for (Pipe& pipe : port.pipes) pipe.halted = false;
}

UsbBus::Port& UsbBus::port_of(PDEVICE_OBJECT pdo) {
    auto it = m_ports.find(pdo);
    if (it == m_ports.end()) bug_check(Check::HostUsbBus, "a request reached a device the bus does not know");
    return *it->second;
}

std::vector<DescriptorSnapshot> UsbBus::snapshots() const {
    std::vector<DescriptorSnapshot> snapshots;
    for (auto& [pdo, port] : m_ports) {
        snapshots.push_back({port->address, port->device->device_descriptor(),
                             port->device->configuration_descriptor()});
    }
    std::sort(snapshots.begin(), snapshots.end(),
              [](auto& a, auto& b) { return a.device < b.device; });
    return snapshots;
}

void UsbBus::kick() {
    m_bulk_changed = true;
    kernel().set_event(&m_work);
}

// ---------------------------------------------------------------------------
// Submission

NTSTATUS UsbBus::internal_device_control(PDEVICE_OBJECT pdo, PIRP irp) {
    Port& port = port_of(pdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return submit_urb(port, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    }
    if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
        Single single = new_transfer(port, irp);
        Transfer* t = &single.front();
        t->op = Op::ResetPort;
        t->ready_at = align_up(kernel().now()) + kResetPortFrames * kFrame;
        record_submission(*t);
        if (!port.present) return complete_inline(std::move(single), USBD_STATUS_DEVICE_GONE);
        t->fault = injected_fault("port reset", false);
        return pend(std::move(single));
    }
    irp->IoStatus.Information = 0;
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS UsbBus::submit_urb(Port& port, PIRP irp, PURB urb) {
    if (urb == nullptr) {
        irp->IoStatus.Information = 0;
        return complete(irp, STATUS_INVALID_PARAMETER);
    }
    Single single = new_transfer(port, irp);
    Transfer* t = &single.front();
    t->urb = urb;
    USBD_STATUS status = prepare(port, urb, *t);
    record_submission(*t);
    if (!port.present) return complete_inline(std::move(single), USBD_STATUS_DEVICE_GONE);
    // A device whose power is cut answers nothing until its port has power again.
    if (port.unpowered && t->op != Op::ResetPort) {
        return complete_inline(std::move(single), USBD_STATUS_DEV_NOT_RESPONDING);
    }
    if (status != USBD_STATUS_SUCCESS) return complete_inline(std::move(single), status);
    t->fault = match_fault(*t);
    if (!t->fault) {
        t->fault = t->op == Op::Data ? injected_fault("data transfer", true) : injected_fault("control request", false);
    }
    // The default pipe is a queue: however late one control request ends,
    // the ones sent after it end after it.
    if (on_default_pipe(*t)) {
        for (auto& other : m_pending) {
            if (other.port == &port && on_default_pipe(other)) t->ready_at = std::max(t->ready_at, other.ready_at);
        }
    }
    const bool fault_inline = t->fault && t->fault->inline_completion;
    if (t->fault && t->fault->action == FaultAction::Delay) t->ready_at += t->fault->delay_frames * kFrame;
    if (std::optional<USBD_STATUS> failure = fault_status(t->fault); fault_inline && failure) {
        return complete_inline(std::move(single), *failure);
    }
    // An abort ends other transfers: it always waits for the controller.
    bool inline_control = on_default_pipe(*t) && (m_options.complete_inline || fault_inline);
    if (inline_control && !never_answered(*t)) {
        USBD_STATUS result = execute_control(*t, kernel().now());
        return complete_inline(std::move(single), result);
    }
    return pend(std::move(single));
}

// Checks the URB and turns it into a transfer; any failure completes it at once.
USBD_STATUS UsbBus::prepare(Port& port, PURB urb, Transfer& t) {
    const std::uint16_t function = urb->UrbHeader.Function;
    t.ready_at = align_up(kernel().now());  // the next frame: the controller is at the current one's end
    if (urb->UrbHeader.Length < target_size(function)) return USBD_STATUS_INVALID_PARAMETER;
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        t.op = Op::Select;
        auto* config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
        std::uint16_t value = config ? config->bConfigurationValue : 0;
        t.setup = SetupPacket{0x00, kSetConfiguration, value, 0, 0};
        return config ? prepare_select(port, urb) : USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_RESET_PIPE: {
        t.op = Op::ResetPipe;
        t.pipe = pipe_of(port, urb->UrbPipeRequest.PipeHandle);
        if (t.pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
        t.endpoint = t.pipe->address;
        t.setup = SetupPacket{0x02, kClearFeature, USB_FEATURE_ENDPOINT_STALL, t.pipe->address, 0};
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_ABORT_PIPE:  // the host controller's own business: nothing goes on the wire
        t.op = Op::AbortPipe;
        t.pipe = pipe_of(port, urb->UrbPipeRequest.PipeHandle);
        if (t.pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
        t.endpoint = t.pipe->address;
        return USBD_STATUS_SUCCESS;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& r = urb->UrbControlDescriptorRequest;
        if (r.TransferBufferLength > 0xFFFF || (r.TransferBufferLength && !r.TransferBuffer) || stray_link_or_mdl(r)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        t.setup = SetupPacket{0x80, kGetDescriptor,
                              static_cast<std::uint16_t>(r.DescriptorType << 8 | r.Index), r.LanguageId,
                              static_cast<std::uint16_t>(r.TransferBufferLength)};
        t.in = true;
        t.buffer = static_cast<UCHAR*>(r.TransferBuffer);
        t.length = r.TransferBufferLength;
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: {
        auto& r = urb->UrbControlFeatureRequest;
        bool set = function == URB_FUNCTION_SET_FEATURE_TO_DEVICE;
        t.setup = SetupPacket{0x00, set ? kSetFeature : kClearFeature, r.FeatureSelector, r.Index, 0};
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE: {
        auto& r = urb->UrbControlVendorClassRequest;
        if (r.TransferBufferLength > 0xFFFF || (r.TransferBufferLength && !r.TransferBuffer) || stray_link_or_mdl(r)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        std::uint8_t type = function == URB_FUNCTION_VENDOR_DEVICE      ? 0x40
                            : function == URB_FUNCTION_VENDOR_INTERFACE ? 0x41
                            : function == URB_FUNCTION_CLASS_DEVICE     ? 0x20
                                                                        : 0x21;
        t.in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        if (t.in) type |= 0x80;
        t.setup = SetupPacket{static_cast<std::uint8_t>(type | r.RequestTypeReservedBits), r.Request,
                              r.Value, r.Index, static_cast<std::uint16_t>(r.TransferBufferLength)};
        t.buffer = static_cast<UCHAR*>(r.TransferBuffer);
        t.length = r.TransferBufferLength;
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& r = urb->UrbBulkOrInterruptTransfer;
        t.op = Op::Data;
        t.pipe = pipe_of(port, r.PipeHandle);
        if (t.pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
        if (r.TransferBufferLength > t.pipe->max_transfer || (r.TransferBufferLength && !r.TransferBuffer) ||
            stray_link_or_mdl(r)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        // The direction is the endpoint's, as the stack takes it from the pipe.
        t.endpoint = t.pipe->address;
        t.in = (t.pipe->address & USB_ENDPOINT_DIRECTION_MASK) != 0;
        t.short_ok = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        t.buffer = static_cast<UCHAR*>(r.TransferBuffer);
        t.length = r.TransferBufferLength;
        // The schedule reaches a transfer queued on an idle endpoint a
        // little late at times; one queued behind another follows it.
        const bool idle = std::none_of(m_pending.begin(), m_pending.end(), [&](auto& other) {
            return other.op == Op::Data && !other.retired && other.port == &port && other.endpoint == t.endpoint;
        });
        t.ready_at = kernel().now() + (idle ? jitter() : 0);
        return USBD_STATUS_SUCCESS;
    }
    default:
        return USBD_STATUS_INVALID_URB_FUNCTION;
    }
}

// The interfaces listed in a selection must exist in the device's own
// configuration, and each entry must have room for the interface's pipes.
USBD_STATUS UsbBus::prepare_select(Port& port, PURB urb) {
    std::vector<std::uint8_t> config = port.device->configuration_descriptor();
    USBD_STATUS status = USBD_STATUS_INVALID_PARAMETER;  // until one interface is listed
    for_each_interface(urb, [&](USBD_INTERFACE_INFORMATION& info) {
        std::optional<std::size_t> at = find_interface(config, info.InterfaceNumber, info.AlternateSetting);
        status = at && info.Length >= GET_USBD_INTERFACE_SIZE(config[*at + 4]) ? USBD_STATUS_SUCCESS
                                                                                : USBD_STATUS_INVALID_PARAMETER;
        return status == USBD_STATUS_SUCCESS;
    });
    return status;
}

USBD_PIPE_HANDLE UsbBus::handle_of(const Port& port, const Pipe& pipe) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(kHandleTag | (std::uintptr_t{port.address} << 16) |
                                              ((port.generation & 0xFF) << 8) | pipe.address);
}

UsbBus::Pipe* UsbBus::pipe_of(Port& port, USBD_PIPE_HANDLE handle) {
    for (Pipe& pipe : port.pipes) {
        if (handle_of(port, pipe) == handle) return &pipe;
    }
    return nullptr;
}

std::optional<FaultRule> UsbBus::match_fault(const Transfer& t) {
    for (FaultRule& rule : m_faults) {
        if (rule.times == 0) continue;
        bool control = t.op != Op::Data;
        if (rule.function && (!t.urb || *rule.function != t.urb->UrbHeader.Function)) continue;
        if (rule.endpoint && (control || *rule.endpoint != t.endpoint)) continue;
        bool setup_rule = rule.bmRequestType || rule.bRequest || rule.wValue || rule.wIndex;
        if (setup_rule && !control) continue;
        if (rule.bmRequestType && *rule.bmRequestType != t.setup.bmRequestType) continue;
        if (rule.bRequest && *rule.bRequest != t.setup.bRequest) continue;
        if (rule.wValue && *rule.wValue != t.setup.wValue) continue;
        if (rule.wIndex && *rule.wIndex != t.setup.wIndex) continue;
        if (rule.times > 0) --rule.times;
        return rule;
    }
    return std::nullopt;
}

// The kernel's fault points for a request: it fails, stalls, or (a control
// request) is never answered, each a point of its own. A data transfer that
// is not answered is no fault: an endpoint with nothing to send, or held by
// flow control, does just that.
std::optional<FaultRule> UsbBus::injected_fault(const char* what, bool data) {
    FaultPoints& points = kernel().faults();
    if (points.reached(FaultKind::BusFailed, what)) {
        return FaultRule{.action = FaultAction::Fail, .usbd_status = USBD_STATUS_CRC};  // an error on the wire
    }
    if (points.reached(FaultKind::BusStalled, what)) return FaultRule{.action = FaultAction::Stall};
    if (!data && points.reached(FaultKind::BusUnanswered, what)) return FaultRule{.action = FaultAction::Never};
    return std::nullopt;
}

// A request's transfer, built in a node of its own: one of the spare ones
// when there is one.
UsbBus::Single UsbBus::new_transfer(Port& port, PIRP irp) {
    Single single;
    if (m_spare.empty()) {
        single.emplace_back();
    } else {
        single.splice(single.end(), m_spare, m_spare.begin());
        single.front() = Transfer{};
    }
    Transfer& t = single.front();
    t.id = m_next_id++;
    t.port = &port;
    t.irp = irp;
    return single;
}

NTSTATUS UsbBus::pend(Single single) {
    PIRP irp = single.front().irp;
    IoMarkIrpPending(irp);
    m_pending.splice(m_pending.end(), single);
    IoSetCancelRoutine(irp, cancel_routine);
    // A cancel that came before the routine was set finds nothing to call.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        Transfer* pending = find(irp);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        finish(pending, USBD_STATUS_CANCELED);
        KeLowerIrql(old);
        return STATUS_PENDING;
    }
    kick();
    return STATUS_PENDING;
}

NTSTATUS UsbBus::complete_inline(Single single, USBD_STATUS status) {
    Transfer* raw = &single.front();
    m_pending.splice(m_pending.end(), single);
    NTSTATUS result = irp_status_of(status);
    finish(raw, status);
    return result;
}

// A cancelled transfer ends as a host controller ends one: at the next frame,
// from the controller's context, never inside IoCancelIrp.
VOID NTAPI UsbBus::cancel_routine(PDEVICE_OBJECT device, PIRP irp) {
    auto& bus = static_cast<UsbBus&>(BusDriver::of(device));
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Transfer* t = bus.find(irp);
    if (t == nullptr) bug_check(Check::HostUsbBus, "a cancelled IRP is not pending on the bus");
    t->cancelled = true;
    t->ready_at = (bus.kernel().now() / kFrame + 1) * kFrame + bus.jitter();
    bus.kick();
}

UsbBus::Transfer* UsbBus::find(std::uint64_t id) {
    for (auto& t : m_pending) {
        if (t.id == id) return &t;
    }
    return nullptr;
}

UsbBus::Transfer* UsbBus::find(PIRP irp) {
    for (auto& t : m_pending) {
        if (t.irp == irp) return &t;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Trace and completion

// The fields a request's submission and completion records share.
WireRecord UsbBus::record_of(const Transfer& t) {
    WireRecord r;
    r.time = std::max(kernel().now(), m_moment);
    r.id = t.id;
    r.device = t.port->address;
    if (t.op == Op::ResetPort) {
        r.function = kFunctionResetPort;
        r.kind = TransferKind::IrpInfo;
        return r;
    }
    r.function = t.urb->UrbHeader.Function;
    switch (t.op) {
    case Op::Data:  // with no pipe the handle was invalid: no endpoint to name
        r.kind = t.pipe ? kind_of(t.pipe->type) : TransferKind::Bulk;
        r.endpoint = t.endpoint;
        break;
    case Op::ResetPipe:
    case Op::AbortPipe:
        r.kind = TransferKind::IrpInfo;
        r.endpoint = t.endpoint;
        break;
    default:
        r.kind = TransferKind::Control;
        r.endpoint = t.in ? 0x80 : 0x00;
        break;
    }
    return r;
}

void UsbBus::record_submission(const Transfer& t) {
    if (!m_trace.keeping()) return;
    WireRecord r = record_of(t);
    if (r.kind == TransferKind::Control || t.op == Op::ResetPipe) r.setup = t.setup;
    if (t.op != Op::ResetPort && !t.in && t.buffer) r.data.assign(t.buffer, t.buffer + t.length);
    m_trace.add(std::move(r));
}

// Clears the cancel routine; false when a canceller already took the IRP.
// The exchange is one step with the search that found the transfer, as under
// the controller's queue lock, which its cancel routine also takes: no
// canceller can complete and release the IRP in between.
bool UsbBus::take(Transfer* t) {
    PDRIVER_CANCEL routine = t->irp->CancelRoutine;
    t->irp->CancelRoutine = nullptr;
    return routine != nullptr;
}

// Completes the transfer with `status`. One that already ended on the wire
// completes with what it carried however it is ended (its interrupt, a
// cancellation, the device going): its bytes are in the caller's buffer.
void UsbBus::finish(Transfer* t, USBD_STATUS status) {
    if (t->retired) status = t->result;
    m_bulk_changed = true;
    auto it = std::find_if(m_pending.begin(), m_pending.end(), [&](const Transfer& p) { return &p == t; });
    Single owned;  // until the completion is done; then its node is spare
    owned.splice(owned.end(), m_pending, it);
    if (m_trace.keeping()) {
        WireRecord r = record_of(*t);
        r.completion = true;
        r.usbd_status = status;
        r.status = irp_status_of(status);
        if (t->op != Op::ResetPort && t->in && t->buffer) r.data.assign(t->buffer, t->buffer + t->done);
        m_trace.add(std::move(r));
    }
    if (t->op != Op::ResetPort) {
        t->urb->UrbHeader.Status = status;
        ULONG transferred = t->in ? t->done : (USBD_SUCCESS(status) ? t->length : 0);
        switch (t->urb->UrbHeader.Function) {
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            t->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t->done;
            break;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            t->urb->UrbControlDescriptorRequest.TransferBufferLength = transferred;
            break;
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
            t->urb->UrbControlVendorClassRequest.TransferBufferLength = transferred;
            break;
        default:  // no data stage to report
            break;
        }
    }
    PIRP irp = t->irp;
    irp->IoStatus.Status = irp_status_of(status);
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    m_spare.splice(m_spare.end(), owned);
}

// ---------------------------------------------------------------------------
// Executing requests against the device

USBD_STATUS UsbBus::execute_control(Transfer& t, Time now) {
    Port& port = *t.port;
    if (std::optional<USBD_STATUS> status = fault_status(t.fault)) return *status;
    if (t.op == Op::AbortPipe) {
        abort_pipe(t);
        return USBD_STATUS_SUCCESS;
    }
    if (t.op == Op::ResetPort) {
        port.device->port_reset(now);
        restore_configuration(port, now);
        return USBD_STATUS_SUCCESS;
    }
    std::span<const std::uint8_t> out;
    std::span<std::uint8_t> in;
    if (t.in) {
        in = std::span<std::uint8_t>(t.buffer, t.length);
    } else if (t.buffer) {
        out = std::span<const std::uint8_t>(t.buffer, t.length);
    }
    ControlResult result = port.device->control(t.setup, out, in, now);
    if (result.stall) return USBD_STATUS_STALL_PID;
    // A device that sends more than the data stage asked for babbles: the
    // controller ends the transfer in error.
    if (result.in_length > in.size()) return USBD_STATUS_BABBLE_DETECTED;
    t.done = static_cast<ULONG>(std::min<std::size_t>(result.in_length, t.length));
    if (t.fault && t.fault->action == FaultAction::Short) {
        t.done = static_cast<ULONG>(std::min<std::size_t>(t.done, t.fault->short_length));
    }
    if (t.op == Op::Select) apply_configuration(port, t.urb, static_cast<std::uint8_t>(t.setup.wValue));
    if (t.op == Op::ResetPipe) t.pipe->halted = false;
    return USBD_STATUS_SUCCESS;
}

// The transfers pending on the pipe end cancelled, each from the controller
// before the abort itself completes.
void UsbBus::abort_pipe(const Transfer& abort) {
    end_pending([&](const Transfer& t) { return t.op == Op::Data && t.pipe == abort.pipe; }, USBD_STATUS_CANCELED);
}

// The configuration's pipes close: their handles become invalid, and the
// transfers still pending on them end cancelled, as the host controller ends
// them when it closes a pipe.
void UsbBus::close_pipes(Port& port) {
    port.generation++;
    end_pending([&](const Transfer& t) { return t.port == &port && t.pipe != nullptr; }, USBD_STATUS_CANCELED);
    for (auto& t : m_pending) {
        if (t.port == &port) t.pipe = nullptr;
    }
    port.pipes.clear();
}

// After SET_CONFIGURATION: fills the caller's interface information and hands
// out pipe handles. Selecting the configuration in force again keeps the
// handles; unconfiguring invalidates every one.
void UsbBus::apply_configuration(Port& port, PURB urb, std::uint8_t value) {
    if (value == 0) {
        port.configuration = 0;
        close_pipes(port);
        return;
    }
    if (port.configuration != value) close_pipes(port);
    port.configuration = value;
    std::vector<std::uint8_t> config = port.device->configuration_descriptor();
    urb->UrbSelectConfiguration.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(kHandleTag | value);
    for_each_interface(urb, [&](USBD_INTERFACE_INFORMATION& info) {
        const std::size_t at = *find_interface(config, info.InterfaceNumber, info.AlternateSetting);  // checked at submission
        info.Class = config[at + 5];
        info.SubClass = config[at + 6];
        info.Protocol = config[at + 7];
        info.InterfaceHandle =
            reinterpret_cast<USBD_INTERFACE_HANDLE>(kHandleTag | 0x8000 | (std::uintptr_t{info.InterfaceNumber} << 4));
        info.NumberOfPipes = config[at + 4];
        ULONG pipe = 0;
        for (std::size_t e = at + config[at]; e + 7 <= config.size() && config[e] >= 2 && pipe < info.NumberOfPipes;
             e += config[e]) {
            if (config[e + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
            if (config[e + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
            USBD_PIPE_INFORMATION& entry = info.Pipes[pipe++];
            entry.EndpointAddress = config[e + 2];
            entry.MaximumPacketSize = static_cast<USHORT>(config[e + 4] | config[e + 5] << 8);
            entry.Interval = config[e + 6];
            entry.PipeType = static_cast<USBD_PIPE_TYPE>(config[e + 3] & 3);
            if (entry.MaximumTransferSize == 0) entry.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            auto known = std::find_if(port.pipes.begin(), port.pipes.end(),
                                      [&](const Pipe& p) { return p.address == entry.EndpointAddress; });
            if (known == port.pipes.end()) {
                port.pipes.push_back(Pipe{entry.EndpointAddress, entry.PipeType, entry.MaximumPacketSize,
                                          entry.Interval, entry.MaximumTransferSize, false});
                known = port.pipes.end() - 1;
            } else {
                known->max_transfer = entry.MaximumTransferSize;
            }
            entry.PipeHandle = handle_of(port, *known);
        }
        return true;
    });
}

// ---------------------------------------------------------------------------
// The host controller

void UsbBus::pull_out_soon(PDEVICE_OBJECT pdo) {
    m_pull_out = pdo;
    kick();
}

bool UsbBus::pulled(PDEVICE_OBJECT pdo) const {
    auto it = m_ports.find(pdo);
    return it != m_ports.end() && !it->second->present;
}

// The controller's interrupt comes at a frame's boundary; the frame's
// transactions begin after its start-of-frame packet, so that what the
// interrupt's completions set going at that moment (a read re-armed, the
// next chunk to send) is in the schedule when the frame begins.
void UsbBus::run_host_controller() {
    while (!m_stopping) {
        if (PDEVICE_OBJECT pdo = std::exchange(m_pull_out, nullptr); pdo != nullptr && !pulled(pdo)) unplug(pdo);
        std::optional<Time> frame = next_frame_due();
        std::optional<Time> due = frame ? std::optional(*frame + kStartOfFrame) : std::nullopt;
        if (m_interrupt_at && (!due || *m_interrupt_at < *due)) due = m_interrupt_at;
        if (!due) {
            host::wait_for(&m_work, nullptr);
            continue;
        }
        if (*due > kernel().now()) {
            LARGE_INTEGER until;
            until.QuadPart = *due;
            if (host::wait_for(&m_work, &until) != STATUS_TIMEOUT) {
                continue;  // something changed: work out the next frame again
            }
        }
        if (m_interrupt_at && *m_interrupt_at <= kernel().now()) {
            handle_interrupt();
        } else {
            process_frame(*frame);
        }
    }
}

// The controller's driver handles its interrupt: every transfer that ended
// on the wire since the last one completes, in the order they ended, and the
// queues a short packet stopped move on.
void UsbBus::handle_interrupt() {
    m_interrupt_at.reset();
    ++m_interrupts;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    // A completion routine may add, cancel or end requests: each ended
    // transfer is looked up afresh, and one a canceller holds is completed
    // when its cancellation comes to the controller.
    for (std::size_t i = 0; i < m_done.size(); ++i) {
        Transfer* t = find(m_done[i]);
        if (t != nullptr && (t->cancelled || take(t))) finish(t, t->result);
    }
    m_done.clear();
    for (auto& [pdo, port] : m_ports) {
        for (Pipe& pipe : port->pipes) pipe.waits_for_interrupt = false;
    }
    KeLowerIrql(old);
}

// A transfer ends on the wire: the controller reports it with its interrupt
// at the end of the frame (as late as the seed makes the interrupt). A UHCI
// queue does not move past a short packet until then.
void UsbBus::retire(Transfer& t, USBD_STATUS status) {
    t.retired = true;
    t.result = status;
    m_done.push_back(t.id);
    if (m_options.controller == Controller::Uhci && t.op == Op::Data && t.done < t.length) {
        t.pipe->waits_for_interrupt = true;
    }
    if (!m_interrupt_at) m_interrupt_at = m_last_frame + kFrame + jitter();
}

std::optional<Time> UsbBus::next_frame_due() {
    const Time now = kernel().now();
    std::optional<Time> earliest;
    for (auto& t : m_pending) {
        std::optional<Time> ready;
        // The interrupt completes an ended transfer, but for one whose
        // cancellation took it from the interrupt: that one ends at its frame.
        if (t.retired && !t.cancelled) continue;
        if (t.cancelled || pipe_closed(t)) {
            if (!earliest || t.ready_at < *earliest) earliest = t.ready_at;
            continue;
        }
        if (never_answered(t)) continue;
        const bool cut_short = t.fault && t.fault->action == FaultAction::Short && t.fault->short_length <= t.done;
        if (t.op != Op::Data || t.pipe->halted || fault_status(t.fault) || cut_short) {
            ready = t.ready_at;  // ends without the device
        } else if (!first_on_endpoint(t) || t.pipe->waits_for_interrupt) {
            continue;
        } else {
            ready = device_ready_at(t, now);
        }
        if (!ready) continue;
        Time at = std::max(*ready, t.ready_at);
        if (!earliest || at < *earliest) earliest = at;
    }
    if (!earliest) return std::nullopt;
    // The frame in which it can happen: its transactions are served from the frame's start on.
    return std::max({*earliest / kFrame * kFrame, align_up(now), m_last_frame + kFrame});
}

// When the device can first answer the data transfer's next packet, as far
// as can be told now (until the bus is kicked); none when it cannot tell.
std::optional<Time> UsbBus::device_ready_at(const Transfer& t, Time now) const {
    if (t.in) {
        std::optional<Time> ready = t.port->device->in_ready_at(t.endpoint, now);
        if (ready && t.pipe->type == UsbdPipeTypeInterrupt) ready = next_poll(*t.pipe, *ready);
        return ready;
    }
    const std::size_t packet = std::min<std::size_t>(t.pipe->max_packet, t.length - t.done);
    return packet == 0 ? std::optional<Time>(now) : t.port->device->out_ready_at(t.endpoint, packet, now);
}

// The transfer is the first on its endpoint's queue that has not ended.
bool UsbBus::first_on_endpoint(const Transfer& t) const {
    for (auto& other : m_pending) {
        if (other.op == Op::Data && !other.retired && other.port == t.port && other.endpoint == t.endpoint) {
            return &other == &t;
        }
    }
    return false;
}

void UsbBus::process_frame(Time frame_start) {
    m_last_frame = frame_start;
    ++m_frames;
    m_frame_ns = 0;
    spend(kSofNs);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    // Cancelled transfers end first; a completion routine may cancel or add
    // requests, so each round looks the list up afresh.
    for (;;) {
        auto it = std::find_if(m_pending.begin(), m_pending.end(),
                               [&](auto& t) { return t.cancelled && t.ready_at <= frame_start; });
        if (it == m_pending.end()) break;
        finish(&*it, USBD_STATUS_CANCELED);
    }
    // Transfers whose pipe closed while they could not be ended end next,
    // never answered ones included: they have no endpoint left to go to.
    for (;;) {
        auto it = std::find_if(m_pending.begin(), m_pending.end(), [&](auto& t) {
            return pipe_closed(t) && !t.retired && t.ready_at <= frame_start && t.irp->CancelRoutine;
        });
        if (it == m_pending.end()) break;
        Transfer* t = &*it;
        if (take(t)) finish(t, USBD_STATUS_CANCELED);
    }
    // The frame's order is the controller's: UHCI's frame list leads to the
    // interrupt queue heads, then the control and bulk ones, its bulk loop
    // starting at the first queue head in every frame; OHCI serves control
    // and bulk until its periodic start, the periodic list, then control and
    // bulk again, its bulk list going on from the endpoint it served last.
    if (m_options.controller == Controller::Uhci) {
        m_round_robin = 0;
        serve_interrupts();
        serve_control();
        serve_bulk(kFrameNs);
    } else {
        serve_control();
        serve_bulk(kOhciPeriodicStartNs);
        serve_interrupts();
        serve_control();
        serve_bulk(kFrameNs);
    }
    m_moment = 0;
    KeLowerIrql(old);
}

void UsbBus::spend(std::int64_t ns) {
    m_frame_ns += ns;
    m_moment = m_last_frame + m_frame_ns / 100;
}

// Control requests that are due, oldest first, while the frame has room for
// each one's setup, data and status stages.
void UsbBus::serve_control() {
    for (;;) {
        auto it = std::find_if(m_pending.begin(), m_pending.end(), [&](auto& t) {
            return t.op != Op::Data && !t.retired && !pipe_closed(t) && t.ready_at <= m_last_frame &&
                   t.irp->CancelRoutine && !never_answered(t);
        });
        if (it == m_pending.end()) return;
        Transfer& t = *it;
        std::int64_t cost = 0;
        if (on_default_pipe(t)) {
            cost = transaction_ns(8) + transaction_ns(0);  // setup and status stages
            for (ULONG at = 0; at < t.length; at += 64) cost += transaction_ns(std::min<ULONG>(64, t.length - at));
        }
        if (m_frame_ns + cost > kFrameNs) return;
        const Time at = m_moment;
        spend(cost);
        retire(t, execute_control(t, at));
    }
}

// A control request: it goes on the wire through the device's default pipe
// (the port reset is the hub's, the abort the controller's own).
bool UsbBus::on_default_pipe(const Transfer& t) {
    return t.op != Op::Data && t.op != Op::ResetPort && t.op != Op::AbortPipe;
}

// A transfer on a pipe, whose pipe has closed since it was queued: the
// controller ended it then unless its cancel routine was not yet set, or it
// was being cancelled.
bool UsbBus::pipe_closed(const Transfer& t) {
    return (t.op == Op::Data || t.op == Op::ResetPipe || t.op == Op::AbortPipe) && t.pipe == nullptr;
}

// A data transfer on a bulk pipe that is still open.
bool UsbBus::bulk_data(const Transfer& t) { return t.op == Op::Data && t.pipe && t.pipe->type == UsbdPipeTypeBulk; }

// A transfer that is never answered waits for its cancellation.
bool UsbBus::never_answered(const Transfer& t) { return t.fault && t.fault->action == FaultAction::Never; }

// One transaction for the transfer: the bytes its data packet carried, or
// none when the device NAKed it. A transfer that ends retires.
std::optional<std::size_t> UsbBus::serve_packet(Transfer& t, Time now) {
    if (t.pipe->halted) {
        retire(t, USBD_STATUS_ENDPOINT_HALTED);
        return 0;
    }
    if (std::optional<USBD_STATUS> status = fault_status(t.fault)) {
        // An error the device or the wire caused halts the pipe.
        if (USBD_HALTED(*status) && *status != USBD_STATUS_CANCELED) t.pipe->halted = true;
        retire(t, *status);
        return 0;
    }
    ULONG limit = t.length;
    if (t.fault && t.fault->action == FaultAction::Short) {
        limit = std::min<ULONG>(limit, static_cast<ULONG>(t.fault->short_length));
    }
    ULONG room = std::min<ULONG>(t.pipe->max_packet, limit - t.done);
    if (t.in) {
        std::optional<std::size_t> got =
            room == 0 ? std::optional<std::size_t>(0)
                      : t.port->device->in_packet(t.endpoint, std::span<std::uint8_t>(t.buffer + t.done, room), now);
        if (!got) return std::nullopt;
        // A packet longer than the room the controller gave it is babble: the
        // transfer ends in error and the pipe halts.
        if (*got > room) {
            t.pipe->halted = true;
            retire(t, USBD_STATUS_BABBLE_DETECTED);
            return room;
        }
        t.done += static_cast<ULONG>(*got);
        // A short packet (or the fault's cut) ends the transfer. Unless the
        // transfer said short was fine, ending before its length is an
        // underrun, and the controller halts the pipe as for any error.
        if (t.done == t.length) {
            retire(t, USBD_STATUS_SUCCESS);
        } else if (*got < t.pipe->max_packet || t.done == limit) {
            if (!t.short_ok) t.pipe->halted = true;
            retire(t, t.short_ok ? USBD_STATUS_SUCCESS : USBD_STATUS_DATA_UNDERRUN);
        }
        return got;
    }
    // A transfer of no bytes is one zero-length packet, which the device sees.
    const std::span<const std::uint8_t> packet =
        room == 0 ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(t.buffer + t.done, room);
    if (!t.port->device->out_packet(t.endpoint, packet, now)) {
        return std::nullopt;
    }
    t.done += room;
    if (t.done == t.length) retire(t, USBD_STATUS_SUCCESS);
    return room;
}

// An interrupt endpoint is polled every bInterval frames, rounded down to a
// power of two (at most 32), as the host controller's schedule does.
Time UsbBus::next_poll(const Pipe& pipe, Time at) {
    Time period = 1;
    while (period * 2 <= std::min<Time>(std::max<Time>(pipe.interval, 1), 32)) period *= 2;
    period *= kFrame;
    return (at + period - 1) / period * period;
}

// The interrupt-in endpoints due in this frame, one transaction each.
void UsbBus::serve_interrupts() {
    std::vector<std::uint64_t>& ids = m_polled;
    ids.clear();
    for (auto& t : m_pending) {
        if (t.op == Op::Data && t.pipe && t.pipe->type == UsbdPipeTypeInterrupt && first_on_endpoint(t) &&
            !t.pipe->waits_for_interrupt && t.ready_at <= m_last_frame &&
            next_poll(*t.pipe, m_last_frame) == m_last_frame && t.irp->CancelRoutine && !never_answered(t)) {
            ids.push_back(t.id);
        }
    }
    for (std::uint64_t id : ids) {
        Transfer* t = find(id);
        if (t == nullptr || t->retired || m_frame_ns + transaction_ns(t->pipe->max_packet) > kFrameNs) continue;
        spend(transaction_ns(serve_packet(*t, m_moment).value_or(0)));
    }
}

// Bulk transactions from where the frame is up to `until_ns` into it. The
// controller goes round the endpoints with a transfer queued, one
// transaction each, from the one after the endpoint it served last; each
// costs its bus time, a NAK too. It starts a transaction only while the
// frame has room for a largest packet. After a round in which every endpoint
// NAKed, the time passes until one of them can be answered, or another
// transfer may go, unless something changes meanwhile.
void UsbBus::serve_bulk(std::int64_t until_ns) {
    while (m_frame_ns < until_ns) {
        m_bulk_changed = false;
        m_candidates.clear();
        for (auto& t : m_pending) {
            if (bulk_data(t) && !t.retired && !t.pipe->waits_for_interrupt && t.ready_at <= m_moment &&
                t.irp->CancelRoutine && !never_answered(t) && first_on_endpoint(t)) {
                m_candidates.push_back({unsigned{t.port->address} << 8 | t.endpoint, t.id, &t});
            }
        }
        if (m_candidates.empty()) return;
        auto turn = [&](const Candidate& c) { return std::pair(c.key <= m_round_robin, std::pair(c.key, c.id)); };
        std::sort(m_candidates.begin(), m_candidates.end(),
                  [&](const Candidate& a, const Candidate& b) { return turn(a) < turn(b); });
        bool served = false;
        for (const Candidate& c : m_candidates) {
            // A NAK may let other threads run (a device's kick, a line's
            // callback), and a transfer may end meanwhile: after a change,
            // a candidate is looked up again.
            Transfer* t = m_bulk_changed ? find(c.id) : c.transfer;
            if (t == nullptr || t->retired || t->irp->CancelRoutine == nullptr) continue;
            if (m_frame_ns >= until_ns || m_frame_ns + transaction_ns(t->pipe->max_packet) > kFrameNs) return;
            std::optional<std::size_t> moved = serve_packet(*t, m_moment);
            spend(transaction_ns(moved.value_or(0)));
            if (moved) {
                m_round_robin = c.key;
                served = true;
            }
        }
        // (A NAK that changed something, a kick or an ended transfer, may
        // have left the candidates behind: the next round looks again.)
        if (!served && !m_bulk_changed) {
            const Time quiet_until = bulk_quiet_until(m_moment);
            const Time frame_end = m_last_frame + kFrame;
            if (quiet_until >= frame_end) return;
            if (quiet_until > m_moment) spend((quiet_until - m_moment) * 100);
        }
    }
}

// After a round at `now` whose candidates all NAKed: the first time one of
// them may be answered, or a bulk transfer not yet due may go. (A candidate
// that NAKed has no fault to end it: it waits for its device.)
Time UsbBus::bulk_quiet_until(Time now) const {
    Time until = std::numeric_limits<Time>::max();
    for (const Candidate& c : m_candidates) {
        if (std::optional<Time> ready = device_ready_at(*c.transfer, now)) until = std::min(until, *ready);
    }
    for (auto& t : m_pending) {
        if (bulk_data(t) && !t.retired && t.ready_at > now) until = std::min(until, t.ready_at);
    }
    return until;
}

}  // namespace host
