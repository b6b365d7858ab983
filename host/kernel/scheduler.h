// Emulated threads, the seeded scheduler and the virtual clock.
//
// Exactly one emulated thread runs at a time, each a fiber on the OS thread
// that built the world (the "caller", adopted as the first). At every
// scheduling point the running thread asks the scheduler to choose, with the
// seeded generator, which ready thread runs next. When no thread is ready the
// virtual clock jumps to the earliest deadline; when there is none the run is
// a deadlock and is stopped with a report.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#if defined(TORVEX_IMAGE_HOST)
#include <csetjmp>
#endif
#include <vector>

#include "host/kernel/fiber.h"
#include "platform/wdm.h"

namespace host {

using Time = std::int64_t;  // 100-ns units since the world began

constexpr Time kMicrosecond = 10;
constexpr Time kMillisecond = 10'000;
constexpr Time kSecond = 10'000'000;

class Trace;

enum class ThreadState { Ready, Running, Waiting, Terminated };

// Dispatcher-object type codes kept in DISPATCHER_HEADER.Type.
enum ObjectType : UCHAR {
    kNotificationEvent = NotificationEvent,
    kSynchronizationEvent = SynchronizationEvent,
    kThreadObject = 6,
    kSpinLockObject = 0x7E,  // host-only: signalled while free, taken by a wait
};

// A dispatcher object made by its initialisation routine: its wait list
// points to itself.
inline bool initialised(const DISPATCHER_HEADER& header) {
    return header.WaitListHead.Flink == &header.WaitListHead && header.WaitListHead.Blink == &header.WaitListHead;
}
inline void initialise_wait_list(DISPATCHER_HEADER& header) {
    header.WaitListHead.Flink = &header.WaitListHead;
    header.WaitListHead.Blink = &header.WaitListHead;
}

struct WaitBlock {
    std::vector<DISPATCHER_HEADER*> objects;
    WAIT_TYPE type = WaitAny;
    std::optional<Time> deadline;
    NTSTATUS result = STATUS_SUCCESS;
    const char* reason = "";
};

class Thread {
public:
    // The waitable object the driver sees as PKTHREAD. Must stay the first member.
    KTHREAD object{};

    Thread(std::uint32_t id, std::string name, bool driver_thread)
        : id(id), name(std::move(name)), driver_thread(driver_thread) {}
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    static Thread* from_object(PVOID object) { return reinterpret_cast<Thread*>(object); }

    const std::uint32_t id;
    const std::string name;
    const bool driver_thread;  // created by PsCreateSystemThread
    ThreadState state = ThreadState::Ready;  // changed only by its scheduler's set_state()
    KIRQL irql = PASSIVE_LEVEL;
    KPRIORITY priority = 8;
    std::uint64_t pct_priority = 0;  // the PCT strategy's priority: the highest ready one runs
    WaitBlock wait;
    // After KeSetEvent with Wait TRUE: the thread holds the dispatcher lock at
    // DISPATCH_LEVEL until its next wait, which returns it to this IRQL.
    std::optional<KIRQL> owes_wait;
    bool kill = false;  // set at teardown: unwind at the next resume
    // A system thread's exit, as Windows 98 has it: the thread sets an event
    // and then calls PsTerminateSystemThread. after_set_event says that its
    // last service was KeSetEvent; exiting that its driver is being unloaded
    // and it may do nothing but end.
    bool after_set_event = false;
    bool exiting = false;
    // Runs a call of the port driver made for a program in a virtual machine
    // other than the system one: every wait there answers 0xFFFFFFFF at once.
    bool other_vm = false;
    // Kernel APCs queued to this thread: run in it, in order, at PASSIVE_LEVEL,
    // at its next scheduling point or during a wait (which then goes on).
    std::deque<std::function<void()>> apcs;
    std::function<void()> body;
    std::unique_ptr<Fiber> fiber;  // null once the thread has ended
#if defined(TORVEX_IMAGE_HOST)
    std::jmp_buf end;  // where end_thread() leaves the thread's frames for
#endif
};

// Thrown into an emulated thread to unwind it; caught by its entry trampoline.
struct ThreadUnwind {};

// Ends the running emulated thread where it stands. The frames of a driver
// linked into the host unwind (ThreadUnwind). A driver image's frames have no
// unwind tables the host can read, so the 32-bit host leaves them with a long
// jump back to the thread's entry; the host's frames it skips hold only
// memory, which a thread ends this way only at its driver's thread exit or
// at the world's end.
[[noreturn]] void end_thread(Thread& thread);

// How the scheduler picks the thread that runs at a scheduling point, under
// the seed. Random: any ready thread, uniformly. Pct (probabilistic
// concurrency testing): each thread gets a random priority and the highest
// ready one runs; at kPctDepth - 1 random scheduling points (among the first
// kPctSteps, spread over the logarithm of the step count) the running thread
// drops below every other, so that orderings
// that need a few preemptions at the right moments are found with a
// probability that does not shrink with the length of the run.
enum class Strategy { Random, Pct };

class Scheduler {
public:
    static constexpr int kPctDepth = 3;
    static constexpr std::uint64_t kPctSteps = 100'000;
    // Scheduling points in a row without virtual time moving on, after which
    // the threads are taken to be busy forever without progress (a livelock).
    static constexpr std::uint64_t kLivelockSteps = 10'000'000;
    // Each emulated thread's stack (reserved, and touched only as deep as it
    // goes).
    static constexpr std::size_t kStackSize = 1 << 20;

    Scheduler(std::uint64_t seed, Strategy strategy, Trace& trace);
    ~Scheduler();  // unwinds and joins every thread but the adopted one

    std::uint64_t seed() const { return m_seed; }
    Strategy strategy() const { return m_strategy; }
    // A choice the world makes under its seed: true with probability 1/n.
    bool one_in(std::uint64_t n) { return m_random() % n == 0; }
    // A number from 0 to n - 1, drawn under the seed.
    std::uint64_t draw(std::uint64_t n) { return m_random() % n; }
    Time now() const { return m_now; }
    std::uint64_t switches() const { return m_switches; }
    bool shutting_down() const { return m_shutting_down; }

    Thread& running() { return *m_running; }
    // Creates a ready thread; it first runs at a later scheduling point.
    Thread& spawn(std::string name, std::function<void()> body, bool driver_thread);
    const std::vector<std::unique_ptr<Thread>>& threads() const { return m_threads; }
    // The objects the waiting threads wait on, each with its thread.
    struct WaitedObject {
        const DISPATCHER_HEADER* object;
        Thread* thread;
    };
    const std::vector<WaitedObject>& waited() const { return m_waited; }
    Thread* find(PVOID object);

    // A scheduling point: another ready thread may run before this returns.
    // after_exit_signal: the point that follows a KeSetEvent, which may be a
    // system thread's last act before its end.
    // (Inline: most scheduling points find only the running thread ready.)
    void yield(bool after_exit_signal = false) {
        if (m_shutting_down) return;
        check_no_wait_owed("a scheduling point");
        if (!after_exit_signal) check_not_exiting();
        Thread* next = choose();
        if (next != m_running && next != nullptr) switch_to(next);
        if (!m_running->apcs.empty()) deliver_apcs();
    }
    // Lets a system thread that has set its exit signal end before its
    // driver is unloaded; reports it if it runs anything but its end.
    void finish_exiting(Thread& thread);

    // Stops the run if the running thread owes the wait of a KeSetEvent with
    // Wait TRUE and does `what` instead.
    void check_no_wait_owed(const char* what) {
        if (m_running->owes_wait) report_wait_owed(what);
    }

    // Waits for the objects; deadline is absolute virtual time. Returns
    // STATUS_WAIT_0 + index (wait-any), STATUS_WAIT_0 (wait-all) or STATUS_TIMEOUT.
    NTSTATUS wait(std::span<DISPATCHER_HEADER* const> objects, WAIT_TYPE type,
                  std::optional<Time> deadline, const char* reason);

    // Queues a kernel APC to a thread; a thread that waits at PASSIVE_LEVEL is
    // woken to run it and then waits on.
    void queue_apc(Thread& thread, std::function<void()> apc);

    // After an object became signalled: wakes the waiters it satisfies, in
    // the order in which they began to wait.
    void signalled(DISPATCHER_HEADER* object);

    // Ends the running thread after its body returned or unwound: another
    // thread runs, and this one never again (the call does not return).
    void finish_running();

    std::string describe_threads() const;

private:
    friend void thread_trampoline(Scheduler* scheduler, Thread* thread);

    static bool is_runnable(ThreadState state) { return state == ThreadState::Ready || state == ThreadState::Running; }
    Thread* choose() {
        ++m_steps;
        if (++m_steps_standing > kLivelockSteps) report_livelock();
        if (m_changes < m_change_points.size() && m_change_points[m_changes] <= m_steps) take_change_points();
        if (m_runnable == 0) return nullptr;
        if (m_runnable == 1 && is_runnable(m_running->state)) return m_running;
        return choose_among_ready();
    }
    void take_change_points();
    Thread* choose_among_ready();
    [[noreturn]] void report_livelock() const;
    void set_state(Thread& thread, ThreadState state) {
        m_runnable += is_runnable(state);
        m_runnable -= is_runnable(thread.state);
        if ((state == ThreadState::Waiting) != (thread.state == ThreadState::Waiting)) track_waiting(thread, state);
        thread.state = state;
    }
    void track_waiting(Thread& thread, ThreadState state);
    void switch_to(Thread* next);
    void reschedule();
    bool try_satisfy(Thread& thread);
    void deliver_apcs();
    // Any scheduling point of a thread after its service has run: the thread
    // ran on, so what it set before was not its exit signal; one that may
    // only end is reported.
    void check_not_exiting() {
        Thread& self = *m_running;
        if (self.exiting) report_ran_after_exit(self);
        self.after_set_event = false;
    }
    [[noreturn]] static void report_ran_after_exit(const Thread& thread);
    [[noreturn]] static void report_wait_owed(const char* what);
    void advance_clock();
    void reap();

    const std::uint64_t m_seed;
    const Strategy m_strategy;
    Trace& m_trace;
    std::mt19937_64 m_random;
    std::uint64_t m_steps = 0;           // scheduling points so far
    std::uint64_t m_steps_standing = 0;  // of them since virtual time last moved on
    std::vector<std::uint64_t> m_change_points;  // PCT: where the running thread drops, in order
    std::size_t m_changes = 0;
    Time m_now = 0;
    std::uint64_t m_switches = 0;
    std::vector<std::unique_ptr<Thread>> m_threads;
    // Of them, the threads that are ready or running: at most scheduling
    // points only the running one is, and it runs on without a search.
    std::size_t m_runnable = 0;
    // The waiting threads and the objects they wait on, both in the order in
    // which the threads began to wait.
    std::vector<Thread*> m_waiting;
    std::vector<WaitedObject> m_waited;
    // The threads a signal wakes, or a time-out ends, in their order of waiting
    // (neither calls the other; kept to spare an allocation a wake).
    std::vector<Thread*> m_waiters_scratch;
    Thread* m_running = nullptr;
    Thread* m_adopted = nullptr;
    Thread* m_ended = nullptr;  // a thread that ended, whose stack the next to run frees
    bool m_shutting_down = false;
};

// A lock held at DISPATCH_LEVEL by one thread at a time (the spin locks and
// the cancel spin lock): a thread that finds it held waits for it, since
// threads at DISPATCH_LEVEL interleave here as on a multiprocessor. The
// services built on it check their callers' use of it and report it.
class HeldLock {
public:
    explicit HeldLock(const char* name);
    bool held_by(const Thread& thread) const { return m_holder == thread.id; }
    // Raises the running thread to DISPATCH_LEVEL and takes the lock; returns
    // the IRQL the thread was at.
    KIRQL acquire(Scheduler& scheduler);
    // Gives the lock up and lowers the running thread to `irql`.
    void release(Scheduler& scheduler, KIRQL irql);

private:
    const char* m_name;
    DISPATCHER_HEADER m_header{};
    std::uint32_t m_holder = UINT32_MAX;
};

}  // namespace host
