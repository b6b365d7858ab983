// The rules of the platform the driver is for, Windows 98 SE and Me, where
// they are not NT's: each shown firing on a driver that breaks it.
#include "tests/kernel/fixture.h"

namespace torvex_test {
namespace {

class Win98Test : public KernelTest {};

// A wait on a thread object crashes 98; the thread's end is told by an event
// it sets last, and the host's own components may still wait for a thread.
TEST_F(Win98Test, AWaitOnAThreadObjectIsABugCheck) {
    host::Thread& worker = kernel->spawn("short-lived", [] {
        LARGE_INTEGER pause = relative(7 * host::kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    });
    EXPECT_DEATH(KeWaitForSingleObject(&worker.object, Executive, KernelMode, FALSE, nullptr),
                 "INVALID_DISPATCHER_OBJECT.*on a thread object: Windows 98 SE");
    KEVENT other;
    KeInitializeEvent(&other, NotificationEvent, FALSE);
    PVOID both[2] = {&other, &worker.object};
    EXPECT_DEATH(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
                 "on a thread object");
    EXPECT_EQ(host::wait_for(&worker.object, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(kernel->now(), 7 * host::kMillisecond);
}

// One in so many waits without a time-out answers 0xFFFFFFFF and consumes
// nothing; waits with a time-out, and the host's own, never do.
TEST_F(Win98Test, WaitsWithoutATimeOutAnswerTheUndocumentedValueNowAndThen) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    kernel->set_spurious_waits(1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), static_cast<NTSTATUS>(0xFFFFFFFF));
    PVOID objects[1] = {&event};
    EXPECT_EQ(KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              static_cast<NTSTATUS>(0xFFFFFFFF));
    EXPECT_EQ(event.Header.SignalState, 1);  // not taken
    LARGE_INTEGER none = relative(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &none), STATUS_SUCCESS);
    EXPECT_EQ(host::wait_for(&event, &none), STATUS_TIMEOUT);

    kernel->set_spurious_waits(4);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    int disturbed = 0;
    for (int i = 0; i < 400; ++i) {
        NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        if (status == STATUS_SUCCESS) {
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        } else {
            EXPECT_EQ(status, static_cast<NTSTATUS>(0xFFFFFFFF));
            ++disturbed;
        }
    }
    EXPECT_GT(disturbed, 60);
    EXPECT_LT(disturbed, 140);
}

// A driver waits for its thread through an event the thread sets last: the
// unload lets such a thread end. One that runs on after setting it, or has
// set nothing, is reported. The seeds are tried until the thread is caught
// between its event and its end when the unload comes.
TEST_F(Win98Test, AThreadThatSetItsExitEventLastMayEndAfterItsDriversUnload) {
    static KEVENT exited;
    static bool run_on;
    for (bool breaks : {false, true}) {
        run_on = breaks;
        bool caught = false;
        for (std::uint64_t s = 1; s <= 50 && !caught; ++s) {
            build(s);
            KeInitializeEvent(&exited, NotificationEvent, FALSE);
            PDRIVER_OBJECT threaded = kernel->io().load_driver("Threaded", ScriptedDriver::entry);
            HANDLE handle;
            ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           [](PVOID) {
                                               KeSetEvent(&exited, IO_NO_INCREMENT, FALSE);
                                               if (run_on) KeClearEvent(&exited);
                                               PsTerminateSystemThread(STATUS_SUCCESS);
                                           },
                                           nullptr),
                      STATUS_SUCCESS);
            ZwClose(handle);
            host::wait_for(&exited, nullptr);
            const host::Thread& thread = *kernel->scheduler().threads().back();
            caught = thread.after_set_event && thread.state != host::ThreadState::Terminated;
            if (caught && breaks) {
                EXPECT_DEATH(kernel->io().unload_driver(threaded), "ran driver code after the event it set");
                kernel->run_for(host::kMillisecond);
            }
            kernel->io().unload_driver(threaded);
            EXPECT_EQ(kernel->leaks(), "");
        }
        EXPECT_TRUE(caught) << "no seed caught the thread after its exit event";
    }

    build(seed);
    PDRIVER_OBJECT waiting = kernel->io().load_driver("Waiting", ScriptedDriver::entry);
    KeInitializeEvent(&exited, NotificationEvent, FALSE);
    HANDLE handle;
    PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                         [](PVOID) { KeWaitForSingleObject(&exited, Executive, KernelMode, FALSE, nullptr); },
                         nullptr);
    ZwClose(handle);
    kernel->run_for(host::kMillisecond);
    EXPECT_DEATH(kernel->io().unload_driver(waiting), "DRIVER_UNLOADED_WITH_THREADS.*has not ended");
    KeSetEvent(&exited, IO_NO_INCREMENT, FALSE);
    kernel->run_for(host::kMillisecond);
    kernel->io().unload_driver(waiting);
}

// PoRequestPowerIrp takes the physical device object only, and a request for
// the state the device is in is answered STATUS_PENDING and never comes.
TEST_F(Win98Test, PowerRequestsGoToThePdoAndNeverForThePresentState) {
    ScriptedDriver::handlers[IRP_MJ_POWER] = [](PDEVICE_OBJECT device, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
    };
    ScriptedDriver::handlers[IRP_MJ_PNP] = pass_down;
    PDEVICE_OBJECT fdo = stack_on_bus();
    static int completions;
    completions = 0;
    auto done = [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) { ++completions; };
    POWER_STATE d3{};
    d3.DeviceState = PowerDeviceD3;
    EXPECT_DEATH(PoRequestPowerIrp(fdo, IRP_MN_SET_POWER, d3, done, nullptr, nullptr),
                 "not a physical device object: Windows 98 SE takes the PDO only");

    kernel->pnp().add_device(driver, pdo);
    ASSERT_EQ(kernel->pnp().start(pdo), STATUS_SUCCESS);
    EXPECT_EQ(kernel->pnp().device_power(pdo), PowerDeviceD0);
    POWER_STATE d0{};
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d0, done, nullptr, nullptr), STATUS_PENDING);
    kernel->run_for(100 * host::kMillisecond);
    EXPECT_EQ(completions, 0);
    EXPECT_FALSE(kernel->pnp().power_requests().back().sent);

    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, done, nullptr, nullptr), STATUS_PENDING);
    kernel->run_for(host::kMillisecond);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(kernel->pnp().device_power(pdo), PowerDeviceD3);
    EXPECT_EQ(PoSetPowerState(pdo, DevicePowerState, d0).DeviceState, PowerDeviceD0);  // handed back
}

// The one difference the host draws between 98 SE and Me: the WDM version.
TEST_F(Win98Test, MeReportsWdm105And98SeWdm100) {
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x00));
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x05));
    kernel->set_platform(host::Platform::WinMe);
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x05));
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x10));
}

}  // namespace
}  // namespace torvex_test
