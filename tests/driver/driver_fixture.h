// Scenarios on the test bench: a world with the driver loaded and its device
// added; each test's world is torn down and must leave nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "sim/bench/world.h"
#include "sim/serport/serport.h"
#include "tests/seed.h"
#include "serial/data_pump.h"
#include "usb/configure.h"
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
        options.strategy = strategy_or_environment(options.strategy);
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

    // Selects the configuration and keeps the interface copies, as a start does.
    void configure() { ASSERT_EQ(USB2SER_StartDevice(fdo()), STATUS_SUCCESS); }

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

};

// A world with the device started, and a Serport on the port the device was
// given, its callbacks registered.
class PortTest : public DriverTest {
public:
    void SetUp() override { started({}); }

    void TearDown() override {
        finish();
        serport.reset();
    }

    void started(sim::WorldOptions options) {
        finish();
        serport.reset();
        build(options);
        ASSERT_EQ(world->start(), STATUS_SUCCESS);
        port = world->port();
        serport = std::make_unique<sim::Serport>(port);
        sim::Serport::register_callbacks();
    }

    ULONG port = 0;
    std::unique_ptr<sim::Serport> serport;
};

}  // namespace torvex_test
