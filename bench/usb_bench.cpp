// A 6,000,000 baud loopback stream through the bus and the chip alone, with
// 256-byte bulk-out transfers: the share of the line's rate it reaches in
// simulated time, and how many simulated seconds pass per real second.
#include <benchmark/benchmark.h>

#include <chrono>

#include "host/kernel/kernel.h"
#include "host/usb/usb_bus.h"
#include "sim/chip/bridge_chip.h"
#include "sim/line/line.h"
#include "tests/usb/stream_pump.h"

namespace {

USBD_PIPE_HANDLE g_pipes[3];

NTSTATUS call(PDEVICE_OBJECT pdo, PURB urb) {
    KEVENT event;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &status);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    if (IofCallDriver(pdo, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return status.Status;
}

void configure(PDEVICE_OBJECT pdo, sim::BridgeChip& chip) {
    std::vector<std::uint8_t> config = chip.configuration_descriptor();
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1), nullptr}, {}};
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    call(pdo, urb);
    for (int i = 0; i < 3; ++i) g_pipes[i] = list[0].Interface->Pipes[i].PipeHandle;
    ExFreePool(urb);
    UCHAR coding[7] = {0x80, 0x8D, 0x5B, 0x00, 0, 0, 8};  // 6,000,000 baud, 8N1
    URB line{};
    auto& r = line.UrbControlVendorClassRequest;
    r.Hdr.Length = URB_TARGET_SIZE_CONTROL_REQUEST;
    r.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    r.Request = 0x20;
    r.TransferBuffer = coding;
    r.TransferBufferLength = 7;
    call(pdo, &line);
}

void BM_LoopbackSixMegabaud(benchmark::State& state) {
    const std::size_t bytes = 6'000'000;  // ten seconds of line time
    double simulated = 0;
    double real = 0;
    double share = 0;
    for (auto _ : state) {
        host::Kernel kernel(1);
        sim::BridgeChip chip(sim::ChipConfig::of(sim::ChipKind::Extended, 1));
        sim::Loopback loop;
        chip.connect(&loop);
        {
            host::UsbBus bus(kernel, {.jitter_frames = 0});  // the line's capacity, without the controller's lateness
            PDEVICE_OBJECT pdo = bus.plug(chip);
            configure(pdo, chip);
            std::vector<std::uint8_t> source(bytes);
            for (std::size_t i = 0; i < bytes; ++i) source[i] = static_cast<std::uint8_t>(i);
            torvex_test::StreamPump pump(pdo, g_pipes[1], g_pipes[2], std::move(source),
                                         static_cast<ULONG>(state.range(0)), 4);
            auto started = std::chrono::steady_clock::now();
            host::Time start = kernel.now();
            pump.start();
            while (!pump.done() && kernel.now() - start < 20 * host::kSecond) kernel.run_for(host::kMillisecond);
            real += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            double seconds = static_cast<double>(kernel.now() - start) / host::kSecond;
            simulated += seconds;
            share = static_cast<double>(chip.counters().tx_bytes) / (600'000.0 * seconds);
            if (pump.received().size() != bytes || chip.counters().overruns != 0) {
                state.SkipWithError("bytes were lost");
            }
        }
    }
    state.counters["simulated_s_per_real_s"] = simulated / real;
    state.counters["line_share"] = share;
}
BENCHMARK(BM_LoopbackSixMegabaud)->Arg(256)->Arg(4096)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
