#pragma once
// Whether this build runs under AddressSanitizer, and the marking of memory it must not touch.
// GCC defines __SANITIZE_ADDRESS__; clang before 19 only answers __has_feature.

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define TARVEK_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARVEK_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(TARVEK_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#endif

namespace tarvek {

#if defined(TARVEK_ADDRESS_SANITIZER)
inline constexpr bool address_sanitizer = true;
#else
inline constexpr bool address_sanitizer = false;
#endif

// Marks bytes that must not be touched until unpoisoned; nothing without the sanitizer.
inline void poison(const void* bytes, std::size_t count) noexcept {
#if defined(TARVEK_ADDRESS_SANITIZER)
    __asan_poison_memory_region(bytes, count);
#else
    (void)bytes;
    (void)count;
#endif
}

inline void unpoison(const void* bytes, std::size_t count) noexcept {
#if defined(TARVEK_ADDRESS_SANITIZER)
    __asan_unpoison_memory_region(bytes, count);
#else
    (void)bytes;
    (void)count;
#endif
}

}  // namespace tarvek
