// Loading the driver, adding devices, and the accounting of work in progress.
#include <fstream>
#include <regex>
#include <string>

#include "core/exports.h"
#include "sim/serport/serport.h"
#include "tests/driver/driver_fixture.h"

namespace torvex_test {
namespace {

class DeviceTest : public DriverTest {
public:
    // A device object of another driver that takes a name first. Names differ
    // from each other only in case for some numbers ("A" and "a"): those are
    // taken already.
    void occupy(const std::u16string& name) {
        if (squatter_driver == nullptr) {
            squatter_driver = kernel().io().load_driver("Squatter", [](PDRIVER_OBJECT, PUNICODE_STRING) {
                return STATUS_SUCCESS;
            });
        }
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name.c_str());
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(squatter_driver, 0, &text, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        if (NT_SUCCESS(status)) {
            squatters.push_back(device);
        } else {
            EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
        }
    }

    void TearDown() override {
        for (PDEVICE_OBJECT device : squatters) IoDeleteDevice(device);
        DriverTest::TearDown();
    }

    static std::u16string numbered(const char16_t* base, int n) {
        return std::u16string(base) + static_cast<char16_t>(0x30 + n);
    }

    PDRIVER_OBJECT squatter_driver = nullptr;
    std::vector<PDEVICE_OBJECT> squatters;
};

TEST_F(DeviceTest, TheBannerAndTheDispatchTable) {
    std::regex banner("Varquel:\t<Build: [A-Z][a-z]{2} [ 123][0-9] [0-9]{4} - [0-9]{2}:[0-9]{2}:[0-9]{2}>\n");
    EXPECT_TRUE(std::regex_match(kernel().debug_output(), banner)) << kernel().debug_output();

    PDRIVER_OBJECT driver = world->driver();
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], USB2SER_Create);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], USB2SER_Create);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], USB2SER_ProcessIOCTL);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], USB2SER_Process_Internal_IOCTL);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_POWER], USB2SER_ProcessPowerIrp);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL], USB2SER_Dispatch);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], USB2SER_Dispatch);
    EXPECT_EQ(driver->DriverExtension->AddDevice, USB2SER_PnPAddDevice);
    EXPECT_EQ(driver->DriverUnload, USB2SER_Unload);
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_CLEANUP, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SHUTDOWN}) {
        EXPECT_EQ(driver->MajorFunction[major], host::IoManager::default_dispatch) << int{major};
    }
}

TEST_F(DeviceTest, AddDeviceNamesLinksAndInitialisesTheFirstDevice) {
    PUSB2SER_EXTENSION e = ext();
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(kernel().io().name_exists("\\Device\\SerialPort1"));
    EXPECT_EQ(kernel().io().resolve("\\DosDevices\\USBCOM-1"), fdo());
    EXPECT_EQ(std::u16string(e->SymbolicLinkName), u"\\DosDevices\\USBCOM-1");
    EXPECT_EQ(e->InstanceNumber, 1);
    EXPECT_EQ(e->IoCount, 1);
    EXPECT_EQ(e->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(e->FunctionalDeviceObject, fdo());
    EXPECT_EQ(e->PhysicalDeviceObject, world->pdo());
    EXPECT_EQ(e->TopOfStackDeviceObject, world->pdo());
    EXPECT_FALSE(fdo()->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(fdo()->Flags & DO_DIRECT_IO);
    EXPECT_TRUE(fdo()->Flags & DO_POWER_PAGABLE);
    EXPECT_TRUE(fdo()->Flags & DO_EXCLUSIVE);
    EXPECT_EQ(fdo()->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(fdo()->Characteristics, 0u);
    EXPECT_EQ(e->DataIdleEvent.Header.SignalState, 1);
    EXPECT_EQ(e->CtrlIdleEvent.Header.SignalState, 1);
    EXPECT_EQ(e->RemoveEvent.Header.SignalState, 0);
}

TEST_F(DeviceTest, DevicesTakeTheLowestFreeNumberAndTheTenthGetsAColon) {
    world->remove();
    occupy(u"\\Device\\SerialPort1");
    std::vector<PDEVICE_OBJECT> pdos;
    for (int i = 0; i < 9; ++i) {
        pdos.push_back(world->bus().create_pdo());
        ASSERT_EQ(kernel().pnp().add_device(world->driver(), pdos.back()), STATUS_SUCCESS);
    }
    auto* first = USB2SER_Extension(pdos.front()->AttachedDevice);
    auto* tenth = USB2SER_Extension(pdos.back()->AttachedDevice);
    EXPECT_EQ(first->InstanceNumber, 2);
    EXPECT_EQ(tenth->InstanceNumber, 10);
    EXPECT_EQ(std::u16string(tenth->SymbolicLinkName), u"\\DosDevices\\USBCOM-:");
    EXPECT_TRUE(kernel().io().name_exists("\\Device\\SerialPort:"));
    for (PDEVICE_OBJECT pdo : pdos) {
        ASSERT_EQ(kernel().pnp().remove(pdo), STATUS_SUCCESS);
        world->bus().delete_pdo(pdo);
    }
}

TEST_F(DeviceTest, The256thNameIsTheLastAndThe257thDeviceIsRefusedAndLeavesNothing) {
    world->remove();
    for (int n = 1; n <= 255; ++n) occupy(numbered(u"\\Device\\SerialPort", n));
    ASSERT_EQ(world->add_device(), STATUS_SUCCESS);
    EXPECT_EQ(world->extension()->InstanceNumber, 256);
    world->remove();
    occupy(numbered(u"\\Device\\SerialPort", 256));
    EXPECT_EQ(world->add_device(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(world->fdo(), nullptr);
    EXPECT_EQ(world->driver()->DeviceObject, nullptr);
}

TEST_F(DeviceTest, ALinkThatCannotBeMadeLeavesNoDeviceBehind) {
    world->remove();
    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\USBCOM-1");
    RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(world->add_device(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(world->driver()->DeviceObject, nullptr);
    EXPECT_FALSE(kernel().io().name_exists("\\Device\\SerialPort1"));
    IoDeleteSymbolicLink(&link);
}

TEST_F(DeviceTest, AStackBeingRemovedRefusesTheDeviceAndNothingIsLeft) {
    world->remove();
    world->bus().unplug(world->pdo());
    EXPECT_EQ(world->add_device(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(world->driver()->DeviceObject, nullptr);
    EXPECT_FALSE(kernel().io().name_exists("\\DosDevices\\USBCOM-1"));
}

TEST_F(DeviceTest, EveryDispatchRoutineGivesItsReferenceBack) {
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kernel().io().open("\\DosDevices\\USBCOM-1", &file), STATUS_SUCCESS);
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(kernel().io().open("\\DosDevices\\USBCOM-1", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(kernel().io().send_simple(file, IRP_MJ_READ), STATUS_INVALID_DEVICE_REQUEST);
    ULONG_PTR information = 99;
    EXPECT_EQ(kernel().io().device_io_control(file, 0x22203C, nullptr, 0, nullptr, 0, &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(kernel().io().close(file), STATUS_SUCCESS);

    // An internal device-control request of any code is refused, with no
    // data (as a completion routine above sees it: a request that fails
    // without pending leaves its status block alone).
    KEVENT event;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, fdo(), nullptr, 0, nullptr, 0, TRUE,
                                             &event, &status);
    ULONG_PTR seen = 99;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP request, PVOID context) {
            *static_cast<ULONG_PTR*>(context) = request->IoStatus.Information;
            return STATUS_SUCCESS;
        },
        &seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(fdo(), irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(seen, 0u);

    EXPECT_EQ(world->start(), STATUS_SUCCESS);
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(kernel().pnp().query_capabilities(world->pdo(), &caps), STATUS_SUCCESS);
    kernel().pnp().query_relations(world->pdo(), BusRelations);
    EXPECT_EQ(kernel().pnp().system_control(world->pdo()), STATUS_SUCCESS);
    EXPECT_EQ(kernel().pnp().set_system_power(world->pdo(), PowerSystemSleeping1), STATUS_SUCCESS);
    kernel().run_for(host::kMillisecond);  // a device request sent from a thread of its own has left the driver
    EXPECT_EQ(ext()->IoCount, 1);
    // Waking restores the chip in a work item and arms the three reads: each
    // holds its reference while it waits, and nothing else does.
    EXPECT_EQ(kernel().pnp().set_system_power(world->pdo(), PowerSystemWorking), STATUS_SUCCESS);
    kernel().run_for(10 * host::kMillisecond);
    EXPECT_EQ(ext()->IoCount, 4);
}

// Out-of-range numbers find nothing; a device whose removal has begun is
// found by no export's look-up, which keeps no reference on it.
TEST_F(DeviceTest, PortLookUpsFindNoDeviceOutOfRangeOrBeingRemoved) {
    gDevObj[255] = fdo();
    EXPECT_EQ(USB2SER_GetDeviceObject(255), fdo());
    EXPECT_EQ(USB2SER_GetDeviceObject(256), nullptr);
    EXPECT_EQ(USB2SER_GetDeviceObject(static_cast<ULONG>(-1)), nullptr);
    EXPECT_EQ(USB2SER_GetDeviceObject(0), nullptr);
    const LONG references = ext()->IoCount;
    ext()->Removed = TRUE;
    EXPECT_EQ(USB2SER_ReferencePort(255), nullptr);
    EXPECT_EQ(ext()->IoCount, references);
    ext()->Removed = FALSE;
    gDevObj[255] = nullptr;
}

TEST_F(DeviceTest, RemovalDeletesTheLinkAndTellsThePortDriverOnce) {
    static int calls;
    static ULONG port;
    calls = 0;
    pCableRemove = [](ULONG p) {
        ++calls;
        port = p;
    };
    ext()->BoundPort = 4;
    EXPECT_EQ(world->remove(), STATUS_SUCCESS);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(port, 4u);
    EXPECT_FALSE(kernel().io().name_exists("\\DosDevices\\USBCOM-1"));
    EXPECT_EQ(world->fdo(), nullptr);
}

// The module exports the thirteen functions by name, ordinals 1 to 13 in the
// byte order of the names; the port driver resolves each by name, and a
// module that lacks one (misspelt here) fails its load with the name.
TEST_F(DeviceTest, ThePortDriverResolvesTheThirteenExportsByName) {
    EXPECT_EQ(world->module().check(), "");
    ASSERT_EQ(world->module().exports().size(), 13u);
    EXPECT_STREQ(world->module().exports()[0].Name, "COMOpenedForSerport");
    EXPECT_STREQ(world->module().exports()[1].Name, "CableRemoveForSerport");
    EXPECT_EQ(sim::Serport::bind(world->module()), "");

    std::vector<MODULE_EXPORT> table(USB2SER_ExportTable, USB2SER_ExportTable + USB2SER_EXPORT_COUNT);
    table[11].Name = "WriteForSerPort";  // misspelt, still in byte order
    const char* const none[] = {nullptr};
    host::Module misspelt("TORVEX.SYS", DriverEntry, table, none);
    EXPECT_EQ(misspelt.check(), "");
    EXPECT_EQ(sim::Serport::bind(misspelt), "TORVEX.SYS does not export WriteForSerport");

    std::swap(table[0], table[1]);  // out of byte order
    EXPECT_NE(host::Module("TORVEX.SYS", DriverEntry, table, none).check(), "");

    // Its imports bind against what Windows 98 SE exports; an image that
    // imports anything else is refused, each routine named. The host names
    // of routines the target's headers bind otherwise are taken as those.
    EXPECT_EQ(world->module().link(), "");
    const char* const imports[] = {"KeSetEvent",         "KeAcquireSpinLock", "RtlCopyMemory", "CONFIGMG_Create_DevNode",
                                   "ZwWaitForSingleObject", "KeReadStateEvent", "KeWaitForSingleObjekt", "atol",
                                   "wcslen", "USBD_ParseConfigurationDescriptorEx", nullptr};
    EXPECT_EQ(host::Module("TORVEX.SYS", DriverEntry, table, imports).link(),
              "TORVEX.SYS: imports ZwWaitForSingleObject, which Windows 98 SE does not export\n"
              "TORVEX.SYS: imports KeReadStateEvent, which Windows 98 SE does not export\n"
              "TORVEX.SYS: imports KeWaitForSingleObjekt, which Windows 98 SE does not export\n"
              "TORVEX.SYS: imports atol, which Windows 98 SE does not export\n"
              "TORVEX.SYS: imports wcslen, which Windows 98 SE does not export\n");

    // The driver image exports what its .def file lists: the same names
    // under the same ordinals as this table.
    std::ifstream def(TORVEX_SOURCE_DIR "/core/exports.def");
    std::vector<std::pair<std::string, USHORT>> listed;
    for (std::string line; std::getline(def, line);) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"(\s+(\w+)=\w+@\d+\s+@(\d+)\s*)"))) {
            listed.emplace_back(m[1], static_cast<USHORT>(std::stoi(m[2])));
        }
    }
    ASSERT_EQ(listed.size(), static_cast<std::size_t>(USB2SER_EXPORT_COUNT));
    for (std::size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(listed[i].first, USB2SER_ExportTable[i].Name);
        EXPECT_EQ(listed[i].second, USB2SER_ExportTable[i].Ordinal);
    }
    EXPECT_EQ(sim::Serport::bind(world->module()), "");  // the world's port driver stays bound
}

}  // namespace
}  // namespace torvex_test
