// Sending USB requests: synchronously with the 5-second limit, on a pipe slot,
// fire-and-forget; cancelling in flight, and the hand-off that frees every
// request exactly once.
#include <chrono>
#include <set>
#include <tuple>

#include "tests/driver/driver_fixture.h"
#include "usb/requests.h"

namespace torvex_test {
namespace {

using host::kMillisecond;
using host::kSecond;

class UsbSubmitTest : public DriverTest {};

TEST_F(UsbSubmitTest, ASynchronousRequestReturnsTheDevicesAnswer) {
    UCHAR value = 0xFF;
    world->chip().set_reg(0, 0x5A);
    PURB urb = USB2SER_BuildVendorRead(0x80, &value);
    EXPECT_EQ(USB2SER_CallUSBD(fdo(), urb), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferBufferLength, 1u);
    ExFreePool(urb);
}

TEST_F(UsbSubmitTest, AnErrorCompletedInsideTheCallIsReturnedAtOnce) {
    world->bus().add_fault({.wValue = 0x0081, .action = host::FaultAction::Fail,
                            .usbd_status = USBD_STATUS_DEV_NOT_RESPONDING, .inline_completion = true});
    UCHAR value = 0;
    PURB urb = USB2SER_BuildVendorRead(0x81, &value);
    host::Time before = kernel().now();
    EXPECT_EQ(USB2SER_CallUSBD(fdo(), urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kernel().now(), before);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    ExFreePool(urb);
}

TEST_F(UsbSubmitTest, ARequestStillPendingAfterFiveSecondsIsCancelled) {
    world->bus().add_fault({.wValue = 0x0080, .action = host::FaultAction::Never});
    UCHAR value = 0;
    PURB urb = USB2SER_BuildVendorRead(0x80, &value);
    auto started = std::chrono::steady_clock::now();
    host::Time before = kernel().now();
    EXPECT_EQ(USB2SER_CallUSBD(fdo(), urb), STATUS_CANCELLED);
    // Cancelled at the limit, ended by the bus at its next frame (or one
    // or two later, as late as the controller is).
    EXPECT_GE(kernel().now() - before, 5 * kSecond);
    EXPECT_LE(kernel().now() - before, 5 * kSecond + 3 * host::kFrame + host::kStartOfFrame);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
    ExFreePool(urb);

    // Disturbed by the platform's undocumented answer (one wait in two here,
    // somewhere within its time-out), the call waits five seconds in all:
    // each new wait is for what is left.
    for (std::uint64_t s = 1; s <= 10; ++s) {
        build({.seed = s});
        kernel().set_spurious_waits(2);
        world->bus().add_fault({.wValue = 0x0080, .action = host::FaultAction::Never});
        urb = USB2SER_BuildVendorRead(0x80, &value);
        before = kernel().now();
        EXPECT_EQ(USB2SER_CallUSBD(fdo(), urb), STATUS_CANCELLED) << "seed " << s;
        EXPECT_GE(kernel().now() - before, 5 * kSecond) << "seed " << s;
        EXPECT_LE(kernel().now() - before, 5 * kSecond + 3 * host::kFrame + host::kStartOfFrame) << "seed " << s;
        ExFreePool(urb);
    }
}

TEST_F(UsbSubmitTest, ACompletionAtTheMomentOfTheTimeOutIsSafeUnderEverySeed) {
    // The device answers in the frame that ends as the 5-second limit runs
    // out: the controller's interrupt and the time-out's cancel come close
    // together, in either order as late as the interrupt is, and the
    // cancel must never reach a released request. A request the device has
    // answered completes with its answer, however the cancel falls.
    std::set<bool> cancelled;
    const SeedRange seeds = seed_range(40);
    for (std::uint64_t s = seeds.first; s <= seeds.last; ++s) {
        build({.seed = s});
        world->bus().add_fault({.wValue = 0x0080, .action = host::FaultAction::Delay, .delay_frames = 4998});
        UCHAR value = 0;
        PURB urb = USB2SER_BuildVendorRead(0x80, &value);
        const std::size_t before = kernel().trace().entries().size();
        EXPECT_EQ(USB2SER_CallUSBD(fdo(), urb), STATUS_SUCCESS) << "seed " << s;
        const auto& entries = kernel().trace().entries();
        cancelled.insert(std::any_of(entries.begin() + static_cast<std::ptrdiff_t>(before), entries.end(),
                                     [](const host::TraceEntry& e) { return e.kind == host::TraceKind::IrpCancel; }));
        ExFreePool(urb);
    }
    // Both orders occur: the interrupt first, or the cancel.
    EXPECT_EQ(cancelled, (std::set<bool>{false, true}));
}

TEST_F(UsbSubmitTest, FireAndForgetHandsTheUrbOverAndCountsItWhileInFlight) {
    PURB urb = USB2SER_BuildVendorWrite(0x0000, 0x41);
    EXPECT_EQ(USB2SER_AsyncCallUSBD_Ctrl(fdo(), urb), STATUS_PENDING);
    EXPECT_EQ(ext()->CtrlIoCount, 1);
    EXPECT_EQ(ext()->CtrlIdleEvent.Header.SignalState, 0);
    kernel().run_for(5 * kMillisecond);
    EXPECT_EQ(ext()->CtrlIoCount, 0);
    EXPECT_EQ(ext()->CtrlIdleEvent.Header.SignalState, 1);
    EXPECT_EQ(world->chip().reg(0), 0x41);
    // A request the device rejects is dropped without a trace.
    world->bus().add_fault({.wValue = 0x0001, .action = host::FaultAction::Stall});
    EXPECT_EQ(USB2SER_AsyncCallUSBD_Ctrl(fdo(), USB2SER_BuildVendorWrite(0x0001, 0x22)), STATUS_PENDING);
    kernel().run_for(5 * kMillisecond);
    EXPECT_EQ(ext()->CtrlIoCount, 0);
    // Those the device never answers hold their entries; with every entry
    // held the next is not sent, and leaves nothing behind. The removal
    // cancels them all and does not wait for them for ever.
    world->bus().add_fault({.wValue = 0x0002, .action = host::FaultAction::Never});
    for (int n = 0; n < USB2SER_MAX_CTRL_REQUESTS; ++n) {
        EXPECT_EQ(USB2SER_AsyncCallUSBD_Ctrl(fdo(), USB2SER_BuildVendorWrite(0x0002, 0x33)), STATUS_PENDING);
    }
    kernel().run_for(20 * kMillisecond);
    const std::size_t records = world->bus().trace().records().size();
    const auto blocks = kernel().pool().outstanding().size();
    const LONG port = ext()->BoundPort;
    const LONG index = ext()->PortIndex;
    EXPECT_EQ(USB2SER_AsyncCallUSBD_Ctrl(fdo(), USB2SER_BuildVendorWrite(0x0002, 0x34)), STATUS_DEVICE_BUSY);
    EXPECT_EQ(ext()->BoundPort, port) << "the search went past the table";
    EXPECT_EQ(ext()->PortIndex, index) << "the search went past the table";
    EXPECT_EQ(world->bus().trace().records().size(), records);
    EXPECT_EQ(kernel().pool().outstanding().size(), blocks);
    EXPECT_EQ(ext()->CtrlIoCount, USB2SER_MAX_CTRL_REQUESTS);
    EXPECT_EQ(world->remove(), STATUS_SUCCESS);
    EXPECT_EQ(world->bus().pending(), 0u);
}

TEST_F(UsbSubmitTest, OutOfPoolForTheContextOrTheRequestSendsNothingAndLeavesNothing) {
    std::size_t records = world->bus().trace().records().size();
    auto blocks = kernel().pool().outstanding().size();
    kernel().pool().fail_tag(USB2SER_POOL_TAG);
    PURB urb = nullptr;
    kernel().pool().clear_failures();
    urb = USB2SER_BuildVendorWrite(0x0000, 0x41);
    kernel().pool().fail_tag(USB2SER_POOL_TAG);  // the context
    EXPECT_EQ(USB2SER_AsyncCallUSBD_Ctrl(fdo(), urb), STATUS_NO_MEMORY);
    kernel().pool().clear_failures();
    urb = USB2SER_BuildVendorWrite(0x0000, 0x41);
    kernel().pool().fail_tag(host::pool_tag("Irp "));  // the request object
    EXPECT_EQ(USB2SER_AsyncCallUSBD_Ctrl(fdo(), urb), STATUS_NO_MEMORY);
    kernel().pool().clear_failures();
    EXPECT_EQ(world->bus().trace().records().size(), records);
    EXPECT_EQ(kernel().pool().outstanding().size(), blocks);
    EXPECT_EQ(ext()->CtrlIoCount, 0);
    EXPECT_EQ(ext()->CtrlIdleEvent.Header.SignalState, 1);

    // Nor does a synchronous request whose request object cannot be built.
    UCHAR value = 0;
    urb = USB2SER_BuildVendorRead(0x80, &value);
    kernel().pool().fail_tag(host::pool_tag("Irp "));
    EXPECT_EQ(USB2SER_CallUSBD(fdo(), urb), STATUS_INSUFFICIENT_RESOURCES);
    kernel().pool().clear_failures();
    ExFreePool(urb);
    EXPECT_EQ(world->bus().trace().records().size(), records);
}

TEST_F(UsbSubmitTest, ADataTransferIsCountedUntilItsCompletionFreesEverything) {
    configure();
    PUSB2SER_TRANSFER t = transfer(USB2SER_SLOT_BULK_OUT, 3);
    t->DataBuffer[0] = 'a';
    EXPECT_EQ(USB2SER_AsyncCallUSBD(fdo(), reinterpret_cast<PURB>(t), USB2SER_SLOT_BULK_OUT), STATUS_PENDING);
    EXPECT_NE(ext()->IrpSlot[USB2SER_SLOT_BULK_OUT], nullptr);
    EXPECT_EQ(ext()->DataIoCount, 1);
    EXPECT_EQ(ext()->DataIdleEvent.Header.SignalState, 0);
    kernel().run_for(5 * kMillisecond);
    EXPECT_EQ(ext()->IrpSlot[USB2SER_SLOT_BULK_OUT], nullptr);
    EXPECT_EQ(ext()->DataIoCount, 0);
    EXPECT_EQ(ext()->DataIdleEvent.Header.SignalState, 1);
    EXPECT_TRUE(kernel().pool().outstanding(USB2SER_POOL_TAG).size() == 1u);  // the interface copy only
}

TEST_F(UsbSubmitTest, CancelAllWithOnlyTheBulkInSlotInFlight) {
    configure();
    PUSB2SER_TRANSFER read = transfer(USB2SER_SLOT_BULK_IN, 256);
    EXPECT_EQ(USB2SER_AsyncCallUSBD(fdo(), reinterpret_cast<PURB>(read), USB2SER_SLOT_BULK_IN), STATUS_PENDING);
    CancelTheIrp(ext(), 7);  // no such slot: nothing happens
    USB2SER_CancelAllIrps(ext());
    kernel().run_for(5 * kMillisecond);
    EXPECT_EQ(ext()->IrpSlot[USB2SER_SLOT_INTERRUPT_IN], nullptr);
    EXPECT_EQ(ext()->IrpSlot[USB2SER_SLOT_BULK_OUT], nullptr);
    EXPECT_EQ(ext()->IrpSlot[USB2SER_SLOT_BULK_IN], nullptr);
    EXPECT_EQ(ext()->DataIoCount, 0);
    auto reads = world->bus().trace().submissions(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(world->bus().trace().completion_of(reads[0]->id)->usbd_status, USBD_STATUS_CANCELED);
    CancelTheIrp(ext(), USB2SER_SLOT_BULK_IN);  // idle now: no effect
}

TEST_F(UsbSubmitTest, ASlotWithoutItsInterfaceInformationIsRefused) {
    EXPECT_EQ(USB2SER_SlotPipeHandle(ext(), USB2SER_SLOT_BULK_IN), nullptr);
    EXPECT_EQ(USB2SER_ResetPipe(fdo(), USB2SER_SLOT_BULK_IN), STATUS_INVALID_DEVICE_STATE);
    configure();
    EXPECT_NE(USB2SER_SlotPipeHandle(ext(), USB2SER_SLOT_BULK_IN), nullptr);
    EXPECT_EQ(USB2SER_SlotPipeHandle(ext(), USB2SER_SLOT_BULK_IN_NEXT), USB2SER_SlotPipeHandle(ext(), USB2SER_SLOT_BULK_IN));
    EXPECT_EQ(USB2SER_SlotPipeHandle(ext(), USB2SER_SLOT_COUNT), nullptr);
    ext()->InterfaceInfo0->NumberOfPipes = 2;  // fewer entries than slot 2 needs
    EXPECT_EQ(USB2SER_SlotPipeHandle(ext(), USB2SER_SLOT_BULK_IN), nullptr);
    ext()->InterfaceInfo0->NumberOfPipes = 3;
    EXPECT_EQ(USB2SER_ResetPipe(fdo(), USB2SER_SLOT_BULK_IN), STATUS_SUCCESS);
    auto resets = world->bus().trace().submissions(URB_FUNCTION_RESET_PIPE);
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0]->endpoint, 0x83);
}

TEST_F(UsbSubmitTest, TwoInterfaceLayoutTakesSlotsOneAndTwoFromTheSecondInterface) {
    build({.chip = sim::ChipKind::Comm, .interfaces = 2});
    configure();
    EXPECT_FALSE(ext()->SingleInterface);
    EXPECT_EQ(USB2SER_SlotPipeHandle(ext(), 0), ext()->InterfaceInfo0->Pipes[0].PipeHandle);
    EXPECT_EQ(USB2SER_SlotPipeHandle(ext(), 1), ext()->InterfaceInfo1->Pipes[0].PipeHandle);
    EXPECT_EQ(USB2SER_SlotPipeHandle(ext(), 2), ext()->InterfaceInfo1->Pipes[1].PipeHandle);
}

// The reset waits for the hub, and for a hub that never answers 5 seconds,
// after which the reset is cancelled and waited for.
TEST_F(UsbSubmitTest, ResetDeviceResetsThePortAndWaits) {
    host::Time before = kernel().now();
    USB2SER_ResetDevice(fdo());
    EXPECT_GE(kernel().now() - before, 10 * host::kFrame);
    EXPECT_EQ(world->bus().trace().submissions(host::kFunctionResetPort).size(), 1u);

    // The fourth fault point from here: the IRP, then the reset failed,
    // stalled, and (this one) never answered.
    kernel().faults().fail_at(kernel().faults().count() + 4);
    before = kernel().now();
    USB2SER_ResetDevice(fdo());
    EXPECT_EQ(kernel().faults().failed().substr(kernel().faults().failed().find(' ') + 1),
              "bus request unanswered: port reset");
    EXPECT_GE(kernel().now() - before, 5 * host::kSecond);
    EXPECT_LT(kernel().now() - before, 5 * host::kSecond + 10 * host::kFrame);
    EXPECT_EQ(world->bus().pending(), 0u);
}

// A bulk-in read completes at the moment a canceller takes its slot. Each
// side makes two exchanges; the interleavings give three ways the IRP can end
// (the bus completes a cancelled read at its next frame, after the
// canceller's second exchange), and in every one it is freed exactly once (the
// verifier stops the run on a second free, and teardown finds any IRP left).
// The canceller is removal (the completion re-arms nothing) or a path that
// leaves the device in service, so that a successful completion re-arms the
// slot between the canceller's two exchanges: the new request has its own
// hand-off flag.
TEST_F(UsbSubmitTest, CompletionAndCancellationRacingFreeTheRequestOnce) {
    for (BOOLEAN removing : {TRUE, FALSE}) {
        std::set<std::pair<bool, bool>> ways;  // (cancelled, freed by the canceller)
        int seeds = 0;
        const SeedRange range = seed_range(150);
        for (std::uint64_t s = range.first; s <= range.last; ++s, ++seeds) {
            build({.seed = s, .line = sim::LineKind::Peer});
            configure();
            PUSB2SER_TRANSFER read = transfer(USB2SER_SLOT_BULK_IN, 256);
            PURB urb = reinterpret_cast<PURB>(read);
            ASSERT_EQ(USB2SER_AsyncCallUSBD(fdo(), urb, USB2SER_SLOT_BULK_IN), STATUS_PENDING);
            PIRP irp = ext()->IrpSlot[USB2SER_SLOT_BULK_IN];
            ext()->Removed = removing;
            const std::uint8_t byte = 0x42;
            // The byte takes 1.0417 ms at 9600 baud, the chip's receive time-out
            // four more; the read ends in the frame after that and completes at
            // its end. The cancel comes at that end, against the interrupt, or
            // a frame before, ahead of the read's end (every other seed).
            const host::Time quiet = kernel().now() + 5 * 10417;
            const host::Time frame = (quiet / host::kFrame + 1 - s % 2) * host::kFrame;
            world->peer().send(std::span(&byte, 1));
            host::Thread& canceller = kernel().spawn("canceller", [this, frame] {
                LARGE_INTEGER until;
                until.QuadPart = -(frame - kernel().now());
                KeDelayExecutionThread(KernelMode, FALSE, &until);
                CancelTheIrp(ext(), USB2SER_SLOT_BULK_IN);
            });
            kernel().run_for(10 * kMillisecond);
            // In service, the re-armed request may reuse the address; teardown
            // then finds any request left.
            if (removing) {
                ASSERT_FALSE(kernel().io().is_live_irp(irp)) << "seed " << s;
            }
            std::uint32_t freed_by = UINT32_MAX;
            for (const host::TraceEntry& e : kernel().trace().entries()) {
                if (e.kind == host::TraceKind::Free && e.object == irp) freed_by = e.thread;
            }
            auto reads = world->bus().trace().submissions(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
            bool cancelled =
                world->bus().trace().completion_of(reads.front()->id)->usbd_status == USBD_STATUS_CANCELED;
            ways.insert({cancelled, freed_by == canceller.id});
            ext()->Removed = FALSE;
        }
        std::string seen;
        for (auto& [c, k] : ways) seen += std::to_string(c) + std::to_string(k) + " ";
        // That the seeds reach every way is the uniform strategy's promise; under
        // PCT each seed's run is still checked above.
        if (kernel().scheduler().strategy() == host::Strategy::Random) {
            EXPECT_EQ(ways, (std::set<std::pair<bool, bool>>{{false, false}, {false, true}, {true, false}}))
                << (removing ? "removing" : "in service") << ", after " << seeds << " seeds: " << seen;
        }
    }
}

}  // namespace
}  // namespace torvex_test
