#include "host/kernel/fiber.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "host/kernel/sanitizer.h"
#if defined(TORVEX_ASAN)
#include <sanitizer/common_interface_defs.h>
#endif

// The switch: push the registers a call preserves, store the stack pointer,
// load the other fiber's, pop its registers and return into it. A new
// fiber's stack is laid out as if it had switched away from the first
// instruction of torvex_fiber_start, with its entry and argument in two of
// the preserved registers.
extern "C" void torvex_fiber_switch(void** save, void* load);
extern "C" void torvex_fiber_start();

#if defined(__x86_64__)
asm(R"(
    .text
    .globl torvex_fiber_switch
    .type torvex_fiber_switch, @function
torvex_fiber_switch:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size torvex_fiber_switch, .-torvex_fiber_switch

    .globl torvex_fiber_start
    .type torvex_fiber_start, @function
torvex_fiber_start:
    .cfi_startproc
    .cfi_undefined rip
    movq %r13, %rdi
    andq $-16, %rsp
    callq *%r12
    ud2
    .cfi_endproc
    .size torvex_fiber_start, .-torvex_fiber_start
)");
constexpr int kSavedRegisters = 6;  // rbp rbx r12 r13 r14 r15, popped from r15 up
constexpr int kEntryRegister = 3;   // r12, counted from the stack pointer
constexpr int kArgumentRegister = 2;  // r13
#elif defined(__i386__)
asm(R"(
    .text
    .globl torvex_fiber_switch
    .type torvex_fiber_switch, @function
torvex_fiber_switch:
    movl 4(%esp), %eax
    movl 8(%esp), %edx
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl %esp, (%eax)
    movl %edx, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
    .size torvex_fiber_switch, .-torvex_fiber_switch

    .globl torvex_fiber_start
    .type torvex_fiber_start, @function
torvex_fiber_start:
    .cfi_startproc
    .cfi_undefined eip
    andl $-16, %esp
    subl $12, %esp
    pushl %edi
    call *%esi
    ud2
    .cfi_endproc
    .size torvex_fiber_start, .-torvex_fiber_start
)");
constexpr int kSavedRegisters = 4;  // ebp ebx esi edi, popped from edi up
constexpr int kEntryRegister = 1;   // esi
constexpr int kArgumentRegister = 0;  // edi
#else
#error "the fiber switch is written for x86-64 and i386"
#endif

namespace host {

namespace {

// The stacks of ended fibers, kept for the next fibers of the same OS thread
// (mapping, guarding and first touching a stack cost more than a world's
// start): a world makes a dozen fibers, a fuzzer or a sweep thousands of
// worlds.
class StackCache {
public:
    ~StackCache() {
        for (std::size_t i = 0; i < m_count; ++i) munmap(m_free[i].base, m_free[i].mapped);
        m_count = 0;
    }
    void* take(std::size_t mapped) {
        for (std::size_t i = 0; i < m_count; ++i) {
            if (m_free[i].mapped == mapped) {
                void* base = m_free[i].base;
                m_free[i] = m_free[--m_count];
                return base;
            }
        }
        return nullptr;
    }
    void give(void* base, std::size_t mapped) {
        if (m_count < kKept) {
            m_free[m_count++] = {base, mapped};
        } else {
            munmap(base, mapped);
        }
    }

private:
    static constexpr std::size_t kKept = 32;
    // A plain array: a fiber that outlives the thread's cache (a world kept
    // in a static) still finds somewhere to put its stack.
    struct Stack {
        void* base;
        std::size_t mapped;
    } m_free[kKept];
    std::size_t m_count = 0;
};

thread_local StackCache t_stacks;

}  // namespace

Fiber::Fiber() {
#if defined(TORVEX_ASAN)
    // The OS thread's stack, for the sanitizer to switch back to (read once:
    // for the main thread the C library parses the process's memory map).
    thread_local const void* bottom = nullptr;
    thread_local std::size_t size = 0;
    if (bottom == nullptr) {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void* low = nullptr;
            pthread_attr_getstack(&attributes, &low, &size);
            bottom = low;
            pthread_attr_destroy(&attributes);
        }
    }
    m_bottom = bottom;
    m_size = size;
#endif
}

Fiber::Fiber(std::function<void()> entry, std::size_t stack_size) : m_entry(std::move(entry)) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    m_mapped = (stack_size + page - 1) / page * page + page;
    m_stack = t_stacks.take(m_mapped);
    if (m_stack == nullptr) {
        m_stack = mmap(nullptr, m_mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (m_stack == MAP_FAILED) {
            std::perror("torvex: a fiber's stack");
            std::abort();
        }
        mprotect(m_stack, page, PROT_NONE);  // the guard page: an overflow faults
    }
    m_bottom = static_cast<char*>(m_stack) + page;
    m_size = m_mapped - page;

    auto* top = reinterpret_cast<std::uintptr_t*>(
        (reinterpret_cast<std::uintptr_t>(m_stack) + m_mapped) & ~static_cast<std::uintptr_t>(15));
    *--top = 0;  // where torvex_fiber_start's caller would be
    *--top = reinterpret_cast<std::uintptr_t>(&torvex_fiber_start);
    top -= kSavedRegisters;
    for (int i = 0; i < kSavedRegisters; ++i) top[i] = 0;
    top[kEntryRegister] = reinterpret_cast<std::uintptr_t>(&Fiber::start);
    top[kArgumentRegister] = reinterpret_cast<std::uintptr_t>(this);
    m_sp = top;
}

Fiber::~Fiber() {
    if (m_stack != nullptr) t_stacks.give(m_stack, m_mapped);
}

void Fiber::start(void* fiber) {
#if defined(TORVEX_ASAN)
    __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
#endif
    static_cast<Fiber*>(fiber)->m_entry();
    std::fputs("torvex: a fiber's entry returned\n", stderr);
    std::abort();
}

void Fiber::switch_to(Fiber& next, bool ending) {
#if defined(TORVEX_ASAN)
    __sanitizer_start_switch_fiber(ending ? nullptr : &m_fake_stack, next.m_bottom, next.m_size);
#else
    (void)ending;
#endif
    torvex_fiber_switch(&m_sp, next.m_sp);
#if defined(TORVEX_ASAN)
    __sanitizer_finish_switch_fiber(m_fake_stack, nullptr, nullptr);
#endif
}

}  // namespace host
