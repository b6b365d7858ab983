#include <string>
#include <utility>
#include <vector>

#include "tests/kernel/fixture.h"

namespace torvex_test {
namespace {

using host::kMillisecond;

// Two devices of the scripted driver stacked on a physical device: `upper`
// over `lower`. The lower one either completes at once or holds the IRP
// pending until the test's "controller" thread completes it at DISPATCH_LEVEL.
class IrpTest : public KernelTest {
public:
    void SetUp() override {
        KernelTest::SetUp();
        s_self = this;
        Handler route = [](PDEVICE_OBJECT device, PIRP irp) {
            return device == s_self->upper ? s_self->upper_dispatch(device, irp)
                                           : s_self->lower_dispatch(device, irp);
        };
        ScriptedDriver::handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = route;
        ScriptedDriver::handlers[IRP_MJ_DEVICE_CONTROL] = route;
        lower = stack_on_bus(u"\\Device\\Lower");
        upper = create_device(u"\\Device\\Upper");
        IoAttachDeviceToDeviceStack(upper, lower);
        upper->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    NTSTATUS lower_dispatch(PDEVICE_OBJECT, PIRP irp) {
        if (!lower_pends) return complete_with(irp, lower_status);
        IoMarkIrpPending(irp);
        held.push_back(irp);
        return STATUS_PENDING;
    }

    // Completes the held IRPs from another thread at DISPATCH_LEVEL, after `delay`.
    void complete_held_later(host::Time delay) {
        kernel->spawn("controller", [this, delay] {
            LARGE_INTEGER pause = relative(delay);
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            // Taken out first: a completion lets the caller run and hold the next one.
            std::vector<PIRP> irps = std::exchange(held, {});
            for (PIRP irp : irps) complete_with(irp, lower_status);
            KeLowerIrql(old);
        });
    }

    // Sends a threaded request to the top of the stack and waits for it.
    NTSTATUS send(ULONG_PTR* information = nullptr) {
        KEVENT event;
        IO_STATUS_BLOCK status{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, upper, nullptr, 0, nullptr, 0, TRUE,
                                                 &event, &status);
        NTSTATUS result = IofCallDriver(upper, irp);
        finish(result, &event, &status);
        if (information) *information = status.Information;
        return result;
    }

    // Waits for the I/O manager's final completion of a request built here,
    // which runs in this thread: it signals the event unless the request
    // failed without pending; then a wait with no time lets it release the
    // request. Returns the request's final status.
    static NTSTATUS finish(NTSTATUS& result, PKEVENT event, PIO_STATUS_BLOCK status) {
        LARGE_INTEGER now{};
        bool signalled = result == STATUS_PENDING || !NT_ERROR(result);
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, signalled ? nullptr : &now);
        if (result == STATUS_PENDING) result = status->Status;
        return result;
    }

    static inline IrpTest* s_self = nullptr;
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> upper_dispatch = pass_down;
    PDEVICE_OBJECT upper = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    bool lower_pends = false;
    NTSTATUS lower_status = STATUS_SUCCESS;
    std::vector<PIRP> held;
};

struct RoutineCase {
    NTSTATUS status;
    bool cancel;
    bool on_success, on_error, on_cancel;
    bool invoked;
};

TEST_F(IrpTest, CompletionRoutinesRunByTheirInvokeOnFlags) {
    const RoutineCase cases[] = {
        {STATUS_SUCCESS, false, true, false, false, true},
        {STATUS_SUCCESS, false, false, true, true, false},
        {STATUS_UNSUCCESSFUL, false, false, true, false, true},
        {STATUS_UNSUCCESSFUL, false, true, false, false, false},
        {STATUS_CANCELLED, true, false, false, true, true},
        {STATUS_CANCELLED, true, true, false, false, false},
        {STATUS_SUCCESS, true, false, false, true, true},
    };
    static const RoutineCase* current;
    static bool invoked;
    upper_dispatch = [](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT device, PIRP, PVOID) {
            invoked = true;
            EXPECT_EQ(device, s_self->upper);
            return STATUS_SUCCESS;
        }, nullptr, current->on_success, current->on_error, current->on_cancel);
        return IofCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
    };
    for (const RoutineCase& c : cases) {
        current = &c;
        invoked = false;
        lower_status = c.status;
        KEVENT event;
        IO_STATUS_BLOCK status{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, upper, nullptr, 0, nullptr, 0, TRUE,
                                                 &event, &status);
        if (c.cancel) {
            EXPECT_FALSE(IoCancelIrp(irp));  // no cancel routine: only the flag
        }
        NTSTATUS result = IofCallDriver(upper, irp);
        EXPECT_EQ(result, c.status);
        finish(result, &event, &status);
        // A request that failed without pending leaves the status block alone.
        EXPECT_EQ(status.Status, NT_ERROR(c.status) ? STATUS_SUCCESS : c.status);
        EXPECT_EQ(invoked, c.invoked) << "status " << std::hex << c.status << " cancel " << c.cancel;
    }
}

TEST_F(IrpTest, ForwardAndWaitGetsTheIrpBackAndCompletesItAgain) {
    lower_pends = true;
    lower_status = STATUS_UNSUCCESSFUL;
    static bool pending_seen;
    static KIRQL routine_irql;
    upper_dispatch = [](PDEVICE_OBJECT device, PIRP irp) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP irp, PVOID context) {
            pending_seen = irp->PendingReturned;
            routine_irql = KeGetCurrentIrql();
            KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }, &event, TRUE, TRUE, TRUE);
        NTSTATUS status = IofCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
        if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status == STATUS_UNSUCCESSFUL ? STATUS_DEVICE_NOT_READY : STATUS_SUCCESS;
        return complete_with(irp, status, 42);
    };
    complete_held_later(3 * kMillisecond);
    ULONG_PTR information = 0;
    EXPECT_EQ(send(&information), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(information, 0u);  // failed without pending at the top: no status block
    EXPECT_TRUE(pending_seen);
    EXPECT_EQ(routine_irql, DISPATCH_LEVEL);
    EXPECT_EQ(kernel->io().live_irps(), 0u);
}

TEST_F(IrpTest, PendingTravelsUpThroughPassThroughLevels) {
    lower_pends = true;
    // Copying without a routine: the I/O manager marks the upper level pending
    // as completion passes it.
    upper_dispatch = [](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IofCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
    };
    complete_held_later(kMillisecond);
    EXPECT_EQ(send(), STATUS_SUCCESS);

    // A routine that propagates the mark itself.
    upper_dispatch = [](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP irp, PVOID) {
            if (irp->PendingReturned) IoMarkIrpPending(irp);
            return STATUS_SUCCESS;
        }, nullptr, TRUE, TRUE, TRUE);
        return IofCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
    };
    complete_held_later(kMillisecond);
    EXPECT_EQ(send(), STATUS_SUCCESS);

    // Skipping shares the lower level's location and its mark.
    upper_dispatch = pass_down;
    complete_held_later(kMillisecond);
    EXPECT_EQ(send(), STATUS_SUCCESS);
    EXPECT_EQ(kernel->io().live_irps(), 0u);
}

// The final completion of a built request copies the output back, for a
// success and for a warning alike (a warning's data is still data), fills
// the status block, then signals the event.
TEST_F(IrpTest, BuiltRequestFillsTheStatusBlockBeforeSignallingAndIsReleased) {
    upper_dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, 0x22200Cu);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 3u);
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(buffer[2], 'c');
        for (int i = 0; i < 6; ++i) buffer[i] = static_cast<UCHAR>('0' + i);
        IoMarkIrpPending(irp);
        s_self->held.push_back(irp);
        return STATUS_PENDING;
    };
    lower_status = STATUS_SUCCESS;
    for (const auto& [final_status, count] : {std::pair{STATUS_SUCCESS, 6}, std::pair{STATUS_BUFFER_OVERFLOW, 4}}) {
        held.clear();
        KEVENT event;
        IO_STATUS_BLOCK status{};
        status.Status = STATUS_PENDING;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        char input[3] = {'a', 'b', 'c'};
        char output[8] = {};
        PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, 0),
                                                 upper, input, 3, output, 8, FALSE, &event, &status);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IofCallDriver(upper, irp), STATUS_PENDING);
        NTSTATUS seen_by_waiter = STATUS_PENDING;
        kernel->spawn("waiter", [&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            seen_by_waiter = status.Status;
        });
        const NTSTATUS completion = final_status;
        const ULONG_PTR information = static_cast<ULONG_PTR>(count);
        kernel->spawn("controller", [this, completion, information] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            complete_with(held.front(), completion, information);
            KeLowerIrql(old);
        });
        kernel->run_for(kMillisecond);
        EXPECT_EQ(seen_by_waiter, final_status);
        EXPECT_EQ(status.Information, information);
        EXPECT_EQ(std::string(output, count), std::string("012345", count));
        EXPECT_EQ(output[count], 0);
        EXPECT_EQ(kernel->io().live_irps(), 0u);
    }
}

TEST_F(IrpTest, CancelRunsTheCancelRoutineUnderTheCancelLock) {
    static KIRQL cancel_irql;
    upper_dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT device, PIRP irp) {
            EXPECT_EQ(device, s_self->upper);
            EXPECT_TRUE(irp->Cancel);
            cancel_irql = KeGetCurrentIrql();
            IoReleaseCancelSpinLock(irp->CancelIrql);
            complete_with(irp, STATUS_CANCELLED);
        });
        return STATUS_PENDING;
    };
    static bool cancelled_seen;
    PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP irp, PVOID) {
        cancelled_seen = irp->Cancel && irp->IoStatus.Status == STATUS_CANCELLED;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(upper, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(cancel_irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(cancelled_seen);
    // Cancelling what has already come back is harmless.
    EXPECT_FALSE(IoCancelIrp(irp));
    IoFreeIrp(irp);
}

TEST_F(IrpTest, UnsetMajorFunctionsAreFailedByTheDefaultRoutine) {
    PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(upper, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    IoFreeIrp(irp);
}

}  // namespace
}  // namespace torvex_test
