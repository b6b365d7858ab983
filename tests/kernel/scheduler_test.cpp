#include <algorithm>
#include <chrono>
#include <set>
#include <string>

#include "tests/kernel/fixture.h"

namespace torvex_test {
namespace {

using host::kMillisecond;
using host::kSecond;

class SchedulerTest : public KernelTest {};

// Three threads exchanging events, delays and interlocked updates; returns
// the order in which they touched the shared log.
std::string busy_scenario(host::Kernel& kernel) {
    static KEVENT ping;
    static LONG counter;
    static std::string order;
    order.clear();
    counter = 0;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    for (int t = 0; t < 3; ++t) {
        kernel.spawn("worker " + std::to_string(t), [t] {
            for (int i = 0; i < 5; ++i) {
                InterlockedIncrement(&counter);
                order += static_cast<char>('a' + t);
                if (t == 0) {
                    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
                } else {
                    LARGE_INTEGER timeout = relative(3 * kMillisecond);
                    KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, &timeout);
                }
                LARGE_INTEGER pause = relative((t + 1) * kMillisecond);
                KeDelayExecutionThread(KernelMode, FALSE, &pause);
            }
        });
    }
    kernel.run_for(kSecond);
    EXPECT_EQ(counter, 15);
    return order;
}

// Two threads take turns at a shared log with a scheduling point between
// entries: the uniform strategy hands over all the time; PCT runs the
// higher-priority thread on and hands over only at its few change points
// (or when a thread ends), the same way again under the same seed.
TEST_F(SchedulerTest, PctRunsTheHighestPriorityThreadAndPreemptsOnlyAtItsChangePoints) {
    auto handovers = [this](std::uint64_t s, host::Strategy strategy, std::string* log) {
        build(s, strategy);
        log->clear();
        static LONG counter;
        for (char name : {'a', 'b'}) {
            kernel->spawn(std::string(1, name), [log, name] {
                for (int i = 0; i < 100; ++i) {
                    *log += name;
                    InterlockedIncrement(&counter);
                }
            });
        }
        kernel->run_for(kMillisecond);
        int changes = 0;
        for (std::size_t i = 1; i < log->size(); ++i) changes += (*log)[i] != (*log)[i - 1];
        return changes;
    };
    std::string log;
    std::string again;
    int most_random = 0;
    for (std::uint64_t s = 1; s <= 20; ++s) {
        EXPECT_LE(handovers(s, host::Strategy::Pct, &log), host::Scheduler::kPctDepth - 1) << "seed " << s << ": " << log;
        EXPECT_EQ(log.size(), 200u);
        handovers(s, host::Strategy::Pct, &again);
        EXPECT_EQ(again, log) << "seed " << s;
        most_random = std::max(most_random, handovers(s, host::Strategy::Random, &log));
    }
    EXPECT_GT(most_random, 20);
}

// Threads that keep running while virtual time stands still are a livelock,
// reported with the seed as a deadlock is.
TEST_F(SchedulerTest, ALivelockIsReported) {
    static LONG spins;
    EXPECT_DEATH(
        {
            for (;;) InterlockedIncrement(&spins);
        },
        "BUG CHECK LIVELOCK(.|\n)*scheduling points while virtual time stood still(.|\n)*seed: ");
}

TEST_F(SchedulerTest, SameSeedGivesTheSameRunAndOtherSeedsOtherRuns) {
    std::string first = busy_scenario(*kernel);
    std::uint64_t digest = kernel->trace().digest();
    build(seed);
    EXPECT_EQ(busy_scenario(*kernel), first);
    EXPECT_EQ(kernel->trace().digest(), digest);

    std::set<std::uint64_t> digests{digest};
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        build(seed);
        busy_scenario(*kernel);
        digests.insert(kernel->trace().digest());
    }
    EXPECT_GT(digests.size(), 10u);
}

TEST_F(SchedulerTest, RacingInterlockedExchangesReachBothOrders) {
    std::set<int> winners;
    int seeds = 0;
    for (std::uint64_t seed = 1; seed <= 300 && winners.size() < 2; ++seed, ++seeds) {
        build(seed);
        static LONG flag;
        static int winner;
        flag = 0;
        winner = 0;
        for (int id = 1; id <= 2; ++id) {
            kernel->spawn("racer", [id] {
                if (InterlockedExchange(&flag, id) == 0) winner = id;
            });
        }
        kernel->run_for(kMillisecond);
        ASSERT_NE(winner, 0);
        winners.insert(winner);
    }
    EXPECT_EQ(winners.size(), 2u) << "after " << seeds << " seeds";
}

TEST_F(SchedulerTest, VirtualTimeJumpsToTheNextDeadline) {
    auto started = std::chrono::steady_clock::now();
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER five_seconds = relative(5 * kSecond);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &five_seconds),
              STATUS_TIMEOUT);
    EXPECT_EQ(kernel->now(), 5 * kSecond);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &five_seconds), STATUS_SUCCESS);
    EXPECT_EQ(kernel->now(), 10 * kSecond);
    auto real = std::chrono::steady_clock::now() - started;
    EXPECT_LT(real, std::chrono::milliseconds(50));
}

TEST_F(SchedulerTest, TheEarliestOfSeveralDeadlinesWakesFirst) {
    std::string order;
    for (int ms : {30, 10, 20}) {
        kernel->spawn("sleeper", [ms, &order] {
            LARGE_INTEGER pause = relative(ms * kMillisecond);
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
            order += std::to_string(ms) + " ";
        });
    }
    kernel->run_for(kSecond);
    EXPECT_EQ(order, "10 20 30 ");
}

TEST_F(SchedulerTest, SystemThreadLifecycle) {
    static KEVENT go;
    static PKTHREAD seen;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   [](PVOID) {
                                       seen = KeGetCurrentThread();
                                       KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
                                       PsTerminateSystemThread(STATUS_SUCCESS);
                                       ADD_FAILURE() << "PsTerminateSystemThread returned";
                                   },
                                   nullptr),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                        &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(KeSetPriorityThread(static_cast<PKTHREAD>(object), 17), 8);
    EXPECT_EQ(KeSetPriorityThread(static_cast<PKTHREAD>(object), 17), 17);

    EXPECT_NE(kernel->leaks(), "");  // the thread runs and a reference is held
    LARGE_INTEGER short_wait = relative(kMillisecond);
    EXPECT_EQ(host::wait_for(object, &short_wait), STATUS_TIMEOUT);
    EXPECT_EQ(seen, object);
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(host::wait_for(object, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ObfDereferenceObject(object), 0);
}

TEST_F(SchedulerTest, LeaksNameWhatIsLeftBehind) {
    HANDLE handle = nullptr;
    PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 24, ' mdW');
    kernel->run_for(kMillisecond);
    std::string leaks = kernel->leaks();
    EXPECT_NE(leaks.find("'Wdm '     24 bytes"), std::string::npos) << leaks;
    EXPECT_NE(leaks.find("(thread) still open"), std::string::npos) << leaks;
    EXPECT_EQ(kernel->leaks(host::pool_tag("Irp ")).find("pool"), std::string::npos);
    ExFreePool(block);
    ZwClose(handle);
}

TEST_F(SchedulerTest, IrqlRisesAndFallsPerThread) {
    KIRQL old = 0xFF;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KIRQL other = 0xFF;
    kernel->spawn("other", [&other] { other = KeGetCurrentIrql(); });
    // The caller may not wait at DISPATCH_LEVEL; lower first, then let it run.
    KeLowerIrql(old);
    kernel->run_for(kMillisecond);
    EXPECT_EQ(other, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SchedulerTest, DeadlockIsReportedWithEveryThreadAndItsWait) {
    EXPECT_DEATH(
        {
            static KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            kernel->spawn("stuck worker", [] {
                KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
            });
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "BUG CHECK DEADLOCK(.|\n)*stuck worker +waiting +IRQL 0 +waits for "
        "KeWaitForSingleObject(.|\n)*seed: [0-9]+ \\(replay: TORVEX_SEED=[0-9]+\\)");
}

}  // namespace
}  // namespace torvex_test
