#pragma once
// Table-driven log-add and exponential, and the 32-bit fast power of two and logarithm.
//
// Four process-wide coefficient tables (log-add and exponential, each in both precisions)
// drive `log_add` and the exponentials of negative arguments. Python code may replace
// entries at any time, so every entry is an atomic word read with a relaxed load.

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/numerics/scalar_ops.hpp"

namespace tarvek {

// The two floating-point types every core type and algorithm is generic over.
template <class S>
concept Scalar = std::same_as<S, float> || std::same_as<S, double>;

namespace numerics {

inline constexpr std::size_t table_length = 7000;

enum class CoefficientTable : std::uint8_t { log_add = 0, exponential = 1 };

// Table entries hold the bit patterns of their floats.
extern std::atomic<std::uint32_t> LOG_ADD_COEFFICIENTS[table_length];
extern std::atomic<std::uint32_t> EXPONENTIAL_COEFFICIENTS[table_length];
extern std::atomic<std::uint64_t> LOG_ADD_COEFFICIENTS_F64[table_length];
extern std::atomic<std::uint64_t> EXPONENTIAL_COEFFICIENTS_F64[table_length];

inline constexpr double log_add_step = std::bit_cast<double>(0x3f50624dd2f1a9fcULL);      // 0.001
inline constexpr double log_add_cutoff = std::bit_cast<double>(0x401ba3d70a3d70a4ULL);    // 6.91
inline constexpr double exponential_step = std::bit_cast<double>(0xbf60624dd2f1a9fcULL);  // -0.002
inline constexpr double exponential_cutoff = std::bit_cast<double>(0xc02bcccccccccccdULL);  // -13.9

inline constexpr float log2_e = std::bit_cast<float>(0x3fb8aa3bU);            // 1.442695
inline constexpr float pow2_overflow = std::bit_cast<float>(0x43000000U);     // 128
inline constexpr float pow2_lower_clamp = std::bit_cast<float>(0xc2fc0000U);  // -126
inline constexpr float pow2_k1 = std::bit_cast<float>(0x42f28c51U);           // 121.274055
inline constexpr float pow2_k2 = std::bit_cast<float>(0x41ddd2feU);           // 27.728024
inline constexpr float pow2_k3 = std::bit_cast<float>(0x409af5f8U);           // 4.8425255
inline constexpr float pow2_k4 = std::bit_cast<float>(0xbfbebc8dU);           // -1.4901291

inline constexpr float ln_offset = std::bit_cast<float>(0xc2f87377U);     // -124.22552
inline constexpr float ln_mantissa = std::bit_cast<float>(0xbfbfbf75U);   // -1.4980303
inline constexpr float ln_shift = std::bit_cast<float>(0x3eb444f9U);      // 0.35208872
inline constexpr float ln_numerator = std::bit_cast<float>(0xbfdce9a3U);  // -1.72588
inline constexpr float ln_2 = std::bit_cast<float>(0x3f317218U);          // 0.6931472

namespace detail {
inline float entry(const std::atomic<std::uint32_t>* table, std::size_t index) noexcept {
    return std::bit_cast<float>(table[index].load(std::memory_order_relaxed));
}
inline double entry(const std::atomic<std::uint64_t>* table, std::size_t index) noexcept {
    return std::bit_cast<double>(table[index].load(std::memory_order_relaxed));
}
}  // namespace detail

// 2^p approximated at the bit level, every step in 32-bit arithmetic.
inline float fast_pow2(float p) noexcept {
    const float offset = p < 0.0f ? 1.0f : 0.0f;
    const float clamped = max_ignoring_nan(p, pow2_lower_clamp);
    const float whole = static_cast<float>(saturating_cast<std::int32_t>(clamped));
    const float z = offset + (clamped - whole);
    const float s = ((clamped + pow2_k1) + pow2_k2 / (pow2_k3 - z)) + z * pow2_k4;
    return std::bit_cast<float>(saturating_cast<std::uint32_t>(s * 8388608.0f));
}

namespace detail {
// A select through bit masks. Plain selects of floats let the compiler thread the loop into
// branches (one per clamp), and loops over whole tables then stop vectorising.
inline float select_bits(bool condition, float if_true, float if_false) noexcept {
    const std::uint32_t mask = 0u - static_cast<std::uint32_t>(condition);
    return std::bit_cast<float>((std::bit_cast<std::uint32_t>(if_true) & mask) |
                                (std::bit_cast<std::uint32_t>(if_false) & ~mask));
}

// The steps of fast_exp, each on its own so that a kernel can spread them between other work.
// p = x · log2(e) is the exponent, and the power 2^p the result.

// p clamped to [lower clamp, overflow]; a NaN p takes the lower clamp.
inline float clamped_exponent(float p) noexcept {
    const float upper = select_bits(std::isless(p, pow2_overflow), p, pow2_overflow);
    return select_bits(std::isgreater(p, pow2_lower_clamp), upper, pow2_lower_clamp);
}
// The fraction z of a clamped p.
inline float pow2_fraction(float p) noexcept {
    const float offset = select_bits(std::isless(p, 0.0f), 1.0f, 0.0f);
    const float whole = static_cast<float>(static_cast<std::int32_t>(p));
    return offset + (p - whole);
}
// The division of fast_pow2.
inline float pow2_quotient(float z) noexcept {
    return pow2_k2 / (pow2_k3 - z);
}
// fast_pow2 of a p in [-126, 128] from its fraction and quotient. Over that range s · 2^23
// lies in [2^23, 2^31), so the signed conversion gives the same bits as the saturating one;
// the bound only keeps the conversion defined.
inline float pow2_from_parts(float p, float z, float quotient) noexcept {
    const float s = ((p + pow2_k1) + quotient) + z * pow2_k4;
    const float scaled = s * 8388608.0f;
    const float bounded = select_bits(std::isless(scaled, 2147483520.0f), scaled, 2147483520.0f);
    return std::bit_cast<float>(static_cast<std::uint32_t>(static_cast<std::int32_t>(bounded)));
}
// fast_exp's result from x, whether its p reached the overflow, and the power of the clamped p
// (`pow2_from_parts`).
inline float exp_from_power(float x, bool overflows, float power) noexcept {
    const float finite = select_bits(overflows, std::numeric_limits<float>::infinity(), power);
    return select_bits(std::isunordered(x, x), x, finite);
}
}  // namespace detail

// Approximate e^x for either sign, in 32-bit arithmetic; never exactly 0 for finite x. The
// same bits as: NaN → x, p >= 128 → +inf, else fast_pow2(p); written without branches so that
// loops over whole tables vectorise.
inline float fast_exp(float x) noexcept {
    using namespace detail;
    const float p = x * log2_e;
    const float clamped = clamped_exponent(p);
    const float z = pow2_fraction(clamped);
    return exp_from_power(x, std::isgreaterequal(p, pow2_overflow),
                          pow2_from_parts(clamped, z, pow2_quotient(z)));
}
// The 64-bit form rounds to 32 bits first and carries 32-bit precision.
inline double fast_exp(double x) noexcept {
    return fast_exp(static_cast<float>(x));
}

// Approximate natural logarithm of a 32-bit float, defined for every bit pattern.
inline float fast_ln(float s) noexcept {
    const std::uint32_t b = std::bit_cast<std::uint32_t>(s);
    const float mantissa = std::bit_cast<float>(0x3f000000U | (b & 0x007fffffU));
    const float y = static_cast<float>(b) * 1.1920928955078125e-07f;  // b * 2^-23
    const float sum =
        ((y + ln_offset) + mantissa * ln_mantissa) + ln_numerator / (mantissa + ln_shift);
    return sum * ln_2;
}

// ln(e^a + e^b) from the log-add table.
inline float log_add(float a, float b) noexcept {
    if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<float>::quiet_NaN();
    const float hi = a > b ? a : b;
    const float lo = a > b ? b : a;
    const float diff = hi - lo;
    const double wide = static_cast<double>(diff);
    if (!std::isfinite(diff) || wide > log_add_cutoff) return hi;
    const auto index = static_cast<std::size_t>(wide / log_add_step);
    return hi + detail::entry(LOG_ADD_COEFFICIENTS, index);
}
inline double log_add_f64(double a, double b) noexcept {
    if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
    const double hi = a > b ? a : b;
    const double lo = a > b ? b : a;
    const double diff = hi - lo;
    if (!std::isfinite(diff) || diff > log_add_cutoff) return hi;
    const auto index = static_cast<std::size_t>(diff / log_add_step);
    return hi + detail::entry(LOG_ADD_COEFFICIENTS_F64, index);
}
inline double log_add(double a, double b) noexcept {
    return log_add_f64(a, b);
}

// e^x for x <= 0 from the exponential table (1 for every x >= 0).
inline float negative_exponential(float x) noexcept {
    if (std::isnan(x)) return x;
    const double wide = static_cast<double>(x);
    if (wide < exponential_cutoff) return 0.0f;
    if (x >= 0.0f) return 1.0f;
    return detail::entry(EXPONENTIAL_COEFFICIENTS,
                         static_cast<std::size_t>(wide / exponential_step));
}
inline double negative_exponential_f64(double x) noexcept {
    if (std::isnan(x)) return x;
    if (x < exponential_cutoff) return 0.0;
    if (x >= 0.0) return 1.0;
    return detail::entry(EXPONENTIAL_COEFFICIENTS_F64,
                         static_cast<std::size_t>(x / exponential_step));
}
inline double negative_exponential(double x) noexcept {
    return negative_exponential_f64(x);
}

// e^x: the fast power of two from 0 upwards (no table), the exponential table below 0.
inline float exponential(float x) noexcept {
    if (x >= 0.0f) return fast_exp(x);
    return negative_exponential(x);
}
inline double exponential_f64(double x) noexcept {
    if (x >= 0.0) return static_cast<double>(fast_exp(static_cast<float>(x)));
    return negative_exponential_f64(x);
}
inline double exponential(double x) noexcept {
    return exponential_f64(x);
}

// `exponential` (or `negative_exponential` when `capped`) of N values, each with the bits of
// the one-value call. The table indices and the choice among the cases are taken over the
// whole array, where they vectorise (the index divisions several at once); only the table
// reads go one at a time.
template <Scalar S, std::size_t N>
inline void exponentials(const S* x, bool capped, S* out) noexcept {
    // Every lane gets an index within the table; only those of arguments in [cutoff, 0) are
    // the table rule's own (the quiet comparisons keep the loop free of branches).
    std::int32_t index[N];
#pragma GCC unroll 1  // unrolled first, the loop would not vectorise
    for (std::size_t b = 0; b < N; ++b) {
        double quotient = static_cast<double>(x[b]) / exponential_step;
        quotient = std::isgreaterequal(quotient, 0.0) ? quotient : 0.0;
        quotient = std::isless(quotient, static_cast<double>(table_length)) ? quotient : 0.0;
        index[b] = static_cast<std::int32_t>(quotient);
    }
    S entries[N];
    for (std::size_t b = 0; b < N; ++b) {
        if constexpr (std::same_as<S, float>) {
            entries[b] = detail::entry(EXPONENTIAL_COEFFICIENTS, index[b]);
        } else {
            entries[b] = detail::entry(EXPONENTIAL_COEFFICIENTS_F64, index[b]);
        }
    }
    // Arguments from 0 up are rare: their fast power is only computed when there are some.
    S powers[N];
    bool some_positive = false;
    for (std::size_t b = 0; b < N; ++b) some_positive |= std::isgreaterequal(x[b], S(0));
    if (capped || !some_positive) {
        std::fill_n(powers, N, S(1));
    } else {
        for (std::size_t b = 0; b < N; ++b) powers[b] = static_cast<S>(fast_exp(x[b]));
    }
    for (std::size_t b = 0; b < N; ++b) {
        const S value = x[b];
        const S negative = static_cast<double>(value) < exponential_cutoff ? S(0) : entries[b];
        const S result = value >= S(0) ? powers[b] : negative;
        out[b] = value != value ? value : result;  // NaN
    }
}

// fast_exp of N values in parts, for kernels that spread the exponentials between other work:
// step(0, x) to step(steps − 1, x) each take a few operations across all N values (fast_exp's,
// in its order), after which powers()[i] holds fast_exp(x[i]) bit for bit.
template <std::size_t N>
class SteppedFastExp {
  public:
    static constexpr std::size_t steps = 4;

    template <Scalar S>
    [[gnu::always_inline]] void step(std::size_t index, const S* x) noexcept {
        using namespace detail;
        switch (index) {
            case 0:
                for (std::size_t i = 0; i < N; ++i) {
                    const float p = static_cast<float>(x[i]) * log2_e;
                    clamped_[i] = clamped_exponent(p);
                    overflows_[i] = select_bits(std::isgreaterequal(p, pow2_overflow), 1.0f, 0.0f);
                }
                return;
            case 1:
                for (std::size_t i = 0; i < N; ++i) fractions_[i] = pow2_fraction(clamped_[i]);
                return;
            case 2:
                for (std::size_t i = 0; i < N; ++i) quotients_[i] = pow2_quotient(fractions_[i]);
                return;
            default:
                for (std::size_t i = 0; i < N; ++i) {
                    const float power = pow2_from_parts(clamped_[i], fractions_[i], quotients_[i]);
                    powers_[i] =
                        exp_from_power(static_cast<float>(x[i]), overflows_[i] != 0.0f, power);
                }
        }
    }
    const float* powers() const noexcept { return powers_; }

  private:
    alignas(64) float clamped_[N];
    alignas(64) float overflows_[N];
    alignas(64) float fractions_[N];
    alignas(64) float quotients_[N];
    alignas(64) float powers_[N];
};

// Entry read and replacement; empty when the index is not below the table length.
std::optional<float> read_entry_f32(CoefficientTable table, std::size_t index) noexcept;
std::optional<double> read_entry_f64(CoefficientTable table, std::size_t index) noexcept;
// Atomically swaps in `value` and returns the entry it replaced.
std::optional<float> replace_entry_f32(CoefficientTable table, std::size_t index,
                                       float value) noexcept;
std::optional<double> replace_entry_f64(CoefficientTable table, std::size_t index,
                                        double value) noexcept;

template <Scalar S>
std::optional<S> read_entry(CoefficientTable table, std::size_t index) noexcept {
    if constexpr (std::same_as<S, float>) {
        return read_entry_f32(table, index);
    } else {
        return read_entry_f64(table, index);
    }
}
template <Scalar S>
std::optional<S> replace_entry(CoefficientTable table, std::size_t index, S value) noexcept {
    if constexpr (std::same_as<S, float>) {
        return replace_entry_f32(table, index, value);
    } else {
        return replace_entry_f64(table, index, value);
    }
}

}  // namespace numerics

using numerics::exponential;
using numerics::fast_exp;
using numerics::fast_ln;
using numerics::fast_pow2;
using numerics::log_add;
using numerics::negative_exponential;

}  // namespace tarvek
