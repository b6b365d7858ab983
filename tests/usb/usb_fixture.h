// A world of the bus and one chip, with a minimal client that sends URBs to
// the chip's physical device object as a function driver would.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/usb/usb_bus.h"
#include "platform/usb.h"
#include "sim/chip/bridge_chip.h"
#include "sim/line/line.h"
#include "tests/seed.h"

namespace torvex_test {

struct Select {
    NTSTATUS status = STATUS_PENDING;
    std::vector<USBD_PIPE_HANDLE> pipes;  // in the order the bus returned them
    std::vector<UCHAR> endpoints;
};

class UsbTest : public ::testing::Test {
public:
    static constexpr std::uint64_t kSeed = 3;

    void SetUp() override { build(sim::ChipConfig::of(sim::ChipKind::Extended, 1)); }

    void TearDown() override {
        if (!kernel) return;
        bus.reset();
        EXPECT_EQ(kernel->leaks(), "") << "seed " << kernel->seed();
        chip.reset();
        kernel.reset();
    }

    void build(sim::ChipConfig config, bool loopback = true, host::UsbBus::Options options = {}) {
        if (kernel) TearDown();
        kernel = std::make_unique<host::Kernel>(seed_or_environment(kSeed), strategy_or_environment(host::Strategy::Random));
        bus = std::make_unique<host::UsbBus>(*kernel, options);
        chip = std::make_unique<sim::BridgeChip>(std::move(config));
        if (loopback) {
            chip->connect(&loop);
        } else {
            chip->connect(&peer);
        }
        pdo = bus->plug(*chip);
    }

    // Submits a URB and waits for it, as a synchronous caller does.
    NTSTATUS call(PURB urb) {
        KEVENT event;
        IO_STATUS_BLOCK status{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr,
                                                 0, TRUE, &event, &status);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        NTSTATUS result = IofCallDriver(pdo, irp);
        last_call_pended = result == STATUS_PENDING;
        // The final completion runs in this thread and signals the event
        // unless the request failed without pending; a wait with no time
        // lets it release the request then.
        LARGE_INTEGER now{};
        bool signalled = last_call_pended || !NT_ERROR(result);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, signalled ? nullptr : &now);
        if (last_call_pended) result = status.Status;
        return result;
    }

    // A vendor or class request on the default pipe.
    NTSTATUS request(USHORT function, bool in, UCHAR request_code, USHORT value, USHORT index,
                     void* buffer = nullptr, ULONG length = 0, ULONG* transferred = nullptr) {
        URB urb{};
        auto& r = urb.UrbControlVendorClassRequest;
        r.Hdr.Length = URB_TARGET_SIZE_CONTROL_REQUEST;
        r.Hdr.Function = function;
        r.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
        r.Request = request_code;
        r.Value = value;
        r.Index = index;
        r.TransferBuffer = buffer;
        r.TransferBufferLength = length;
        NTSTATUS status = call(&urb);
        if (transferred) *transferred = r.TransferBufferLength;
        return status;
    }

    NTSTATUS get_descriptor(UCHAR type, UCHAR index, USHORT language, void* buffer, ULONG length,
                            ULONG* transferred = nullptr) {
        URB urb{};
        auto& r = urb.UrbControlDescriptorRequest;
        r.Hdr.Length = URB_TARGET_SIZE_CONTROL_REQUEST;
        r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        r.DescriptorType = type;
        r.Index = index;
        r.LanguageId = language;
        r.TransferBuffer = buffer;
        r.TransferBufferLength = length;
        NTSTATUS status = call(&urb);
        if (transferred) *transferred = r.TransferBufferLength;
        return status;
    }

    // Selects the configuration with every interface it has.
    Select select_configuration() {
        Select result;
        std::vector<UCHAR> config(512);
        ULONG length = 0;
        result.status = get_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config.data(),
                                       static_cast<ULONG>(config.size()), &length);
        if (!NT_SUCCESS(result.status)) return result;
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list(descriptor->bNumInterfaces + 1u);
        for (int i = 0; i < descriptor->bNumInterfaces; ++i) {
            list[i].InterfaceDescriptor =
                USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, i, 0, -1, -1, -1);
        }
        PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
        result.status = call(urb);
        for (int i = 0; i < descriptor->bNumInterfaces; ++i) {
            PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
            for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
                result.pipes.push_back(info->Pipes[p].PipeHandle);
                result.endpoints.push_back(info->Pipes[p].EndpointAddress);
            }
        }
        ExFreePool(urb);
        return result;
    }

    NTSTATUS unconfigure() {
        URB urb{};
        urb.UrbSelectConfiguration.Hdr.Length = URB_TARGET_SIZE_SELECT_CONFIGURATION;
        urb.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        return call(&urb);
    }

    static void fill_transfer(URB& urb, USBD_PIPE_HANDLE pipe, ULONG flags, void* buffer, ULONG length) {
        auto& r = urb.UrbBulkOrInterruptTransfer;
        r.Hdr.Length = URB_TARGET_SIZE_BULK_OR_INTERRUPT;
        r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        r.PipeHandle = pipe;
        r.TransferFlags = flags;
        r.TransferBuffer = buffer;
        r.TransferBufferLength = length;
    }

    NTSTATUS transfer(USBD_PIPE_HANDLE pipe, ULONG flags, void* buffer, ULONG length, ULONG* transferred = nullptr) {
        URB urb{};
        fill_transfer(urb, pipe, flags, buffer, length);
        NTSTATUS status = call(&urb);
        if (transferred) *transferred = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        return status;
    }

    std::unique_ptr<host::Kernel> kernel;
    std::unique_ptr<host::UsbBus> bus;
    std::unique_ptr<sim::BridgeChip> chip;
    sim::Loopback loop;
    sim::ScriptedPeer peer;
    PDEVICE_OBJECT pdo = nullptr;
    bool last_call_pended = false;
};

}  // namespace torvex_test
