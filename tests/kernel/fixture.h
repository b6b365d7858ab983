// Worlds for the kernel's own tests: a kernel under a fixed seed, a bus with
// physical device objects, and a driver whose dispatch routines each test sets.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "host/kernel/bus_driver.h"
#include "host/kernel/kernel.h"
#include "host/kernel/pnp_manager.h"
#include "tests/seed.h"

namespace torvex_test {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// A driver whose dispatch routines are std::functions chosen by the test.
struct ScriptedDriver {
    static inline Handler handlers[IRP_MJ_MAXIMUM_FUNCTION + 1];

    static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
        return handlers[IoGetCurrentIrpStackLocation(irp)->MajorFunction](device, irp);
    }
    static NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
            if (handlers[major]) driver->MajorFunction[major] = dispatch;
        }
        return STATUS_SUCCESS;
    }
    static void reset() {
        for (auto& handler : handlers) handler = nullptr;
    }
};

// Passes the request down to the next device of the stack unchanged.
inline NTSTATUS pass_down(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
}

inline NTSTATUS complete_with(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline LARGE_INTEGER relative(host::Time duration) {
    LARGE_INTEGER value;
    value.QuadPart = -duration;
    return value;
}

class KernelTest : public ::testing::Test {
protected:
    static constexpr std::uint64_t kSeed = 20261207;

    void SetUp() override {
        seed = seed_or_environment(kSeed);
        build(seed);
    }

    void TearDown() override {
        if (!kernel) return;
        for (auto it = m_devices.rbegin(); it != m_devices.rend(); ++it) {
            PDEVICE_OBJECT device = *it;
            if (!kernel->io().is_live_device(device)) continue;
            if (device->DeviceObjectExtension->AttachedTo != nullptr) {
                IoDetachDevice(device->DeviceObjectExtension->AttachedTo);
            }
            IoDeleteDevice(device);
        }
        bus.reset();
        EXPECT_EQ(kernel->leaks(), "") << "seed " << kernel->seed();
        kernel.reset();
    }

    void build(std::uint64_t seed, std::optional<host::Strategy> strategy = std::nullopt) {
        if (kernel) TearDown();
        m_devices.clear();
        ScriptedDriver::reset();
        kernel = std::make_unique<host::Kernel>(seed, strategy ? *strategy : strategy_or_environment(host::Strategy::Random));
        bus = std::make_unique<host::BusDriver>(*kernel, "HostBus");
    }

    // Loads the scripted driver (with the handlers set so far), creates a
    // device of it named `name` and attaches it on top of a new physical device.
    PDEVICE_OBJECT stack_on_bus(const char16_t* name = u"\\Device\\Scripted0",
                                ULONG extension_size = 64) {
        if (driver == nullptr) driver = kernel->io().load_driver("Scripted", ScriptedDriver::entry);
        pdo = bus->create_pdo();
        PDEVICE_OBJECT device = create_device(name, extension_size);
        IoAttachDeviceToDeviceStack(device, pdo);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    PDEVICE_OBJECT create_device(const char16_t* name, ULONG extension_size = 64,
                                 BOOLEAN exclusive = FALSE) {
        if (driver == nullptr) driver = kernel->io().load_driver("Scripted", ScriptedDriver::entry);
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, extension_size, name ? &text : nullptr,
                                 FILE_DEVICE_UNKNOWN, 0, exclusive, &device),
                  STATUS_SUCCESS);
        m_devices.push_back(device);
        return device;
    }

    std::uint64_t seed = kSeed;
    std::unique_ptr<host::Kernel> kernel;
    std::unique_ptr<host::BusDriver> bus;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;

private:
    std::vector<PDEVICE_OBJECT> m_devices;
};

}  // namespace torvex_test
