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
    EXPECT_EQ(PoSetPowerState(pdo, DevicePowerState, d0).DeviceState, PowerDeviceUnspecified);
    EXPECT_EQ(kernel->io().reported_power_state(pdo), PowerDeviceD0);
}

}  // namespace
}  // namespace torvex_test
