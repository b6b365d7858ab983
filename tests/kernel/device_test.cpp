#include <algorithm>
#include <string>
#include <vector>

#include "tests/kernel/fixture.h"

namespace torvex_test {
namespace {

class DeviceTest : public KernelTest {
protected:
    bool listed(const std::string& line) {
        auto names = kernel->io().namespace_listing();
        return std::find(names.begin(), names.end(), line) != names.end();
    }
};

TEST_F(DeviceTest, CreatedDevicesHaveZeroedExtensionsAndUniqueNames) {
    PDEVICE_OBJECT first = create_device(u"\\Device\\Port1", 48);
    auto* extension = static_cast<UCHAR*>(first->DeviceExtension);
    EXPECT_TRUE(std::all_of(extension, extension + 48, [](UCHAR b) { return b == 0; }));
    EXPECT_EQ(first->StackSize, 1);
    EXPECT_TRUE(first->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(first->DriverObject, driver);

    UNICODE_STRING same;
    RtlInitUnicodeString(&same, u"\\DEVICE\\port1");  // names ignore case
    PDEVICE_OBJECT second = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(listed("\\Device\\Port1"));
}

TEST_F(DeviceTest, AttachingStacksDevicesAndGrowsStackSizes) {
    PDEVICE_OBJECT middle = stack_on_bus(u"\\Device\\Middle");
    PDEVICE_OBJECT top = create_device(u"\\Device\\Top");
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, pdo), middle);  // lands on the current top
    EXPECT_EQ(middle->StackSize, 2);
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(pdo->AttachedDevice, middle);
    EXPECT_EQ(middle->AttachedDevice, top);
    EXPECT_EQ(top->DeviceObjectExtension->AttachedTo, middle);
    IoDetachDevice(middle);
    EXPECT_EQ(middle->AttachedDevice, nullptr);
    EXPECT_EQ(top->DeviceObjectExtension->AttachedTo, nullptr);
}

TEST_F(DeviceTest, SymbolicLinksResolveToTheirDevices) {
    PDEVICE_OBJECT device = create_device(u"\\Device\\SerialPort1");
    UNICODE_STRING link;
    UNICODE_STRING name;
    RtlInitUnicodeString(&link, u"\\DosDevices\\USBCOM-1");
    RtlInitUnicodeString(&name, u"\\Device\\SerialPort1");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(listed("\\DosDevices\\USBCOM-1 -> \\Device\\SerialPort1"));
    EXPECT_EQ(kernel->io().resolve("\\DosDevices\\USBCOM-1"), device);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kernel->io().resolve("\\DosDevices\\USBCOM-1"), nullptr);
}

TEST_F(DeviceTest, OpensReachTheDriverOnceAndClosesEvenAfterTheDeviceIsDeleted) {
    static int creates;
    static int closes;
    creates = closes = 0;
    ScriptedDriver::handlers[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) {
        ++creates;
        return complete_with(irp, STATUS_SUCCESS);
    };
    ScriptedDriver::handlers[IRP_MJ_CLOSE] = [](PDEVICE_OBJECT, PIRP irp) {
        ++closes;
        return complete_with(irp, STATUS_SUCCESS);
    };
    PDEVICE_OBJECT device = create_device(u"\\Device\\Only", 0, TRUE);
    UNICODE_STRING link;
    UNICODE_STRING name;
    RtlInitUnicodeString(&link, u"\\DosDevices\\ONLY");
    RtlInitUnicodeString(&name, u"\\Device\\Only");
    IoCreateSymbolicLink(&link, &name);

    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(kernel->io().open("\\DosDevices\\ONLY", &file), STATUS_NO_SUCH_DEVICE);  // still initialising
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(kernel->io().open("\\DosDevices\\ONLY", &file), STATUS_SUCCESS);
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(kernel->io().open("\\DosDevices\\ONLY", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(creates, 1);
    // Read has no dispatch routine of the driver: the default routine fails it.
    EXPECT_EQ(kernel->io().send_simple(file, IRP_MJ_READ), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(kernel->io().close(file), STATUS_SUCCESS);
    EXPECT_EQ(closes, 1);
    ASSERT_EQ(kernel->io().open("\\DosDevices\\ONLY", &second), STATUS_SUCCESS);
    kernel->io().close(second);
    EXPECT_EQ(kernel->io().open("\\DosDevices\\NONE", &second), STATUS_OBJECT_NAME_NOT_FOUND);

    // Deleted with a handle open: the device stays, nameless, until the
    // handle's cleanup and close have reached its driver.
    ASSERT_EQ(kernel->io().open("\\DosDevices\\ONLY", &file), STATUS_SUCCESS);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device);
    EXPECT_TRUE(kernel->io().is_live_device(device));
    EXPECT_EQ(kernel->io().open("\\Device\\Only", &second), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kernel->io().close(file), STATUS_SUCCESS);
    EXPECT_EQ(closes, 3);
    EXPECT_FALSE(kernel->io().is_live_device(device));
}

TEST_F(DeviceTest, PnpRequestsReachTheBusAsThePlatformSendsThem) {
    ScriptedDriver::handlers[IRP_MJ_PNP] = pass_down;
    stack_on_bus();
    // A start, and the queries the platform makes of a started device.
    EXPECT_EQ(kernel->pnp().start(pdo), STATUS_SUCCESS);
    auto& arrivals = bus->arrivals();
    std::vector<UCHAR> minors;
    for (const auto& a : arrivals) minors.push_back(a.minor);
    EXPECT_EQ(minors, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_DEVICE_RELATIONS,
                                          IRP_MN_QUERY_ID, IRP_MN_QUERY_ID, IRP_MN_QUERY_LEGACY_BUS_INFORMATION}));
    EXPECT_EQ(arrivals[0].status, STATUS_NOT_SUPPORTED);  // the initial status of every PnP IRP
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(kernel->pnp().query_capabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    // An identifier query nobody answers completes as it was sent.
    std::vector<std::u16string> ids;
    EXPECT_EQ(kernel->pnp().query_id(pdo, BusQueryHardwareIDs, &ids), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(kernel->pnp().stop(pdo), STATUS_SUCCESS);
    EXPECT_EQ(arrivals[arrivals.size() - 2].minor, IRP_MN_QUERY_STOP_DEVICE);
    EXPECT_EQ(arrivals.back().minor, IRP_MN_STOP_DEVICE);
    bus->set_pnp_result(IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kernel->pnp().start(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(arrivals.back().minor, IRP_MN_START_DEVICE);  // no queries after a failed start
}

TEST_F(DeviceTest, AnIdentifierListIsReadWithinItsBlockAndFreed) {
    ScriptedDriver::handlers[IRP_MJ_PNP] = [](PDEVICE_OBJECT device, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_QUERY_ID) return pass_down(device, irp);
        static const char16_t ids[] = u"*PNP0501\0SECOND";  // second string lacks the list terminator
        auto* list = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, sizeof ids - 2, ' mdW'));
        memcpy(list, ids, sizeof ids - 2);
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
        return complete_with(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(list));
    };
    stack_on_bus();
    std::vector<std::u16string> ids;
    EXPECT_EQ(kernel->pnp().query_id(pdo, BusQueryHardwareIDs, &ids), STATUS_SUCCESS);
    EXPECT_EQ(ids, (std::vector<std::u16string>{u"*PNP0501", u"SECOND"}));
}

}  // namespace
}  // namespace torvex_test
