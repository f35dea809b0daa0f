#pragma once
// Helpers shared by the core tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "core/numerics/error.hpp"
#include "core/numerics/instruction_set.hpp"
#include "core/numerics/table_vector.hpp"

namespace tarvek {

// Tables keep their values in table vectors, which tests compare with plain ones.
template <class T>
bool operator==(const TableVector<T>& table, const std::vector<T>& expected) {
    return std::equal(table.begin(), table.end(), expected.begin(), expected.end());
}

}  // namespace tarvek

namespace tarvek::testing {

using Scalars = ::testing::Types<float, double>;

// Each precision with each instruction-set build of the dispatched kernels. A test of a build
// this processor cannot run skips (TARVEK_SKIP_UNLESS_RUNS), and the others still run.
template <class S, InstructionSet Set>
struct Build {
    using Scalar = S;
    static constexpr InstructionSet set = Set;
};
using Builds =
    ::testing::Types<Build<float, InstructionSet::baseline>, Build<float, InstructionSet::avx2>,
                     Build<double, InstructionSet::baseline>, Build<double, InstructionSet::avx2>>;
struct BuildNames {
    template <class B>
    static std::string GetName(int) {
        return std::string(sizeof(typename B::Scalar) == 4 ? "f32_" : "f64_") +
               (B::set == InstructionSet::avx2 ? "avx2" : "baseline");
    }
};
#define TARVEK_SKIP_UNLESS_RUNS(set) \
    if (!::tarvek::processor_runs(set)) GTEST_SKIP() << "this processor cannot run the build"

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

template <class S>
inline constexpr S nan = std::numeric_limits<S>::quiet_NaN();
template <class S>
inline constexpr S inf = std::numeric_limits<S>::infinity();

// The fast exponential's value for every argument at or below about -87.34: never 0.
inline constexpr double fast_exp_floor = 1.1755177525066417e-38;

// The messages of the mixture shape check, which many operations run first.
inline constexpr const char* kPositive = "mixture count and dimensions must be positive";
inline constexpr const char* kLegacy = "dimensions exceed the legacy format";
inline constexpr const char* kLengths = "parameter lengths do not match dimensions";

// Check-order tables: a row is a call, or an edit of a copy of a valid value, and the
// message it must throw ("no error" when it must pass). Failures name the row's index.
struct Call {
    std::function<void()> run;
    std::string expected;
};
inline void expect_messages(const std::vector<Call>& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(error_of(rows[i].run), rows[i].expected) << "row " << i;
    }
}

template <class T>
struct Edit {
    std::function<void(T&)> edit;
    std::string expected;
};
template <class T, class Check>
void expect_rows(const T& valid, Check&& check, const std::vector<Edit<T>>& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        T value = valid;
        rows[i].edit(value);
        EXPECT_EQ(error_of([&] { check(value); }), rows[i].expected) << "row " << i;
    }
}

}  // namespace tarvek::testing
