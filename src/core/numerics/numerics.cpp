#include "core/numerics/numerics.hpp"

#include <charconv>
#include <cmath>

namespace tarvek::numerics {

std::atomic<std::uint32_t> LOG_ADD_COEFFICIENTS[table_length];
std::atomic<std::uint32_t> EXPONENTIAL_COEFFICIENTS[table_length];
std::atomic<std::uint64_t> LOG_ADD_COEFFICIENTS_F64[table_length];
std::atomic<std::uint64_t> EXPONENTIAL_COEFFICIENTS_F64[table_length];

namespace {

// The double nearest to `exact` rounded to 8 significant decimal digits. The decimal text
// round trip gives correctly rounded results at both steps, independent of the locale.
double round_to_8_digits(long double exact) {
    char text[64];
    const auto written =
        std::to_chars(text, text + sizeof text, exact, std::chars_format::scientific, 7);
    double rounded = 0.0;
    std::from_chars(text, written.ptr, rounded);
    return rounded;
}

// Fills the four tables once at load time. Each 32-bit entry is the 64-bit entry rounded
// to the nearest float, not the float nearest the exact value.
struct TableInitializer {
    TableInitializer() {
        for (std::size_t i = 0; i < table_length; ++i) {
            const long double n = static_cast<long double>(i);
            const double log_add_value = round_to_8_digits(std::log1p(std::exp(-n / 1000.0L)));
            const double exponential_value = round_to_8_digits(std::exp(-n / 500.0L));
            LOG_ADD_COEFFICIENTS_F64[i].store(bits_of(log_add_value), std::memory_order_relaxed);
            EXPONENTIAL_COEFFICIENTS_F64[i].store(bits_of(exponential_value),
                                                  std::memory_order_relaxed);
            LOG_ADD_COEFFICIENTS[i].store(bits_of(static_cast<float>(log_add_value)),
                                          std::memory_order_relaxed);
            EXPONENTIAL_COEFFICIENTS[i].store(bits_of(static_cast<float>(exponential_value)),
                                              std::memory_order_relaxed);
        }
    }
};
const TableInitializer table_initializer;

std::atomic<std::uint32_t>* table_f32(CoefficientTable table) noexcept {
    return table == CoefficientTable::log_add ? LOG_ADD_COEFFICIENTS : EXPONENTIAL_COEFFICIENTS;
}
std::atomic<std::uint64_t>* table_f64(CoefficientTable table) noexcept {
    return table == CoefficientTable::log_add ? LOG_ADD_COEFFICIENTS_F64
                                              : EXPONENTIAL_COEFFICIENTS_F64;
}

}  // namespace

std::optional<float> read_entry_f32(CoefficientTable table, std::size_t index) noexcept {
    if (index >= table_length) return std::nullopt;
    return detail::entry(table_f32(table), index);
}

std::optional<double> read_entry_f64(CoefficientTable table, std::size_t index) noexcept {
    if (index >= table_length) return std::nullopt;
    return detail::entry(table_f64(table), index);
}

std::optional<float> replace_entry_f32(CoefficientTable table, std::size_t index,
                                       float value) noexcept {
    if (index >= table_length) return std::nullopt;
    return float_from_bits(
        table_f32(table)[index].exchange(bits_of(value), std::memory_order_relaxed));
}

std::optional<double> replace_entry_f64(CoefficientTable table, std::size_t index,
                                        double value) noexcept {
    if (index >= table_length) return std::nullopt;
    return double_from_bits(
        table_f64(table)[index].exchange(bits_of(value), std::memory_order_relaxed));
}

}  // namespace tarvek::numerics
