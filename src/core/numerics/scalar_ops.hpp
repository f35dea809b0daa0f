#pragma once
// Small numeric helpers shared by the whole core. They pin down behaviour that plain C++
// leaves undefined or platform dependent: float-to-integer casts of NaN or out-of-range
// values, and max/min with a NaN operand.

#include <bit>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace tarvek {

// Counts, dimensions, frame counts and boundaries must stay below 2^31: they are stored as
// signed 32-bit integers in the serialized forms.
inline constexpr std::uint64_t legacy_count_limit = std::uint64_t{1} << 31;

// Log zero: the score that stands for an impossible event. As a float it is
// -999999986991104.0 (bits 0xd8635fa9); as a double exactly -1e15.
template <std::floating_point S>
inline constexpr S log_zero = static_cast<S>(-1e15);

// Truncates toward zero and clamps to the range of I; NaN gives 0.
template <std::integral I, std::floating_point F>
inline I saturating_cast(F value) noexcept {
    using Limits = std::numeric_limits<I>;
    // The lower limit (0 or -2^n) is exact in F; the upper one is exact or rounds up to 2^n,
    // so every value strictly between them truncates to a representable integer.
    constexpr F lowest = static_cast<F>(Limits::min());
    constexpr F highest = static_cast<F>(Limits::max());
    if (std::isnan(value)) return 0;
    if (value <= lowest) return Limits::min();
    if (value >= highest) return Limits::max();
    return static_cast<I>(value);
}

// max and min that ignore a NaN operand (the other operand wins; NaN only if both are NaN)
// and order -0 below +0, so the result never depends on the order of the operands.
// std::fmax leaves signed zeros to the platform and is an out-of-line call on x86-64.
template <std::floating_point F>
inline F max_ignoring_nan(F a, F b) noexcept {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    if (a == b) return std::signbit(a) ? b : a;
    return a > b ? a : b;
}
template <std::floating_point F>
inline F min_ignoring_nan(F a, F b) noexcept {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    if (a == b) return std::signbit(a) ? a : b;
    return a < b ? a : b;
}

// Finite and not negative; negative zero passes, every other negative value fails.
template <std::floating_point F>
inline bool is_finite_nonnegative(F value) noexcept {
    return std::isfinite(value) && value >= F(0);
}

inline float float_from_bits(std::uint32_t bits) noexcept {
    return std::bit_cast<float>(bits);
}
inline std::uint32_t bits_of(float value) noexcept {
    return std::bit_cast<std::uint32_t>(value);
}
inline double double_from_bits(std::uint64_t bits) noexcept {
    return std::bit_cast<double>(bits);
}
inline std::uint64_t bits_of(double value) noexcept {
    return std::bit_cast<std::uint64_t>(value);
}

// Precision names used in class and function names ("F32"/"F64", "f32"/"f64").
template <std::floating_point S>
struct Precision;
template <>
struct Precision<float> {
    static constexpr const char* suffix = "F32";
    static constexpr const char* lower = "f32";
};
template <>
struct Precision<double> {
    static constexpr const char* suffix = "F64";
    static constexpr const char* lower = "f64";
};

}  // namespace tarvek
