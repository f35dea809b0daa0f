#include "module/random_sources.hpp"

#include <cmath>
#include <optional>

namespace tarvek::py {

template <Scalar S>
S UniformCallbackDraw<S>::operator()() noexcept {
    constexpr S failed = std::numeric_limits<S>::quiet_NaN();
    if (error_.latched()) return failed;
    ++draws_;
    const Ref result = callback_.call0();
    if (!result) {
        error_.latch_pending();
        return failed;
    }
    const std::optional<double> number = callback_number(result.get());
    if (!number) {
        if (PyErr_Occurred()) {
            error_.latch_pending();
        } else {
            error_.latch(PyExc_ValueError, "uniform callback must return a number");
        }
        return failed;
    }
    return static_cast<S>(*number);
}

std::uint32_t WordRng::word() noexcept {
    constexpr std::uint32_t failed = 0xFFFFFFFFU;
    if (error_.latched()) return failed;
    ++words_;
    const Ref result = callback_.call0();
    if (!result) {
        error_.latch_pending();
        return failed;
    }
    const std::optional<double> number = callback_number(result.get());
    // Integral floats, booleans and negative zero pass; NaN fails every comparison.
    if (number && std::isfinite(*number) && *number == std::trunc(*number) && *number >= 0.0 &&
        *number <= 4294967295.0) {
        return static_cast<std::uint32_t>(*number);
    }
    if (PyErr_Occurred()) {
        error_.latch_pending();
    } else {
        error_.latch(PyExc_ValueError, "random word callback must return a u32 integer");
    }
    return failed;
}

template <Scalar S>
void ValueListDraw<S>::raise_if_failed() {
    if (exhausted_) raise(PyExc_ValueError, "uniform draw sequence exhausted");
}

template class UniformCallbackDraw<float>;
template class UniformCallbackDraw<double>;
template class ValueListDraw<float>;
template class ValueListDraw<double>;

}  // namespace tarvek::py
