// The verifier: every check that stops a run (a bug check), in one catalogue,
// and the watch it keeps over IRPs for the I/O manager.
//
// Each check has the bug-check name its report shows, the rule in one line,
// and where the rule comes from: the platform's documented behaviour, Windows
// 98 SE's own, a rule of NT's Driver Verifier that is stricter than 98 (a
// driver can keep it at no cost there), or the host's own (stricter than any
// platform, or the world itself gone wrong). docs/ARCHITECTURE.md shows the
// same catalogue, rendered from it (a test compares the two).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/wdm.h"

namespace host {

enum class Origin { Platform, Windows98, DriverVerifier, Host };

// X(identifier, bug-check name, the report's qualifier or "", origin, rule)
#define TORVEX_CHECKS(X)                                                                                               \
    /* IRQL */                                                                                                         \
    X(IrqlTooHigh, "IRQL_NOT_LESS_OR_EQUAL", "", Platform,                                                             \
      "a service is called above the highest IRQL it allows (a wait with a time-out or a delay at DISPATCH_LEVEL, "    \
      "paged pool at DISPATCH_LEVEL, a thread service above PASSIVE_LEVEL)")                                          \
    X(IrqlLoweredUpwards, "IRQL_NOT_LESS_OR_EQUAL", "", Platform, "KeLowerIrql to an IRQL above the current one")    \
    X(IrqlRaisedDownwards, "IRQL_NOT_GREATER_OR_EQUAL", "", Platform,                                                 \
      "KeRaiseIrql to an IRQL below the current one")                                                                 \
    X(PowerAbovePassive, "IRQL_NOT_LESS_OR_EQUAL", "", Windows98,                                                     \
      "a power request sent or requested above PASSIVE_LEVEL: 98 sends and completes them at PASSIVE_LEVEL")          \
    X(IrqlNotKept, "IRQL_UNEXPECTED_VALUE", "", DriverVerifier,                                                       \
      "a dispatch, completion, cancel or work-item routine returns at another IRQL than it was called at")            \
    /* Waits, events, threads */                                                                                       \
    X(NotADispatcherObject, "INVALID_DISPATCHER_OBJECT", "", Host,                                                    \
      "an event service or a wait on something that is not an initialised event or dispatcher object (zeroed "       \
      "memory passes on the platform)")                                                                                \
    X(WaitOnThread, "INVALID_DISPATCHER_OBJECT", "", Windows98,                                                       \
      "a driver's wait on a thread object: 98 hands it to the VxD layer, where a thread has no dispatcher header")    \
    X(AbsoluteTimeout, "ABSOLUTE_TIMEOUT", "", Windows98,                                                             \
      "a driver's wait or delay with an absolute time-out: 98's kernel waits are VWIN32 waits, with relative ones")   \
    X(TooManyWaitObjects, "MAXIMUM_WAIT_OBJECTS_EXCEEDED", "", Platform,                                              \
      "KeWaitForMultipleObjects with no object, more than MAXIMUM_WAIT_OBJECTS, or more than THREAD_WAIT_OBJECTS "    \
      "without a wait-block array")                                                                                    \
    X(WaitOwed, "DRIVER_VERIFIER_DETECTED_VIOLATION", "KeSetEvent with Wait TRUE not followed by a wait",             \
      DriverVerifier, "after KeSetEvent with Wait TRUE (the caller left at DISPATCH_LEVEL) anything but a wait")       \
    X(NotASystemThread, "INVALID_PROCESS_ATTACH_ATTEMPT", "", Platform,                                               \
      "PsTerminateSystemThread from a thread that is not a system thread")                                            \
    X(UnknownThread, "INVALID_THREAD", "", Host, "KeSetPriorityThread on a thread that does not exist")               \
    X(ThreadRanAfterEvent, "DRIVER_UNLOADED_WITH_THREADS", "", Windows98,                                             \
      "a driver thread runs driver code after setting the event its driver's unload waits for: on 98 the event is "  \
      "its last act before PsTerminateSystemThread")                                                                   \
    X(NoReference, "REFERENCE_BY_POINTER", "", Platform, "ObDereferenceObject on an object without a reference held") \
    X(InvalidWorkItem, "INVALID_WORK_ITEM", "", DriverVerifier,                                                       \
      "ExQueueWorkItem with no routine, or for an item queued whose routine has not begun")                          \
    X(SpinLockAlreadyOwned, "SPIN_LOCK_ALREADY_OWNED", "", Platform, "a spin lock acquired by the thread holding it")  \
    X(SpinLockNotOwned, "SPIN_LOCK_NOT_OWNED", "", Platform, "a spin lock released by a thread not holding it")        \
    X(SpinLockNotInitialised, "SPIN_LOCK_NOT_INITIALISED", "", Host, "a spin lock acquired that was never initialised") \
    /* Pool */                                                                                                         \
    X(NotAPoolBlock, "BAD_POOL_CALLER", "", Platform, "ExFreePool of an address that is not a pool block")            \
    X(DoubleFree, "BAD_POOL_CALLER", "double free", Platform,                                                         \
      "ExFreePool of a block already freed (told however many allocations came between)")                             \
    X(PoolFreedInUse, "DRIVER_VERIFIER_DETECTED_VIOLATION", "pool freed while in use", DriverVerifier,                \
      "a pool block freed while a thread waits on an object in it, or while the USB bus holds a URB or buffer in it") \
    X(WrittenAfterFree, "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION", "", DriverVerifier,                                \
      "a freed block written after its free (found when it leaves the quarantine)")                                   \
    X(WrittenPastEnd, "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION", "written past its end", DriverVerifier,             \
      "a pool block written past its end (found at its free, in the 16 guard bytes after every block; the "          \
      "sanitizer builds find it at the write)")                                                                        \
    /* Drivers and device objects */                                                                                   \
    X(DriverLeftDevices, "DRIVER_LEFT_DEVICES", "", Host, "DriverEntry fails and leaves device objects")               \
    X(UnloadedWithDevices, "DRIVER_UNLOADED_WITH_DEVICES", "", DriverVerifier,                                        \
      "a driver unloaded while a device object of its own exists")                                                    \
    X(UnloadedWithThreads, "DRIVER_UNLOADED_WITH_THREADS", "", Windows98,                                             \
      "a driver unloaded while a thread it created has not ended (98 cannot wait for a thread, only for its event)")  \
    X(UnloadedWithWorkItems, "DRIVER_UNLOADED_WITH_WORK_ITEMS", "", DriverVerifier,                                   \
      "a driver unloaded while a work item of its is queued or running")                                              \
    X(UnloadedWithReferences, "DRIVER_UNLOADED_WITH_REFERENCES", "", DriverVerifier,                                  \
      "a driver unloaded while it holds a handle or an object reference")                                             \
    X(InvalidDeviceObject, "INVALID_DEVICE_OBJECT", "", Host,                                                         \
      "a device service or request for a deleted device object, or for something that is not one")                   \
    X(PowerRequestNotForPdo, "INVALID_DEVICE_OBJECT", "", Windows98,                                                  \
      "PoRequestPowerIrp for a device object other than a physical device object: 98 takes the PDO only")            \
    X(DeletedWhileAttached, "DEVICE_DELETED_WHILE_ATTACHED", "", DriverVerifier,                                      \
      "a device object deleted while attached to a stack or with one attached on top")                                \
    X(DeletedWithRequests, "DEVICE_DELETED_WITH_REQUESTS", "", Host,                                                  \
      "a device object deleted while a request is in flight on it (not one made through its own open handle, nor "    \
      "one whose completion routine of that device runs)")                                                             \
    X(AlreadyAttached, "DEVICE_ALREADY_ATTACHED", "", Host, "a device object attached to a stack a second time")      \
    X(NotAttached, "DEVICE_NOT_ATTACHED", "", Host, "IoDetachDevice with nothing attached to the device")             \
    /* IRPs */                                                                                                         \
    X(InvalidIrp, "INVALID_IRP", "", Host, "an IRP service on an address that is not a live IRP")                     \
    X(IrpUsedAfterRelease, "IRP_USED_AFTER_RELEASE", "", DriverVerifier,                                              \
      "an IRP used after its release, or released by a completion routine that does not return "                     \
      "STATUS_MORE_PROCESSING_REQUIRED")                                                                               \
    X(InvalidStackSize, "INVALID_STACK_SIZE", "", Host, "an IRP allocated with no stack location")                   \
    X(FreedByDriver, "IRP_FREED_BY_DRIVER", "", DriverVerifier, "a driver frees an IRP the I/O manager built")        \
    X(FreedWhileOwned, "IRP_FREED_WHILE_OWNED", "", DriverVerifier,                                                   \
      "an IRP freed while a driver below still owns it")                                                              \
    X(NoCurrentLocation, "NO_CURRENT_STACK_LOCATION", "", Host,                                                       \
      "a stack-location service on an IRP that has no current location at the caller's level")                       \
    X(NoMoreLocations, "NO_MORE_IRP_STACK_LOCATIONS", "", Platform,                                                   \
      "a request sent on, or a next location taken, with no stack location left below")                              \
    X(InvalidMajorFunction, "INVALID_MAJOR_FUNCTION", "", Host, "a request with a major function out of range")       \
    X(PendingNotMarked, "PENDING_NOT_MARKED", "", DriverVerifier,                                                     \
      "STATUS_PENDING returned for an IRP whose location was never marked pending (checked when the completion "     \
      "passes it, so that a pass-through driver whose lower driver marks it is accepted)")                           \
    X(DispatchStatusMismatch, "DISPATCH_STATUS_MISMATCH", "", DriverVerifier,                                         \
      "a dispatch routine returns another status than it completed its request with, anything but STATUS_PENDING "   \
      "after marking it pending or when the lower driver returned STATUS_PENDING, or a status for a request it "     \
      "neither completed nor marked pending")                                                                          \
    X(MultipleCompletions, "MULTIPLE_IRP_COMPLETE_REQUESTS", "", Platform,                                            \
      "an IRP completed that was never sent, completed again at the top of its stack, or completed again while a "   \
      "completion routine that does not return STATUS_MORE_PROCESSING_REQUIRED runs")                                \
    X(CompletedWithPending, "IRP_COMPLETED_WITH_PENDING", "", DriverVerifier, "an IRP completed with STATUS_PENDING") \
    X(CancelRoutineAtCompletion, "CANCEL_ROUTINE_SET_AT_COMPLETION", "", DriverVerifier,                              \
      "an IRP completed while its cancel routine is still set")                                                       \
    X(CompletionWithoutRoutine, "NO_COMPLETION_ROUTINE", "", Platform,                                              \
      "IoSetCompletionRoutine asks for a routine to be called and gives none: the I/O manager would call address 0") \
    X(DriverIrpReachedTop, "DRIVER_IRP_REACHED_TOP", "", Platform,                                                    \
      "an IRP a driver allocated reaches the top of its stack: its last completion routine must take it back")       \
    X(IrpThreadGone, "IRP_THREAD_GONE", "", Host, "the thread that built an IRP ends before its final completion")    \
    X(InformationTooLarge, "IOCTL_INFORMATION_TOO_LARGE", "", DriverVerifier,                                         \
      "a buffered request completed with more Information than its output buffer holds")                             \
    X(BufferWithoutAddress, "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "invalid buffer", DriverVerifier,                 \
      "IoBuildDeviceIoControlRequest given a buffer's length without its address")                                    \
    X(CancelLockNotReleased, "CANCEL_LOCK_NOT_RELEASED", "", DriverVerifier,                                          \
      "a cancel routine returns without IoReleaseCancelSpinLock")                                                     \
    X(CancelLockRecursion, "CANCEL_LOCK_RECURSION", "", Host, "the cancel spin lock acquired by the thread holding it") \
    X(CancelLockNotHeld, "CANCEL_LOCK_NOT_HELD", "", Host, "IoReleaseCancelSpinLock by a thread not holding it")       \
    /* Power and Plug and Play */                                                                                      \
    X(PowerNotViaPoCallDriver, "POWER_IRP_NOT_VIA_POCALLDRIVER", "", DriverVerifier,                                  \
      "a power IRP passed down with IoCallDriver instead of PoCallDriver (the same call on 98)")                      \
    X(NotAPowerIrp, "NOT_A_POWER_IRP", "", DriverVerifier, "PoStartNextPowerIrp for an IRP that is not a power IRP")   \
    X(PowerIrpNotStarted, "POWER_IRP_NOT_STARTED", "", DriverVerifier,                                                \
      "a power IRP released without PoStartNextPowerIrp from each driver it passed (a no-op on 98)")                  \
    X(PowerIrpStartedTwice, "POWER_IRP_STARTED_TWICE", "", DriverVerifier,                                            \
      "PoStartNextPowerIrp twice by one driver for one power IRP")                                                    \
    X(PnpOutOfOrder, "PNP_OUT_OF_ORDER", "", Host,                                                                    \
      "a Plug and Play request the device's state does not allow, or one for a removed device")                       \
    X(PnpStatusChanged, "PNP_STATUS_CHANGED", "", DriverVerifier,                                                     \
      "a Plug and Play request the function driver does not handle reaches the bus with its status changed")         \
    X(RemovalNotPassedDown, "PNP_REMOVAL_NOT_PASSED_DOWN", "", Host,                                                  \
      "a removal request that never reached the physical device object")                                              \
    X(LeftAttached, "PNP_DEVICE_LEFT_ATTACHED", "", Host, "after its removal a device object still attached")        \
    X(LeftUndeleted, "PNP_DEVICE_LEFT_UNDELETED", "", Host, "after its removal the function driver's device object exists") \
    /* The image */                                                                                                    \
    X(ImageLoadFailed, "IMAGE_LOAD_FAILED", "", Windows98,                                                            \
      "the driver image does not load: malformed, or importing a routine 98 SE does not export")                     \
    X(DriverFault, "KMODE_EXCEPTION_NOT_HANDLED", "", Platform,                                                       \
      "the driver's code faults (the report names the routine of the image)")                                        \
    /* The world itself */                                                                                             \
    X(Deadlock, "DEADLOCK", "", Host, "no thread can run and no time-out is pending")                                \
    X(Livelock, "LIVELOCK", "", Host, "ten million scheduling points in a row while virtual time stands still")      \
    X(HostThreadException, "HOST_THREAD_EXCEPTION", "", Host, "a thread of the host ends with an exception")          \
    X(HostScheduler, "HOST_SCHEDULER", "", Host, "the scheduler's count of ready threads is wrong")                  \
    X(HostBus, "HOST_BUS", "", Host, "the bus driver cannot create a physical device object")                        \
    X(HostUsbBus, "HOST_USB_BUS", "", Host, "the USB bus meets a device or a cancelled IRP it does not know")

enum class Check {
#define TORVEX_CHECK_ID(id, name, qualifier, origin, rule) id,
    TORVEX_CHECKS(TORVEX_CHECK_ID)
#undef TORVEX_CHECK_ID
};

struct CheckEntry {
    const char* name;       // the bug check's name
    const char* qualifier;  // shown after the name in parentheses, or ""
    Origin origin;
    const char* rule;
};

const CheckEntry& entry(Check check);
// The catalogue as the Markdown table docs/ARCHITECTURE.md holds.
std::string catalogue_table();

// Stops the run with a report: the check, the detail, the thread, its IRQL,
// the virtual time, the recent trace and the seed that replays the run.
[[noreturn]] void bug_check(Check check, const std::string& detail);

}  // namespace host

namespace host {

class Kernel;
class IoManager;
struct IrpRecord;
class HeldLock;

// What the verifier keeps of one IRP (in the I/O manager's record of it).
struct IrpWatch {
    enum class State { Idle, InFlight, Completing, Returned };
    State state = State::Idle;
    std::uint64_t epoch = 0;  // completions started
    bool in_routine = false;  // a completion routine of the IRP runs
    // Small sets, in vectors: cheap to empty when the record is reused for
    // the next IRP (trees were copied and freed each time).
    bool power = false;
    std::vector<PDRIVER_OBJECT> power_starts;   // once each: PoStartNextPowerIrp
    std::vector<PDRIVER_OBJECT> power_drivers;  // once each: the request reached it
    std::vector<int> pending_owed;              // locations that returned STATUS_PENDING unmarked
};

// The I/O manager's checks: it calls the verifier at each point the verifier
// watches, and keeps to what the platform does.
class Verifier {
public:
    Verifier(Kernel& kernel, IoManager& io) : m_kernel(kernel), m_io(io) {}

    // Drivers and device objects.
    void entry_failed(PDRIVER_OBJECT driver);
    void unloading(PDRIVER_OBJECT driver);
    void deleting(PDEVICE_OBJECT device, bool handles_open);
    void attaching(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
    void detaching(PDEVICE_OBJECT target);

    // IRPs: the record of a live one, or a report naming the operation.
    IrpRecord& live(PIRP irp, const char* operation);
    void allocating(CCHAR stack_size);
    void freeing(PIRP irp, IrpRecord& rec);
    void retiring(PIRP irp, const IrpRecord& rec);
    // The stack location services: the IRP has a current location, or one below it.
    void has_current(PIRP irp, const char* operation, const char* detail);
    void has_next(PIRP irp, const char* operation, const char* detail);

    // One dispatch routine running on an IRP location (for the pending check).
    struct Frame {
        std::uint64_t id;
        int location;
        std::uint32_t thread;
        bool popped = false;
        bool pending_at_pop = false;
        NTSTATUS status_at_pop = STATUS_SUCCESS;
        // What IofCallDriver returned when the routine passed the request on.
        std::optional<NTSTATUS> passed_on;
    };

    // A call: before its scheduling point, then as it is sent on; what it
    // returned goes to the dispatch routine that passed it on, if one did.
    void calling(PDEVICE_OBJECT device, PIRP irp);
    Frame* sending(PDEVICE_OBJECT device, PIRP irp);
    static void sent(Frame* caller, NTSTATUS status);
    // The IRP enters a device's location.
    void entering(PDEVICE_OBJECT device, const IO_STACK_LOCATION& location, IrpRecord& rec);

    // One dispatch routine running on an IRP's location, from its call to its return.
    class Dispatch {
    public:
        Dispatch(Verifier& verifier, PIRP irp, std::uint64_t id);
        ~Dispatch();
        Dispatch(const Dispatch&) = delete;
        Dispatch& operator=(const Dispatch&) = delete;
        void returned(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status, UCHAR major);

    private:
        Verifier& m_verifier;
        Frame m_frame;
        KIRQL m_entry;
    };

    // A completion: its start (the epoch a completion routine's return is
    // compared with), each location it pops, each completion routine, its end.
    std::uint64_t completing(PIRP irp, IrpRecord& rec);
    void popped(PIRP irp, IrpRecord& rec, int location, bool pending);
    KIRQL routine_called(IrpRecord& rec);
    void routine_returned(PIRP irp, std::uint64_t id, std::uint64_t epoch, NTSTATUS result, KIRQL entry, UCHAR major);
    void reached_top(PIRP irp, const IrpRecord& rec);
    void requester_gone(PIRP irp, bool gone);
    IrpRecord& finishing(PIRP irp, std::uint64_t id);
    void copying_back(PIRP irp, const IrpRecord& rec);

    // Cancellation and the cancel spin lock.
    void cancel_returned(KIRQL irql, const HeldLock& lock);
    void acquiring(const HeldLock& lock);
    void releasing(const HeldLock& lock);

    // PoStartNextPowerIrp: a power IRP's location, once by each driver.
    void power_started(PIRP irp, IrpRecord& rec);

    // A driver's routine returns at the IRQL it was called at.
    void irql_kept(KIRQL entry, const char* routine, UCHAR major);

private:
    [[noreturn]] void irp_bug_check(Check check, PIRP irp, const std::string& detail);
    std::string driver_name(PDRIVER_OBJECT driver) const;
    std::string device_name(PDEVICE_OBJECT device) const;

    Kernel& m_kernel;
    IoManager& m_io;
    std::vector<Frame*> m_frames;
};

}  // namespace host
