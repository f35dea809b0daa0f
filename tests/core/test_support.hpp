#pragma once
// Helpers shared by the core tests.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <type_traits>

#include "core/error.hpp"

namespace tarvek::testing {

using Scalars = ::testing::Types<float, double>;

// The message of the ModelError that `action` throws, or "no error".
template <class Action>
std::string error_of(Action&& action) {
    try {
        action();
    } catch (const ModelError& error) {
        return error.what();
    }
    return "no error";
}

// Bit patterns, so that NaN payloads and signed zeros compare exactly.
inline std::uint32_t bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}
inline std::uint64_t bits(double value) {
    return std::bit_cast<std::uint64_t>(value);
}

inline constexpr std::uint64_t two_to(int power) {
    return std::uint64_t{1} << power;
}

}  // namespace tarvek::testing
