// Kernel services: IRQL, events and waits, interlocked operations, threads
// and objects. Each entry point checks what the platform's verifier checks.
#include <algorithm>
#include <cstdio>

#include "host/kernel/kernel.h"

using host::Kernel;
using host::bug_check;

namespace {

host::Thread& self() { return Kernel::current().scheduler().running(); }

// Event services run at DISPATCH_LEVEL at most, on an event that was
// initialised: its wait list points to itself. Zeroed memory would pass as a
// notification event here; on the platform its wait list is garbage.
void check_event(PRKEVENT event, const char* service) {
    if (self().irql > DISPATCH_LEVEL) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "%s at IRQL %u", service, self().irql);
        bug_check(host::Check::IrqlTooHigh, detail);
    }
    UCHAR type = event->Header.Type;
    if ((type != NotificationEvent && type != SynchronizationEvent) || !host::initialised(event->Header)) {
        char detail[128];
        std::snprintf(detail, sizeof detail, "%s(%p): not an initialised event (type 0x%02X)",
                      service, static_cast<void*>(event), type);
        bug_check(host::Check::NotADispatcherObject, detail);
    }
}

void check_waitable(PVOID object, const char* service, bool thread_allowed) {
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    UCHAR type = header->Type;
    if (type == host::kThreadObject && !thread_allowed) {
        // Windows 98 and Me hand the object to the VxD layer unchecked, and a
        // thread object has no dispatcher header there: the wait crashes the
        // system (W. Oney, Programming the Microsoft Windows Driver Model,
        // 2nd ed., the Windows 98/Me notes on waiting for system threads).
        char detail[160];
        std::snprintf(detail, sizeof detail,
                      "%s(%p) on a thread object: Windows 98 SE and Me cannot wait on a thread "
                      "(the thread must set an event before PsTerminateSystemThread)", service, object);
        bug_check(host::Check::WaitOnThread, detail);
    }
    if ((type != NotificationEvent && type != SynchronizationEvent && type != host::kThreadObject) ||
        !host::initialised(*header)) {
        char detail[128];
        std::snprintf(detail, sizeof detail, "%s(%p): not an initialised dispatcher object (type 0x%02X)",
                      service, object, type);
        bug_check(host::Check::NotADispatcherObject, detail);
    }
}

// Converts a kernel time-out to an absolute virtual deadline.
std::optional<host::Time> deadline_of(PLARGE_INTEGER timeout) {
    if (timeout == nullptr) return std::nullopt;
    host::Time now = Kernel::current().now();
    if (timeout->QuadPart < 0) return now - timeout->QuadPart;
    return timeout->QuadPart;  // absolute system time, on the same clock
}

void check_wait_irql(PLARGE_INTEGER timeout, const char* service) {
    KIRQL irql = self().irql;
    bool zero = timeout != nullptr && timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !zero)) {
        char detail[128];
        std::snprintf(detail, sizeof detail, "%s with %s time-out at IRQL %u", service,
                      timeout == nullptr ? "no" : "a non-zero", irql);
        bug_check(host::Check::IrqlTooHigh, detail);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// IRQL

KIRQL KeGetCurrentIrql() { return self().irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    host::Thread& thread = self();
    Kernel::current().scheduler().check_no_wait_owed("KeRaiseIrql");
    if (NewIrql < thread.irql) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "KeRaiseIrql to %u from %u", NewIrql, thread.irql);
        bug_check(host::Check::IrqlRaisedDownwards, detail);
    }
    *OldIrql = thread.irql;
    thread.irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    host::Thread& thread = self();
    Kernel::current().scheduler().check_no_wait_owed("KeLowerIrql");
    if (NewIrql > thread.irql) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "KeLowerIrql to %u from %u", NewIrql, thread.irql);
        bug_check(host::Check::IrqlLoweredUpwards, detail);
    }
    thread.irql = NewIrql;
}

// ---------------------------------------------------------------------------
// Events and waits

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

// With Wait TRUE the caller keeps the dispatcher lock, at DISPATCH_LEVEL, for
// a wait that must come next (KeWaitFor...), as on the platform.
LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN Wait) {
    check_event(Event, "KeSetEvent");
    host::Thread& thread = self();
    Kernel::current().scheduler().check_no_wait_owed("KeSetEvent");
    if (!Wait) {
        const LONG previous = Kernel::current().set_event(Event, false);
        // A system thread's exit signal, if it ends next: another thread may
        // run before it does, and its driver may be unloaded meanwhile.
        thread.after_set_event = true;
        Kernel::current().scheduler().yield(true);
        return previous;
    }
    const LONG previous = Kernel::current().set_event(Event, false);
    thread.owes_wait = thread.irql;
    thread.irql = std::max<KIRQL>(thread.irql, DISPATCH_LEVEL);
    return previous;
}

namespace {

// The wait a KeSetEvent with Wait TRUE owed: the thread is back at its IRQL.
void pay_owed_wait() {
    host::Thread& thread = self();
    if (!thread.owes_wait) return;
    thread.irql = *thread.owes_wait;
    thread.owes_wait.reset();
}

}  // namespace

VOID KeClearEvent(PRKEVENT Event) {
    check_event(Event, "KeClearEvent");
    Event->Header.SignalState = 0;
    Kernel::current().scheduler().yield();
}

LONG KeResetEvent(PRKEVENT Event) {
    check_event(Event, "KeResetEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    Kernel::current().scheduler().yield();
    return previous;
}

namespace {

const NTSTATUS kWaitDisturbed = static_cast<NTSTATUS>(0xFFFFFFFFu);

// A driver's wait. Windows 98 and Me answer a wait now and then with
// 0xFFFFFFFF, a value no header documents, without the object being signalled
// (Oney, 2nd ed., the Windows 98/Me notes on kernel waits). Here one in so
// many of the driver's waits that may block does, under the seed; nothing is
// consumed. One without a time-out answers at once; one with a time-out is
// disturbed somewhere within it, at a moment drawn under the seed, unless its
// objects end it first. A kernel wait on 98 is a VWIN32 wait, which "can only
// be called when the current VM is the system VM" (Windows 98 DDK,
// _VWIN32_WaitSingleObject): in a call from another virtual machine every
// wait answers so, at once.
NTSTATUS driver_wait(std::span<DISPATCHER_HEADER* const> headers, WAIT_TYPE type, PLARGE_INTEGER timeout,
                     const char* service) {
    Kernel& kernel = Kernel::current();
    host::Scheduler& scheduler = kernel.scheduler();
    const bool zero = timeout != nullptr && timeout->QuadPart == 0;
    const bool other_vm = self().other_vm;
    if (!other_vm && (zero || !kernel.spurious_wait())) {
        return scheduler.wait(headers, type, deadline_of(timeout), service);
    }
    if (other_vm || timeout == nullptr) {
        scheduler.yield();
        return kWaitDisturbed;
    }
    const host::Time within = static_cast<host::Time>(scheduler.draw(static_cast<std::uint64_t>(-timeout->QuadPart)));
    const NTSTATUS status = scheduler.wait(headers, type, kernel.now() + within, service);
    return status == STATUS_TIMEOUT ? kWaitDisturbed : status;
}

// A driver's time-out is relative (negative). Windows 98's kernel waits are
// VWIN32 waits, whose time-outs are relative milliseconds; nothing public
// shows how NTKERN converts an absolute time, and the system time follows a
// clock the user can set. Stricter than the platform: an absolute time-out is
// a bug check.
void check_relative(PLARGE_INTEGER timeout, const char* service) {
    if (timeout == nullptr || timeout->QuadPart <= 0) return;
    char detail[160];
    std::snprintf(detail, sizeof detail, "%s with the absolute time-out %lld: Windows 98's waits take relative ones",
                  service, static_cast<long long>(timeout->QuadPart));
    bug_check(host::Check::AbsoluteTimeout, detail);
}

}  // namespace

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
    pay_owed_wait();
    check_wait_irql(Timeout, "KeWaitForSingleObject");
    check_relative(Timeout, "KeWaitForSingleObject");
    check_waitable(Object, "KeWaitForSingleObject", false);
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    return driver_wait(std::span(&header, 1), WaitAny, Timeout, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                  KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
    pay_owed_wait();
    check_wait_irql(Timeout, "KeWaitForMultipleObjects");
    check_relative(Timeout, "KeWaitForMultipleObjects");
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
        (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
        char detail[128];
        std::snprintf(detail, sizeof detail,
                      "KeWaitForMultipleObjects with %u objects and %s wait-block array", Count,
                      WaitBlockArray ? "a" : "no");
        bug_check(host::Check::TooManyWaitObjects, detail);
    }
    std::vector<DISPATCHER_HEADER*> headers;
    for (ULONG i = 0; i < Count; ++i) {
        check_waitable(Object[i], "KeWaitForMultipleObjects", false);
        headers.push_back(static_cast<DISPATCHER_HEADER*>(Object[i]));
    }
    return driver_wait(headers, WaitType, Timeout, "KeWaitForMultipleObjects");
}

NTSTATUS host::wait_for(PVOID object, PLARGE_INTEGER timeout) {
    check_wait_irql(timeout, "a host wait");
    check_waitable(object, "a host wait", true);
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    return Kernel::current().scheduler().wait(std::span(&header, 1), WaitAny, deadline_of(timeout), "a host wait");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    if (self().irql >= DISPATCH_LEVEL) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "KeDelayExecutionThread at IRQL %u", self().irql);
        bug_check(host::Check::IrqlTooHigh, detail);
    }
    check_relative(Interval, "KeDelayExecutionThread");
    Kernel::current().scheduler().wait({}, WaitAny, deadline_of(Interval), "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = Kernel::current().now(); }

// ---------------------------------------------------------------------------
// Interlocked operations: each is a scheduling point, so that another thread
// can run between a plain read and the exchange that follows it.

namespace {
void interlocked_point() { Kernel::current().scheduler().yield(); }
}  // namespace

LONG InterlockedIncrement(LONG volatile* Addend) {
    interlocked_point();
    LONG value = static_cast<LONG>(static_cast<ULONG>(*Addend) + 1u);
    *Addend = value;
    return value;
}

LONG InterlockedDecrement(LONG volatile* Addend) {
    interlocked_point();
    LONG value = static_cast<LONG>(static_cast<ULONG>(*Addend) - 1u);
    *Addend = value;
    return value;
}

LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    interlocked_point();
    LONG old = *Target;
    *Target = Value;
    return old;
}

LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    interlocked_point();
    LONG old = *Addend;
    *Addend = static_cast<LONG>(static_cast<ULONG>(old) + static_cast<ULONG>(Value));
    return old;
}

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
    interlocked_point();
    LONG old = *Destination;
    if (old == Comperand) *Destination = Exchange;
    return old;
}

PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    interlocked_point();
    PVOID old = *Target;
    *Target = Value;
    return old;
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                        PVOID Comperand) {
    interlocked_point();
    PVOID old = *Destination;
    if (old == Comperand) *Destination = Exchange;
    return old;
}

// ---------------------------------------------------------------------------
// Threads and objects

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID,
                              PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    Kernel& kernel = Kernel::current();
    if (self().irql != PASSIVE_LEVEL) {
        bug_check(host::Check::IrqlTooHigh, "PsCreateSystemThread above PASSIVE_LEVEL");
    }
    if (kernel.faults().reached(host::FaultKind::Thread, "PsCreateSystemThread")) return STATUS_INSUFFICIENT_RESOURCES;
    std::string name = "system thread " + std::to_string(kernel.scheduler().threads().size());
    host::Thread& created = kernel.scheduler().spawn(
        std::move(name), [StartRoutine, StartContext] { StartRoutine(StartContext); }, true);
    *ThreadHandle = kernel.objects().open(host::ObjectTable::Kind::Thread, &created.object);
    kernel.scheduler().yield();
    return STATUS_SUCCESS;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { Kernel::current().initialise_spin_lock(SpinLock); }

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) { Kernel::current().acquire_spin_lock(SpinLock, OldIrql); }

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { Kernel::current().release_spin_lock(SpinLock, NewIrql); }

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE) {
    if (self().irql > DISPATCH_LEVEL) bug_check(host::Check::IrqlTooHigh, "ExQueueWorkItem above DISPATCH_LEVEL");
    Kernel::current().queue_work_item(WorkItem);
}

NTSTATUS PsTerminateSystemThread(NTSTATUS) {
    host::Thread& thread = self();
    if (!thread.driver_thread) {
        bug_check(host::Check::NotASystemThread,
                  "PsTerminateSystemThread called by '" + thread.name + "', not a system thread");
    }
    if (thread.irql != PASSIVE_LEVEL) {
        bug_check(host::Check::IrqlTooHigh, "PsTerminateSystemThread above PASSIVE_LEVEL");
    }
    host::end_thread(thread);
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE, PVOID* Object, POBJECT_HANDLE_INFORMATION) {
    if (Kernel::current().faults().reached(host::FaultKind::ThreadReference, "ObReferenceObjectByHandle")) {
        return STATUS_INVALID_HANDLE;
    }
    return Kernel::current().objects().reference_by_handle(Handle, ObjectType, Object);
}

LONG_PTR ObfDereferenceObject(PVOID Object) { return Kernel::current().objects().dereference(Object); }

NTSTATUS ZwClose(HANDLE Handle) { return Kernel::current().objects().close(Handle); }

PKTHREAD KeGetCurrentThread() { return &self().object; }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    host::Thread* thread = Kernel::current().scheduler().find(Thread);
    if (thread == nullptr) bug_check(host::Check::UnknownThread, "KeSetPriorityThread on an unknown thread");
    KPRIORITY old = thread->priority;
    thread->priority = Priority;
    return old;
}
