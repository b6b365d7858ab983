// Scenarios on the test bench: a world with the driver loaded and its device
// added; each test's world is torn down and must leave nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/bench/world.h"
#include "tests/seed.h"
#include "serial/data_pump.h"
#include "usb/usb_submit.h"

namespace torvex_test {

class DriverTest : public ::testing::Test {
public:
    static constexpr std::uint64_t kSeed = 7;

    void SetUp() override { build({}); }
    void TearDown() override { finish(); }

    void build(sim::WorldOptions options) {
        finish();
        if (options.seed == 1) options.seed = seed_or_environment(kSeed);
        seed = options.seed;
        world = std::make_unique<sim::World>(options);
    }

    void finish() {
        if (!world) return;
        EXPECT_EQ(world->teardown(), "") << "seed " << seed;
        world.reset();
    }

    PDEVICE_OBJECT fdo() const { return world->fdo(); }
    PUSB2SER_EXTENSION ext() const { return world->extension(); }
    host::Kernel& kernel() { return world->kernel(); }

    // Selects the configuration with all its interfaces and keeps a pool copy
    // of each interface's information in the extension, as a start does.
    void configure() {
        PUSB2SER_EXTENSION e = ext();
        std::vector<UCHAR> config(256);
        URB urb{};
        auto& d = urb.UrbControlDescriptorRequest;
        d.Hdr.Length = URB_TARGET_SIZE_CONTROL_REQUEST;
        d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        d.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
        d.TransferBuffer = config.data();
        d.TransferBufferLength = static_cast<ULONG>(config.size());
        ASSERT_EQ(USB2SER_CallUSBD(fdo(), &urb), STATUS_SUCCESS);
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        const int count = descriptor->bNumInterfaces;
        std::vector<USBD_INTERFACE_LIST_ENTRY> list(count + 1u);
        for (int i = 0; i < count; ++i) {
            list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, i, 0, -1, -1, -1);
        }
        PURB select = USBD_CreateConfigurationRequestEx(descriptor, list.data());
        ASSERT_EQ(USB2SER_CallUSBD(fdo(), select), STATUS_SUCCESS);
        e->SingleInterface = count == 1;
        e->InterfaceInfo0 = copy(list[0].Interface);
        if (count > 1) e->InterfaceInfo1 = copy(list[1].Interface);
        ExFreePool(select);
    }

    // A data transfer on a slot, built as the data pump builds it.
    PUSB2SER_TRANSFER transfer(ULONG slot, ULONG length) {
        auto* t = static_cast<PUSB2SER_TRANSFER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(USB2SER_TRANSFER),
                                                                         USB2SER_POOL_TAG));
        RtlZeroMemory(t, sizeof *t);
        t->DataBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, USB2SER_POOL_TAG));
        RtlZeroMemory(t->DataBuffer, length);
        t->Urb.Hdr.Length = URB_TARGET_SIZE_BULK_OR_INTERRUPT;
        t->Urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        t->Urb.PipeHandle = USB2SER_SlotPipeHandle(ext(), slot);
        t->Urb.TransferFlags = slot == USB2SER_SLOT_BULK_IN ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK
                               : slot == USB2SER_SLOT_INTERRUPT_IN ? USBD_TRANSFER_DIRECTION_IN
                                                                   : USBD_TRANSFER_DIRECTION_OUT;
        t->Urb.TransferBuffer = t->DataBuffer;
        t->Urb.TransferBufferLength = length;
        return t;
    }

    std::unique_ptr<sim::World> world;
    std::uint64_t seed = kSeed;

private:
    static PUSBD_INTERFACE_INFORMATION copy(PUSBD_INTERFACE_INFORMATION info) {
        auto* out = static_cast<PUSBD_INTERFACE_INFORMATION>(
            ExAllocatePoolWithTag(NonPagedPool, info->Length, USB2SER_POOL_TAG));
        RtlCopyMemory(out, info, info->Length);
        return out;
    }
};

}  // namespace torvex_test
