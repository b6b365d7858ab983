#include "host/kernel/scheduler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>

#include "host/kernel/kernel.h"
#include "host/kernel/trace.h"

namespace host {

namespace {

bool is_signalled(const DISPATCHER_HEADER* object) { return object->SignalState > 0; }

// A satisfied wait takes what it waited for: a synchronization event resets,
// a spin lock becomes held.
void consume(DISPATCHER_HEADER* object) {
    if (object->Type == kSynchronizationEvent || object->Type == kSpinLockObject) {
        object->SignalState = 0;
    }
}

const char* state_name(ThreadState state) {
    switch (state) {
    case ThreadState::Ready: return "ready";
    case ThreadState::Running: return "running";
    case ThreadState::Waiting: return "waiting";
    case ThreadState::Terminated: return "terminated";
    }
    return "?";
}

}  // namespace

void thread_trampoline(Scheduler* scheduler, Thread* thread) {
    scheduler->reap();
    if (!thread->kill) {
        try {
#if defined(TORVEX_IMAGE_HOST)
            if (setjmp(thread->end) == 0) thread->body();
#else
            thread->body();
#endif
        } catch (const ThreadUnwind&) {
        } catch (const std::exception& e) {
            bug_check(Check::HostThreadException,
                      "thread '" + thread->name + "' threw: " + e.what());
        }
    }
    scheduler->finish_running();
}

void end_thread([[maybe_unused]] Thread& thread) {
#if defined(TORVEX_IMAGE_HOST)
    std::longjmp(thread.end, 1);
#else
    throw ThreadUnwind{};
#endif
}

Scheduler::Scheduler(std::uint64_t seed, Strategy strategy, Trace& trace)
    : m_seed(seed), m_strategy(strategy), m_trace(trace), m_random(seed) {
    if (m_strategy == Strategy::Pct) {
        // Spread evenly over the logarithm of the step count: a short scenario
        // gets its change points as often as a long one.
        std::uniform_real_distribution<double> exponent(0.0, std::log(static_cast<double>(kPctSteps)));
        for (int i = 1; i < kPctDepth; ++i) {
            m_change_points.push_back(static_cast<std::uint64_t>(std::exp(exponent(m_random))));
        }
        std::sort(m_change_points.begin(), m_change_points.end());
    }
    auto adopted = std::make_unique<Thread>(0, "caller", false);
    adopted->fiber = std::make_unique<Fiber>();
    ++m_runnable;  // as every new thread, it starts ready
    set_state(*adopted, ThreadState::Running);
    adopted->pct_priority = kPctDepth + (m_random() >> 1);
    adopted->object.Header.Type = kThreadObject;
    initialise_wait_list(adopted->object.Header);
    m_adopted = adopted.get();
    m_running = m_adopted;
    m_threads.push_back(std::move(adopted));
}

Scheduler::~Scheduler() {
    // Teardown runs on the adopted thread. Every other thread that has not
    // ended is resumed once with its kill flag set, unwinds, and switches
    // straight back.
    m_shutting_down = true;
    for (auto& thread : m_threads) {
        if (thread.get() == m_adopted || thread->state == ThreadState::Terminated) continue;
        thread->kill = true;
        m_running = thread.get();
        m_adopted->fiber->switch_to(*thread->fiber);
        reap();
    }
    m_running = m_adopted;
}

// Frees the stack of the thread that ended last, which no longer runs.
void Scheduler::reap() {
    if (m_ended == nullptr) return;
    m_ended->fiber.reset();
    m_ended = nullptr;
}

Thread& Scheduler::spawn(std::string name, std::function<void()> body, bool driver_thread) {
    auto id = static_cast<std::uint32_t>(m_threads.size());
    auto thread = std::make_unique<Thread>(id, std::move(name), driver_thread);
    thread->pct_priority = kPctDepth + (m_random() >> 1);
    thread->object.Header.Type = kThreadObject;
    initialise_wait_list(thread->object.Header);
    thread->body = std::move(body);
    Thread* raw = thread.get();
    ++m_runnable;  // a new thread is ready
    m_threads.push_back(std::move(thread));
    m_trace.record(m_now, m_running->id, TraceKind::ThreadStart, id);
    raw->fiber = std::make_unique<Fiber>([this, raw] { thread_trampoline(this, raw); }, kStackSize);
    return *raw;
}

Thread* Scheduler::find(PVOID object) {
    for (auto& thread : m_threads) {
        if (&thread->object == object) return thread.get();
    }
    return nullptr;
}

// PCT: at a change point the thread that is running drops below all others.
void Scheduler::take_change_points() {
    while (m_changes < m_change_points.size() && m_change_points[m_changes] <= m_steps) {
        m_running->pct_priority = ++m_changes;
    }
}

void Scheduler::report_livelock() const {
    bug_check(Check::Livelock, "threads ran for " + std::to_string(kLivelockSteps) +
                              " scheduling points while virtual time stood still.\n" + describe_threads());
}

// With at least one thread ready (the count says so): the choice walks the
// threads to it without listing the ready ones first.
Thread* Scheduler::choose_among_ready() {
    if (m_strategy == Strategy::Pct) {
        Thread* first = nullptr;  // the first of the highest priority
        for (auto& thread : m_threads) {
            if (is_runnable(thread->state) && (first == nullptr || thread->pct_priority > first->pct_priority)) {
                first = thread.get();
            }
        }
        return first;
    }
    std::size_t nth = m_runnable > 1 ? m_random() % m_runnable : 0;
    for (auto& thread : m_threads) {
        if (is_runnable(thread->state) && nth-- == 0) return thread.get();
    }
    bug_check(Check::HostScheduler, "the count of ready threads is wrong:\n" + describe_threads());
}

// Appended as they begin to wait, the waiting stay in that order: a signal
// or a time-out wakes them first come, first served.
void Scheduler::track_waiting(Thread& thread, ThreadState state) {
    if (state == ThreadState::Waiting) {
        m_waiting.push_back(&thread);
        for (const DISPATCHER_HEADER* object : thread.wait.objects) m_waited.push_back({object, &thread});
    } else {
        m_waiting.erase(std::find(m_waiting.begin(), m_waiting.end(), &thread));
        std::erase_if(m_waited, [&thread](const WaitedObject& waited) { return waited.thread == &thread; });
    }
}

void Scheduler::switch_to(Thread* next) {
    Thread* current = m_running;
    if (next == current) {
        set_state(*current, ThreadState::Running);
        return;
    }
    m_trace.record(m_now, current->id, TraceKind::Switch, next->id);
    ++m_switches;
    if (current->state == ThreadState::Running) set_state(*current, ThreadState::Ready);
    set_state(*next, ThreadState::Running);
    m_running = next;
    // A thread that ended switches away for good.
    current->fiber->switch_to(*next->fiber, current->state == ThreadState::Terminated);
    reap();
    if (current->kill) end_thread(*current);
}

void Scheduler::report_ran_after_exit(const Thread& thread) {
    bug_check(Check::ThreadRanAfterEvent,
              "thread '" + thread.name + "' ran driver code after the event it set before its driver's "
              "unload: on Windows 98 SE the event must be its last act before PsTerminateSystemThread");
}

void Scheduler::finish_exiting(Thread& thread) {
    thread.exiting = true;
    DISPATCHER_HEADER* header = &thread.object.Header;
    wait(std::span(&header, 1), WaitAny, std::nullopt, "a thread's end before its driver's unload");
}

void Scheduler::report_wait_owed(const char* what) {
    bug_check(Check::WaitOwed,
              std::string(what) + " before the wait");
}

void Scheduler::queue_apc(Thread& thread, std::function<void()> apc) {
    thread.apcs.push_back(std::move(apc));
    if (thread.state == ThreadState::Waiting && thread.irql == PASSIVE_LEVEL) {
        thread.wait.result = STATUS_KERNEL_APC;
        set_state(thread, ThreadState::Ready);
    }
}

void Scheduler::deliver_apcs() {
    Thread& self = *m_running;
    while (self.irql == PASSIVE_LEVEL && !self.apcs.empty() && !m_shutting_down) {
        std::function<void()> apc = std::move(self.apcs.front());
        self.apcs.pop_front();
        m_trace.record(m_now, self.id, TraceKind::Apc, 0);
        apc();
    }
}

// The running thread cannot go on (it waits or has ended): run another one,
// moving the clock forward when nothing is ready.
void Scheduler::reschedule() {
    for (;;) {
        Thread* next = choose();
        if (next != nullptr) {
            switch_to(next);
            return;
        }
        advance_clock();
    }
}

void Scheduler::advance_clock() {
    std::optional<Time> earliest;
    for (Thread* thread : m_waiting) {
        if (thread->wait.deadline && (!earliest || *thread->wait.deadline < *earliest)) {
            earliest = thread->wait.deadline;
        }
    }
    if (!earliest) {
        bug_check(Check::Deadlock,
                  "no thread can run and no time-out is pending.\n" + describe_threads());
    }
    if (*earliest > m_now) {
        m_now = *earliest;
        m_steps_standing = 0;
    }
    std::vector<Thread*>& expired = m_waiters_scratch;
    expired.clear();
    for (Thread* thread : m_waiting) {
        if (thread->wait.deadline && *thread->wait.deadline <= m_now) expired.push_back(thread);
    }
    for (Thread* thread : expired) {
        thread->wait.result = STATUS_TIMEOUT;
        set_state(*thread, ThreadState::Ready);
        m_trace.record(m_now, thread->id, TraceKind::Timeout, 0);
    }
}

bool Scheduler::try_satisfy(Thread& thread) {
    auto& objects = thread.wait.objects;
    if (thread.wait.type == WaitAny) {
        for (std::size_t i = 0; i < objects.size(); ++i) {
            if (is_signalled(objects[i])) {
                consume(objects[i]);
                thread.wait.result = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                return true;
            }
        }
        return false;
    }
    if (!std::all_of(objects.begin(), objects.end(), is_signalled)) return false;
    for (DISPATCHER_HEADER* object : objects) consume(object);
    thread.wait.result = STATUS_WAIT_0;
    return true;
}

NTSTATUS Scheduler::wait(std::span<DISPATCHER_HEADER* const> objects, WAIT_TYPE type,
                         std::optional<Time> deadline, const char* reason) {
    Thread& self = *m_running;
    check_not_exiting();
    for (;;) {
        deliver_apcs();
        self.wait.objects.assign(objects.begin(), objects.end());
        self.wait.type = type;
        self.wait.deadline = deadline;
        self.wait.reason = reason;
        if (m_shutting_down) return STATUS_TIMEOUT;
        if (try_satisfy(self)) {
            yield();
            return self.wait.result;
        }
        if (deadline && *deadline <= m_now) {
            yield();
            return STATUS_TIMEOUT;
        }
        m_trace.record(m_now, self.id, TraceKind::Wait, objects.size(),
                       objects.empty() ? nullptr : objects.front());
        set_state(self, ThreadState::Waiting);
        reschedule();
        // Woken for a kernel APC: run it and wait on.
        if (self.wait.result != STATUS_KERNEL_APC) return self.wait.result;
    }
}

void Scheduler::signalled(DISPATCHER_HEADER* object) {
    std::vector<Thread*>& waiters = m_waiters_scratch;
    waiters.clear();
    // (A thread's objects are listed together: one that waits on this
    // object twice is taken once.)
    for (const WaitedObject& waited : m_waited) {
        if (waited.object == object && (waiters.empty() || waiters.back() != waited.thread)) {
            waiters.push_back(waited.thread);
        }
    }
    for (Thread* thread : waiters) {
        if (!is_signalled(object)) break;
        if (try_satisfy(*thread)) {
            set_state(*thread, ThreadState::Ready);
            m_trace.record(m_now, thread->id, TraceKind::Wake,
                           static_cast<std::uint64_t>(thread->wait.result));
        }
    }
}

void Scheduler::finish_running() {
    Thread& self = *m_running;
    m_trace.record(m_now, self.id, TraceKind::ThreadExit, 0);
    set_state(self, ThreadState::Terminated);
    self.object.Header.SignalState = 1;
    m_ended = &self;
    if (m_shutting_down) {
        m_running = m_adopted;
        self.fiber->switch_to(*m_adopted->fiber, true);
    }
    signalled(&self.object.Header);
    reschedule();  // switches to another thread for good
}

std::string Scheduler::describe_threads() const {
    std::string out;
    for (auto& thread : m_threads) {
        char line[256];
        std::snprintf(line, sizeof line, "  T%u %-24s %-10s IRQL %u", thread->id,
                      thread->name.c_str(), state_name(thread->state), thread->irql);
        out += line;
        if (thread->state == ThreadState::Waiting) {
            out += "  waits for ";
            out += thread->wait.reason;
            for (DISPATCHER_HEADER* object : thread->wait.objects) {
                std::snprintf(line, sizeof line, " %p", static_cast<void*>(object));
                out += line;
            }
            if (thread->wait.deadline) {
                std::snprintf(line, sizeof line, " until %.4f ms",
                              static_cast<double>(*thread->wait.deadline) / 10'000.0);
                out += line;
            }
        }
        out += '\n';
    }
    return out;
}

HeldLock::HeldLock(const char* name) : m_name(name) {
    m_header.Type = kSpinLockObject;
    m_header.SignalState = 1;
}

KIRQL HeldLock::acquire(Scheduler& scheduler) {
    Thread& self = scheduler.running();
    const KIRQL old = self.irql;
    if (self.irql < DISPATCH_LEVEL) self.irql = DISPATCH_LEVEL;
    DISPATCHER_HEADER* header = &m_header;
    scheduler.wait(std::span(&header, 1), WaitAny, std::nullopt, m_name);
    m_holder = self.id;
    return old;
}

void HeldLock::release(Scheduler& scheduler, KIRQL irql) {
    m_holder = UINT32_MAX;
    m_header.SignalState = 1;
    scheduler.signalled(&m_header);
    scheduler.running().irql = irql;
}

}  // namespace host
