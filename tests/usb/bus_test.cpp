#include <map>
#include <numeric>

#include "tests/usb/stream_pump.h"
#include "tests/usb/usb_fixture.h"

namespace torvex_test {
namespace {

using host::kFrame;
using host::kMillisecond;
using host::kSecond;

class BusTest : public UsbTest {
public:
    // An asynchronous request whose completion the test inspects later.
    struct Pending {
        URB urb{};
        KEVENT done;
        NTSTATUS status = STATUS_PENDING;
        PIRP irp = nullptr;
    };

    NTSTATUS submit(Pending& p) {
        KeInitializeEvent(&p.done, NotificationEvent, FALSE);
        p.irp = IoAllocateIrp(pdo->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(p.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &p.urb;
        IoSetCompletionRoutine(p.irp, [](PDEVICE_OBJECT, PIRP irp, PVOID context) {
            auto* pending = static_cast<Pending*>(context);
            pending->status = irp->IoStatus.Status;
            KeSetEvent(&pending->done, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }, &p, TRUE, TRUE, TRUE);
        return IofCallDriver(pdo, p.irp);
    }

    void wait_and_free(Pending& p) {
        KeWaitForSingleObject(&p.done, Executive, KernelMode, FALSE, nullptr);
        IoFreeIrp(p.irp);
    }

    void set_rate(ULONG rate) {
        UCHAR coding[7] = {static_cast<UCHAR>(rate), static_cast<UCHAR>(rate >> 8), static_cast<UCHAR>(rate >> 16),
                           static_cast<UCHAR>(rate >> 24), 0, 0, 8};
        ASSERT_EQ(request(URB_FUNCTION_CLASS_INTERFACE, false, 0x20, 0, 0, coding, 7), STATUS_SUCCESS);
    }

    static std::vector<std::uint8_t> pattern(std::size_t n) {
        std::vector<std::uint8_t> bytes(n);
        for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
        return bytes;
    }
};

TEST_F(BusTest, PipeHandlesSurviveReselectionAndDieWithUnconfiguration) {
    Select first = select_configuration();
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    ASSERT_EQ(first.pipes.size(), 3u);
    Select again = select_configuration();
    EXPECT_EQ(again.pipes, first.pipes);

    UCHAR byte = 0x55;
    EXPECT_EQ(transfer(first.pipes[1], 0, &byte, 1), STATUS_SUCCESS);
    ASSERT_EQ(unconfigure(), STATUS_SUCCESS);
    EXPECT_EQ(transfer(first.pipes[1], 0, &byte, 1), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(last_call_pended);  // refused inside IofCallDriver
    EXPECT_EQ(bus->trace().records().back().usbd_status, USBD_STATUS_INVALID_PIPE_HANDLE);

    Select fresh = select_configuration();
    EXPECT_NE(fresh.pipes, first.pipes);
    EXPECT_EQ(transfer(fresh.pipes[1], 0, &byte, 1), STATUS_SUCCESS);

    // A cancelled read waits for its frame, a frame or more late at times;
    // when the pipes close meanwhile it ends cancelled at that frame and is
    // never served through the pipe that has gone.
    bus->options().jitter_frames = 8;
    UCHAR buffer[64];
    for (int round = 0; round < 40; ++round) {
        Select selected = select_configuration();
        ASSERT_EQ(selected.status, STATUS_SUCCESS);
        Pending read;
        fill_transfer(read.urb, selected.pipes[2], USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                      sizeof buffer);
        ASSERT_EQ(submit(read), STATUS_PENDING);
        EXPECT_TRUE(IoCancelIrp(read.irp));
        ASSERT_EQ(unconfigure(), STATUS_SUCCESS) << round;
        wait_and_free(read);
        EXPECT_EQ(read.status, STATUS_CANCELLED) << round;
        EXPECT_EQ(bus->pending(), 0u) << round;
    }
}

TEST_F(BusTest, APortResetTakesFramesRestoresTheConfigurationAndKeepsPipeHandles) {
    Select selected = select_configuration();
    UCHAR coding[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};
    ASSERT_EQ(request(URB_FUNCTION_CLASS_INTERFACE, false, 0x20, 0, 0, coding, 7), STATUS_SUCCESS);
    KEVENT event;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, pdo, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &status);
    host::Time start = kernel->now();
    ASSERT_EQ(IofCallDriver(pdo, irp), STATUS_PENDING);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_GE(kernel->now() - start, 10 * kFrame);
    EXPECT_EQ(chip->configuration(), 1);
    EXPECT_EQ(chip->line_coding().baud, 9600u);  // the chip itself starts over
    UCHAR byte = 1;
    EXPECT_EQ(transfer(selected.pipes[1], 0, &byte, 1), STATUS_SUCCESS);
    EXPECT_EQ(bus->trace().submissions(host::kFunctionResetPort).size(), 1u);
}

TEST_F(BusTest, TwoInterfaceLayoutListsItsPipesPerInterface) {
    build(sim::ChipConfig::of(sim::ChipKind::Comm, 2));
    Select selected = select_configuration();
    ASSERT_EQ(selected.status, STATUS_SUCCESS);
    EXPECT_EQ(selected.endpoints, (std::vector<UCHAR>{0x81, 0x02, 0x83}));
}

// The line's capacity under each controller, without its lateness: one
// 256-byte read, re-armed at each interrupt, keeps up with 150 bytes a frame
// (the FIFO holds a frame's bytes and what was left under a packet).
class ControllerTest : public BusTest, public ::testing::WithParamInterface<host::Controller> {
public:
    void build_for(sim::ChipConfig config, bool loopback) {
        build(config, loopback, {.controller = GetParam(), .jitter_frames = 0});
    }
};

TEST_P(ControllerTest, ALoopbackStreamKeepsTheLineFullAndNoFaster) {
    build_for(sim::ChipConfig::of(sim::ChipKind::Extended, 1), true);
    Select selected = select_configuration();
    set_rate(1'500'000);
    const std::size_t total = 30'000;  // 0.2 s of line time
    StreamPump pump(pdo, selected.pipes[1], selected.pipes[2], pattern(total), 256, 4);
    host::Time start = kernel->now();
    pump.start();
    while (!pump.done() && kernel->now() - start < kSecond) kernel->run_for(kMillisecond);
    host::Time elapsed = kernel->now() - start;
    EXPECT_EQ(pump.failure(), STATUS_SUCCESS);
    EXPECT_EQ(pump.received(), pattern(total));
    EXPECT_EQ(chip->counters().overruns, 0u);
    // 150,000 bytes a second: 200 ms for the stream, plus the last frames.
    EXPECT_GE(elapsed, 200 * kMillisecond);
    EXPECT_LE(elapsed, 204 * kMillisecond);
}

// What ends in a frame completes at its end, from one interrupt, in the
// order it ended. Full transfers follow each other within the frame under
// both controllers; after a short packet a UHCI queue waits for the
// interrupt, so the next read takes data a frame later, where OHCI goes on.
TEST_P(ControllerTest, TransfersCompleteAtTheFramesEndAndAShortPacketStopsOnlyAUhciQueue) {
    sim::ChipConfig config = sim::ChipConfig::of(sim::ChipKind::Extended, 1);
    config.rx_fifo_bytes = 4096;
    build_for(config, false);
    Select selected = select_configuration();
    set_rate(921'600);
    peer.send(pattern(600));
    kernel->run_for(10 * kMillisecond);  // all in the FIFO
    for (bool cut : {false, true}) {
        kernel->run_for(kFrame / 2);  // halfway through a frame: the reads go in the next
        if (cut) bus->add_fault({.endpoint = 0x83, .action = host::FaultAction::Short, .short_length = 10, .times = 1});
        std::vector<Pending> reads(4);
        UCHAR buffers[4][64];
        const std::uint64_t interrupts = bus->interrupts();
        const host::Time end = (kernel->now() / kFrame + 2) * kFrame;
        for (std::size_t i = 0; i < reads.size(); ++i) {
            fill_transfer(reads[i].urb, selected.pipes[2], USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                          buffers[i], sizeof buffers[i]);
            ASSERT_EQ(submit(reads[i]), STATUS_PENDING);
        }
        std::vector<host::Time> done;
        for (Pending& read : reads) {
            wait_and_free(read);
            EXPECT_EQ(read.status, STATUS_SUCCESS);
            done.push_back(kernel->now());
        }
        if (!cut || GetParam() == host::Controller::Ohci) {
            EXPECT_EQ(done, std::vector<host::Time>(4, end)) << cut;
            EXPECT_EQ(bus->interrupts() - interrupts, 1u) << cut;
        } else {
            EXPECT_EQ(done, (std::vector<host::Time>{end, end + kFrame, end + kFrame, end + kFrame}));
            EXPECT_EQ(bus->interrupts() - interrupts, 2u);
        }
        EXPECT_EQ(reads[0].urb.UrbBulkOrInterruptTransfer.TransferBufferLength, cut ? 10u : 64u);
        EXPECT_EQ(reads[3].urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
    }
}

// A full-speed frame carries 19 full-size bulk packets on an idle bus (each
// transaction's bus time as USB 1.1's formula gives it). Two
// endpoints with data share the frames, neither starving, and the interrupt
// endpoint is still polled every frame.
TEST_P(ControllerTest, BulkEndpointsShareTheFramesBandwidthAndThePollIsKept) {
    sim::ChipConfig config = sim::ChipConfig::of(sim::ChipKind::Extended, 1);
    config.tx_fifo_bytes = 65536;
    config.rx_fifo_bytes = 65536;
    build_for(config, false);
    Select selected = select_configuration();
    set_rate(300);  // the transmitter takes next to nothing away meanwhile
    kernel->run_for(kFrame / 2);  // between frames: the bus is idle
    std::vector<std::uint8_t> bytes = pattern(4096);  // 64 packets
    Pending write;
    fill_transfer(write.urb, selected.pipes[1], 0, bytes.data(), 4096);
    host::Time start = kernel->now();
    ASSERT_EQ(submit(write), STATUS_PENDING);
    kernel->run_for(kFrame);  // the first frame has been served
    EXPECT_EQ(chip->tx_fifo_level(), 19u * 64);
    wait_and_free(write);
    // Three full frames carry 57 packets, the fourth the last 7; the
    // transfer completes at the fourth one's end.
    EXPECT_EQ(kernel->now() - start, kFrame / 2 + 4 * kFrame);
    // A transaction's bus time grows with its data: writes of 32 bytes each,
    // queued together, go 31 to a frame (30.7 us each, the last starting
    // while the frame still has room for a largest packet).
    std::vector<Pending> small(40);
    const std::size_t level = chip->tx_fifo_level();
    for (std::size_t i = 0; i < small.size(); ++i) {
        fill_transfer(small[i].urb, selected.pipes[1], 0, &bytes[32 * i], 32);
        ASSERT_EQ(submit(small[i]), STATUS_PENDING);
    }
    kernel->run_for(kFrame);
    EXPECT_EQ(chip->tx_fifo_level() - level, 31u * 32);
    for (Pending& p : small) wait_and_free(p);

    // The far end has filled the receive FIFO: a read and a write of 64
    // packets each take turns, 19 transactions a frame between them, both
    // ending in the seventh frame; a line change meanwhile is reported at
    // the end of the frame after it.
    set_rate(6'000'000);
    peer.send(pattern(8192));
    kernel->run_for(20 * kMillisecond + kFrame / 2);
    std::vector<std::uint8_t> in(4096);
    Pending read;
    fill_transfer(read.urb, selected.pipes[2], USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, in.data(), 4096);
    fill_transfer(write.urb, selected.pipes[1], 0, bytes.data(), 4096);
    UCHAR state[10];
    Pending notification;
    fill_transfer(notification.urb, selected.pipes[0], USBD_TRANSFER_DIRECTION_IN, state, sizeof state);
    start = kernel->now();
    ASSERT_EQ(submit(notification), STATUS_PENDING);
    ASSERT_EQ(submit(read), STATUS_PENDING);
    ASSERT_EQ(submit(write), STATUS_PENDING);
    kernel->run_for(3 * kFrame);
    peer.set_lines({.cts = true});
    const host::Time changed = kernel->now();
    wait_and_free(notification);
    EXPECT_EQ(notification.status, STATUS_SUCCESS);
    EXPECT_EQ(kernel->now(), (changed / kFrame + 2) * kFrame);
    // UHCI's bulk loop starts at its first queue head, the bulk-out
    // endpoint's, in every frame: 10 of each frame's 19 transactions go out.
    // OHCI goes on from the endpoint it served last: 10 and 9 in turn.
    auto accepted = [&] { return chip->counters().tx_bytes + chip->tx_fifo_level(); };
    const std::size_t before = accepted();
    kernel->run_for(2 * kFrame);
    EXPECT_EQ(accepted() - before, (GetParam() == host::Controller::Uhci ? 20u : 19u) * 64);
    wait_and_free(read);
    EXPECT_EQ(kernel->now() - start, kFrame / 2 + 7 * kFrame);
    wait_and_free(write);
    EXPECT_EQ(kernel->now() - start, kFrame / 2 + 7 * kFrame);
    std::vector<std::uint8_t> sent = pattern(8192);
    sent.resize(4096);
    EXPECT_EQ(in, sent);
}

INSTANTIATE_TEST_SUITE_P(BothControllers, ControllerTest,
                         ::testing::Values(host::Controller::Uhci, host::Controller::Ohci),
                         [](const auto& info) { return info.param == host::Controller::Uhci ? "Uhci" : "Ohci"; });

TEST_F(BusTest, ThreeHundredBaudCarriesThirtyBytesASecond) {
    build(sim::ChipConfig::of(sim::ChipKind::Extended, 1), false);
    Select selected = select_configuration();
    set_rate(300);
    std::vector<std::uint8_t> bytes = pattern(60);
    host::Time start = kernel->now();
    ASSERT_EQ(transfer(selected.pipes[1], 0, bytes.data(), 60), STATUS_SUCCESS);
    kernel->run_for(3 * kSecond);
    auto& at = peer.received_at();
    ASSERT_EQ(peer.received(), bytes);
    // Each 10-bit character takes 1/30 s; the first leaves once the transfer's
    // first packet is in the transmit FIFO.
    for (std::size_t i = 1; i < at.size(); ++i) EXPECT_NEAR(at[i] - at[i - 1], kSecond / 30, 1);
    EXPECT_NEAR(at.back() - start, 2 * kSecond, 3 * kFrame);
}

// Fewer bytes than a packet wait in the chip until the line has been quiet
// for four character times (133 ms at 300 baud), then end the read short,
// all in one; a packet's worth goes at once.
TEST_F(BusTest, BytesUnderAPacketWaitForTheReceiveTimeOut) {
    build(sim::ChipConfig::of(sim::ChipKind::Extended, 1), false, {.jitter_frames = 0});
    Select selected = select_configuration();
    set_rate(300);
    const host::Time character = (10 * kSecond + 299) / 300;
    UCHAR buffer[128];
    Pending read;
    fill_transfer(read.urb, selected.pipes[2], USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                  sizeof buffer);
    ASSERT_EQ(submit(read), STATUS_PENDING);
    const host::Time sent = kernel->now();
    peer.send(pattern(2));
    wait_and_free(read);
    EXPECT_EQ(read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
    EXPECT_EQ(kernel->now(), ((sent + 6 * character) / kFrame + 1) * kFrame);

    set_rate(115'200);
    fill_transfer(read.urb, selected.pipes[2], USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer, 64);
    ASSERT_EQ(submit(read), STATUS_PENDING);
    const host::Time fast = kernel->now();
    peer.send(pattern(100));
    wait_and_free(read);
    EXPECT_EQ(read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
    EXPECT_EQ(kernel->now(), ((fast + 64 * 10 * kSecond / 115'200) / kFrame + 1) * kFrame);
}

// The bus serves a frame's transactions at the frame's start, looking at the
// chip up to a frame ahead of the world's clock; what the far end sends after
// that still starts when it is sent. Here a long write fills the frames, and
// the far end's 14 characters (1.2 ms at 115,200 baud) reach the host's
// queued reads in the frame in which the line has then been quiet for the
// receive time-out, and complete at its end.
TEST_F(BusTest, TheFarEndsCharactersStartWhenSentWhileTheBusServesAhead) {
    sim::ChipConfig config = sim::ChipConfig::of(sim::ChipKind::Extended, 1);
    config.tx_fifo_bytes = 65536;
    build(config, false, {.jitter_frames = 0});  // the far end a scripted peer
    Select selected = select_configuration();
    set_rate(115'200);
    std::vector<Pending> reads(16);
    UCHAR buffers[16][64];
    for (std::size_t i = 0; i < reads.size(); ++i) {
        fill_transfer(reads[i].urb, selected.pipes[2], USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                      buffers[i], sizeof buffers[i]);
        ASSERT_EQ(submit(reads[i]), STATUS_PENDING);
    }
    kernel->run_for(kFrame / 2);
    std::vector<std::uint8_t> out = pattern(4096);  // 64 packets: the slots of three frames and more
    Pending write;
    fill_transfer(write.urb, selected.pipes[1], 0, out.data(), static_cast<ULONG>(out.size()));
    ASSERT_EQ(submit(write), STATUS_PENDING);
    const host::Time frame = (kernel->now() / kFrame + 1) * kFrame;
    kernel->run_for(frame + kFrame / 10 - kernel->now());  // the frame has been served
    const host::Time sent = kernel->now();
    const std::vector<std::uint8_t> answer = pattern(14);
    peer.send(answer);
    kernel->run_for(10 * kFrame);
    std::vector<std::uint8_t> got;
    host::Time last = 0;
    for (const host::WireRecord& r : bus->trace().records()) {
        if (!r.completion || r.endpoint != 0x83 || r.data.empty()) continue;
        got.insert(got.end(), r.data.begin(), r.data.end());
        last = r.time;
    }
    EXPECT_EQ(got, answer);
    const host::Time quiet = sent + 18 * 10 * kSecond / 115'200;
    EXPECT_EQ(last, (quiet / kFrame + 1) * kFrame);
    wait_and_free(write);
    for (Pending& read : reads) {
        if (read.status == STATUS_PENDING) IoCancelIrp(read.irp);
        wait_and_free(read);
    }
}

TEST_F(BusTest, ANeverAnsweredRequestEndsOnlyWhenCancelled) {
    bus->options().jitter_frames = 0;
    bus->add_fault({.bRequest = 0x01, .action = host::FaultAction::Never});
    Pending p;
    UCHAR value = 0;
    auto& r = p.urb.UrbControlVendorClassRequest;
    r.Hdr.Length = URB_TARGET_SIZE_CONTROL_REQUEST;
    r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    r.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    r.Request = 1;
    r.Value = 0x80;
    r.TransferBuffer = &value;
    r.TransferBufferLength = 1;
    EXPECT_EQ(submit(p), STATUS_PENDING);
    kernel->run_for(10 * kSecond + kFrame / 2);
    EXPECT_EQ(p.status, STATUS_PENDING);
    // The cancel ends the request at the next frame, from the controller,
    // not inside IoCancelIrp.
    const host::Time cancelled_at = kernel->now();
    EXPECT_TRUE(IoCancelIrp(p.irp));
    EXPECT_EQ(p.status, STATUS_PENDING);
    wait_and_free(p);
    EXPECT_EQ(kernel->now(), cancelled_at + kFrame / 2 + host::kStartOfFrame);
    EXPECT_EQ(p.status, STATUS_CANCELLED);
    EXPECT_EQ(r.Hdr.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(bus->pending(), 0u);
}

// The controller is late by a frame or two at times, under the seed; the
// default pipe keeps its order however late a request is.
TEST_F(BusTest, ControlRequestsEndLateUnderTheSeedButInOrder) {
    std::map<host::Time, int> frames_taken;
    for (int i = 0; i < 200; ++i) {
        kernel->run_for(kFrame / 2);  // between frames: the earliest end is the frame after next
        const host::Time start = kernel->now();
        ASSERT_EQ(request(URB_FUNCTION_VENDOR_DEVICE, false, 1, 0x0000, 0x41), STATUS_SUCCESS);
        ++frames_taken[(kernel->now() - start + kFrame / 2) / kFrame];
    }
    ASSERT_EQ(frames_taken.size(), 3u);
    EXPECT_EQ(frames_taken.begin()->first, 2);
    EXPECT_EQ(frames_taken.rbegin()->first, 4);
    EXPECT_GT(frames_taken[2], 120);  // three in four are on time

    Pending writes[12];
    for (USHORT i = 0; i < 12; ++i) {
        auto& r = writes[i].urb.UrbControlVendorClassRequest;
        r.Hdr.Length = URB_TARGET_SIZE_CONTROL_REQUEST;
        r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
        r.Request = 1;
        r.Index = i;
        EXPECT_EQ(submit(writes[i]), STATUS_PENDING);
    }
    for (Pending& p : writes) wait_and_free(p);
    std::map<std::uint64_t, std::uint16_t> index_of;  // the setup is on the submission
    std::vector<std::uint16_t> order;
    for (const host::WireRecord& r : bus->trace().records()) {
        if (!r.completion) index_of[r.id] = r.setup->wIndex;
        if (r.completion) order.push_back(index_of[r.id]);
    }
    ASSERT_GE(order.size(), 12u);
    for (USHORT i = 0; i < 12; ++i) EXPECT_EQ(order[order.size() - 12 + i], i);
}

// A bulk-out transfer of no bytes reaches the device as a zero-length packet.
TEST_F(BusTest, AZeroLengthWriteReachesTheDevice) {
    Select selected = select_configuration();
    ULONG got = 0;
    ASSERT_EQ(transfer(selected.pipes[1], USBD_TRANSFER_DIRECTION_OUT, nullptr, 0, &got), STATUS_SUCCESS);
    EXPECT_EQ(chip->counters().zero_length_out, 1u);
    UCHAR byte = 'x';
    ASSERT_EQ(transfer(selected.pipes[1], USBD_TRANSFER_DIRECTION_OUT, &byte, 1, &got), STATUS_SUCCESS);
    EXPECT_EQ(chip->counters().zero_length_out, 1u);
}

// An abort ends every transfer pending on its pipe, cancelled, before it
// completes itself, from the controller at a later frame; the other pipes'
// transfers go on. A handle that names no pipe is refused at once.
TEST_F(BusTest, AnAbortEndsThePipesTransfersBeforeItself) {
    Select selected = select_configuration();
    Pending reads[2];
    Pending status_read;
    UCHAR buffers[3][256];
    for (int i = 0; i < 2; ++i) {
        fill_transfer(reads[i].urb, selected.pipes[2], USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffers[i],
                      256);
        EXPECT_EQ(submit(reads[i]), STATUS_PENDING);
    }
    fill_transfer(status_read.urb, selected.pipes[0], USBD_TRANSFER_DIRECTION_IN, buffers[2], 10);
    EXPECT_EQ(submit(status_read), STATUS_PENDING);

    Pending abort;
    abort.urb.UrbPipeRequest.Hdr.Length = URB_TARGET_SIZE_PIPE_REQUEST;
    abort.urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort.urb.UrbPipeRequest.PipeHandle = selected.pipes[2];
    EXPECT_EQ(submit(abort), STATUS_PENDING);
    EXPECT_EQ(reads[0].status, STATUS_PENDING);
    wait_and_free(abort);
    EXPECT_EQ(abort.status, STATUS_SUCCESS);
    for (Pending& read : reads) {
        EXPECT_EQ(read.status, STATUS_CANCELLED);
        EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
        wait_and_free(read);
    }
    const auto& records = bus->trace().records();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records.back().function, URB_FUNCTION_ABORT_PIPE);  // completed last
    EXPECT_EQ(status_read.status, STATUS_PENDING);
    IoCancelIrp(status_read.irp);
    wait_and_free(status_read);

    Pending bogus;
    bogus.urb = abort.urb;
    bogus.urb.UrbPipeRequest.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x1234);
    EXPECT_EQ(submit(bogus), STATUS_INVALID_PARAMETER);
    wait_and_free(bogus);
    // So is a transfer whose reserved link or MDL is set (an uninitialised
    // field the platform's stack would follow).
    for (bool link : {true, false}) {
        Pending stray;
        UCHAR byte = 'x';
        fill_transfer(stray.urb, selected.pipes[1], USBD_TRANSFER_DIRECTION_OUT, &byte, 1);
        if (link) {
            stray.urb.UrbBulkOrInterruptTransfer.UrbLink = &bogus.urb;
        } else {
            stray.urb.UrbBulkOrInterruptTransfer.TransferBufferMDL = &byte;
        }
        EXPECT_EQ(submit(stray), STATUS_INVALID_PARAMETER) << link;
        EXPECT_EQ(bus->trace().records().back().usbd_status, USBD_STATUS_INVALID_PARAMETER) << link;
        wait_and_free(stray);
    }
}

// The read in flight ends with a transaction error as the bus sees the
// device go; new requests are refused as to a device not connected. Until
// the read ends its buffer is the controller's: freeing it stops the run.
TEST_F(BusTest, UnplugCompletesThePendingReadAndRefusesNewRequests) {
    Select selected = select_configuration();
    Pending read;
    auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 256, ' mdW'));
    fill_transfer(read.urb, selected.pipes[2], USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer, 256);
    EXPECT_EQ(submit(read), STATUS_PENDING);
    kernel->run_for(5 * kMillisecond);
    EXPECT_DEATH(ExFreePool(buffer), "DRIVER_VERIFIER_DETECTED_VIOLATION \\(pool freed while in use\\)\n"
                                     "ExFreePool.*'Wdm ', 256 bytes: the bus still holds a transfer buffer in it");
    bus->unplug(pdo);
    wait_and_free(read);
    ExFreePool(buffer);
    EXPECT_EQ(read.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(request(URB_FUNCTION_VENDOR_DEVICE, false, 1, 0, 0), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(last_call_pended);
}

TEST_F(BusTest, FaultsStallFailShortenDelayAndCompleteInline) {
    UCHAR value = 0;
    bus->add_fault({.wValue = 0x0081, .action = host::FaultAction::Stall, .times = 1});
    EXPECT_EQ(request(URB_FUNCTION_VENDOR_DEVICE, true, 1, 0x81, 0, &value, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(request(URB_FUNCTION_VENDOR_DEVICE, true, 1, 0x81, 0, &value, 1), STATUS_SUCCESS);  // once only

    bus->add_fault({.wValue = 0x0082, .action = host::FaultAction::Fail,
                    .usbd_status = USBD_STATUS_DEV_NOT_RESPONDING, .inline_completion = true});
    EXPECT_EQ(request(URB_FUNCTION_VENDOR_DEVICE, true, 1, 0x82, 0, &value, 1), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(last_call_pended);

    bus->add_fault({.bRequest = 0x06, .action = host::FaultAction::Short, .short_length = 4, .times = 1});
    UCHAR descriptor[18] = {};
    ULONG got = 0;
    EXPECT_EQ(get_descriptor(1, 0, 0, descriptor, 18, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 4u);

    bus->add_fault({.wValue = 0x0080, .action = host::FaultAction::Delay, .delay_frames = 30, .times = 1});
    host::Time start = kernel->now();
    EXPECT_EQ(request(URB_FUNCTION_VENDOR_DEVICE, true, 1, 0x80, 0, &value, 1), STATUS_SUCCESS);
    EXPECT_GE(kernel->now() - start, 30 * kFrame);

    bus->options().complete_inline = true;
    EXPECT_EQ(request(URB_FUNCTION_VENDOR_DEVICE, true, 1, 0x80, 0, &value, 1), STATUS_SUCCESS);
    EXPECT_FALSE(last_call_pended);
}

TEST_F(BusTest, ModemLineChangesArriveAsSerialStateNotifications) {
    Select selected = select_configuration();
    ASSERT_EQ(request(URB_FUNCTION_CLASS_INTERFACE, false, 0x22, 0x0001, 0), STATUS_SUCCESS);  // DTR
    UCHAR packet[10] = {};
    ULONG got = 0;
    ASSERT_EQ(transfer(selected.pipes[0], USBD_TRANSFER_DIRECTION_IN, packet, 10, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 10u);
    const UCHAR expected[10] = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, sim::kStateDcd | sim::kStateDsr, 0};
    EXPECT_TRUE(std::equal(packet, packet + 10, expected));
    ASSERT_EQ(request(URB_FUNCTION_CLASS_INTERFACE, false, 0x22, 0x0003, 0), STATUS_SUCCESS);  // and RTS
    ASSERT_EQ(transfer(selected.pipes[0], USBD_TRANSFER_DIRECTION_IN, packet, 10, &got), STATUS_SUCCESS);
    EXPECT_EQ(packet[8], sim::kStateDcd | sim::kStateDsr | sim::kStateCts);

    // An endpoint with a bInterval of 10 frames is polled every 8 (the power
    // of two below): the notification waits for the next poll, and completes
    // at the end of the poll's frame.
    sim::ChipConfig slow = sim::ChipConfig::of(sim::ChipKind::Extended, 1);
    slow.interrupt_interval = 10;
    build(slow, true, {.jitter_frames = 0});  // the polls' moments pinned
    selected = select_configuration();
    for (int i = 0; i < 3; ++i) {
        kernel->run_for(3 * kMillisecond);
        ASSERT_EQ(request(URB_FUNCTION_CLASS_INTERFACE, false, 0x22, i % 2 ? 0x0000 : 0x0001, 0), STATUS_SUCCESS);
        const host::Time changed = kernel->now();
        ASSERT_EQ(transfer(selected.pipes[0], USBD_TRANSFER_DIRECTION_IN, packet, 10, &got), STATUS_SUCCESS);
        EXPECT_EQ(kernel->now() % (8 * kFrame), kFrame) << i;
        EXPECT_LT(kernel->now() - changed, 9 * kFrame) << i;
    }
}

// A short packet ends an IN transfer. Without USBD_SHORT_TRANSFER_OK ending
// before the length asked for is an underrun, and the pipe halts until reset.
TEST_F(BusTest, AShortPacketEndsAReadAsAnUnderrunUnlessShortIsFineAndALongOneBabbles) {
    Select selected = select_configuration();
    auto notify = [&](USHORT lines) {
        ASSERT_EQ(request(URB_FUNCTION_CLASS_INTERFACE, false, 0x22, lines, 0), STATUS_SUCCESS);
    };
    auto read = [&](ULONG flags, ULONG length, ULONG* got) {
        UCHAR packet[16] = {};
        URB urb{};
        fill_transfer(urb, selected.pipes[0], flags, packet, length);
        const NTSTATUS status = call(&urb);
        EXPECT_EQ(status, USBD_SUCCESS(urb.UrbHeader.Status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
        *got = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        return urb.UrbHeader.Status;
    };
    ULONG got = 0;
    notify(0x0001);
    EXPECT_EQ(read(USBD_TRANSFER_DIRECTION_IN, 16, &got), USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(read(USBD_TRANSFER_DIRECTION_IN, 10, &got), USBD_STATUS_ENDPOINT_HALTED);
    URB reset{};
    reset.UrbPipeRequest.Hdr.Length = URB_TARGET_SIZE_PIPE_REQUEST;
    reset.UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    reset.UrbPipeRequest.PipeHandle = selected.pipes[0];
    ASSERT_EQ(call(&reset), STATUS_SUCCESS);
    notify(0x0000);
    EXPECT_EQ(read(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 16, &got), USBD_STATUS_SUCCESS);
    EXPECT_EQ(got, 10u);
    notify(0x0001);
    EXPECT_EQ(read(USBD_TRANSFER_DIRECTION_IN, 10, &got), USBD_STATUS_SUCCESS);
    // A 10-byte notification into 8 bytes of room is babble, which halts the pipe.
    notify(0x0000);
    EXPECT_EQ(read(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 8, &got), USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(read(USBD_TRANSFER_DIRECTION_IN, 10, &got), USBD_STATUS_ENDPOINT_HALTED);
}

TEST_F(BusTest, ThePeersLinesBreaksAndErrorsReachTheStatusWord) {
    build(sim::ChipConfig::of(sim::ChipKind::Extended, 1), false);
    Select selected = select_configuration();
    auto next_state = [&] {
        UCHAR packet[10] = {};
        EXPECT_EQ(transfer(selected.pipes[0], USBD_TRANSFER_DIRECTION_IN, packet, 10), STATUS_SUCCESS);
        return static_cast<std::uint16_t>(packet[8] | packet[9] << 8);
    };
    peer.set_lines({.dcd = true, .cts = true, .ring = true});
    EXPECT_EQ(next_state(), sim::kStateDcd | sim::kStateCts | sim::kStateRing);
    peer.send_break(true);
    EXPECT_EQ(next_state(), sim::kStateDcd | sim::kStateCts | sim::kStateBreak);  // ring was reported once
    peer.send_error(sim::kStateParity);
    EXPECT_EQ(next_state(), sim::kStateDcd | sim::kStateCts | sim::kStateParity);
    peer.set_lines({});
    EXPECT_EQ(next_state(), 0);
    // What the chip drives, the peer sees.
    ASSERT_EQ(request(URB_FUNCTION_CLASS_INTERFACE, false, 0x22, 2, 0), STATUS_SUCCESS);
    ASSERT_EQ(request(URB_FUNCTION_CLASS_INTERFACE, false, 0x23, 0xFFFF, 0), STATUS_SUCCESS);
    EXPECT_FALSE(peer.dtr());
    EXPECT_TRUE(peer.rts());
    EXPECT_TRUE(peer.break_seen());
}

TEST_F(BusTest, AFullReceiveFifoLosesBytesAsOverruns) {
    build(sim::ChipConfig::of(sim::ChipKind::Extended, 1), false);
    Select selected = select_configuration();
    peer.send(pattern(300));
    kernel->run_for(kSecond);  // 300 characters at 9600 baud: 0.31 s, nobody reading
    EXPECT_EQ(chip->rx_fifo_level(), 256u);
    EXPECT_EQ(chip->counters().overruns, 44u);
    UCHAR packet[10] = {};
    ASSERT_EQ(transfer(selected.pipes[0], USBD_TRANSFER_DIRECTION_IN, packet, 10), STATUS_SUCCESS);
    EXPECT_EQ(packet[8], sim::kStateOverrun);
    std::vector<UCHAR> data(256);
    ULONG got = 0;
    ASSERT_EQ(transfer(selected.pipes[2], USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, data.data(), 256, &got),
              STATUS_SUCCESS);
    EXPECT_EQ(got, 256u);
    std::vector<UCHAR> first = pattern(256);
    EXPECT_EQ(data, first);
}

}  // namespace
}  // namespace torvex_test
