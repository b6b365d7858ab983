#include <set>
#include <vector>

#include "tests/kernel/fixture.h"

namespace torvex_test {
namespace {

// A power-policy owner in miniature: every power IRP is released and passed
// down the way a WDM driver must.
NTSTATUS power_pass_down(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
}

class PowerTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ScriptedDriver::handlers[IRP_MJ_POWER] = [](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            seen().push_back(stack->Parameters.Power.Type);
            return power_pass_down(device, irp);
        };
        seen().clear();
        fdo = stack_on_bus();
    }
    static std::vector<POWER_STATE_TYPE>& seen() {
        static std::vector<POWER_STATE_TYPE> types;
        return types;
    }
    PDEVICE_OBJECT fdo = nullptr;
};

TEST_F(PowerTest, ARequestedDevicePowerIrpGoesToTheTopAndReportsItsStatus) {
    struct Wait {
        KEVENT event;
        NTSTATUS status;
        PDEVICE_OBJECT device;
    } wait{};
    KeInitializeEvent(&wait.event, NotificationEvent, FALSE);
    wait.status = STATUS_PENDING;
    POWER_STATE d3{};
    d3.DeviceState = PowerDeviceD3;
    bus->set_power_result(STATUS_UNSUCCESSFUL);
    NTSTATUS status = PoRequestPowerIrp(
        pdo, IRP_MN_SET_POWER, d3,
        [](PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK io) {
            auto* w = static_cast<Wait*>(context);
            EXPECT_EQ(minor, IRP_MN_SET_POWER);
            EXPECT_EQ(state.DeviceState, PowerDeviceD3);
            w->device = device;
            w->status = io->Status;
            KeSetEvent(&w->event, IO_NO_INCREMENT, FALSE);
        },
        &wait, nullptr);
    EXPECT_EQ(status, STATUS_PENDING);
    KeWaitForSingleObject(&wait.event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(wait.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wait.device, pdo);
    EXPECT_EQ(seen(), std::vector<POWER_STATE_TYPE>{DevicePowerState});
    ASSERT_EQ(kernel->pnp().power_requests().size(), 1u);
    EXPECT_EQ(kernel->pnp().power_requests()[0].state.DeviceState, PowerDeviceD3);
    kernel->run_for(host::kMillisecond);  // sent from a thread of its own, that thread lets it go
    EXPECT_EQ(kernel->io().live_irps(), 0u);
}

// On Windows 98 a requested device power IRP comes through the configuration
// manager from a context nobody documents: here, under the seed, inside
// PoRequestPowerIrp or later from a thread of the power manager's. A few
// requests see both.
TEST_F(PowerTest, ARequestedDevicePowerIrpComesInsideTheCallOrFromAThreadOfItsOwn) {
    static host::Thread* requester;
    static std::set<bool> inside;
    requester = &kernel->scheduler().running();
    inside.clear();
    ScriptedDriver::handlers[IRP_MJ_POWER] = [](PDEVICE_OBJECT device, PIRP irp) {
        inside.insert(&host::Kernel::current().scheduler().running() == requester);
        return power_pass_down(device, irp);
    };
    for (int i = 0; i < 16; ++i) {
        POWER_STATE state{};
        state.DeviceState = i % 2 == 0 ? PowerDeviceD3 : PowerDeviceD0;
        EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, state, nullptr, nullptr, nullptr), STATUS_PENDING);
        kernel->run_for(host::kMillisecond);
    }
    EXPECT_EQ(inside, (std::set<bool>{false, true}));
    EXPECT_EQ(kernel->io().live_irps(), 0u);
}

TEST_F(PowerTest, SystemRequestsTravelDownAndPowerStatesAreRecorded) {
    EXPECT_EQ(kernel->pnp().set_system_power(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(kernel->pnp().query_system_power(pdo, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(seen(), (std::vector<POWER_STATE_TYPE>{SystemPowerState, SystemPowerState}));
    auto& arrivals = bus->arrivals();
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_EQ(arrivals[1].minor, IRP_MN_QUERY_POWER);

    EXPECT_FALSE(kernel->io().reported_power_state(pdo).has_value());
    POWER_STATE d0{};
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoSetPowerState(pdo, DevicePowerState, d0).DeviceState, PowerDeviceD0);  // handed back, as 98 does
    EXPECT_EQ(kernel->io().reported_power_state(pdo), PowerDeviceD0);
}

// One device power request at a time per device object: a second one waits,
// pending, until the driver holding the first lets the next come; a system
// request passes meanwhile, in its own lane.
TEST_F(PowerTest, ASecondDeviceRequestWaitsForTheFirstToBeReleased) {
    static PIRP held;
    held = nullptr;
    ScriptedDriver::handlers[IRP_MJ_POWER] = [](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        seen().push_back(stack->Parameters.Power.Type);
        if (stack->Parameters.Power.Type == DevicePowerState && held == nullptr) {
            held = irp;
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        }
        return power_pass_down(device, irp);
    };
    POWER_STATE d3{};
    d3.DeviceState = PowerDeviceD3;
    ASSERT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, nullptr, nullptr, nullptr), STATUS_PENDING);
    ASSERT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, nullptr, nullptr, nullptr), STATUS_PENDING);
    kernel->run_for(host::kMillisecond);  // either may come from a thread of the power manager's
    EXPECT_EQ(kernel->pnp().set_system_power(pdo, PowerSystemSleeping1), STATUS_SUCCESS);
    kernel->run_for(host::kMillisecond);
    EXPECT_EQ(seen(), (std::vector<POWER_STATE_TYPE>{DevicePowerState, SystemPowerState}));

    PIRP first = held;
    PoStartNextPowerIrp(first);
    kernel->run_for(host::kMillisecond);
    EXPECT_EQ(seen().size(), 3u);  // the second, presented now and passed down
    IoCopyCurrentIrpStackLocationToNext(first);
    PoCallDriver(fdo->DeviceObjectExtension->AttachedTo, first);
    EXPECT_EQ(kernel->io().live_irps(), 0u);
}

// A work item's routine runs at PASSIVE_LEVEL, whatever the level it was
// queued at; an item queued again before it ran, or a driver unloaded under
// a queued item, is reported.
TEST_F(PowerTest, WorkItemsRunAtPassiveLevelAndAreCheckedAtUnload) {
    static KIRQL ran_at;
    ran_at = HIGH_LEVEL;
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, [](PVOID) { ran_at = KeGetCurrentIrql(); }, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    EXPECT_DEATH(ExQueueWorkItem(&item, DelayedWorkQueue), "INVALID_WORK_ITEM");
    KeLowerIrql(old);
    PDRIVER_OBJECT bare = kernel->io().load_driver("Bare", ScriptedDriver::entry);
    EXPECT_DEATH(kernel->io().unload_driver(bare), "DRIVER_UNLOADED_WITH_WORK_ITEMS");
    kernel->run_for(host::kMillisecond);
    EXPECT_EQ(ran_at, PASSIVE_LEVEL);
    EXPECT_EQ(kernel->work_items(), 0u);
    kernel->io().unload_driver(bare);
}

}  // namespace
}  // namespace torvex_test
