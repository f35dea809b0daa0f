#pragma once
// Whole-array checks of floating-point values; the answer is that of a test of each value.
// For float, a pass without an early exit into one flag vectorises and is fastest. For double,
// the x86-64 baseline has no 64-bit integer compares to vectorise such a pass, and a search for
// the first failing value (unrolled by std::all_of) is faster.

#include <algorithm>
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
        return std::all_of(values.begin(), values.end(),
                           [](F value) { return std::isfinite(value); });
    }
}

// Finite and not negative; negative zero passes.
template <std::floating_point F>
bool all_finite_nonnegative(std::span<const F> values) noexcept {
    if constexpr (std::is_same_v<F, float>) {
        // The comparison with the largest finite value rejects NaN and infinity.
        constexpr float largest = std::numeric_limits<float>::max();
        unsigned valid = 1;
        for (const float value : values) valid &= (value >= 0.0f) & (value <= largest);
        return valid != 0;
    } else {
        return std::all_of(values.begin(), values.end(),
                           [](F value) { return is_finite_nonnegative(value); });
    }
}

template <std::floating_point F>
bool all_finite(const std::vector<F>& values) noexcept {
    return all_finite(std::span<const F>(values));
}

template <std::floating_point F>
bool all_finite_nonnegative(const std::vector<F>& values) noexcept {
    return all_finite_nonnegative(std::span<const F>(values));
}

}  // namespace tarvek
