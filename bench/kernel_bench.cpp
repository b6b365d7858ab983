// Costs of the emulated kernel's basic operations, in real time.
#include <benchmark/benchmark.h>

#include "host/kernel/bus_driver.h"
#include "host/kernel/fiber.h"
#include "host/kernel/kernel.h"

namespace {

// The hand-off itself: two fibers switching to each other; each iteration is
// two switches.
void BM_FiberSwitch(benchmark::State& state) {
    static host::Fiber caller;
    static host::Fiber* other;
    host::Fiber partner(
        [] {
            for (;;) other->switch_to(caller);
        },
        64 << 10);
    other = &partner;
    for (auto _ : state) caller.switch_to(partner);
    state.counters["per_switch"] =
        benchmark::Counter(2.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FiberSwitch);

// Two emulated threads hand the running turn back and forth through two
// synchronization events; each iteration is two switches.
void BM_EventPingPong(benchmark::State& state) {
    host::Kernel kernel(1);
    static KEVENT ping;
    static KEVENT pong;
    static bool stop;
    stop = false;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    kernel.spawn("ponger", [] {
        for (;;) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            if (stop) return;
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    std::uint64_t before = kernel.scheduler().switches();
    for (auto _ : state) {
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    // The seeded scheduler may also switch at the set-event points, so the
    // switches are counted, not assumed to be two per round.
    state.counters["switches"] = benchmark::Counter(
        static_cast<double>(kernel.scheduler().switches() - before), benchmark::Counter::kAvgIterations);
    state.counters["per_switch"] = benchmark::Counter(
        static_cast<double>(kernel.scheduler().switches() - before),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    stop = true;
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
}
BENCHMARK(BM_EventPingPong)->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

// An allocation and its free, poison checks included: a URB's size and a
// transfer buffer's.
void BM_PoolAllocateFree(benchmark::State& state) {
    host::Kernel kernel(1);
    const auto size = static_cast<SIZE_T>(state.range(0));
    for (auto _ : state) {
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, size, ' mdW');
        benchmark::DoNotOptimize(block);
        ExFreePool(block);
    }
}
BENCHMARK(BM_PoolAllocateFree)->Arg(80)->Arg(4096);

// An IRP allocated by a driver goes down through an upper device to the
// bus's physical device object, is completed there and comes back to the
// allocator's completion routine.
NTSTATUS pass_down(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
}
NTSTATUS upper_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = pass_down;
    return STATUS_SUCCESS;
}
NTSTATUS reclaim(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void BM_IrpRoundTripThroughTwoDevices(benchmark::State& state) {
    host::Kernel kernel(1);
    host::BusDriver bus(kernel, "BenchBus");
    PDRIVER_OBJECT driver = kernel.io().load_driver("Upper", upper_entry);
    PDEVICE_OBJECT pdo = bus.create_pdo();
    PDEVICE_OBJECT upper = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
    IoAttachDeviceToDeviceStack(upper, pdo);
    for (auto _ : state) {
        PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, reclaim, nullptr, TRUE, TRUE, TRUE);
        benchmark::DoNotOptimize(IofCallDriver(upper, irp));
    }
    IoDetachDevice(pdo);
    IoDeleteDevice(upper);
}
BENCHMARK(BM_IrpRoundTripThroughTwoDevices);

}  // namespace
