#pragma once
// Whole-array checks of floating-point values; the answer is that of a test of each value.
// Each is one pass without an early exit, folding every value into one flag, which vectorises:
// for float from comparisons; for double (the x86-64 baseline has no 64-bit integer compares)
// from the bits of x − x, which are 0 exactly for finite x (NaN otherwise).

#include <bit>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include "core/numerics/scalar_ops.hpp"

namespace tarvek {

// The bits of x − x: 0 exactly when x is finite.
inline std::uint64_t non_finite_bits(double value) noexcept {
    return std::bit_cast<std::uint64_t>(value - value);
}

// No infinity and no NaN.
template <std::floating_point F>
bool all_finite(std::span<const F> values) noexcept {
    if constexpr (std::is_same_v<F, float>) {
        // An exponent field of all ones is infinity or NaN.
        constexpr std::uint32_t exponent = 0x7f800000u;
        std::uint32_t non_finite = 0;
        for (const float value : values) {
            non_finite |= static_cast<std::uint32_t>(
                (std::bit_cast<std::uint32_t>(value) & exponent) == exponent);
        }
        return non_finite == 0;
    } else {
        std::uint64_t bad = 0;
        for (const double value : values) bad |= non_finite_bits(value);
        return bad == 0;
    }
}

// Finite and not negative (negative zero passes), or when `strict` finite and greater than 0.
template <bool strict, std::floating_point F>
bool all_finite_not_below_zero(std::span<const F> values) noexcept {
    if constexpr (std::is_same_v<F, float>) {
        // The comparison with the largest finite value rejects NaN and infinity.
        constexpr float largest = std::numeric_limits<float>::max();
        unsigned valid = 1;
        for (const float value : values) {
            valid &= (strict ? value > 0.0f : value >= 0.0f) & (value <= largest);
        }
        return valid != 0;
    } else {
        // With b the bits of x, the sign bit of b | (b − 1) is set for every x <= 0, −0
        // included; x + 0 turns −0 into +0 and keeps the sign of every other value.
        constexpr std::uint64_t sign = std::uint64_t{1} << 63;
        std::uint64_t bad = 0;
        for (const double value : values) {
            const auto bits = std::bit_cast<std::uint64_t>(strict ? value : value + 0.0);
            bad |= ((strict ? bits | (bits - 1) : bits) & sign) | non_finite_bits(value);
        }
        return bad == 0;
    }
}

// Finite and not negative; negative zero passes.
template <std::floating_point F>
bool all_finite_nonnegative(std::span<const F> values) noexcept {
    return all_finite_not_below_zero<false>(values);
}

// Finite and greater than 0 (subnormal values pass).
template <std::floating_point F>
bool all_finite_positive(std::span<const F> values) noexcept {
    return all_finite_not_below_zero<true>(values);
}

template <std::floating_point F, class Allocator>
bool all_finite(const std::vector<F, Allocator>& values) noexcept {
    return all_finite(std::span<const F>(values));
}

template <std::floating_point F, class Allocator>
bool all_finite_nonnegative(const std::vector<F, Allocator>& values) noexcept {
    return all_finite_nonnegative(std::span<const F>(values));
}

template <std::floating_point F, class Allocator>
bool all_finite_positive(const std::vector<F, Allocator>& values) noexcept {
    return all_finite_positive(std::span<const F>(values));
}

}  // namespace tarvek
