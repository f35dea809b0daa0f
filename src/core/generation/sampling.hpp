#pragma once
// Sampling primitives: a mixture component from one uniform draw, a normal sample from two
// (Box-Muller, cosine branch, with a fixed-polynomial 32-bit cosine), and uniform draws in
// (0, 1] made from 32-bit random words. Every uniform is passed in by the caller, so a sample
// is a pure function of its draws.

#include <bit>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/numerics/numerics.hpp"
#include "core/numerics/scalar_ops.hpp"

namespace tarvek {

// cos(angle) for angle in [0, 2π], every step in 32-bit arithmetic: a quarter-turn shift into
// (−π, π], then a parabolic sine approximation refined by an odd polynomial.
inline float fast_cosine(float angle) noexcept {
    constexpr float quarter_turn = std::bit_cast<float>(0x3FC90FDBU);          // 1.5707964
    constexpr float minus_three_quarters = std::bit_cast<float>(0xC096CBE4U);  // -4.712389
    constexpr float linear = std::bit_cast<float>(0x3FA2F983U);                // 1.2732395
    constexpr float quadratic = std::bit_cast<float>(0xBECF817BU);             // -0.40528473
    constexpr float scale = std::bit_cast<float>(0x3F48D161U);                 // 0.78444487
    constexpr std::uint32_t sign_mask = 0x80000000U;

    const float x = angle > quarter_turn ? minus_three_quarters + angle : quarter_turn + angle;
    const float y = x * linear + (x * quadratic) * std::fabs(x);
    // The odd coefficients carry the sign of x, the last one the opposite sign.
    const std::uint32_t sign = std::bit_cast<std::uint32_t>(x) & sign_mask;
    const float c1 = std::bit_cast<float>(0x3E5086D7U | sign);  // ±0.20363937
    const float c2 = std::bit_cast<float>(0x3C77CE9AU | sign);  // ±0.015124941
    const float c3 = std::bit_cast<float>(0xBB533217U ^ sign);  // ∓0.0032225901
    const float q = y * y;
    float t = q * c3;
    t = c2 + t;
    t = q * t;
    t = c1 + t;
    t = q * t;
    return y * scale + t;
}

// The index of the first component whose running weight sum (kept in S) exceeds `uniform`;
// the last index when none does. Weights are not normalised.
// Throws "mixture sampling requires weights and a uniform draw in [0,1]".
template <Scalar S>
std::size_t choose_with_precision(std::span<const S> weights, S uniform);

// mean + sqrt(−2 ln(radial) · variance) · cos(2π angular), computed in 64-bit with the 32-bit
// cosine; the 32-bit member rounds the result to 32 bits. Throws "sampling parameters must be
// finite with nonnegative variance", "normal sampling requires radial in (0,1] and angular in
// [0,1]" or "normal sample overflows".
template <Scalar S>
S gaussian_sample(S mean, S variance, S radial, S angular);

// Uniform draws from random words, exactly: ((w >> 8) + 1) · 2^-24 from one word, and
// ((u >> 11) + 1) · 2^-53 from two, u = low + high · 2^32. Neither is ever 0.
inline float uniform_from_word(std::uint32_t word) noexcept {
    return static_cast<float>((word >> 8) + 1) * 0x1p-24f;
}
inline double uniform_from_words(std::uint32_t low, std::uint32_t high) noexcept {
    const std::uint64_t u = (std::uint64_t{high} << 32) | low;
    return static_cast<double>((u >> 11) + 1) * 0x1p-53;
}

// A source of 32-bit random words that may fail. Once it has failed it stays failed, and
// `word()` then returns 0xFFFFFFFF without consulting anything.
template <class W>
concept WordSource = requires(W& source) {
    { source.word() } -> std::same_as<std::uint32_t>;
    { source.failed() } -> std::convertible_to<bool>;
};

// One uniform draw in S from the source: one word for float, two (low half first) for double.
template <Scalar S, WordSource W>
S draw_from_words(W& source) {
    if constexpr (std::same_as<S, float>) {
        return uniform_from_word(source.word());
    } else {
        const std::uint32_t low = source.word();
        const std::uint32_t high = source.word();
        return uniform_from_words(low, high);
    }
}

namespace sampling_detail {

[[noreturn]] void throw_mixture_draw();
[[noreturn]] void throw_normal_draw();
[[noreturn]] void throw_normal_overflow();

// choose_with_precision for weights already known to be finite and nonnegative.
template <Scalar S>
inline std::size_t choose_with_checked_weights(std::span<const S> weights, S uniform) {
    if (!(uniform >= S(0) && uniform <= S(1))) throw_mixture_draw();
    S sum = 0;
    for (std::size_t k = 0; k < weights.size(); ++k) {
        sum += weights[k];
        if (sum > uniform) return k;
    }
    return weights.size() - 1;
}

// gaussian_sample for a mean and variance already known to be valid.
template <Scalar S>
inline S normal_with_checked_parameters(S mean, S variance, S radial, S angular) {
    if (!(radial > S(0) && radial <= S(1)) || !(angular >= S(0) && angular <= S(1))) {
        throw_normal_draw();
    }
    const float angle = static_cast<float>(static_cast<double>(angular) * 6.283185307179586);
    const double radius =
        std::sqrt((std::log(static_cast<double>(radial)) * -2.0) * static_cast<double>(variance));
    const double cosine = static_cast<double>(fast_cosine(angle));
    const S z = static_cast<S>(static_cast<double>(mean) + radius * cosine);
    if (!std::isfinite(z)) throw_normal_overflow();
    return z;
}

}  // namespace sampling_detail

}  // namespace tarvek
