// A user-space execution context: a stack of its own and the registers a
// call preserves, switched to and from on one OS thread. The emulated
// threads are fibers: one runs at a time, so handing over is a stack switch
// (nanoseconds), not an OS thread's wake and sleep (microseconds).
#pragma once

#include <cstddef>
#include <functional>

namespace host {

class Fiber {
public:
    // The calling OS thread's own context, on its own stack.
    Fiber();
    // A context that runs `entry` on a fresh stack the first time it is
    // switched to. `entry` must never return: a fiber ends by switching away
    // for good (switch_to with `ending`).
    Fiber(std::function<void()> entry, std::size_t stack_size);
    ~Fiber();  // frees the stack; never of the fiber that runs
    Fiber(const Fiber&) = delete;
    Fiber& operator=(const Fiber&) = delete;

    // Saves the running context into this fiber, which must be the one
    // running, and resumes `next`. Returns when something switches back to
    // this fiber; with `ending` nothing will, and this fiber's stack may be
    // freed once another runs.
    void switch_to(Fiber& next, bool ending = false);

private:
    static void start(void* fiber);

    std::function<void()> m_entry;
    void* m_stack = nullptr;  // the mapping, guard page included (null: the OS thread's stack)
    std::size_t m_mapped = 0;
    void* m_sp = nullptr;     // the saved stack pointer while this fiber does not run
    // For AddressSanitizer: this fiber's stack, and its fake stack while it
    // does not run.
    const void* m_bottom = nullptr;
    std::size_t m_size = 0;
    void* m_fake_stack = nullptr;
};

}  // namespace host
