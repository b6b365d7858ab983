// The I/O manager: driver and device objects, the object namespace, and the
// life of every IRP (call, completion, cancellation). The verifier watches
// each step (host/kernel/verifier.h).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/kernel/scheduler.h"
#include "host/kernel/verifier.h"
#include "platform/wdm.h"

namespace host {

class Kernel;

std::u16string to_u16(std::string_view text);
std::string to_utf8(std::u16string_view text);
std::u16string from_unicode_string(const UNICODE_STRING* text);

// What the I/O manager keeps of a live IRP.
struct IrpRecord {
    std::uint64_t id = 0;
    bool threaded = false;  // built by the I/O manager, which releases it
    int held_location = 0;  // where the power manager held the request back
    // Threaded device-control requests: where the output goes back.
    PVOID user_output = nullptr;
    ULONG user_output_length = 0;
    bool buffered = false;
    IrpWatch watch;  // the verifier's
};

// The live IRPs' records. A handful live at a time, and each is looked up
// at every step of its IRP: their addresses are searched in a contiguous
// array rather than hashed. A record stays where it is while its IRP
// lives (it is held by reference across calls that add and remove
// others); a released one is kept for the next IRP.
class IrpTable {
public:
    IrpRecord* find(const void* irp) const {
        // An IRP is looked up several times in a row as it goes down and
        // back up: the one found last is tried first.
        if (m_last < m_addresses.size() && m_addresses[m_last] == irp) return m_records[m_last].get();
        for (std::size_t i = 0; i < m_addresses.size(); ++i) {
            if (m_addresses[i] != irp) continue;
            m_last = i;
            return m_records[i].get();
        }
        return nullptr;
    }
    IrpRecord& at(const void* irp) const {
        IrpRecord* rec = find(irp);
        if (rec == nullptr) throw std::out_of_range("not a live IRP");
        return *rec;
    }
    void add(void* irp, IrpRecord&& rec) {
        std::unique_ptr<IrpRecord> record;
        if (m_spare.empty()) {
            record = std::make_unique<IrpRecord>(std::move(rec));
        } else {
            record = std::move(m_spare.back());
            m_spare.pop_back();
            *record = std::move(rec);
        }
        m_addresses.push_back(irp);
        m_records.push_back(std::move(record));
    }
    void erase(const void* irp) {
        for (std::size_t i = 0; i < m_addresses.size(); ++i) {
            if (m_addresses[i] != irp) continue;
            m_spare.push_back(std::move(m_records[i]));
            m_addresses[i] = m_addresses.back();
            m_records[i] = std::move(m_records.back());
            m_addresses.pop_back();
            m_records.pop_back();
            return;
        }
    }
    std::size_t size() const { return m_addresses.size(); }
    // Calls f(address, record) for each live IRP.
    template <typename F>
    void for_each(F f) const {
        for (std::size_t i = 0; i < m_addresses.size(); ++i) f(m_addresses[i], *m_records[i]);
    }

private:
    std::vector<void*> m_addresses;
    std::vector<std::unique_ptr<IrpRecord>> m_records;
    std::vector<std::unique_ptr<IrpRecord>> m_spare;
    mutable std::size_t m_last = 0;  // where find() found its IRP last
};

class IoManager {
public:
    explicit IoManager(Kernel& kernel);
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    // Drivers. load_driver calls DriverEntry on the running thread; a driver
    // whose entry fails is released again and nullptr is returned.
    PDRIVER_OBJECT load_driver(std::string_view name, PDRIVER_INITIALIZE entry,
                               NTSTATUS* status = nullptr);
    void unload_driver(PDRIVER_OBJECT driver);
    static NTSTATUS NTAPI default_dispatch(PDEVICE_OBJECT device, PIRP irp);

    // Device objects and the namespace.
    NTSTATUS create_device(PDRIVER_OBJECT driver, ULONG extension_size,
                           PUNICODE_STRING name, DEVICE_TYPE type, ULONG characteristics,
                           BOOLEAN exclusive, PDEVICE_OBJECT* device);
    // With handles open the device is only marked delete-pending, loses its
    // name, and goes after their cleanup and close, as on the platform.
    void delete_device(PDEVICE_OBJECT device);
    PDEVICE_OBJECT attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
    void detach(PDEVICE_OBJECT target);
    static PDEVICE_OBJECT attached_top(PDEVICE_OBJECT device);
    bool is_live_device(const void* device) const;
    std::u16string device_name(PDEVICE_OBJECT device) const;

    NTSTATUS create_link(PUNICODE_STRING link, PUNICODE_STRING target);
    NTSTATUS delete_link(PUNICODE_STRING link);
    // The names in the namespace, sorted; links show as "link -> target".
    std::vector<std::string> namespace_listing() const;
    bool name_exists(std::string_view name) const;
    PDEVICE_OBJECT resolve(std::string_view path) const;

    // Opening a device through its name, as a user-mode caller would.
    NTSTATUS open(std::string_view path, PFILE_OBJECT* file);
    NTSTATUS close(PFILE_OBJECT file);
    NTSTATUS device_io_control(PFILE_OBJECT file, ULONG code, const void* input,
                               ULONG input_length, void* output, ULONG output_length,
                               ULONG_PTR* information);
    // Any other major function with no parameters (read, write, flush...).
    NTSTATUS send_simple(PFILE_OBJECT file, UCHAR major);

    // IRPs.
    PIRP allocate_irp(CCHAR stack_size, bool threaded);
    void free_irp(PIRP irp);
    PIRP build_device_io_control(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                 ULONG input_length, PVOID output, ULONG output_length,
                                 BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK status);
    // A threaded IRP for the host's own managers, with its next location set.
    PIRP build_request(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, PKEVENT event,
                       PIO_STATUS_BLOCK status);
    // Sends a threaded IRP and waits for it without a time-out.
    NTSTATUS send_and_wait(PDEVICE_OBJECT target, PIRP irp, PKEVENT event,
                           PIO_STATUS_BLOCK status);

    // Sends an IRP to a device. A power request may be held back, marked
    // pending, while the device has one of its kind in progress.
    NTSTATUS call(PDEVICE_OBJECT device, PIRP irp);
    // Whether the location an IRP is about to enter belongs to a power request.
    bool power_irp_arriving(PIRP irp);
    void complete(PIRP irp, CCHAR boost);
    BOOLEAN cancel(PIRP irp);
    void acquire_cancel_lock(PKIRQL irql);
    void release_cancel_lock(KIRQL irql);

    PIO_STACK_LOCATION current_location(PIRP irp);
    PIO_STACK_LOCATION next_location(PIRP irp);
    void skip_location(PIRP irp);
    void set_next_location(PIRP irp);
    void mark_pending(PIRP irp);
    PDRIVER_CANCEL set_cancel_routine(PIRP irp, PDRIVER_CANCEL routine);
    void start_next_power_irp(PIRP irp);

    POWER_STATE set_power_state(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);
    std::optional<DEVICE_POWER_STATE> reported_power_state(PDEVICE_OBJECT device) const;

    // Inspection for tests, leak checks and the verifier.
    std::size_t live_irps() const { return m_irps.size(); }
    std::string irp_report() const;
    bool is_live_irp(const void* irp) const { return m_irps.find(irp) != nullptr; }
    IrpTable& irps() { return m_irps; }
    std::string describe(PIRP irp) const;
    bool was_deleted(const void* device) const { return m_deleted_devices.count(device) != 0; }

private:
    // An open or a handle ends: a device deleted meanwhile goes with the last.
    void release_open(PDEVICE_OBJECT device);
    struct DeviceHolder;
    struct DriverHolder;

    void finish_threaded(PIRP irp, IrpRecord& rec);
    // The final completion of a request the I/O manager built, run as an APC.
    void final_completion(PIRP irp, std::uint64_t id);
    void retire(PIRP irp, IrpRecord& rec);
    static bool in_power_lane(const IO_STACK_LOCATION& location);
    bool held_for_power(PDEVICE_OBJECT device, PIRP irp, IO_STACK_LOCATION& arriving);
    NTSTATUS present(PDEVICE_OBJECT device, PIRP irp);
    void finish_delete(PDEVICE_OBJECT device);
    static std::u16string fold(std::u16string_view name);

    Kernel& m_kernel;
    IrpTable m_irps;
    std::uint64_t m_next_irp_id = 1;
    Verifier m_verifier{m_kernel, *this};

    std::vector<std::unique_ptr<DriverHolder>> m_drivers;
    std::unordered_map<const void*, std::unique_ptr<DeviceHolder>> m_devices;
    std::set<const void*> m_deleted_devices;
    // Folded name -> (shown name, device or link target).
    struct NameEntry {
        std::u16string shown;
        PDEVICE_OBJECT device = nullptr;
        std::u16string link_target;
    };
    std::map<std::u16string, NameEntry> m_names;
    std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> m_power_states;
    // One system and one device power request in progress per device object;
    // the requests that wait for it.
    struct PowerLane {
        bool busy = false;
        std::deque<PIRP> waiting;
    };
    std::map<std::pair<PDEVICE_OBJECT, POWER_STATE_TYPE>, PowerLane> m_power_lanes;
    std::unordered_map<const void*, std::unique_ptr<FILE_OBJECT>> m_files;

    HeldLock m_cancel_lock{"the cancel spin lock"};
};

}  // namespace host
