#include "host/kernel/io_manager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/kernel/kernel.h"

namespace host {

namespace {

constexpr CSHORT kIoTypeIrp = 6;
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeFile = 5;
constexpr int kMaxLinkDepth = 8;

std::string hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace

std::u16string to_u16(std::string_view text) {
    return std::u16string(text.begin(), text.end());  // names are ASCII
}

std::string to_utf8(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out += (c < 0x80) ? static_cast<char>(c) : '?';
    return out;
}

std::u16string from_unicode_string(const UNICODE_STRING* text) {
    if (text == nullptr || text->Buffer == nullptr) return {};
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

struct IoManager::DeviceHolder {
    DEVICE_OBJECT device{};
    DEVOBJ_EXTENSION object_extension{};
    std::unique_ptr<unsigned char[]> extension;
    std::u16string name;
    int open_count = 0;
    // Deleted while handles were open: the object stays, nameless, for their
    // cleanup and close, and goes with the last close.
    bool delete_pending = false;
};

struct IoManager::DriverHolder {
    DRIVER_OBJECT driver{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
};

IoManager::IoManager(Kernel& kernel) : m_kernel(kernel) {}

IoManager::~IoManager() = default;

// ---------------------------------------------------------------------------
// Drivers

NTSTATUS NTAPI IoManager::default_dispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT IoManager::load_driver(std::string_view name, PDRIVER_INITIALIZE entry,
                                      NTSTATUS* status) {
    auto holder = std::make_unique<DriverHolder>();
    holder->name = to_u16("\\Driver\\") + to_u16(name);
    DRIVER_OBJECT& driver = holder->driver;
    driver.Type = kIoTypeDriver;
    driver.Size = sizeof(DRIVER_OBJECT);
    driver.DriverExtension = &holder->extension;
    holder->extension.DriverObject = &driver;
    driver.DriverName.Buffer = holder->name.data();
    driver.DriverName.Length = static_cast<USHORT>(holder->name.size() * sizeof(WCHAR));
    driver.DriverName.MaximumLength = driver.DriverName.Length;
    driver.DriverInit = entry;
    for (auto& dispatch : driver.MajorFunction) dispatch = &IoManager::default_dispatch;
    PDRIVER_OBJECT raw = &driver;
    m_drivers.push_back(std::move(holder));

    std::u16string path = to_u16("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") +
                          to_u16(name);
    UNICODE_STRING registry_path{static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                                 static_cast<USHORT>(path.size() * sizeof(WCHAR)), path.data()};
    NTSTATUS result = entry(raw, &registry_path);
    if (status != nullptr) *status = result;
    if (!NT_SUCCESS(result)) {
        m_verifier.entry_failed(raw);
        m_drivers.pop_back();
        return nullptr;
    }
    return raw;
}

void IoManager::unload_driver(PDRIVER_OBJECT driver) {
    // The image goes away with the unload: no thread the driver created may
    // still run its code, nor any reference to one be held. On Windows 98 SE
    // a driver cannot wait for its thread's end, only for an event the thread
    // sets as its last act: a thread that has just set one is let end first.
    const auto& threads = m_kernel.scheduler().threads();
    for (std::size_t i = 0; i < threads.size(); ++i) {  // a thread's end may start another
        Thread* thread = threads[i].get();
        if (thread->driver_thread && thread->state != ThreadState::Terminated && thread->after_set_event &&
            thread->state != ThreadState::Waiting) {
            m_kernel.scheduler().finish_exiting(*thread);
        }
    }
    m_verifier.unloading(driver);
    if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
    std::erase_if(m_drivers, [&](auto& holder) { return &holder->driver == driver; });
}

// ---------------------------------------------------------------------------
// Device objects and names

std::u16string IoManager::fold(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& c : folded) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return folded;
}

NTSTATUS IoManager::create_device(PDRIVER_OBJECT driver, ULONG extension_size,
                                  PUNICODE_STRING name, DEVICE_TYPE type,
                                  ULONG characteristics, BOOLEAN exclusive,
                                  PDEVICE_OBJECT* device) {
    *device = nullptr;
    std::u16string shown = from_unicode_string(name);
    if (name != nullptr && shown.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (!shown.empty() && m_names.count(fold(shown)) != 0) return STATUS_OBJECT_NAME_COLLISION;

    auto holder = std::make_unique<DeviceHolder>();
    holder->name = shown;
    holder->extension = std::make_unique<unsigned char[]>(extension_size == 0 ? 1 : extension_size);
    std::memset(holder->extension.get(), 0, extension_size == 0 ? 1 : extension_size);
    DEVICE_OBJECT& object = holder->device;
    object.Type = kIoTypeDevice;
    object.Size = sizeof(DEVICE_OBJECT);
    object.DriverObject = driver;
    object.NextDevice = driver->DeviceObject;
    object.Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    object.Characteristics = characteristics;
    object.DeviceExtension = extension_size == 0 ? nullptr : holder->extension.get();
    object.DeviceType = type;
    object.StackSize = 1;
    object.DeviceObjectExtension = &holder->object_extension;
    holder->object_extension.DeviceObject = &object;
    driver->DeviceObject = &object;
    if (!shown.empty()) m_names[fold(shown)] = NameEntry{shown, &object, {}};
    m_deleted_devices.erase(&object);
    *device = &object;
    m_devices[&object] = std::move(holder);
    return STATUS_SUCCESS;
}

bool IoManager::is_live_device(const void* device) const { return m_devices.count(device) != 0; }

std::u16string IoManager::device_name(PDEVICE_OBJECT device) const {
    auto it = m_devices.find(device);
    if (it == m_devices.end()) return u"<deleted>";
    return it->second->name.empty() ? u"<unnamed>" : it->second->name;
}

void IoManager::delete_device(PDEVICE_OBJECT device) {
    auto it = m_devices.find(device);
    m_verifier.deleting(device, it != m_devices.end() && it->second->open_count > 0);
    if (!it->second->name.empty()) m_names.erase(fold(it->second->name));
    if (it->second->open_count > 0) {
        device->DeviceObjectExtension->ExtensionFlags |= DOE_DELETE_PENDING;
        it->second->delete_pending = true;
        return;
    }
    finish_delete(device);
}

void IoManager::finish_delete(PDEVICE_OBJECT device) {
    PDRIVER_OBJECT driver = device->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            break;
        }
    }
    m_power_states.erase(device);
    std::erase_if(m_power_lanes, [&](auto& lane) { return lane.first.first == device; });
    m_deleted_devices.insert(device);
    m_devices.erase(device);
}

PDEVICE_OBJECT IoManager::attached_top(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT IoManager::attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    m_verifier.attaching(source, target);
    PDEVICE_OBJECT top = attached_top(target);
    // A stack that is being removed takes no new device.
    if (top->DeviceObjectExtension->ExtensionFlags & (DOE_DELETE_PENDING | DOE_REMOVE_PENDING)) return nullptr;
    top->AttachedDevice = source;
    source->DeviceObjectExtension->AttachedTo = top;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

void IoManager::detach(PDEVICE_OBJECT target) {
    m_verifier.detaching(target);
    PDEVICE_OBJECT above = target->AttachedDevice;
    above->DeviceObjectExtension->AttachedTo = nullptr;
    target->AttachedDevice = nullptr;
}

NTSTATUS IoManager::create_link(PUNICODE_STRING link, PUNICODE_STRING target) {
    std::u16string shown = from_unicode_string(link);
    if (shown.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (m_names.count(fold(shown)) != 0) return STATUS_OBJECT_NAME_COLLISION;
    m_names[fold(shown)] = NameEntry{shown, nullptr, from_unicode_string(target)};
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::delete_link(PUNICODE_STRING link) {
    auto it = m_names.find(fold(from_unicode_string(link)));
    if (it == m_names.end() || it->second.device != nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    m_names.erase(it);
    return STATUS_SUCCESS;
}

std::vector<std::string> IoManager::namespace_listing() const {
    std::vector<std::string> names;
    for (auto& [key, entry] : m_names) {
        std::string line = to_utf8(entry.shown);
        if (entry.device == nullptr) line += " -> " + to_utf8(entry.link_target);
        names.push_back(line);
    }
    return names;
}

bool IoManager::name_exists(std::string_view name) const {
    return m_names.count(fold(to_u16(name))) != 0;
}

PDEVICE_OBJECT IoManager::resolve(std::string_view path) const {
    std::u16string name = to_u16(path);
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        auto it = m_names.find(fold(name));
        if (it == m_names.end()) return nullptr;
        if (it->second.device != nullptr) return it->second.device;
        name = it->second.link_target;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Open, close and requests from a caller

NTSTATUS IoManager::open(std::string_view path, PFILE_OBJECT* file) {
    *file = nullptr;
    // A program's name for a device, \\.\NAME, is the link \DosDevices\NAME.
    std::string name(path);
    if (name.starts_with(R"(\\.\)")) name = R"(\DosDevices\)" + name.substr(4);
    PDEVICE_OBJECT device = resolve(name);
    if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    DeviceHolder& holder = *m_devices.at(device);
    if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
    // An exclusive device takes one open at a time; the driver never sees the second.
    if ((device->Flags & DO_EXCLUSIVE) && holder.open_count > 0) return STATUS_ACCESS_DENIED;

    auto object = std::make_unique<FILE_OBJECT>();
    object->Type = kIoTypeFile;
    object->Size = sizeof(FILE_OBJECT);
    object->DeviceObject = device;
    PDEVICE_OBJECT top = attached_top(device);
    KEVENT event;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = build_request(top, IRP_MJ_CREATE, 0, &event, &status);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->Tail.Overlay.OriginalFileObject = object.get();
    IoGetNextIrpStackLocation(irp)->FileObject = object.get();
    // The open holds the device from before its create request, as the
    // platform's object reference does: a removal meanwhile deletes it only
    // when the open is over. The holder is looked up afresh afterwards.
    ++holder.open_count;
    NTSTATUS result = send_and_wait(top, irp, &event, &status);
    if (!NT_SUCCESS(result)) {
        release_open(device);
        return result;
    }
    *file = object.get();
    m_files[object.get()] = std::move(object);
    return result;
}

void IoManager::release_open(PDEVICE_OBJECT device) {
    DeviceHolder& holder = *m_devices.at(device);
    if (--holder.open_count == 0 && holder.delete_pending) finish_delete(device);
}

NTSTATUS IoManager::close(PFILE_OBJECT file) {
    auto it = m_files.find(file);
    if (it == m_files.end()) return STATUS_INVALID_HANDLE;
    PDEVICE_OBJECT device = file->DeviceObject;
    NTSTATUS result = STATUS_SUCCESS;
    if (is_live_device(device)) {
        // Cleanup when the last handle goes, close when the last reference goes;
        // the result of cleanup is not reported to the caller. A device deleted
        // while the handle was open gets both, then goes.
        send_simple(file, IRP_MJ_CLEANUP);
        result = send_simple(file, IRP_MJ_CLOSE);
        release_open(device);
    }
    m_files.erase(it);
    return result;
}

NTSTATUS IoManager::send_simple(PFILE_OBJECT file, UCHAR major) {
    PDEVICE_OBJECT top = attached_top(file->DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = build_request(top, major, 0, &event, &status);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->Tail.Overlay.OriginalFileObject = file;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    return send_and_wait(top, irp, &event, &status);
}

NTSTATUS IoManager::device_io_control(PFILE_OBJECT file, ULONG code, const void* input,
                                      ULONG input_length, void* output, ULONG output_length,
                                      ULONG_PTR* information) {
    PDEVICE_OBJECT top = attached_top(file->DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = build_device_io_control(code, top, const_cast<void*>(input), input_length, output,
                                       output_length, FALSE, &event, &status);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->Tail.Overlay.OriginalFileObject = file;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    NTSTATUS result = send_and_wait(top, irp, &event, &status);
    if (information != nullptr) *information = status.Information;
    return result;
}

// ---------------------------------------------------------------------------
// IRP allocation and building

PIRP IoManager::allocate_irp(CCHAR stack_size, bool threaded) {
    m_verifier.allocating(stack_size);
    SIZE_T size = sizeof(IRP) + static_cast<SIZE_T>(stack_size) * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<PIRP>(m_kernel.pool().allocate(NonPagedPool, size, pool_tag("Irp "),
                                                           __builtin_return_address(0)));
    if (irp == nullptr) return nullptr;
    std::memset(irp, 0, size);
    irp->Type = kIoTypeIrp;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = stack_size;
    irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
    irp->Tail.Overlay.Thread = &m_kernel.scheduler().running().object;
    IrpRecord rec;
    rec.id = m_next_irp_id++;
    rec.threaded = threaded;
    m_irps.add(irp, std::move(rec));
    return irp;
}

void IoManager::free_irp(PIRP irp) {
    IrpRecord& rec = m_verifier.live(irp, "IoFreeIrp");
    m_verifier.freeing(irp, rec);
    retire(irp, rec);
}

void IoManager::retire(PIRP irp, IrpRecord& rec) {
    m_verifier.retiring(irp, rec);
    m_kernel.trace().record(m_kernel.now(), m_kernel.scheduler().running().id, TraceKind::Free,
                            rec.id, irp);
    m_irps.erase(irp);
    m_kernel.pool().free(irp);
}

PIRP IoManager::build_request(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, PKEVENT event,
                              PIO_STATUS_BLOCK status) {
    PIRP irp = allocate_irp(target->StackSize, true);
    if (irp == nullptr) return nullptr;
    irp->UserEvent = event;
    irp->UserIosb = status;
    // Plug and Play requests start out "not supported", as the platform sends them.
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    return irp;
}

PIRP IoManager::build_device_io_control(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                        ULONG input_length, PVOID output, ULONG output_length,
                                        BOOLEAN internal, PKEVENT event,
                                        PIO_STATUS_BLOCK status) {
    PIRP irp = build_request(device,
                             internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, 0,
                             event, status);
    if (irp == nullptr) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = input_length;
    next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    IrpRecord& rec = m_irps.at(irp);
    ULONG method = code & 3;
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
        return irp;
    }
    // Buffered (and, on this host, direct) requests share one system buffer
    // holding the input; the output is copied back when the request succeeds.
    ULONG length = std::max(input_length, output_length);
    if (length != 0) {
        PVOID buffer = m_kernel.pool().allocate(NonPagedPool, length, pool_tag("IoSb"),
                                                __builtin_return_address(0));
        if (buffer == nullptr) {
            retire(irp, rec);
            return nullptr;
        }
        // Beyond the input the buffer holds what the pool left there.
        if (input != nullptr && input_length != 0) std::memcpy(buffer, input, input_length);
        irp->AssociatedIrp.SystemBuffer = buffer;
    }
    rec.buffered = true;
    rec.user_output = output;
    rec.user_output_length = output_length;
    irp->UserBuffer = output;
    return irp;
}

NTSTATUS IoManager::send_and_wait(PDEVICE_OBJECT target, PIRP irp, PKEVENT event,
                                  PIO_STATUS_BLOCK status) {
    NTSTATUS result = call(target, irp);
    // The final completion signals the event unless the request failed
    // without pending; a wait with no time then lets it release the request.
    const bool signalled = result == STATUS_PENDING || !NT_ERROR(result);
    LARGE_INTEGER now{};
    host::wait_for(event, signalled ? nullptr : &now);
    if (signalled) result = status->Status;
    return result;
}

// ---------------------------------------------------------------------------
// Reports

std::string IoManager::describe(PIRP irp) const {
    const IrpRecord* rec = m_irps.find(irp);
    char text[200];
    if (rec == nullptr) {
        std::snprintf(text, sizeof text, "IRP %p (released)", static_cast<void*>(irp));
        return text;
    }
    int location = irp->CurrentLocation;
    const IO_STACK_LOCATION* stack = reinterpret_cast<const IO_STACK_LOCATION*>(irp + 1);
    const IO_STACK_LOCATION* current =
        (location >= 1 && location <= irp->StackCount) ? &stack[location - 1] : nullptr;
    std::snprintf(text, sizeof text,
                  "IRP #%llu at %p: %s, location %d of %d, major 0x%02X minor 0x%02X, status %s",
                  static_cast<unsigned long long>(rec->id), static_cast<void*>(irp),
                  rec->threaded ? "built by the I/O manager" : "allocated by a driver",
                  location, irp->StackCount, current ? current->MajorFunction : 0xFF,
                  current ? current->MinorFunction : 0xFF, hex(irp->IoStatus.Status).c_str());
    return text;
}

std::string IoManager::irp_report() const {
    std::vector<std::pair<std::uint64_t, PIRP>> irps;
    m_irps.for_each([&](void* address, const IrpRecord& rec) { irps.emplace_back(rec.id, static_cast<PIRP>(address)); });
    std::sort(irps.begin(), irps.end());
    std::string out;
    for (auto& [id, irp] : irps) out += "  " + describe(irp) + "\n";
    return out;
}

// ---------------------------------------------------------------------------
// Stack locations

PIO_STACK_LOCATION IoManager::current_location(PIRP irp) {
    m_verifier.has_current(irp, "IoGetCurrentIrpStackLocation",
                           "the IRP has no current stack location here (it was not sent to this level)");
    return irp->Tail.Overlay.CurrentStackLocation;
}

PIO_STACK_LOCATION IoManager::next_location(PIRP irp) {
    m_verifier.has_next(irp, "IoGetNextIrpStackLocation", "there is no stack location below the current one");
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}

void IoManager::skip_location(PIRP irp) {
    m_verifier.has_current(irp, "IoSkipCurrentIrpStackLocation", "skipping a location the IRP never entered");
    ++irp->CurrentLocation;
    ++irp->Tail.Overlay.CurrentStackLocation;
}

void IoManager::set_next_location(PIRP irp) {
    m_verifier.has_next(irp, "IoSetNextIrpStackLocation",
                        "there is no stack location below the current one to make current");
    --irp->CurrentLocation;
    --irp->Tail.Overlay.CurrentStackLocation;
}

void IoManager::mark_pending(PIRP irp) {
    PIO_STACK_LOCATION current = current_location(irp);
    current->Control |= SL_PENDING_RETURNED;
}

PDRIVER_CANCEL IoManager::set_cancel_routine(PIRP irp, PDRIVER_CANCEL routine) {
    m_verifier.live(irp, "IoSetCancelRoutine");
    m_kernel.scheduler().yield();
    PDRIVER_CANCEL old = irp->CancelRoutine;
    irp->CancelRoutine = routine;
    return old;
}

// ---------------------------------------------------------------------------
// Call, complete, cancel

NTSTATUS IoManager::call(PDEVICE_OBJECT device, PIRP irp) {
    m_verifier.calling(device, irp);
    m_kernel.scheduler().yield();
    Verifier::Frame* caller = m_verifier.sending(device, irp);
    const NTSTATUS status = held_for_power(device, irp, irp->Tail.Overlay.CurrentStackLocation[-1])
                                ? STATUS_PENDING
                                : present(device, irp);
    Verifier::sent(caller, status);
    return status;
}

// The IRP enters the device's location and its dispatch routine.
NTSTATUS IoManager::present(PDEVICE_OBJECT device, PIRP irp) {
    IrpRecord& rec = m_irps.at(irp);
    --irp->CurrentLocation;
    --irp->Tail.Overlay.CurrentStackLocation;
    PIO_STACK_LOCATION location = irp->Tail.Overlay.CurrentStackLocation;
    location->DeviceObject = device;
    m_verifier.entering(device, *location, rec);
    m_kernel.trace().record(m_kernel.now(), m_kernel.scheduler().running().id, TraceKind::IrpCall,
                            rec.id << 16 | location->MajorFunction << 8 | location->MinorFunction,
                            irp);
    Verifier::Dispatch dispatch(m_verifier, irp, rec.id);
    const UCHAR major = location->MajorFunction;
    NTSTATUS status = device->DriverObject->MajorFunction[major](device, irp);
    dispatch.returned(device, irp, status, major);
    return status;
}

void IoManager::complete(PIRP irp, CCHAR) {
    IrpRecord& rec = m_verifier.live(irp, "IofCompleteRequest");
    const std::uint64_t id = rec.id;
    const std::uint64_t epoch = m_verifier.completing(irp, rec);
    m_kernel.trace().record(m_kernel.now(), m_kernel.scheduler().running().id,
                            TraceKind::IrpComplete,
                            id << 32 | static_cast<std::uint32_t>(irp->IoStatus.Status), irp);
    m_kernel.scheduler().yield();

    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION popped = irp->Tail.Overlay.CurrentStackLocation;
        const int popped_location = irp->CurrentLocation;
        const bool marked = (popped->Control & SL_PENDING_RETURNED) != 0;
        m_verifier.popped(irp, m_irps.at(irp), popped_location, marked);
        // A power request the power manager held back has pended for the
        // driver that sent it, whatever the driver below did.
        irp->PendingReturned = marked || popped_location == m_irps.at(irp).held_location;
        PIO_COMPLETION_ROUTINE routine = popped->CompletionRoutine;
        const UCHAR popped_major = popped->MajorFunction;
        PVOID context = popped->Context;
        UCHAR control = popped->Control;
        popped->Control = 0;
        popped->CompletionRoutine = nullptr;
        popped->Context = nullptr;
        ++irp->CurrentLocation;
        ++irp->Tail.Overlay.CurrentStackLocation;
        PDEVICE_OBJECT upper = irp->CurrentLocation <= irp->StackCount
                                   ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                   : nullptr;
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = routine != nullptr &&
                      ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                       (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            const KIRQL entry = m_verifier.routine_called(m_irps.at(irp));
            NTSTATUS result = routine(upper, irp, context);
            m_verifier.routine_returned(irp, id, epoch, result, entry, popped_major);
            // The IRP is the routine's again (it may be released already).
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
            irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
        }
    }

    IrpRecord& done = m_irps.at(irp);
    m_verifier.reached_top(irp, done);
    finish_threaded(irp, done);
}

// The I/O manager's own completion of a request it built runs as a kernel
// APC in the thread that built it, as on the platform: at that thread's next
// scheduling point at PASSIVE_LEVEL, or in its wait, not necessarily before
// IoCompleteRequest returns. The status block is filled and the event
// signalled, unless the request failed without pending; then the IRP is
// released.
void IoManager::finish_threaded(PIRP irp, IrpRecord& rec) {
    Thread* requester = m_kernel.scheduler().find(irp->Tail.Overlay.Thread);
    m_verifier.requester_gone(irp, requester == nullptr || requester->state == ThreadState::Terminated);
    const std::uint64_t id = rec.id;
    // (Two words: the callable is kept inside the APC, without an allocation.)
    m_kernel.scheduler().queue_apc(*requester, [irp, id] { Kernel::current().io().final_completion(irp, id); });
}

void IoManager::final_completion(PIRP irp, std::uint64_t id) {
    IrpRecord& done = m_verifier.finishing(irp, id);
    if (done.buffered) {
        PVOID buffer = irp->AssociatedIrp.SystemBuffer;
        m_verifier.copying_back(irp, done);
        if (buffer != nullptr && done.user_output != nullptr && !NT_ERROR(irp->IoStatus.Status)) {
            std::memcpy(done.user_output, buffer, irp->IoStatus.Information);
        }
        if (buffer != nullptr) m_kernel.pool().free(buffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    const bool reported = !NT_ERROR(irp->IoStatus.Status) || irp->PendingReturned;
    PKEVENT event = reported ? irp->UserEvent : nullptr;
    if (reported && irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    if (event != nullptr) m_kernel.set_event(event, false);
    retire(irp, done);
}

BOOLEAN IoManager::cancel(PIRP irp) {
    IrpRecord& rec = m_verifier.live(irp, "IoCancelIrp");
    m_kernel.trace().record(m_kernel.now(), m_kernel.scheduler().running().id, TraceKind::IrpCancel,
                            rec.id, irp);
    m_kernel.scheduler().yield();
    m_verifier.live(irp, "IoCancelIrp");
    KIRQL irql;
    acquire_cancel_lock(&irql);
    irp->CancelIrql = irql;
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = irp->CancelRoutine;
    irp->CancelRoutine = nullptr;
    if (routine == nullptr) {
        release_cancel_lock(irql);
        return FALSE;
    }
    PDEVICE_OBJECT device = (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount)
                                ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                : nullptr;
    routine(device, irp);
    m_verifier.cancel_returned(irql, m_cancel_lock);
    return TRUE;
}

void IoManager::acquire_cancel_lock(PKIRQL irql) {
    m_verifier.acquiring(m_cancel_lock);
    *irql = m_cancel_lock.acquire(m_kernel.scheduler());
}

void IoManager::release_cancel_lock(KIRQL irql) {
    m_verifier.releasing(m_cancel_lock);
    m_cancel_lock.release(m_kernel.scheduler(), irql);
}

// ---------------------------------------------------------------------------
// Power

void IoManager::start_next_power_irp(PIRP irp) {
    m_verifier.power_started(irp, m_verifier.live(irp, "PoStartNextPowerIrp"));
    PDEVICE_OBJECT device = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    const PIO_STACK_LOCATION current = irp->Tail.Overlay.CurrentStackLocation;
    if (!in_power_lane(*current)) return;
    auto lane = m_power_lanes.find({device, current->Parameters.Power.Type});
    if (lane == m_power_lanes.end() || !lane->second.busy) return;
    if (lane->second.waiting.empty()) {
        lane->second.busy = false;
        return;
    }
    // The next request is presented at PASSIVE_LEVEL, as to a device whose
    // power code is pageable, from a thread of the power manager's.
    PIRP next = lane->second.waiting.front();
    lane->second.waiting.pop_front();
    m_kernel.scheduler().spawn("power manager", [this, device, next] { present(device, next); }, false);
}

bool IoManager::power_irp_arriving(PIRP irp) {
    m_verifier.live(irp, "IofCallDriver");
    return irp->CurrentLocation > 1 && irp->Tail.Overlay.CurrentStackLocation[-1].MajorFunction == IRP_MJ_POWER;
}

// The power manager presents one system and one device power request (set or
// query) at a time to each device object; another waits, pending, until
// the driver holding the present one calls PoStartNextPowerIrp.
bool IoManager::in_power_lane(const IO_STACK_LOCATION& location) {
    return location.MajorFunction == IRP_MJ_POWER &&
           (location.MinorFunction == IRP_MN_SET_POWER || location.MinorFunction == IRP_MN_QUERY_POWER);
}

bool IoManager::held_for_power(PDEVICE_OBJECT device, PIRP irp, IO_STACK_LOCATION& arriving) {
    if (!in_power_lane(arriving)) return false;
    PowerLane& lane = m_power_lanes[{device, arriving.Parameters.Power.Type}];
    if (!lane.busy) {
        lane.busy = true;
        return false;
    }
    m_irps.at(irp).held_location = irp->CurrentLocation - 1;
    lane.waiting.push_back(irp);
    return true;
}

// Windows 98 SE does nothing with the report and hands the state given back
// (Oney, 2nd ed., the Windows 98/Me notes of the power chapter); the host
// keeps it for the tests to read.
POWER_STATE IoManager::set_power_state(PDEVICE_OBJECT device, POWER_STATE_TYPE type,
                                       POWER_STATE state) {
    if (type == DevicePowerState) m_power_states[device] = state.DeviceState;
    return state;
}

std::optional<DEVICE_POWER_STATE> IoManager::reported_power_state(PDEVICE_OBJECT device) const {
    auto it = m_power_states.find(device);
    if (it == m_power_states.end()) return std::nullopt;
    return it->second;
}

}  // namespace host
