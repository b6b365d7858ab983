// Each verifier check stops the run, with a report naming it, on the misuse
// it guards against.
#include <fstream>
#include <iterator>

#include "host/kernel/sanitizer.h"
#include "tests/kernel/fixture.h"

namespace torvex_test {
namespace {

using host::kMillisecond;

class VerifierTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ScriptedDriver::handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
            return s_behaviour(irp);
        };
        ScriptedDriver::handlers[IRP_MJ_POWER] = [](PDEVICE_OBJECT, PIRP irp) { return s_behaviour(irp); };
        s_pnp = pass_down;
        ScriptedDriver::handlers[IRP_MJ_PNP] = [](PDEVICE_OBJECT d, PIRP irp) { return s_pnp(d, irp); };
        device = stack_on_bus();
    }

    // Sends an IRP the test allocated, with a completion routine that takes it back.
    PIRP send_allocated(UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) {
            return STATUS_MORE_PROCESSING_REQUIRED;
        }, nullptr, TRUE, TRUE, TRUE);
        IofCallDriver(device, irp);
        return irp;
    }

    static PDEVICE_OBJECT pdo_of(PIRP irp) {
        return IoGetCurrentIrpStackLocation(irp)->DeviceObject->DeviceObjectExtension->AttachedTo;
    }

    static inline std::function<NTSTATUS(PIRP)> s_behaviour;
    static inline Handler s_pnp;
    PDEVICE_OBJECT device = nullptr;
};

TEST_F(VerifierTest, WaitsAndDelaysAtDispatchLevel) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero = relative(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    LARGE_INTEGER some = relative(kMillisecond);
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &some),
                 "BUG CHECK IRQL_NOT_LESS_OR_EQUAL\nKeWaitForSingleObject with a non-zero time-out "
                 "at IRQL 2(.|\n)*thread: T0 'caller' at IRQL 2");
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                 "IRQL_NOT_LESS_OR_EQUAL\nKeWaitForSingleObject with no time-out");
    EXPECT_DEATH(KeDelayExecutionThread(KernelMode, FALSE, &zero),
                 "IRQL_NOT_LESS_OR_EQUAL\nKeDelayExecutionThread at IRQL 2");
    KeLowerIrql(old);
    // Windows 98's waits take relative time-outs: an absolute one, which
    // nothing shows the platform converting, stops the run.
    LARGE_INTEGER absolute;
    absolute.QuadPart = 12 * host::kSecond;
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute),
                 "ABSOLUTE_TIMEOUT\nKeWaitForSingleObject with the absolute time-out 120000000");
    PVOID objects[1] = {&event};
    EXPECT_DEATH(KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE, &absolute, nullptr),
                 "ABSOLUTE_TIMEOUT\nKeWaitForMultipleObjects");
    EXPECT_DEATH(KeDelayExecutionThread(KernelMode, FALSE, &absolute), "ABSOLUTE_TIMEOUT\nKeDelayExecutionThread");
}

TEST_F(VerifierTest, PagedPoolAtDispatchLevel) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, ' mdW');
    EXPECT_NE(block, nullptr);
    EXPECT_DEATH(ExAllocatePoolWithTag(PagedPool, 8, ' mdW'),
                 "IRQL_NOT_LESS_OR_EQUAL\npaged pool allocation of 8 bytes, tag 'Wdm ', at IRQL 2");
    ExFreePool(block);
    KeLowerIrql(old);
}

// Freed blocks stay poisoned in a quarantine, then as spares: a double free
// is told as one even after many allocations, and a write after the free is
// found when the block is handed out again or at the world's end. A block is
// not freed while a thread waits on an object in it.
TEST_F(VerifierTest, FreedPoolIsQuarantinedAndBlocksInUseAreNotFreed) {
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, ' mdW'));
    ExFreePool(block);
    auto* odd = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 13, ' mdW'));  // a word and a tail
    ExFreePool(odd);
    for (int i = 0; i < 100; ++i) ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, ' mdW'));
    EXPECT_DEATH(ExFreePool(block), "BAD_POOL_CALLER \\(double free\\)");
    int local = 0;
    EXPECT_DEATH(ExFreePool(&local), "BAD_POOL_CALLER\nExFreePool.*not a pool block");
#if !defined(TORVEX_ASAN)  // there the write itself is the report
    EXPECT_DEATH(
        {
            auto* past = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, ' mdW'));
            past[8] = 0;
            ExFreePool(past);
        },
        "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION \\(written past its end\\)\nExFreePool.*'Wdm ', 8 bytes, "
        "allocation #[0-9]+: byte 8 written");
#endif

    block[5] = 1;
    odd[11] = 1;
    const std::string leaks = kernel->leaks();
    EXPECT_NE(leaks.find("freed pool blocks written after their free:\n  'Wdm ' 8 bytes"), std::string::npos);
    EXPECT_NE(leaks.find("'Wdm ' 13 bytes, allocation #2 by T0: byte 11 written after the free"), std::string::npos)
        << leaks;
    EXPECT_DEATH(
        for (std::size_t i = 0; i < host::Pool::kQuarantineBlocks; ++i) {
            ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, ' mdW'));
        },
        "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION\na freed block:\n  'Wdm ' 8 bytes, allocation #1 by T0: "
        "byte 5 written after the free");
    block[5] = 0xDD;  // the poison back
    // The written block leaves the quarantine as a spare (no allocation of
    // its size has come since): still a freed block, still found written.
    for (std::size_t i = 0; i < host::Pool::kQuarantineBlocks; ++i) {
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, ' mdW'));
    }
    EXPECT_NE(kernel->leaks().find("'Wdm ' 13 bytes, allocation #2 by T0: byte 11 written after the free"),
              std::string::npos);
    EXPECT_DEATH(ExFreePool(odd), "BAD_POOL_CALLER \\(double free\\)");
    odd[11] = 0xDD;  // for a clean end
    // Handed out again, the spare is the new allocation's.
    auto* again = ExAllocatePoolWithTag(NonPagedPool, 13, host::pool_tag("Gain"));
    ASSERT_EQ(again, odd);
    EXPECT_EQ(kernel->pool().find(again)->tag, host::pool_tag("Gain"));
    EXPECT_EQ(kernel->pool().find(again)->serial, kernel->pool().allocations());
    ExFreePool(again);

    auto* event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), ' mdW'));
    KeInitializeEvent(event, NotificationEvent, FALSE);
    host::Thread& waiter = kernel->spawn("waiter", [event] {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    });
    kernel->run_for(kMillisecond);
    EXPECT_DEATH(ExFreePool(event), "DRIVER_VERIFIER_DETECTED_VIOLATION \\(pool freed while in use\\)\n"
                                    "ExFreePool.*: thread T[0-9]+ 'waiter' waits on an object in it");
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    host::wait_for(&waiter.object, nullptr);
    ExFreePool(event);
}

TEST_F(VerifierTest, AnIrpCompletedTwice) {
    s_behaviour = [](PIRP irp) { return complete_with(irp, STATUS_SUCCESS); };
    PIRP irp = send_allocated();
    IoFreeIrp(irp);
    EXPECT_DEATH(IofCompleteRequest(irp, IO_NO_INCREMENT), "IRP_USED_AFTER_RELEASE");
    s_behaviour = [](PIRP irp) {
        complete_with(irp, STATUS_SUCCESS);
        return complete_with(irp, STATUS_SUCCESS);
    };
    EXPECT_DEATH(send_allocated(), "MULTIPLE_IRP_COMPLETE_REQUESTS\nIRP #[0-9]+ .*allocated by a driver");
}

TEST_F(VerifierTest, AnIrpFreedWhileADriverOwnsIt) {
    s_behaviour = [](PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    PIRP irp = send_allocated();
    EXPECT_DEATH(IoFreeIrp(irp), "IRP_FREED_WHILE_OWNED");
    complete_with(irp, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(VerifierTest, PendingReturnedForAnIrpNotMarkedPending) {
    s_behaviour = [](PIRP irp) {
        complete_with(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    };
    EXPECT_DEATH(send_allocated(), "PENDING_NOT_MARKED");
    // Pending that is still outstanding is checked when the IRP completes past the level.
    static PIRP held;
    s_behaviour = [](PIRP irp) {
        held = irp;
        return STATUS_PENDING;
    };
    EXPECT_DEATH(
        {
            send_allocated();
            complete_with(held, STATUS_SUCCESS);
        },
        "PENDING_NOT_MARKED");
}

TEST_F(VerifierTest, PowerIrpsMustBeStartedExactlyOnce) {
    POWER_STATE d0{};
    d0.DeviceState = PowerDeviceD0;
    s_behaviour = [](PIRP irp) { return complete_with(irp, STATUS_SUCCESS); };
    // The power manager may send the request inside the call or later from a
    // thread of its own: the world runs on until it has.
    auto request = [&](POWER_STATE state) {
        const NTSTATUS status = PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, state, nullptr, nullptr, nullptr);
        kernel->run_for(kMillisecond);
        return status;
    };
    EXPECT_DEATH(request(d0),
                 "POWER_IRP_NOT_STARTED(.|\n)*Scripted never called PoStartNextPowerIrp");
    s_behaviour = [](PIRP irp) {
        PoStartNextPowerIrp(irp);
        PoStartNextPowerIrp(irp);
        return complete_with(irp, STATUS_SUCCESS);
    };
    EXPECT_DEATH(request(d0),
                 "POWER_IRP_STARTED_TWICE");
    s_behaviour = [](PIRP irp) {
        PoStartNextPowerIrp(irp);
        return complete_with(irp, STATUS_SUCCESS);
    };
    EXPECT_EQ(request(d0), STATUS_PENDING);
    // The device is in D0 now: a request for D0 would never be sent.
    POWER_STATE d3{};
    d3.DeviceState = PowerDeviceD3;
    // Passed down past the power manager.
    s_behaviour = [](PIRP irp) {
        PDEVICE_OBJECT below = pdo_of(irp);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(below, irp);
    };
    EXPECT_DEATH(request(d3), "POWER_IRP_NOT_VIA_POCALLDRIVER");
    // Sent on at DISPATCH_LEVEL: Windows 98 and Me take power requests at
    // PASSIVE_LEVEL only.
    s_behaviour = [](PIRP irp) {
        PDEVICE_OBJECT below = pdo_of(irp);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        NTSTATUS status = PoCallDriver(below, irp);
        KeLowerIrql(old);
        return status;
    };
    EXPECT_DEATH(request(d3), "IRQL_NOT_LESS_OR_EQUAL\nPoCallDriver at IRQL 2");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_DEATH(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, nullptr, nullptr, nullptr),
                 "IRQL_NOT_LESS_OR_EQUAL\nPoRequestPowerIrp at IRQL 2");
    KeLowerIrql(old);
}

TEST_F(VerifierTest, ADriverAllocatedIrpReachingTheTop) {
    s_behaviour = [](PIRP irp) { return complete_with(irp, STATUS_SUCCESS); };
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IofCallDriver(device, irp);
        },
        "DRIVER_IRP_REACHED_TOP");
}

TEST_F(VerifierTest, CompletionWithPendingStatusACancelRoutineSetOrNoRoutineToCall) {
    s_behaviour = [](PIRP irp) { return complete_with(irp, STATUS_PENDING); };
    EXPECT_DEATH(send_allocated(), "IRP_COMPLETED_WITH_PENDING");
    s_behaviour = [](PIRP irp) {
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
        return complete_with(irp, STATUS_SUCCESS);
    };
    EXPECT_DEATH(send_allocated(), "CANCEL_ROUTINE_SET_AT_COMPLETION");
    PIRP irp = IoAllocateIrp(2, FALSE);
    EXPECT_DEATH(IoSetCompletionRoutine(irp, nullptr, nullptr, TRUE, FALSE, FALSE), "NO_COMPLETION_ROUTINE");
    IoSetCompletionRoutine(irp, nullptr, nullptr, FALSE, FALSE, FALSE);
    IoFreeIrp(irp);
}

TEST_F(VerifierTest, NoStackLocationLeft) {
    s_behaviour = [](PIRP irp) { return complete_with(irp, STATUS_SUCCESS); };
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);  // one short of the stack below `device`
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            s_behaviour = [](PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                return STATUS_SUCCESS;
            };
            IofCallDriver(device, irp);
        },
        "NO_MORE_IRP_STACK_LOCATIONS");
}

TEST_F(VerifierTest, ARequestBuiltWithALengthButNoBuffer) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io;
    EXPECT_DEATH(IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 1, nullptr, 0, TRUE, &done, &io),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION \\(invalid buffer\\)\nIoBuildDeviceIoControlRequest");
}

TEST_F(VerifierTest, DeletingADeviceStillAttachedOrWithRequestsInFlight) {
    EXPECT_DEATH(IoDeleteDevice(device), "DEVICE_DELETED_WHILE_ATTACHED\n.*Scripted0 is deleted while "
                                         "still attached");
    EXPECT_DEATH(IoDeleteDevice(pdo), "DEVICE_DELETED_WHILE_ATTACHED\n.*Scripted0 is attached on top");
    s_behaviour = [](PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    PIRP irp = send_allocated();
    IoDetachDevice(pdo);
    EXPECT_DEATH(IoDeleteDevice(device), "DEVICE_DELETED_WITH_REQUESTS");
    IoAttachDeviceToDeviceStack(device, pdo);
    complete_with(irp, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(VerifierTest, UninitialisedEventsAndOutOfOrderIrql) {
    auto* event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), ' mdW'));
    EXPECT_DEATH(KeSetEvent(event, IO_NO_INCREMENT, FALSE), "INVALID_DISPATCHER_OBJECT");
    EXPECT_DEATH(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr),
                 "INVALID_DISPATCHER_OBJECT");
    ExFreePool(event);
    EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "IRQL_NOT_LESS_OR_EQUAL\nKeLowerIrql to 2 from 0");
}

// Event services take initialised events only (zeroed or copied memory has
// no wait list of its own on the platform) and run at DISPATCH_LEVEL at most.
TEST_F(VerifierTest, EventsMustBeInitialisedAndUsedAtDispatchLevelAtMost) {
    KEVENT zeroed{};
    EXPECT_DEATH(KeSetEvent(&zeroed, IO_NO_INCREMENT, FALSE), "INVALID_DISPATCHER_OBJECT\nKeSetEvent\\(.*\\): not an initialised event");
    LARGE_INTEGER zero = relative(0);
    EXPECT_DEATH(KeWaitForSingleObject(&zeroed, Executive, KernelMode, FALSE, &zero),
                 "not an initialised dispatcher object");
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KEVENT copy = event;
    EXPECT_DEATH(KeSetEvent(&copy, IO_NO_INCREMENT, FALSE), "INVALID_DISPATCHER_OBJECT");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
    EXPECT_DEATH(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), "IRQL_NOT_LESS_OR_EQUAL\nKeSetEvent at IRQL 3");
    KeLowerIrql(old);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);

    // With Wait TRUE a wait must come next: the caller is at DISPATCH_LEVEL
    // until the wait puts it back.
    KEVENT other;
    KeInitializeEvent(&other, NotificationEvent, TRUE);
    EXPECT_DEATH(
        {
            KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
            KeClearEvent(&other);
        },
        "KeSetEvent with Wait TRUE not followed by a wait");
    EXPECT_DEATH(
        {
            KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
            KeLowerIrql(PASSIVE_LEVEL);
        },
        "KeSetEvent with Wait TRUE not followed by a wait\\)\nKeLowerIrql before the wait");
    KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&other, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Dispatch, completion and cancel routines return at the IRQL they were
// called at.
TEST_F(VerifierTest, RoutinesReturnAtTheirIrql) {
    s_behaviour = [](PIRP irp) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return complete_with(irp, STATUS_SUCCESS);
    };
    EXPECT_DEATH(send_allocated(), "IRQL_UNEXPECTED_VALUE\na dispatch routine \\(major 0x0F\\) returned at IRQL 2; it "
                                   "was called at IRQL 0");
    s_behaviour = [](PIRP irp) { return complete_with(irp, STATUS_SUCCESS); };
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }, nullptr, TRUE, TRUE, TRUE);
    EXPECT_DEATH(IofCallDriver(device, irp), "IRQL_UNEXPECTED_VALUE\na completion routine");
    IoFreeIrp(irp);
    s_behaviour = [](PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});  // keeps the cancel spin lock, and DISPATCH_LEVEL
        return STATUS_PENDING;
    };
    PIRP held = send_allocated();
    EXPECT_DEATH(IoCancelIrp(held), "IRQL_UNEXPECTED_VALUE\na cancel routine");
    IoSetCancelRoutine(held, nullptr);
    complete_with(held, STATUS_CANCELLED);
    IoFreeIrp(held);
}

// A dispatch routine that completed the request returns the status it was
// completed with, and one that marked it pending returns STATUS_PENDING.
TEST_F(VerifierTest, ADispatchRoutineReturnsTheStatusOfWhatItCompleted) {
    s_behaviour = [](PIRP irp) {
        complete_with(irp, STATUS_SUCCESS);
        return STATUS_UNSUCCESSFUL;
    };
    EXPECT_DEATH(send_allocated(), "DISPATCH_STATUS_MISMATCH\n.*returned 0xC0000001 for a request completed with another status");
    s_behaviour = [](PIRP irp) {
        IoMarkIrpPending(irp);
        complete_with(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    };
    EXPECT_DEATH(send_allocated(), "DISPATCH_STATUS_MISMATCH\n.*it had marked pending");
    // A request its completion routine holds (the bus below answers at once)
    // is still in progress: its dispatch must return STATUS_PENDING.
    s_behaviour = [](PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; },
                               nullptr, TRUE, TRUE, TRUE);
        return IofCallDriver(pdo_of(irp), irp);
    };
    EXPECT_DEATH(send_allocated(), "DISPATCH_STATUS_MISMATCH\n.*for a request it has not completed");
    s_behaviour = [](PIRP irp) { return complete_with(irp, STATUS_UNSUCCESSFUL); };
    PIRP irp = send_allocated();
    IoFreeIrp(irp);

    // A pass-through whose lower driver left the request pending returns
    // STATUS_PENDING, what the lower driver returned.
    static PDEVICE_OBJECT lower;
    static PIRP held;
    static bool pass_through_returns_success;
    lower = device;
    ScriptedDriver::handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT d, PIRP request) {
        if (d == lower) {
            IoMarkIrpPending(request);
            held = request;
            return STATUS_PENDING;
        }
        const NTSTATUS below = pass_down(d, request);
        return pass_through_returns_success ? STATUS_SUCCESS : below;
    };
    device = create_device(nullptr);
    IoAttachDeviceToDeviceStack(device, lower);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    pass_through_returns_success = true;
    EXPECT_DEATH(send_allocated(), "DISPATCH_STATUS_MISMATCH\n.*passed the request on, the lower driver returned "
                                   "STATUS_PENDING, and it returned 0x00000000");
    pass_through_returns_success = false;
    irp = send_allocated();
    complete_with(held, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

// The Plug and Play manager's checks: requests out of order, a status a
// driver changes on a request it only passes on, a removal that does not
// reach the bus, a device object left behind after its removal.
TEST_F(VerifierTest, PlugAndPlayChecks) {
    s_pnp = pass_down;
    EXPECT_DEATH(kernel->pnp().stop(pdo), "PNP_OUT_OF_ORDER\nIRP_MN_STOP_DEVICE for a device that is added");
    // Passing every request on as successful changes the status of one it
    // does not handle.
    s_pnp = [](PDEVICE_OBJECT device, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        return pass_down(device, irp);
    };
    EXPECT_DEATH(kernel->pnp().start(pdo), "PNP_STATUS_CHANGED");
    // A removal completed here, never passed down.
    s_pnp = [](PDEVICE_OBJECT device, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return pass_down(device, irp);
        return complete_with(irp, STATUS_SUCCESS);
    };
    EXPECT_DEATH(kernel->pnp().remove(pdo), "PNP_REMOVAL_NOT_PASSED_DOWN");
    // Passed down, but the device object stays attached.
    s_pnp = pass_down;
    EXPECT_DEATH(kernel->pnp().remove(pdo), "PNP_DEVICE_LEFT_ATTACHED");
    // Detached but not deleted.
    s_pnp = [](PDEVICE_OBJECT device, PIRP irp) {
        const bool removal = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
        NTSTATUS status = pass_down(device, irp);
        if (removal) IoDetachDevice(device->DeviceObjectExtension->AttachedTo);
        return status;
    };
    EXPECT_DEATH(kernel->pnp().remove(pdo), "PNP_DEVICE_LEFT_UNDELETED");
    // After a removal, nothing more may be sent.
    s_pnp = [](PDEVICE_OBJECT device, PIRP irp) {
        const bool removal = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
        PDEVICE_OBJECT lower = device->DeviceObjectExtension->AttachedTo;
        NTSTATUS status = pass_down(device, irp);
        if (removal) {
            IoDetachDevice(lower);
            IoDeleteDevice(device);
        }
        return status;
    };
    EXPECT_EQ(kernel->pnp().remove(pdo), STATUS_SUCCESS);
    EXPECT_DEATH(kernel->pnp().send(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE), "PNP_OUT_OF_ORDER\na request for a device that was removed");
}

// The architecture notes show the catalogue the checks are raised from, as
// it is.
TEST(VerifierCatalogue, TheArchitectureNotesShowIt) {
    std::ifstream doc(TORVEX_SOURCE_DIR "/docs/ARCHITECTURE.md");
    const std::string text{std::istreambuf_iterator<char>(doc), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(text.empty());
    const std::string table = host::catalogue_table();
    EXPECT_NE(text.find(table), std::string::npos) << "docs/ARCHITECTURE.md's catalogue should read:\n" << table;
}

}  // namespace
}  // namespace torvex_test
