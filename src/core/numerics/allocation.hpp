#pragma once
// Allocation with a size check first. Sizes that pass every range check can still ask for
// far more memory than the process can be given; such requests are refused before anything is
// allocated or zero-filled (a zero-filled value the kernel cannot back ends the process), and
// allocation failures become the caller's error instead of ending the process.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/numerics/error.hpp"

namespace tarvek {

// No single value may ask for more than 2^48 bytes, whatever the machine.
inline constexpr std::uint64_t max_allocation_bytes = std::uint64_t{1} << 48;

// The most one value may take: the machine's physical memory plus swap, or the memory limit of
// the process's control group when that is lower, and never more than `max_allocation_bytes`.
// Read once, on first use.
std::uint64_t allocation_ceiling() noexcept;

// What one heap block may take beyond its contents: a header, and rounding up to at least 32
// bytes. Counted per block where one value is made of many small blocks.
inline constexpr std::uint64_t heap_block_overhead = 32;

// Overflow-checked arithmetic on counts; an empty result means the operation overflowed.
inline std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}
inline std::optional<std::uint64_t> checked_mul(std::optional<std::uint64_t> a,
                                                std::uint64_t b) noexcept {
    return a ? checked_mul(*a, b) : std::nullopt;
}
inline std::optional<std::uint64_t> checked_add(std::optional<std::uint64_t> a,
                                                std::optional<std::uint64_t> b) noexcept {
    std::uint64_t r;
    if (!a || !b || __builtin_add_overflow(*a, *b, &r)) return std::nullopt;
    return r;
}

// True when a total byte count is known (did not overflow) and within the ceiling.
inline bool allocation_fits(std::optional<std::uint64_t> bytes) noexcept {
    return bytes && *bytes <= allocation_ceiling();
}
template <class T>
bool elements_fit(std::uint64_t count) noexcept {
    return allocation_fits(checked_mul(count, sizeof(T)));
}

// A vector of `count` copies of `value`; a refused or failed allocation throws `failure`.
template <class T, class Allocator = std::allocator<T>>
std::vector<T, Allocator> allocate_or_fail(std::uint64_t count, const T& value,
                                           const ModelError& failure) {
    if (!elements_fit<T>(count)) throw failure;
    try {
        return std::vector<T, Allocator>(static_cast<std::size_t>(count), value);
    } catch (const std::bad_alloc&) {
        throw failure;
    } catch (const std::length_error&) {
        throw failure;
    }
}

// Reserves capacity for `count` elements; a refused or failed allocation throws `failure`.
template <class T, class Allocator>
void reserve_or_fail(std::vector<T, Allocator>& vector, std::uint64_t count, const ModelError& failure) {
    if (!elements_fit<T>(count)) throw failure;
    try {
        vector.reserve(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        throw failure;
    } catch (const std::length_error&) {
        throw failure;
    }
}

// Throws std::bad_alloc (MemoryError in Python) when a total byte count overflows or exceeds
// the ceiling; for allocations whose failure has no message of its own.
inline void require_allocatable(std::optional<std::uint64_t> bytes) {
    if (!allocation_fits(bytes)) throw std::bad_alloc();
}

// A vector of `count` copies of `value`, refused with std::bad_alloc above the ceiling.
template <class T>
std::vector<T> allocate_or_bad_alloc(std::uint64_t count, const T& value = T()) {
    require_allocatable(checked_mul(count, sizeof(T)));
    return std::vector<T>(static_cast<std::size_t>(count), value);
}

}  // namespace tarvek
