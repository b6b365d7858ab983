#include "host/kernel/verifier.h"

#include <algorithm>
#include <cstdio>

#include "host/kernel/kernel.h"

namespace host {

namespace {

constexpr CheckEntry kCatalogue[] = {
#define TORVEX_CHECK_ENTRY(id, name, qualifier, origin, rule) {name, qualifier, Origin::origin, rule},
    TORVEX_CHECKS(TORVEX_CHECK_ENTRY)
#undef TORVEX_CHECK_ENTRY
};

const char* origin_text(Origin origin) {
    switch (origin) {
    case Origin::Platform: return "the platform";
    case Origin::Windows98: return "Windows 98 SE";
    case Origin::DriverVerifier: return "NT's Driver Verifier";
    case Origin::Host: return "the host";
    }
    return "";
}

// The name a report shows: the bug check's, with its qualifier if it has one.
std::string shown_name(const CheckEntry& check) {
    std::string name = check.name;
    if (*check.qualifier != '\0') name += " (" + std::string(check.qualifier) + ")";
    return name;
}

}  // namespace

const CheckEntry& entry(Check check) { return kCatalogue[static_cast<std::size_t>(check)]; }

std::string catalogue_table() {
    std::string out = "| bug check | rule | from |\n|---|---|---|\n";
    for (const CheckEntry& check : kCatalogue) {
        out += "| `" + std::string(check.name) + "`";
        if (*check.qualifier != '\0') out += " (" + std::string(check.qualifier) + ")";
        out += " | " + std::string(check.rule) + " | " + origin_text(check.origin) + " |\n";
    }
    return out;
}

void bug_check(Check check, const std::string& detail) {
    const std::string name = shown_name(entry(check));
    if (!Kernel::exists()) {
        std::fprintf(stderr, "\n*** BUG CHECK %s\n%s\n", name.c_str(), detail.c_str());
        std::abort();
    }
    Kernel::current().report_bug_check(name, detail);
}

// ---------------------------------------------------------------------------
// Drivers and device objects

std::string Verifier::driver_name(PDRIVER_OBJECT driver) const {
    return to_utf8(from_unicode_string(&driver->DriverName));
}

std::string Verifier::device_name(PDEVICE_OBJECT device) const { return to_utf8(m_io.device_name(device)); }

void Verifier::entry_failed(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject != nullptr) {
        bug_check(Check::DriverLeftDevices, "DriverEntry failed but left device objects");
    }
}

void Verifier::unloading(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject != nullptr) {
        bug_check(Check::UnloadedWithDevices, "driver " + driver_name(driver) + " is unloaded while device object " +
                                                  device_name(driver->DeviceObject) + " still exists");
    }
    for (const auto& thread : m_kernel.scheduler().threads()) {
        if (thread->driver_thread && thread->state != ThreadState::Terminated) {
            bug_check(Check::UnloadedWithThreads, "driver " + driver_name(driver) + " is unloaded while its thread '" +
                                                      thread->name + "' has not ended");
        }
    }
    if (m_kernel.work_items() != 0) {
        bug_check(Check::UnloadedWithWorkItems,
                  "driver " + driver_name(driver) + " is unloaded while a work item is queued or running");
    }
    std::string references = m_kernel.objects().report();
    if (!references.empty()) {
        bug_check(Check::UnloadedWithReferences,
                  "driver " + driver_name(driver) + " is unloaded while it holds handles or references:\n" + references);
    }
}

void Verifier::deleting(PDEVICE_OBJECT device, bool handles_open) {
    if (!m_io.is_live_device(device)) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "IoDeleteDevice(%p): %s", static_cast<void*>(device),
                      m_io.was_deleted(device) ? "already deleted" : "not a device object");
        bug_check(Check::InvalidDeviceObject, detail);
    }
    std::string name = device_name(device);
    if (device->DeviceObjectExtension->AttachedTo != nullptr) {
        bug_check(Check::DeletedWhileAttached, name + " is deleted while still attached to " +
                                                   device_name(device->DeviceObjectExtension->AttachedTo) +
                                                   " (IoDetachDevice first)");
    }
    if (device->AttachedDevice != nullptr) {
        bug_check(Check::DeletedWhileAttached,
                  name + " is deleted while " + device_name(device->AttachedDevice) + " is attached on top of it");
    }
    m_io.irps().for_each([&](void* address, const IrpRecord& rec) {
        if (rec.watch.state == IrpWatch::State::Idle) return;
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
        const bool leaving = rec.watch.state == IrpWatch::State::Completing && rec.watch.in_routine;
        for (int loc = std::max<int>(irp->CurrentLocation + (leaving ? 1 : 0), 1); loc <= irp->StackCount; ++loc) {
            if (stack[loc - 1].DeviceObject == device) {
                irp_bug_check(Check::DeletedWithRequests, irp,
                              name + " is deleted while this IRP is still in flight on it");
            }
        }
    });
}

void Verifier::attaching(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    if (!m_io.is_live_device(source) || !m_io.is_live_device(target)) {
        bug_check(Check::InvalidDeviceObject, "IoAttachDeviceToDeviceStack with a deleted device");
    }
    if (source->DeviceObjectExtension->AttachedTo != nullptr) {
        bug_check(Check::AlreadyAttached, device_name(source) + " is attached to a stack a second time");
    }
}

void Verifier::detaching(PDEVICE_OBJECT target) {
    if (!m_io.is_live_device(target)) bug_check(Check::InvalidDeviceObject, "IoDetachDevice with a deleted device");
    if (target->AttachedDevice == nullptr) {
        bug_check(Check::NotAttached, "IoDetachDevice: nothing is attached to " + device_name(target));
    }
}

// ---------------------------------------------------------------------------
// IRPs

IrpRecord& Verifier::live(PIRP irp, const char* operation) {
    if (IrpRecord* rec = m_io.irps().find(irp)) return *rec;
    // A released IRP's block stays in the pool's quarantine for a while.
    const Pool::Block* freed = m_kernel.pool().freed(irp);
    const bool released = freed != nullptr && freed->tag == pool_tag("Irp ");
    char detail[160];
    std::snprintf(detail, sizeof detail, "%s(%p): %s", operation, static_cast<void*>(irp),
                  released ? "the IRP was already completed and released" : "the address is not a live IRP");
    bug_check(released ? Check::IrpUsedAfterRelease : Check::InvalidIrp, detail);
}

void Verifier::irp_bug_check(Check check, PIRP irp, const std::string& detail) {
    bug_check(check, m_io.describe(irp) + "\n" + detail);
}

void Verifier::allocating(CCHAR stack_size) {
    if (stack_size < 1) bug_check(Check::InvalidStackSize, "an IRP needs at least one stack location");
}

void Verifier::freeing(PIRP irp, IrpRecord& rec) {
    if (rec.threaded) {
        irp_bug_check(Check::FreedByDriver, irp,
                      "a driver freed an IRP that the I/O manager built and releases itself");
    }
    // While it completes, the IRP may be freed at the top of its stack, or
    // while one of its completion routines runs (by the routine, or by a
    // party it hands the IRP to); the routine must then return
    // STATUS_MORE_PROCESSING_REQUIRED, which is checked when it returns.
    const IrpWatch::State state = rec.watch.state;
    const bool at_top = irp->CurrentLocation > irp->StackCount;
    bool allowed = state == IrpWatch::State::Idle || state == IrpWatch::State::Returned ||
                   (state == IrpWatch::State::Completing && (at_top || rec.watch.in_routine));
    if (!allowed) irp_bug_check(Check::FreedWhileOwned, irp, "the IRP is freed while a driver below still owns it");
}

void Verifier::retiring(PIRP irp, const IrpRecord& rec) {
    if (!rec.watch.power) return;
    for (PDRIVER_OBJECT driver : rec.watch.power_drivers) {
        if (std::find(rec.watch.power_starts.begin(), rec.watch.power_starts.end(), driver) ==
            rec.watch.power_starts.end()) {
            irp_bug_check(Check::PowerIrpNotStarted, irp,
                          "driver " + driver_name(driver) + " never called PoStartNextPowerIrp for this power IRP");
        }
    }
}

void Verifier::has_current(PIRP irp, const char* operation, const char* detail) {
    live(irp, operation);
    if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) {
        irp_bug_check(Check::NoCurrentLocation, irp, detail);
    }
}

void Verifier::has_next(PIRP irp, const char* operation, const char* detail) {
    live(irp, operation);
    if (irp->CurrentLocation <= 1) irp_bug_check(Check::NoMoreLocations, irp, detail);
}

// ---------------------------------------------------------------------------
// Calls and dispatch routines

void Verifier::calling(PDEVICE_OBJECT device, PIRP irp) {
    live(irp, "IofCallDriver");
    if (!m_io.is_live_device(device)) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "IofCallDriver to %p: %s", static_cast<void*>(device),
                      m_io.was_deleted(device) ? "the device object was deleted" : "not a device object");
        irp_bug_check(Check::InvalidDeviceObject, irp, detail);
    }
}

Verifier::Frame* Verifier::sending(PDEVICE_OBJECT device, PIRP irp) {
    if (irp->CurrentLocation <= 1) {
        irp_bug_check(Check::NoMoreLocations, irp,
                      "IofCallDriver to " + device_name(device) + " but the IRP has no stack location left");
    }
    // The dispatch routine passing the request on, if one is: the innermost
    // on this thread running on it.
    Frame* caller = nullptr;
    const std::uint32_t thread = m_kernel.scheduler().running().id;
    const std::uint64_t id = m_io.irps().at(irp).id;
    for (Frame* frame : m_frames) {
        if (frame->id == id && frame->thread == thread) caller = frame;
    }
    return caller;
}

void Verifier::sent(Frame* caller, NTSTATUS status) {
    if (caller != nullptr) caller->passed_on = status;
}

void Verifier::entering(PDEVICE_OBJECT device, const IO_STACK_LOCATION& location, IrpRecord& rec) {
    rec.watch.state = IrpWatch::State::InFlight;
    if (location.MajorFunction != IRP_MJ_POWER) return;
    rec.watch.power = true;
    std::vector<PDRIVER_OBJECT>& drivers = rec.watch.power_drivers;
    if (std::find(drivers.begin(), drivers.end(), device->DriverObject) == drivers.end()) {
        drivers.push_back(device->DriverObject);
    }
}

Verifier::Dispatch::Dispatch(Verifier& verifier, PIRP irp, std::uint64_t id)
    : m_verifier(verifier),
      m_frame{id, irp->CurrentLocation, verifier.m_kernel.scheduler().running().id},
      m_entry(verifier.m_kernel.scheduler().running().irql) {
    if (irp->Tail.Overlay.CurrentStackLocation->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        m_verifier.irp_bug_check(Check::InvalidMajorFunction, irp, "major function out of range");
    }
    m_verifier.m_frames.push_back(&m_frame);
}

// The frame leaves the list however the dispatch routine ends, even when its
// thread is unwound at the end of the world.
Verifier::Dispatch::~Dispatch() { std::erase(m_verifier.m_frames, &m_frame); }

void Verifier::Dispatch::returned(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status, UCHAR major) {
    m_verifier.irql_kept(m_entry, "a dispatch routine", major);
    const Frame& frame = m_frame;
    // The device's name, for a report only: the common case makes none.
    auto name = [&] { return m_verifier.device_name(device); };
    if (status == STATUS_PENDING) {
        if (!frame.popped) {
            // Not completed past this level yet: the mark may still arrive from
            // below (propagation or a completion routine); checked when it pops.
            auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
            if (!(stack[frame.location - 1].Control & SL_PENDING_RETURNED)) {
                std::vector<int>& owed = m_verifier.m_io.irps().at(irp).watch.pending_owed;
                if (std::find(owed.begin(), owed.end(), frame.location) == owed.end()) owed.push_back(frame.location);
            }
        } else if (!frame.pending_at_pop) {
            char detail[200];
            std::snprintf(detail, sizeof detail,
                          "IRP #%llu: the dispatch routine of %s returned STATUS_PENDING but "
                          "never marked the IRP pending (IoMarkIrpPending)",
                          static_cast<unsigned long long>(frame.id), name().c_str());
            bug_check(Check::PendingNotMarked, detail);
        }
    } else if (frame.popped && (frame.pending_at_pop || status != frame.status_at_pop)) {
        // The request was completed past this level while the routine ran: it
        // returns the status the request was completed with, and not after
        // marking it pending.
        char detail[240];
        std::snprintf(detail, sizeof detail, "IRP #%llu: the dispatch routine of %s returned 0x%08X for a request %s",
                      static_cast<unsigned long long>(frame.id), name().c_str(), static_cast<unsigned>(status),
                      frame.pending_at_pop ? "it had marked pending (it must return STATUS_PENDING)"
                                           : "completed with another status");
        bug_check(Check::DispatchStatusMismatch, detail);
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
                      static_cast<unsigned long long>(frame.id), name().c_str(), static_cast<unsigned>(status));
        bug_check(Check::DispatchStatusMismatch, detail);
    }
}

void Verifier::irql_kept(KIRQL entry, const char* routine, UCHAR major) {
    const KIRQL now = m_kernel.scheduler().running().irql;
    if (now == entry) return;
    char detail[160];
    std::snprintf(detail, sizeof detail, "%s (major 0x%02X) returned at IRQL %u; it was called at IRQL %u", routine,
                  major, now, entry);
    bug_check(Check::IrqlNotKept, detail);
}

// ---------------------------------------------------------------------------
// Completion

std::uint64_t Verifier::completing(PIRP irp, IrpRecord& rec) {
    const bool at_top = irp->CurrentLocation > irp->StackCount;
    // At the top of its stack, only a request the I/O manager built may be
    // completed again, by its originator, once a completion routine gave it
    // back with STATUS_MORE_PROCESSING_REQUIRED.
    const bool never_sent = rec.watch.state == IrpWatch::State::Idle;
    if (never_sent || (at_top && !rec.threaded)) {
        irp_bug_check(Check::MultipleCompletions, irp,
                      never_sent ? "the IRP is completed but was never sent"
                                 : "the IRP is completed again at the top of its stack");
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        irp_bug_check(Check::CompletedWithPending, irp, "an IRP is completed with STATUS_PENDING");
    }
    if (irp->CancelRoutine != nullptr) {
        irp_bug_check(Check::CancelRoutineAtCompletion, irp, "the IRP is completed while its cancel routine is still set");
    }
    // A completion that starts while a completion routine of this IRP still
    // runs is legal only if that routine returns STATUS_MORE_PROCESSING_REQUIRED:
    // the epoch tells the routine's caller that it was overtaken.
    rec.watch.state = IrpWatch::State::Completing;
    return ++rec.watch.epoch;
}

void Verifier::popped(PIRP irp, IrpRecord& rec, int location, bool pending) {
    for (Frame* frame : m_frames) {
        if (frame->id == rec.id && frame->location == location) {
            frame->popped = true;
            frame->pending_at_pop = pending;
            frame->status_at_pop = irp->IoStatus.Status;
        }
    }
    const std::size_t owed = std::erase(rec.watch.pending_owed, location);
    if (owed != 0 && !pending) {
        irp_bug_check(Check::PendingNotMarked, irp,
                      "a dispatch routine returned STATUS_PENDING for this IRP but its stack "
                      "location was never marked pending");
    }
}

KIRQL Verifier::routine_called(IrpRecord& rec) {
    rec.watch.in_routine = true;
    return m_kernel.scheduler().running().irql;
}

void Verifier::routine_returned(PIRP irp, std::uint64_t id, std::uint64_t epoch, NTSTATUS result, KIRQL entry,
                                UCHAR major) {
    irql_kept(entry, "a completion routine", major);
    IrpRecord* after = m_io.irps().find(irp);
    if (after == nullptr || after->id != id) {
        if (result != STATUS_MORE_PROCESSING_REQUIRED) {
            char detail[160];
            std::snprintf(detail, sizeof detail,
                          "IRP #%llu: a completion routine released the IRP but returned "
                          "0x%08X instead of STATUS_MORE_PROCESSING_REQUIRED",
                          static_cast<unsigned long long>(id), static_cast<unsigned>(result));
            bug_check(Check::IrpUsedAfterRelease, detail);
        }
        return;
    }
    after->watch.in_routine = false;
    if (after->watch.epoch != epoch) {
        if (result != STATUS_MORE_PROCESSING_REQUIRED) {
            irp_bug_check(Check::MultipleCompletions, irp,
                          "the IRP was completed again while a completion routine that did not return "
                          "STATUS_MORE_PROCESSING_REQUIRED was running");
        }
        return;
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED) after->watch.state = IrpWatch::State::Returned;
}

void Verifier::reached_top(PIRP irp, const IrpRecord& rec) {
    if (!rec.threaded) {
        irp_bug_check(Check::DriverIrpReachedTop, irp,
                      "an IRP allocated with IoAllocateIrp reached the top of its stack: its "
                      "last completion routine must return STATUS_MORE_PROCESSING_REQUIRED");
    }
}

void Verifier::requester_gone(PIRP irp, bool gone) {
    if (gone) irp_bug_check(Check::IrpThreadGone, irp, "the thread that built this IRP has ended before its completion");
}

IrpRecord& Verifier::finishing(PIRP irp, std::uint64_t id) {
    IrpRecord* found = m_io.irps().find(irp);
    if (found == nullptr || found->id != id) {
        bug_check(Check::IrpUsedAfterRelease, "a built IRP was released before its final completion");
    }
    return *found;
}

void Verifier::copying_back(PIRP irp, const IrpRecord& rec) {
    if (!NT_ERROR(irp->IoStatus.Status) && irp->IoStatus.Information > rec.user_output_length) {
        irp_bug_check(Check::InformationTooLarge, irp,
                      "a buffered request completed with Information " + std::to_string(irp->IoStatus.Information) +
                          " for an output buffer of " + std::to_string(rec.user_output_length) + " bytes");
    }
}

// ---------------------------------------------------------------------------
// Cancellation

void Verifier::cancel_returned(KIRQL irql, const HeldLock& lock) {
    irql_kept(irql, "a cancel routine", 0xFF);
    if (lock.held_by(m_kernel.scheduler().running())) {
        bug_check(Check::CancelLockNotReleased, "a cancel routine returned without IoReleaseCancelSpinLock");
    }
}

void Verifier::acquiring(const HeldLock& lock) {
    if (lock.held_by(m_kernel.scheduler().running())) {
        bug_check(Check::CancelLockRecursion, "the cancel spin lock is acquired twice by one thread");
    }
}

void Verifier::releasing(const HeldLock& lock) {
    if (!lock.held_by(m_kernel.scheduler().running())) {
        bug_check(Check::CancelLockNotHeld, "IoReleaseCancelSpinLock by a thread that does not hold it");
    }
}

// ---------------------------------------------------------------------------
// Power

void Verifier::power_started(PIRP irp, IrpRecord& rec) {
    if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) {
        irp_bug_check(Check::NoCurrentLocation, irp, "PoStartNextPowerIrp outside the IRP's stack");
    }
    PDEVICE_OBJECT device = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    if (irp->Tail.Overlay.CurrentStackLocation->MajorFunction != IRP_MJ_POWER || device == nullptr) {
        irp_bug_check(Check::NotAPowerIrp, irp, "PoStartNextPowerIrp for an IRP that is not a power IRP");
    }
    PDRIVER_OBJECT driver = device->DriverObject;
    std::vector<PDRIVER_OBJECT>& starts = rec.watch.power_starts;
    if (std::find(starts.begin(), starts.end(), driver) != starts.end()) {
        irp_bug_check(Check::PowerIrpStartedTwice, irp,
                      "driver " + driver_name(driver) + " called PoStartNextPowerIrp twice for this power IRP");
    }
    starts.push_back(driver);
}

}  // namespace host
