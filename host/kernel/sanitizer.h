// TORVEX_ASAN is defined when AddressSanitizer instruments the build (GCC
// says so with __SANITIZE_ADDRESS__, clang with __has_feature).
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define TORVEX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TORVEX_ASAN 1
#endif
#endif
