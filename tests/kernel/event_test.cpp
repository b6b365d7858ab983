#include <string>

#include "tests/kernel/fixture.h"

namespace torvex_test {
namespace {

using host::kMillisecond;
using host::kSecond;

class EventTest : public KernelTest {
protected:
    // Starts `count` threads that each wait on `event` once; each writes its
    // letter when it begins to wait and when it is woken.
    struct Waiters {
        std::string began;
        std::string woken;
    };
    void start_waiters(PKEVENT event, int count, Waiters* waiters) {
        for (int i = 0; i < count; ++i) {
            const char letter = static_cast<char>('a' + i);
            kernel->spawn("waiter", [event, waiters, letter] {
                waiters->began += letter;
                KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
                waiters->woken += letter;
            });
        }
        kernel->run_for(kMillisecond);
    }
};

TEST_F(EventTest, SetReturnsThePreviousStateAndResetClears) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(event.Header.SignalState, 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(event.Header.SignalState, 0);
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(event.Header.SignalState, 1);
}

TEST_F(EventTest, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Waiters waiters;
    start_waiters(&event, 3, &waiters);
    EXPECT_EQ(waiters.woken.size(), 0u);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    kernel->run_for(kMillisecond);
    EXPECT_EQ(waiters.woken.size(), 3u);
    EXPECT_EQ(event.Header.SignalState, 1);
}

TEST_F(EventTest, SynchronizationEventReleasesOneWaiterPerSetAndResets) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    Waiters waiters;
    start_waiters(&event, 3, &waiters);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    // The woken waiter took the signal at once: nobody else can see it.
    EXPECT_EQ(event.Header.SignalState, 0);
    kernel->run_for(kMillisecond);
    EXPECT_EQ(waiters.woken.size(), 1u);
    for (int i = 0; i < 2; ++i) {
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        kernel->run_for(kMillisecond);
    }
    // Each set went to the waiter that had waited longest.
    EXPECT_EQ(waiters.woken, waiters.began);
    // A set with no waiter stays until one wait takes it.
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER poll = relative(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST_F(EventTest, WaitAnyReportsTheLowestSignalledIndexAndTakesOnlyThatOne) {
    KEVENT events[3];
    PVOID objects[3];
    for (int i = 0; i < 3; ++i) {
        KeInitializeEvent(&events[i], SynchronizationEvent, FALSE);
        objects[i] = &events[i];
    }
    KWAIT_BLOCK blocks[3];
    KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER timeout = relative(kSecond);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, blocks),
              STATUS_WAIT_0 + 1);
    EXPECT_EQ(events[1].Header.SignalState, 0);
    EXPECT_EQ(events[2].Header.SignalState, 1);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, blocks),
              STATUS_WAIT_0 + 2);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, blocks),
              STATUS_TIMEOUT);
    EXPECT_EQ(kernel->now(), kSecond);
}

TEST_F(EventTest, WaitAllWaitsForEveryObjectThenTakesThemAll) {
    static KEVENT events[2];
    KeInitializeEvent(&events[0], SynchronizationEvent, FALSE);
    KeInitializeEvent(&events[1], NotificationEvent, FALSE);
    NTSTATUS result = STATUS_PENDING;
    host::Time woke_at = -1;
    kernel->spawn("wait-all", [&] {
        PVOID objects[2] = {&events[0], &events[1]};
        result = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr,
                                          nullptr);
        woke_at = kernel->now();
    });
    KeSetEvent(&events[0], IO_NO_INCREMENT, FALSE);
    kernel->run_for(10 * kMillisecond);
    EXPECT_EQ(result, STATUS_PENDING);
    EXPECT_EQ(events[0].Header.SignalState, 1);  // not taken while the other is clear
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    kernel->run_for(kMillisecond);
    EXPECT_EQ(result, STATUS_WAIT_0);
    EXPECT_EQ(woke_at, 10 * kMillisecond);
    EXPECT_EQ(events[0].Header.SignalState, 0);
    EXPECT_EQ(events[1].Header.SignalState, 1);
}

}  // namespace
}  // namespace torvex_test
