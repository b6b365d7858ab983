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
        if (raw->DeviceObject != nullptr) {
            bug_check("DRIVER_LEFT_DEVICES", "DriverEntry failed but left device objects");
        }
        m_drivers.pop_back();
        return nullptr;
    }
    return raw;
}

void IoManager::unload_driver(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject != nullptr) {
        bug_check("DRIVER_UNLOADED_WITH_DEVICES",
                  "driver " + to_utf8(from_unicode_string(&driver->DriverName)) +
                      " is unloaded while device object " +
                      to_utf8(device_name(driver->DeviceObject)) + " still exists");
    }
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
        if (thread->driver_thread && thread->state != ThreadState::Terminated) {
            bug_check("DRIVER_UNLOADED_WITH_THREADS",
                      "driver " + to_utf8(from_unicode_string(&driver->DriverName)) + " is unloaded while its thread '" +
                          thread->name + "' has not ended");
        }
    }
    if (m_kernel.work_items() != 0) {
        bug_check("DRIVER_UNLOADED_WITH_WORK_ITEMS",
                  "driver " + to_utf8(from_unicode_string(&driver->DriverName)) +
                      " is unloaded while a work item is queued or running");
    }
    std::string references = m_kernel.objects().report();
    if (!references.empty()) {
        bug_check("DRIVER_UNLOADED_WITH_REFERENCES",
                  "driver " + to_utf8(from_unicode_string(&driver->DriverName)) +
                      " is unloaded while it holds handles or references:\n" + references);
    }
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
    if (it == m_devices.end()) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "IoDeleteDevice(%p): %s", static_cast<void*>(device),
                      m_deleted_devices.count(device) ? "already deleted" : "not a device object");
        bug_check("INVALID_DEVICE_OBJECT", detail);
    }
    std::string name = to_utf8(device_name(device));
    if (device->DeviceObjectExtension->AttachedTo != nullptr) {
        bug_check("DEVICE_DELETED_WHILE_ATTACHED",
                  name + " is deleted while still attached to " +
                      to_utf8(device_name(device->DeviceObjectExtension->AttachedTo)) +
                      " (IoDetachDevice first)");
    }
    if (device->AttachedDevice != nullptr) {
        bug_check("DEVICE_DELETED_WHILE_ATTACHED",
                  name + " is deleted while " + to_utf8(device_name(device->AttachedDevice)) +
                      " is attached on top of it");
    }
    const bool handles_open = it->second->open_count > 0;
    m_irps.for_each([&](void* address, const IrpRecord& rec) {
        if (rec.state == IrpState::Idle) return;
        auto* irp = static_cast<PIRP>(address);
        // A request made through a handle of the device keeps the device
        // object with the handle: the deletion waits for the last close, as
        // the platform's object references make it wait.
        if (handles_open && irp->Tail.Overlay.OriginalFileObject != nullptr &&
            irp->Tail.Overlay.OriginalFileObject->DeviceObject == device) {
            return;
        }
        auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
        // A completion routine of the device may be the one that let the
        // removal go on (by dropping its last reference, as a remove lock is
        // released): it has only to return, and the request leaves the device.
        const bool leaving = rec.state == IrpState::Completing && rec.in_routine;
        for (int loc = std::max<int>(irp->CurrentLocation + (leaving ? 1 : 0), 1); loc <= irp->StackCount; ++loc) {
            if (stack[loc - 1].DeviceObject == device) {
                irp_bug_check("DEVICE_DELETED_WITH_REQUESTS", irp,
                              name + " is deleted while this IRP is still in flight on it");
            }
        }
    });
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
    if (!is_live_device(source) || !is_live_device(target)) {
        bug_check("INVALID_DEVICE_OBJECT", "IoAttachDeviceToDeviceStack with a deleted device");
    }
    if (source->DeviceObjectExtension->AttachedTo != nullptr) {
        bug_check("DEVICE_ALREADY_ATTACHED",
                  to_utf8(device_name(source)) + " is attached to a stack a second time");
    }
    PDEVICE_OBJECT top = attached_top(target);
    // A stack that is being removed takes no new device.
    if (top->DeviceObjectExtension->ExtensionFlags & (DOE_DELETE_PENDING | DOE_REMOVE_PENDING)) return nullptr;
    top->AttachedDevice = source;
    source->DeviceObjectExtension->AttachedTo = top;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

void IoManager::detach(PDEVICE_OBJECT target) {
    if (!is_live_device(target)) bug_check("INVALID_DEVICE_OBJECT", "IoDetachDevice with a deleted device");
    PDEVICE_OBJECT above = target->AttachedDevice;
    if (above == nullptr) {
        bug_check("DEVICE_NOT_ATTACHED",
                  "IoDetachDevice: nothing is attached to " + to_utf8(device_name(target)));
    }
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
    if (stack_size < 1) {
        bug_check("INVALID_STACK_SIZE", "an IRP needs at least one stack location");
    }
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
    IrpRecord& rec = record(irp, "IoFreeIrp");
    if (rec.threaded) {
        irp_bug_check("IRP_FREED_BY_DRIVER", irp,
                      "a driver freed an IRP that the I/O manager built and releases itself");
    }
    // While it completes, the IRP may be freed at the top of its stack, or
    // while one of its completion routines runs (by the routine, or by a
    // party it hands the IRP to); the routine must then return
    // STATUS_MORE_PROCESSING_REQUIRED, which is checked when it returns.
    bool allowed = rec.state == IrpState::Idle || rec.state == IrpState::Returned ||
                   (rec.state == IrpState::Completing && (completes_at_top(irp) || rec.in_routine));
    if (!allowed) {
        irp_bug_check("IRP_FREED_WHILE_OWNED", irp,
                      "the IRP is freed while a driver below still owns it");
    }
    retire(irp, rec);
}

void IoManager::retire(PIRP irp, IrpRecord& rec) {
    if (rec.power) {
        for (PDRIVER_OBJECT driver : rec.power_drivers) {
            if (std::find(rec.power_starts.begin(), rec.power_starts.end(), driver) == rec.power_starts.end()) {
                irp_bug_check("POWER_IRP_NOT_STARTED", irp,
                              "driver " + to_utf8(from_unicode_string(&driver->DriverName)) +
                                  " never called PoStartNextPowerIrp for this power IRP");
            }
        }
    }
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
// Checks and reports

IoManager::IrpRecord& IoManager::record(PIRP irp, const char* operation) {
    if (IrpRecord* rec = m_irps.find(irp)) return *rec;
    report_not_live(irp, operation);
}

void IoManager::report_not_live(PIRP irp, const char* operation) {
    // A released IRP's block stays in the pool's quarantine for a while.
    const Pool::Block* freed = m_kernel.pool().freed(irp);
    const bool released = freed != nullptr && freed->tag == pool_tag("Irp ");
    char detail[160];
    std::snprintf(detail, sizeof detail, "%s(%p): %s", operation, static_cast<void*>(irp),
                  released ? "the IRP was already completed and released" : "the address is not a live IRP");
    bug_check(released ? "IRP_USED_AFTER_RELEASE" : "INVALID_IRP", detail);
}

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

void IoManager::irp_bug_check(const char* check, PIRP irp, const std::string& detail) {
    bug_check(check, describe(irp) + "\n" + detail);
}

std::string IoManager::irp_report() const {
    std::vector<std::pair<std::uint64_t, PIRP>> irps;
    m_irps.for_each([&](void* address, const IrpRecord& rec) { irps.emplace_back(rec.id, static_cast<PIRP>(address)); });
    std::sort(irps.begin(), irps.end());
    std::string out;
    for (auto& [id, irp] : irps) out += "  " + describe(irp) + "\n";
    return out;
}

bool IoManager::completes_at_top(PIRP irp) const { return irp->CurrentLocation > irp->StackCount; }

// ---------------------------------------------------------------------------
// Stack locations

PIO_STACK_LOCATION IoManager::current_location(PIRP irp) {
    record(irp, "IoGetCurrentIrpStackLocation");
    if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) {
        irp_bug_check("NO_CURRENT_STACK_LOCATION", irp,
                      "the IRP has no current stack location here (it was not sent to this level)");
    }
    return irp->Tail.Overlay.CurrentStackLocation;
}

PIO_STACK_LOCATION IoManager::next_location(PIRP irp) {
    record(irp, "IoGetNextIrpStackLocation");
    if (irp->CurrentLocation <= 1) {
        irp_bug_check("NO_MORE_IRP_STACK_LOCATIONS", irp,
                      "there is no stack location below the current one");
    }
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}

void IoManager::skip_location(PIRP irp) {
    record(irp, "IoSkipCurrentIrpStackLocation");
    if (irp->CurrentLocation > irp->StackCount) {
        irp_bug_check("NO_CURRENT_STACK_LOCATION", irp, "skipping a location the IRP never entered");
    }
    ++irp->CurrentLocation;
    ++irp->Tail.Overlay.CurrentStackLocation;
}

void IoManager::set_next_location(PIRP irp) {
    record(irp, "IoSetNextIrpStackLocation");
    if (irp->CurrentLocation <= 1) {
        irp_bug_check("NO_MORE_IRP_STACK_LOCATIONS", irp,
                      "there is no stack location below the current one to make current");
    }
    --irp->CurrentLocation;
    --irp->Tail.Overlay.CurrentStackLocation;
}

void IoManager::mark_pending(PIRP irp) {
    PIO_STACK_LOCATION current = current_location(irp);
    current->Control |= SL_PENDING_RETURNED;
}

PDRIVER_CANCEL IoManager::set_cancel_routine(PIRP irp, PDRIVER_CANCEL routine) {
    record(irp, "IoSetCancelRoutine");
    m_kernel.scheduler().yield();
    PDRIVER_CANCEL old = irp->CancelRoutine;
    irp->CancelRoutine = routine;
    return old;
}

// ---------------------------------------------------------------------------
// Call, complete, cancel

NTSTATUS IoManager::call(PDEVICE_OBJECT device, PIRP irp) {
    record(irp, "IofCallDriver");
    if (!is_live_device(device)) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "IofCallDriver to %p: %s", static_cast<void*>(device),
                      m_deleted_devices.count(device) ? "the device object was deleted"
                                                      : "not a device object");
        irp_bug_check("INVALID_DEVICE_OBJECT", irp, detail);
    }
    m_kernel.scheduler().yield();
    if (irp->CurrentLocation <= 1) {
        irp_bug_check("NO_MORE_IRP_STACK_LOCATIONS", irp,
                      "IofCallDriver to " + to_utf8(device_name(device)) +
                          " but the IRP has no stack location left");
    }
    // The dispatch routine passing the request on, if one is: the innermost
    // on this thread running on it.
    Frame* caller = nullptr;
    const std::uint32_t thread = m_kernel.scheduler().running().id;
    const std::uint64_t id = m_irps.at(irp).id;
    for (Frame* frame : m_frames) {
        if (frame->id == id && frame->thread == thread) caller = frame;
    }
    const NTSTATUS status = held_for_power(device, irp, irp->Tail.Overlay.CurrentStackLocation[-1])
                                ? STATUS_PENDING
                                : present(device, irp);
    if (caller != nullptr) caller->passed_on = status;
    return status;
}

// The IRP enters the device's location and its dispatch routine.
NTSTATUS IoManager::present(PDEVICE_OBJECT device, PIRP irp) {
    IrpRecord& rec = m_irps.at(irp);
    --irp->CurrentLocation;
    --irp->Tail.Overlay.CurrentStackLocation;
    PIO_STACK_LOCATION location = irp->Tail.Overlay.CurrentStackLocation;
    location->DeviceObject = device;
    rec.state = IrpState::InFlight;
    if (location->MajorFunction == IRP_MJ_POWER) {
        rec.power = true;
        if (std::find(rec.power_drivers.begin(), rec.power_drivers.end(), device->DriverObject) ==
            rec.power_drivers.end()) {
            rec.power_drivers.push_back(device->DriverObject);
        }
    }
    m_kernel.trace().record(m_kernel.now(), m_kernel.scheduler().running().id, TraceKind::IrpCall,
                            rec.id << 16 | location->MajorFunction << 8 | location->MinorFunction,
                            irp);
    if (location->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        irp_bug_check("INVALID_MAJOR_FUNCTION", irp, "major function out of range");
    }

    Frame frame{rec.id, irp->CurrentLocation, m_kernel.scheduler().running().id};
    m_frames.push_back(&frame);
    // The frame leaves the list however the dispatch routine ends, even when
    // its thread is unwound at the end of the world.
    struct Unlist {
        std::vector<Frame*>& frames;
        Frame* frame;
        ~Unlist() { std::erase(frames, frame); }
    } unlist{m_frames, &frame};
    const KIRQL entry = m_kernel.scheduler().running().irql;
    const UCHAR major = location->MajorFunction;
    NTSTATUS status = device->DriverObject->MajorFunction[major](device, irp);
    check_irql_kept(entry, "a dispatch routine", major);

    if (status == STATUS_PENDING) {
        if (!frame.popped) {
            // Not completed past this level yet: the mark may still arrive from
            // below (propagation or a completion routine); checked when it pops.
            auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
            if (!(stack[frame.location - 1].Control & SL_PENDING_RETURNED)) {
                std::vector<int>& owed = m_irps.at(irp).pending_owed;
                if (std::find(owed.begin(), owed.end(), frame.location) == owed.end()) owed.push_back(frame.location);
            }
        } else if (!frame.pending_at_pop) {
            char detail[200];
            std::snprintf(detail, sizeof detail,
                          "IRP #%llu: the dispatch routine of %s returned STATUS_PENDING but "
                          "never marked the IRP pending (IoMarkIrpPending)",
                          static_cast<unsigned long long>(frame.id),
                          to_utf8(device_name(device)).c_str());
            bug_check("PENDING_NOT_MARKED", detail);
        }
    } else if (frame.popped && (frame.pending_at_pop || status != frame.status_at_pop)) {
        // The request was completed past this level while the routine ran: it
        // returns the status the request was completed with, and not after
        // marking it pending.
        char detail[240];
        std::snprintf(detail, sizeof detail,
                      "IRP #%llu: the dispatch routine of %s returned 0x%08X for a request %s",
                      static_cast<unsigned long long>(frame.id), to_utf8(device_name(device)).c_str(),
                      static_cast<unsigned>(status),
                      frame.pending_at_pop ? "it had marked pending (it must return STATUS_PENDING)"
                                           : "completed with another status");
        bug_check("DISPATCH_STATUS_MISMATCH", detail);
    } else if (!frame.popped) {
        // Neither completed past this level nor pending: still pending below
        // (the routine must return what the lower driver returned), or held by
        // a completion routine or kept by the routine; its caller would take
        // the status for the request's end (NT's Driver Verifier stops here).
        char detail[240];
        std::snprintf(detail, sizeof detail,
                      frame.passed_on == STATUS_PENDING
                          ? "IRP #%llu: the dispatch routine of %s passed the request on, the lower driver "
                            "returned STATUS_PENDING, and it returned 0x%08X"
                          : "IRP #%llu: the dispatch routine of %s returned 0x%08X for a request it has not "
                            "completed (it must mark it pending and return STATUS_PENDING)",
                      static_cast<unsigned long long>(frame.id), to_utf8(device_name(device)).c_str(),
                      static_cast<unsigned>(status));
        bug_check("DISPATCH_STATUS_MISMATCH", detail);
    }
    return status;
}

// A driver's routine returns at the IRQL it was called at.
void IoManager::check_irql_kept(KIRQL entry, const char* routine, UCHAR major) {
    const KIRQL now = m_kernel.scheduler().running().irql;
    if (now == entry) return;
    char detail[160];
    std::snprintf(detail, sizeof detail, "%s (major 0x%02X) returned at IRQL %u; it was called at IRQL %u", routine,
                  major, now, entry);
    bug_check("IRQL_UNEXPECTED_VALUE", detail);
}

void IoManager::on_location_popped(PIRP irp, IrpRecord& rec, int location, bool pending) {
    for (Frame* frame : m_frames) {
        if (frame->id == rec.id && frame->location == location) {
            frame->popped = true;
            frame->pending_at_pop = pending;
            frame->status_at_pop = irp->IoStatus.Status;
        }
    }
    const std::size_t owed = std::erase(rec.pending_owed, location);
    if (owed != 0 && !pending) {
        irp_bug_check("PENDING_NOT_MARKED", irp,
                      "a dispatch routine returned STATUS_PENDING for this IRP but its stack "
                      "location was never marked pending");
    }
}

void IoManager::complete(PIRP irp, CCHAR) {
    IrpRecord& rec = record(irp, "IofCompleteRequest");
    const bool at_top = irp->CurrentLocation > irp->StackCount;
    // At the top of its stack, only a request the I/O manager built may be
    // completed again, by its originator, once a completion routine gave it
    // back with STATUS_MORE_PROCESSING_REQUIRED.
    const bool never_sent = rec.state == IrpState::Idle;
    if (never_sent || (at_top && !rec.threaded)) {
        irp_bug_check("MULTIPLE_IRP_COMPLETE_REQUESTS", irp,
                      never_sent ? "the IRP is completed but was never sent"
                                 : "the IRP is completed again at the top of its stack");
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        irp_bug_check("IRP_COMPLETED_WITH_PENDING", irp, "an IRP is completed with STATUS_PENDING");
    }
    if (irp->CancelRoutine != nullptr) {
        irp_bug_check("CANCEL_ROUTINE_SET_AT_COMPLETION", irp,
                      "the IRP is completed while its cancel routine is still set");
    }
    const std::uint64_t id = rec.id;
    m_kernel.trace().record(m_kernel.now(), m_kernel.scheduler().running().id,
                            TraceKind::IrpComplete,
                            id << 32 | static_cast<std::uint32_t>(irp->IoStatus.Status), irp);
    // A completion that starts while a completion routine of this IRP still
    // runs is legal only if that routine returns STATUS_MORE_PROCESSING_REQUIRED:
    // the epoch tells the routine's caller that it was overtaken.
    const std::uint64_t epoch = ++rec.epoch;
    rec.state = IrpState::Completing;
    m_kernel.scheduler().yield();

    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION popped = irp->Tail.Overlay.CurrentStackLocation;
        const int popped_location = irp->CurrentLocation;
        const bool marked = (popped->Control & SL_PENDING_RETURNED) != 0;
        on_location_popped(irp, m_irps.at(irp), popped_location, marked);
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
            m_irps.at(irp).in_routine = true;
            const KIRQL entry = m_kernel.scheduler().running().irql;
            NTSTATUS result = routine(upper, irp, context);
            check_irql_kept(entry, "a completion routine", popped_major);
            IrpRecord* after = m_irps.find(irp);
            if (after != nullptr && after->id == id) after->in_routine = false;
            bool overtaken = after != nullptr && after->id == id && after->epoch != epoch;
            if (overtaken && result != STATUS_MORE_PROCESSING_REQUIRED) {
                irp_bug_check("MULTIPLE_IRP_COMPLETE_REQUESTS", irp,
                              "the IRP was completed again while a completion routine that did not return "
                              "STATUS_MORE_PROCESSING_REQUIRED was running");
            }
            if (overtaken) return;
            if (after == nullptr || after->id != id) {
                if (result != STATUS_MORE_PROCESSING_REQUIRED) {
                    char detail[160];
                    std::snprintf(detail, sizeof detail,
                                  "IRP #%llu: a completion routine released the IRP but returned "
                                  "0x%08X instead of STATUS_MORE_PROCESSING_REQUIRED",
                                  static_cast<unsigned long long>(id), static_cast<unsigned>(result));
                    bug_check("IRP_USED_AFTER_RELEASE", detail);
                }
                return;
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                after->state = IrpState::Returned;
                return;
            }
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
            irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
        }
    }

    IrpRecord& done = m_irps.at(irp);
    if (!done.threaded) {
        irp_bug_check("DRIVER_IRP_REACHED_TOP", irp,
                      "an IRP allocated with IoAllocateIrp reached the top of its stack: its "
                      "last completion routine must return STATUS_MORE_PROCESSING_REQUIRED");
    }
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
    if (requester == nullptr || requester->state == ThreadState::Terminated) {
        irp_bug_check("IRP_THREAD_GONE", irp, "the thread that built this IRP has ended before its completion");
    }
    const std::uint64_t id = rec.id;
    m_kernel.scheduler().queue_apc(*requester, [this, irp, id] {
        IrpRecord* found = m_irps.find(irp);
        if (found == nullptr || found->id != id) {
            bug_check("IRP_USED_AFTER_RELEASE", "a built IRP was released before its final completion");
        }
        IrpRecord& done = *found;
        if (done.buffered) {
            PVOID buffer = irp->AssociatedIrp.SystemBuffer;
            if (!NT_ERROR(irp->IoStatus.Status) && irp->IoStatus.Information > done.user_output_length) {
                irp_bug_check("IOCTL_INFORMATION_TOO_LARGE", irp,
                              "a buffered request completed with Information " +
                                  std::to_string(irp->IoStatus.Information) + " for an output buffer of " +
                                  std::to_string(done.user_output_length) + " bytes");
            }
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
    });
}

BOOLEAN IoManager::cancel(PIRP irp) {
    IrpRecord& rec = record(irp, "IoCancelIrp");
    m_kernel.trace().record(m_kernel.now(), m_kernel.scheduler().running().id, TraceKind::IrpCancel,
                            rec.id, irp);
    m_kernel.scheduler().yield();
    record(irp, "IoCancelIrp");
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
    check_irql_kept(irql, "a cancel routine", 0xFF);
    if (m_cancel_lock.held_by(m_kernel.scheduler().running())) {
        bug_check("CANCEL_LOCK_NOT_RELEASED",
                  "a cancel routine returned without IoReleaseCancelSpinLock");
    }
    return TRUE;
}

void IoManager::acquire_cancel_lock(PKIRQL irql) {
    if (m_cancel_lock.held_by(m_kernel.scheduler().running())) {
        bug_check("CANCEL_LOCK_RECURSION", "the cancel spin lock is acquired twice by one thread");
    }
    *irql = m_cancel_lock.acquire(m_kernel.scheduler());
}

void IoManager::release_cancel_lock(KIRQL irql) {
    if (!m_cancel_lock.held_by(m_kernel.scheduler().running())) {
        bug_check("CANCEL_LOCK_NOT_HELD", "IoReleaseCancelSpinLock by a thread that does not hold it");
    }
    m_cancel_lock.release(m_kernel.scheduler(), irql);
}

// ---------------------------------------------------------------------------
// Power

void IoManager::start_next_power_irp(PIRP irp) {
    IrpRecord& rec = record(irp, "PoStartNextPowerIrp");
    if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) {
        irp_bug_check("NO_CURRENT_STACK_LOCATION", irp, "PoStartNextPowerIrp outside the IRP's stack");
    }
    PDEVICE_OBJECT device = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    if (irp->Tail.Overlay.CurrentStackLocation->MajorFunction != IRP_MJ_POWER || device == nullptr) {
        irp_bug_check("NOT_A_POWER_IRP", irp, "PoStartNextPowerIrp for an IRP that is not a power IRP");
    }
    PDRIVER_OBJECT driver = device->DriverObject;
    if (std::find(rec.power_starts.begin(), rec.power_starts.end(), driver) != rec.power_starts.end()) {
        irp_bug_check("POWER_IRP_STARTED_TWICE", irp,
                      "driver " + to_utf8(from_unicode_string(&driver->DriverName)) +
                          " called PoStartNextPowerIrp twice for this power IRP");
    }
    rec.power_starts.push_back(driver);
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
    record(irp, "IofCallDriver");
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
