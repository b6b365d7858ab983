#include "host/kernel/kernel.h"

#include <cstdio>
#include <cstdlib>

#include "host/kernel/pnp_manager.h"

namespace host {

Kernel::Kernel(std::uint64_t seed, Strategy strategy)
    : m_pool(*this, seed),
      m_io(*this),
      m_objects(*this),
      m_registry(*this),
      m_pnp(std::make_unique<PnpManager>(*this)),
      m_scheduler(std::make_unique<Scheduler>(seed, strategy, m_trace)) {
    if (s_current != nullptr) {
        std::fprintf(stderr, "torvex: a second world was built while one exists\n");
        std::abort();
    }
    s_current = this;
}

Kernel::~Kernel() {
    m_scheduler.reset();
    s_current = nullptr;
}

void Kernel::no_world() {
    std::fprintf(stderr, "torvex: a kernel service was called with no world built\n");
    std::abort();
}

Thread& Kernel::spawn(std::string name, std::function<void()> body) {
    Thread& thread = m_scheduler->spawn(std::move(name), std::move(body), false);
    m_scheduler->yield();
    return thread;
}

void Kernel::queue_work_item(PWORK_QUEUE_ITEM item) {
    if (item->WorkerRoutine == nullptr) bug_check(Check::InvalidWorkItem, "ExQueueWorkItem with no routine");
    if (!m_queued_items.insert(item).second) {
        bug_check(Check::InvalidWorkItem, "ExQueueWorkItem for an item that is queued and has not run yet");
    }
    ++m_work_items;
    m_scheduler->spawn("system worker", [this, item] {
        m_queued_items.erase(item);
        item->WorkerRoutine(item->Parameter);
        if (m_scheduler->running().irql != PASSIVE_LEVEL) {
            bug_check(Check::IrqlNotKept, "a work item routine returned above PASSIVE_LEVEL");
        }
        --m_work_items;
    }, false);
}

void Kernel::initialise_spin_lock(PKSPIN_LOCK lock) {
    *lock = 0;
    m_spin_locks.erase(lock);
    m_spin_locks.try_emplace(lock, "a spin lock");
}

void Kernel::acquire_spin_lock(PKSPIN_LOCK lock, PKIRQL old_irql) {
    Thread& self = m_scheduler->running();
    if (self.irql > DISPATCH_LEVEL) bug_check(Check::IrqlTooHigh, "KeAcquireSpinLock above DISPATCH_LEVEL");
    auto it = m_spin_locks.find(lock);
    if (it == m_spin_locks.end()) bug_check(Check::SpinLockNotInitialised, "KeAcquireSpinLock on a lock never initialised");
    if (it->second.held_by(self)) bug_check(Check::SpinLockAlreadyOwned, "KeAcquireSpinLock by the thread that holds it");
    *old_irql = it->second.acquire(*m_scheduler);
}

void Kernel::release_spin_lock(PKSPIN_LOCK lock, KIRQL new_irql) {
    auto it = m_spin_locks.find(lock);
    if (it == m_spin_locks.end() || !it->second.held_by(m_scheduler->running())) {
        bug_check(Check::SpinLockNotOwned, "KeReleaseSpinLock by a thread that does not hold the lock");
    }
    it->second.release(*m_scheduler, new_irql);
}

void Kernel::run_for(Time duration) {
    LARGE_INTEGER interval;
    interval.QuadPart = -duration;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

LONG Kernel::set_event(PKEVENT event, bool yield) {
    DISPATCHER_HEADER& header = event->Header;
    if ((header.Type != kNotificationEvent && header.Type != kSynchronizationEvent) || !initialised(header)) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "KeSetEvent(%p): not an initialised event (type %u)",
                      static_cast<void*>(event), header.Type);
        bug_check(Check::NotADispatcherObject, detail);
    }
    LONG previous = header.SignalState;
    header.SignalState = 1;
    m_trace.record(now(), m_scheduler->running().id, TraceKind::SetEvent,
                   static_cast<std::uint64_t>(previous), event);
    m_scheduler->signalled(&header);
    if (yield) m_scheduler->yield();
    return previous;
}

void Kernel::debug_print(std::string_view text) { m_debug_output += text; }

int Kernel::add_free_check(FreeCheck check) {
    m_free_checks.emplace_back(m_next_free_check, std::move(check));
    return m_next_free_check++;
}

const char* Kernel::user_of(const void* block, std::size_t size) {
    const auto* begin = static_cast<const unsigned char*>(block);
    const unsigned char* end = begin + size;
    for (const auto& [object, thread] : m_scheduler->waited()) {
        const auto* at = reinterpret_cast<const unsigned char*>(object);
        if (at >= begin && at < end) {
            m_user = "thread T" + std::to_string(thread->id) + " '" + thread->name + "' waits on an object in it";
            return m_user.c_str();
        }
    }
    for (auto& [id, check] : m_free_checks) {
        if (const char* user = check(begin, end)) return user;
    }
    return nullptr;
}

std::string Kernel::leaks(ULONG tag) const {
    std::string out;
    std::string blocks = m_pool.report(tag);
    if (!blocks.empty()) out += "pool blocks outstanding:\n" + blocks;
    std::string written = m_pool.written_after_free();
    if (!written.empty()) out += "freed pool blocks written after their free:\n" + written;
    if (m_io.live_irps() != 0) out += "IRPs outstanding:\n" + m_io.irp_report();
    std::string objects = m_objects.report();
    if (!objects.empty()) out += "objects:\n" + objects;
    for (auto& thread : m_scheduler->threads()) {
        if (thread->driver_thread && thread->state != ThreadState::Terminated) {
            out += "driver thread '" + thread->name + "' still running\n";
        }
    }
    return out;
}

void Kernel::report_bug_check(std::string_view name, const std::string& detail) {
    const Thread& thread = m_scheduler->running();
    std::fprintf(stderr,
                 "\n*** BUG CHECK %.*s\n%s\n"
                 "thread: T%u '%s' at IRQL %u\n"
                 "virtual time: %.4f ms\n"
                 "recent trace:\n%s"
                 "seed: %llu (replay: TORVEX_SEED=%llu)\n",
                 static_cast<int>(name.size()), name.data(), detail.c_str(), thread.id,
                 thread.name.c_str(), thread.irql, static_cast<double>(now()) / 10'000.0,
                 m_trace.recent().c_str(), static_cast<unsigned long long>(seed()),
                 static_cast<unsigned long long>(seed()));
    std::fflush(stderr);
    std::abort();
}

}  // namespace host
