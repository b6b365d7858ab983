// The emulated kernel of one world: scheduler and clock, pool, I/O manager,
// object handles, registry, Plug and Play and power managers, the Windows 9x
// configuration manager, debug output.
//
// One world exists at a time in a process; the platform services that the
// driver calls reach it through Kernel::current().
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/configmg/config_manager.h"
#include "host/kernel/faults.h"
#include "host/kernel/io_manager.h"
#include "host/kernel/objects.h"
#include "host/kernel/pool.h"
#include "host/kernel/registry.h"
#include "host/kernel/scheduler.h"
#include "host/kernel/trace.h"

namespace host {

class PnpManager;

// The platform the world is: the WDM layer of Windows 98 Second Edition, or
// of Windows Me. They differ, where this host can tell, only in the WDM
// version they report (IoIsWdmVersionAvailable: 1.00 and 1.05).
enum class Platform { Win98SE, WinMe };

class Kernel {
public:
    // The calling thread is adopted as the emulated thread "caller". The
    // seed decides every choice; the strategy how threads are scheduled.
    explicit Kernel(std::uint64_t seed, Strategy strategy = Strategy::Random);
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The world built, one at a time; a service called with none stops the process.
    static Kernel& current() {
        if (s_current == nullptr) no_world();
        return *s_current;
    }
    static bool exists() { return s_current != nullptr; }

    std::uint64_t seed() const { return m_scheduler->seed(); }
    Platform platform() const { return m_platform; }
    void set_platform(Platform platform) { m_platform = platform; }
    // One in `n` of the driver's waits that may block answers the platform's
    // undocumented 0xFFFFFFFF (0: none does): one without a time-out at once,
    // one with a time-out somewhere within it.
    void set_spurious_waits(std::uint64_t n) { m_spurious_waits = n; }
    bool spurious_wait() { return m_spurious_waits != 0 && m_scheduler->one_in(m_spurious_waits); }
    // Whether the port driver's calls into the driver come from a program in
    // another virtual machine than the system one (a DOS program's port):
    // the port driver model marks its thread so for the call (Thread::other_vm).
    void set_other_vm(bool on) { m_other_vm = on; }
    bool other_vm() const { return m_other_vm; }
    Time now() const { return m_scheduler->now(); }

    Scheduler& scheduler() { return *m_scheduler; }
    Trace& trace() { return m_trace; }
    Pool& pool() { return m_pool; }
    FaultPoints& faults() { return m_faults; }
    IoManager& io() { return m_io; }
    ObjectTable& objects() { return m_objects; }
    Registry& registry() { return m_registry; }
    PnpManager& pnp() { return *m_pnp; }
    ConfigManager& configmg() { return m_configmg; }

    // Host-side conveniences on the running emulated thread.
    Thread& spawn(std::string name, std::function<void()> body);
    void run_for(Time duration);  // lets the world run while the caller sleeps

    // Runs a work item's routine at PASSIVE_LEVEL in a system worker thread.
    // An item is queued again only once its routine has begun.
    void queue_work_item(PWORK_QUEUE_ITEM item);
    // Work items queued or running: a driver must not unload under one.
    std::size_t work_items() const { return m_work_items; }

    // Spin locks, as the kernel keeps them: a lock is known from its
    // initialisation; a thread that finds it held waits at DISPATCH_LEVEL.
    void initialise_spin_lock(PKSPIN_LOCK lock);
    void acquire_spin_lock(PKSPIN_LOCK lock, PKIRQL old_irql);
    void release_spin_lock(PKSPIN_LOCK lock, KIRQL new_irql);

    // Sets an event and wakes its waiters; a scheduling point unless told not to be.
    LONG set_event(PKEVENT event, bool yield = true);

    // What still uses a pool block about to be freed: a thread waiting on an
    // object in it, or what a check added by a bus driver reports (a URB or a
    // buffer it holds). Null when nothing does; the text lasts until the next
    // call. A check answers null when nothing of its own uses the block.
    const char* user_of(const void* block, std::size_t size);
    using FreeCheck = std::function<const char*(const unsigned char* begin, const unsigned char* end)>;
    int add_free_check(FreeCheck check);
    void remove_free_check(int id) {
        std::erase_if(m_free_checks, [id](const auto& check) { return check.first == id; });
    }

    // DbgPrint output, as the debugger would show it.
    const std::string& debug_output() const { return m_debug_output; }
    void debug_print(std::string_view text);

    // What a world must not leave behind once its devices are gone: pool
    // blocks (of one tag, or all when tag is 0), IRPs, handles, object
    // references and driver threads. Empty when clean.
    std::string leaks(ULONG tag = 0) const;

    // The report of a bug check (host::bug_check, host/kernel/verifier.h),
    // under the name the catalogue gives it.
    [[noreturn]] void report_bug_check(std::string_view name, const std::string& detail);

private:
    [[noreturn]] static void no_world();
    static inline Kernel* s_current = nullptr;
    Platform m_platform = Platform::Win98SE;
    std::uint64_t m_spurious_waits = 0;
    bool m_other_vm = false;
    Trace m_trace;
    Pool m_pool;
    FaultPoints m_faults;
    IoManager m_io;
    ObjectTable m_objects;
    Registry m_registry;
    ConfigManager m_configmg;
    std::string m_debug_output;
    std::set<PWORK_QUEUE_ITEM> m_queued_items;
    std::map<PKSPIN_LOCK, HeldLock> m_spin_locks;
    std::size_t m_work_items = 0;
    std::vector<std::pair<int, FreeCheck>> m_free_checks;  // in the order they were added
    int m_next_free_check = 0;
    std::string m_user;  // what user_of found last
    std::unique_ptr<PnpManager> m_pnp;
    // Last member: destroyed first, so that threads unwind while the rest lives.
    std::unique_ptr<Scheduler> m_scheduler;
};

// A wait of the host's own components (the bus, the line, the port driver
// model, the I/O manager) on a dispatcher object: the scheduler's wait,
// without the answers the platform gives the driver's waits now and then.
NTSTATUS wait_for(PVOID object, PLARGE_INTEGER timeout);

}  // namespace host
