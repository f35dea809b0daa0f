// Tests of the coefficient tables, log-add, the exponentials, the fast logarithm and the
// scalar helpers. Some tests replace table entries; they restore them in TearDown, and this
// file runs as its own process so no other numeric test sees a replaced entry.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>
#include <type_traits>
#include <vector>

#include "core/numerics.hpp"
#include "core/scalar_ops.hpp"

namespace tarvek {
namespace {

using numerics::CoefficientTable;
using numerics::read_entry;
using numerics::replace_entry;
using numerics::table_length;

constexpr CoefficientTable kLogAdd = CoefficientTable::log_add;
constexpr CoefficientTable kExponential = CoefficientTable::exponential;

// Smallest value of the fast power of two (reached for p <= -126).
constexpr double kPow2Floor = 1.1755177525066417e-38;

template <class S>
S entry(CoefficientTable table, std::size_t index) {
    return read_entry<S>(table, index).value();
}

template <class S>
constexpr S inf = std::numeric_limits<S>::infinity();
template <class S>
constexpr S nan = std::numeric_limits<S>::quiet_NaN();

// Hides a value from the optimiser so the operation runs on it at run time.
template <class S>
S opaque(S value) {
    volatile S hidden = value;
    return hidden;
}

template <class S>
class Numerics : public ::testing::Test {};
using Scalars = ::testing::Types<float, double>;
TYPED_TEST_SUITE(Numerics, Scalars);

// ---- tables --------------------------------------------------------------------------

TYPED_TEST(Numerics, EntriesAtBothEndsHoldTheEightDigitValues) {
    using S = TypeParam;
    EXPECT_EQ(entry<S>(kLogAdd, 0), static_cast<S>(0.69314718));
    EXPECT_EQ(entry<S>(kLogAdd, 1), static_cast<S>(0.69264731));
    EXPECT_EQ(entry<S>(kLogAdd, 6999), static_cast<S>(0.00091237796));
    EXPECT_EQ(entry<S>(kExponential, 0), S(1));
    EXPECT_EQ(entry<S>(kExponential, 1), static_cast<S>(0.998002));
    EXPECT_EQ(entry<S>(kExponential, 6999), static_cast<S>(8.3319344e-07));
}

TEST(NumericsTables, EveryEntryIsTheFunctionRoundedToEightDigits) {
    for (std::size_t i = 0; i < table_length; ++i) {
        const long double n = static_cast<long double>(i);
        const long double log_add_exact = std::log1p(std::exp(-n / 1000.0L));
        const long double exponential_exact = std::exp(-n / 500.0L);
        const double log_add_value = entry<double>(kLogAdd, i);
        const double exponential_value = entry<double>(kExponential, i);
        // Rounding to 8 significant digits moves a value by at most 5e-8 of itself.
        ASSERT_LE(std::fabs(log_add_value - log_add_exact), 5e-8L * log_add_exact) << i;
        ASSERT_LE(std::fabs(exponential_value - exponential_exact), 5e-8L * exponential_exact) << i;
        // The 32-bit entry is the 64-bit entry rounded, not the float nearest the function.
        ASSERT_EQ(entry<float>(kLogAdd, i), static_cast<float>(log_add_value)) << i;
        ASSERT_EQ(entry<float>(kExponential, i), static_cast<float>(exponential_value)) << i;
    }
}

TYPED_TEST(Numerics, EntryAccessStopsAtTheTableLength) {
    using S = TypeParam;
    for (CoefficientTable table : {kLogAdd, kExponential}) {
        const S last = entry<S>(table, table_length - 1);
        EXPECT_FALSE(read_entry<S>(table, table_length).has_value());
        EXPECT_FALSE(read_entry<S>(table, SIZE_MAX).has_value());
        EXPECT_FALSE(replace_entry<S>(table, table_length, S(5)).has_value());
        EXPECT_FALSE(replace_entry<S>(table, SIZE_MAX, S(5)).has_value());
        EXPECT_EQ(entry<S>(table, table_length - 1), last);
    }
}

TEST(NumericsTables, LogZeroBitPatterns) {
    EXPECT_EQ(bits_of(log_zero<float>), 0xd8635fa9U);
    EXPECT_EQ(log_zero<float>, -999999986991104.0f);
    EXPECT_EQ(log_zero<double>, -1e15);
}

// ---- log_add -------------------------------------------------------------------------

TYPED_TEST(Numerics, LogAddOfEqualScoresAddsEntryZeroAndIgnoresOrder) {
    using S = TypeParam;
    EXPECT_EQ(log_add(S(0), S(0)), static_cast<S>(0.69314718));
    const std::vector<S> values = {S(0),  S(-0.0), S(1.5),      S(-3.25), S(-6.9),
                                   S(-7), S(40),   log_zero<S>, inf<S>,   -inf<S>};
    for (S a : values) {
        for (S b : values) {
            const S ab = log_add(a, b);
            const S ba = log_add(b, a);
            EXPECT_TRUE(ab == ba || (std::isnan(ab) && std::isnan(ba))) << a << " " << b;
        }
    }
}

TYPED_TEST(Numerics, LogAddIsWithinATableStepOfTheExactSum) {
    using S = TypeParam;
    for (double hi = -20.0; hi <= 20.0; hi += 2.5) {
        for (double gap = 0.0; gap <= 12.0; gap += 0.0137) {
            const S a = static_cast<S>(hi);
            const S b = static_cast<S>(hi - gap);
            const double lo = b;
            const double exact = hi + std::log1p(std::exp(lo - hi));
            // Table step 0.001 at slope <= 1/2, and ln(1 + e^-6.91) past the cut-off.
            ASSERT_NEAR(log_add(a, b), exact, 1e-3) << hi << " " << gap;
        }
    }
}

TYPED_TEST(Numerics, LogAddPastTheCutOffReturnsTheLargerScore) {
    using S = TypeParam;
    EXPECT_EQ(log_add(S(0), static_cast<S>(-6.92)), S(0));
    for (S x : {S(0), S(-3.5), S(1e6), S(-1e14)}) {
        EXPECT_EQ(log_add(x, log_zero<S>), x);
        EXPECT_EQ(log_add(log_zero<S>, x), x);
    }
}

TYPED_TEST(Numerics, LogAddWithInfiniteOrNaNOperands) {
    using S = TypeParam;
    const S pos = opaque(inf<S>);
    const S neg = opaque(-inf<S>);
    EXPECT_EQ(log_add(pos, pos), inf<S>);
    EXPECT_EQ(log_add(neg, neg), -inf<S>);
    EXPECT_EQ(log_add(neg, opaque(S(3))), S(3));
    EXPECT_EQ(log_add(opaque(S(3)), neg), S(3));
    EXPECT_EQ(log_add(pos, opaque(S(3))), inf<S>);
    EXPECT_EQ(log_add(pos, neg), inf<S>);
    EXPECT_TRUE(std::isnan(log_add(opaque(nan<S>), opaque(S(0)))));
    EXPECT_TRUE(std::isnan(log_add(opaque(S(0)), opaque(nan<S>))));
    EXPECT_TRUE(std::isnan(log_add(opaque(nan<S>), pos)));
}

TEST(NumericsPrecisions, LogAddAtTheCutOffSplitsBetweenTheTwoPrecisions) {
    // 6.91 itself is inside the cut-off in 64 bits; the 32-bit 6.91 widens to 6.909999847...
    ASSERT_NE(entry<double>(kLogAdd, 6910), entry<double>(kLogAdd, 6909));
    ASSERT_NE(entry<float>(kLogAdd, 6910), entry<float>(kLogAdd, 6909));
    EXPECT_EQ(log_add(0.0, -6.91), entry<double>(kLogAdd, 6910));
    EXPECT_EQ(log_add(0.0f, -6.91f), entry<float>(kLogAdd, 6909));
    // The 32-bit index comes from the widened difference, not from a 32-bit division.
    EXPECT_EQ(log_add(0.0f, opaque(-0.023f)), entry<float>(kLogAdd, 23));
    EXPECT_EQ(log_add(0.0f, opaque(-0.033f)), entry<float>(kLogAdd, 32));
}

TEST(NumericsPrecisions, LogAddOfTwoLogZerosRoundsLn2Away) {
    EXPECT_EQ(log_add(log_zero<float>, log_zero<float>), log_zero<float>);
    EXPECT_EQ(log_add(log_zero<double>, log_zero<double>), -999999999999999.25);
}

// ---- negative_exponential and exponential ----------------------------------------------

TYPED_TEST(Numerics, NegativeExponentialOutsideTheTable) {
    using S = TypeParam;
    for (S x : {S(0), S(-0.0), S(5), inf<S>}) EXPECT_EQ(negative_exponential(x), S(1)) << x;
    for (S x : {S(-14), S(-1e6), log_zero<S>, -inf<S>}) {
        EXPECT_EQ(negative_exponential(x), S(0)) << x;
        EXPECT_EQ(exponential(x), S(0)) << x;
    }
    EXPECT_TRUE(std::isnan(negative_exponential(nan<S>)));
    EXPECT_TRUE(std::isnan(exponential(nan<S>)));
}

TEST(NumericsPrecisions, NegativeExponentialAtTheCutOff) {
    ASSERT_NE(entry<double>(kExponential, 6950), entry<double>(kExponential, 6949));
    EXPECT_EQ(negative_exponential(-13.9), entry<double>(kExponential, 6950));
    // The 32-bit -13.9 widens to -13.899999618..., just inside the cut-off.
    EXPECT_EQ(negative_exponential(-13.9f), entry<float>(kExponential, 6949));
}

TYPED_TEST(Numerics, ExponentialOfNegativeArgumentsIsWithinATableStep) {
    using S = TypeParam;
    for (double x = -13.9; x < 0.0; x += 0.00731) {
        const S value = static_cast<S>(x);
        const double exact = std::exp(static_cast<double>(value));
        // Entries step by 0.002 in the exponent and the index truncates toward zero,
        // plus the 8-digit rounding of the entry.
        ASSERT_NEAR(exponential(value), exact, (std::expm1(0.002) + 1e-7) * exact) << x;
        ASSERT_EQ(exponential(value), negative_exponential(value)) << x;
    }
}

TYPED_TEST(Numerics, ExponentialStatedValues) {
    using S = TypeParam;
    EXPECT_EQ(exponential(S(0)), S(1));
    EXPECT_EQ(exponential(S(-0.0)), S(1));
    EXPECT_EQ(exponential(static_cast<S>(-0.001)), S(1));  // entry 0
    EXPECT_EQ(exponential(S(1)), S(2.718292236328125));
    EXPECT_EQ(exponential(S(10)), S(22026.5));
    EXPECT_TRUE(std::isfinite(exponential(static_cast<S>(88.72))));
    EXPECT_EQ(exponential(S(89)), inf<S>);
    EXPECT_EQ(exponential(inf<S>), inf<S>);
}

TEST(NumericsPrecisions, HugeDoubleBecomesAFloatInfinityFirst) {
    EXPECT_EQ(exponential(1e300), std::numeric_limits<double>::infinity());
    EXPECT_EQ(fast_exp(1e300), std::numeric_limits<double>::infinity());
}

// ---- fast_exp, fast_pow2 and fast_ln -----------------------------------------------------

TYPED_TEST(Numerics, FastExpStatedValues) {
    using S = TypeParam;
    EXPECT_EQ(fast_exp(S(0)), S(1));
    EXPECT_EQ(fast_exp(S(1)), S(2.718292236328125));
    EXPECT_EQ(fast_exp(S(-1)), S(0.36787986755371094));
    EXPECT_EQ(fast_exp(S(-3)), S(0.04978609085083008));
    EXPECT_EQ(fast_exp(S(100)), inf<S>);
    EXPECT_TRUE(std::isnan(fast_exp(nan<S>)));
    for (S x : {S(-1e15), log_zero<S>, static_cast<S>(-87.34), S(-1000), -inf<S>}) {
        EXPECT_EQ(fast_exp(x), S(kPow2Floor)) << x;
    }
}

TYPED_TEST(Numerics, FastExpStaysWithin1e4OfTheTrueExponential) {
    using S = TypeParam;
    for (double x = -80.0; x <= 80.0; x += 0.0093) {
        const float rounded = static_cast<float>(x);
        const double exact = std::exp(static_cast<double>(rounded));
        ASSERT_NEAR(fast_exp(static_cast<S>(x)), exact, 1e-4 * exact) << x;
    }
    // Never exactly 0 for a finite argument.
    for (double x = -90.0; x < 0.0; x += 0.5) EXPECT_GT(fast_exp(static_cast<S>(x)), S(0));
}

// fast_exp is written without branches; it must give the bits of the plain definition
// (NaN passes through, +inf from p >= 128, else fast_pow2) for every float.
TEST(NumericsFast, FastExpMatchesItsBranchingDefinitionOnEveryFloat) {
    const auto reference = [](float x) {
        if (std::isnan(x)) return x;
        const float p = x * 1.4426950216293335f;
        if (p >= 128.0f) return std::numeric_limits<float>::infinity();
        return fast_pow2(p);
    };
    std::uint64_t mismatches = 0;
    const auto check = [&](float x) {
        mismatches +=
            std::bit_cast<std::uint32_t>(fast_exp(x)) != std::bit_cast<std::uint32_t>(reference(x));
    };
    // Every float at a stride, then every float around the edges of the clamps and of the
    // integer part (p = -126, 0, ±1, 127, 128) and of the NaN and infinity patterns.
    for (std::uint64_t word = 0; word <= 0xffffffffu; word += 61) {
        check(std::bit_cast<float>(static_cast<std::uint32_t>(word)));
    }
    for (float x : {-87.33654f, -0.6931472f, 0.0f, 0.6931472f, 88.02969f, 88.72284f,
                    std::numeric_limits<float>::infinity()}) {
        for (float sign : {1.0f, -1.0f}) {
            const auto centre = std::bit_cast<std::uint32_t>(sign * x);
            for (std::uint32_t step = 0; step < 200000; ++step) {
                check(std::bit_cast<float>(centre + step));
                check(std::bit_cast<float>(centre - step));
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(NumericsFast, Pow2ClampsBelowMinus126) {
    for (float p : {-126.0f, -126.5f, -200.0f, -1e30f, -std::numeric_limits<float>::infinity()}) {
        EXPECT_EQ(fast_pow2(p), static_cast<float>(kPow2Floor)) << p;
    }
    EXPECT_GT(fast_pow2(-125.9f), static_cast<float>(kPow2Floor));
}

TEST(NumericsFast, LnStatedValues) {
    EXPECT_EQ(static_cast<double>(fast_ln(1.0f)), -1.6525916635146132e-06);
    EXPECT_EQ(static_cast<double>(fast_ln(2.0f)), 0.6931455135345459);
    EXPECT_NEAR(fast_ln(0.0f), -88.02969, 1e-5);
    EXPECT_NEAR(fast_ln(std::numeric_limits<float>::infinity()), 88.72284, 1e-5);
    // The fast exponential's floor maps back to about -87.34, far above log zero.
    EXPECT_NEAR(fast_ln(static_cast<float>(kPow2Floor)), -87.34, 0.01);
}

TEST(NumericsFast, LnStaysWithin2e4OfTheTrueLogarithm) {
    for (double x = 1e-30; x < 1e30; x *= 1.0137) {
        const float s = static_cast<float>(x);
        ASSERT_NEAR(fast_ln(s), std::log(static_cast<double>(s)), 2e-4) << x;
    }
}

// ---- replacing entries -------------------------------------------------------------------

template <class S>
class NumericsReplacement : public ::testing::Test {
  protected:
    // Replaces an entry and remembers its first value so TearDown can put it back.
    S replace(CoefficientTable table, std::size_t index, S value) {
        const S previous = replace_entry<S>(table, index, value).value();
        saved_.emplace_back(table, index, previous);
        return previous;
    }
    void TearDown() override {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            const auto& [table, index, value] = *it;
            replace_entry<S>(table, index, value);
        }
    }

  private:
    std::vector<std::tuple<CoefficientTable, std::size_t, S>> saved_;
};
TYPED_TEST_SUITE(NumericsReplacement, Scalars);

TYPED_TEST(NumericsReplacement, ReplacedLogAddEntryIsUsedUntilRestored) {
    using S = TypeParam;
    const S before = log_add(S(1), S(1));
    const S previous = this->replace(kLogAdd, 0, S(5));
    EXPECT_EQ(previous, static_cast<S>(0.69314718));
    EXPECT_EQ(entry<S>(kLogAdd, 0), S(5));
    EXPECT_EQ(log_add(S(1), S(1)), S(6));
    EXPECT_EQ(replace_entry<S>(kLogAdd, 0, previous), S(5));
    EXPECT_EQ(log_add(S(1), S(1)), before);
}

TYPED_TEST(NumericsReplacement, ReplacedExponentialEntryReachesOnlyNegativeArguments) {
    using S = TypeParam;
    this->replace(kExponential, 0, S(0.5));
    EXPECT_EQ(exponential(static_cast<S>(-0.001)), S(0.5));
    EXPECT_EQ(negative_exponential(static_cast<S>(-0.001)), S(0.5));
    EXPECT_EQ(exponential(S(-0.0)), S(1));
    EXPECT_EQ(negative_exponential(S(0)), S(1));
}

TYPED_TEST(NumericsReplacement, AnyValueIsStoredBitForBit) {
    using S = TypeParam;
    using Bits = std::conditional_t<std::is_same_v<S, float>, std::uint32_t, std::uint64_t>;
    const S payload_nan = std::bit_cast<S>(std::bit_cast<Bits>(nan<S>) | Bits{0x15});
    for (S value : {payload_nan, -inf<S>, S(-0.0), std::numeric_limits<S>::denorm_min()}) {
        this->replace(kLogAdd, 3, value);
        EXPECT_EQ(bits_of(entry<S>(kLogAdd, 3)), bits_of(value));
    }
    this->replace(kLogAdd, 0, nan<S>);
    EXPECT_TRUE(std::isnan(log_add(S(2), S(2))));
    this->replace(kLogAdd, 0, inf<S>);
    EXPECT_EQ(log_add(S(2), S(2)), inf<S>);
}

TYPED_TEST(NumericsReplacement, EachPrecisionHasItsOwnTables) {
    using S = TypeParam;
    using Other = std::conditional_t<std::is_same_v<S, float>, double, float>;
    const Other other_before = log_add(Other(1), Other(1));
    this->replace(kLogAdd, 0, S(5));
    EXPECT_EQ(entry<Other>(kLogAdd, 0), static_cast<Other>(0.69314718));
    EXPECT_EQ(log_add(Other(1), Other(1)), other_before);
}

// ---- saturating_cast and NaN-ignoring max/min ------------------------------------------

TYPED_TEST(Numerics, SaturatingCastOfNaNIsZero) {
    using S = TypeParam;
    for (S x : {nan<S>, -nan<S>}) {
        EXPECT_EQ(saturating_cast<std::int8_t>(x), 0);
        EXPECT_EQ(saturating_cast<std::int32_t>(x), 0);
        EXPECT_EQ(saturating_cast<std::uint32_t>(x), 0U);
        EXPECT_EQ(saturating_cast<std::int64_t>(x), 0);
        EXPECT_EQ(saturating_cast<std::uint64_t>(x), 0U);
    }
}

TYPED_TEST(Numerics, SaturatingCastClampsToTheTargetRange) {
    using S = TypeParam;
    constexpr auto i32 = std::numeric_limits<std::int32_t>();
    constexpr auto i64 = std::numeric_limits<std::int64_t>();
    for (S big : {inf<S>, S(1e30), S(4294967296.0)}) {
        EXPECT_EQ(saturating_cast<std::int32_t>(big), i32.max());
        EXPECT_EQ(saturating_cast<std::int32_t>(-big), i32.min());
        EXPECT_EQ(saturating_cast<std::uint32_t>(big), UINT32_MAX);
        EXPECT_EQ(saturating_cast<std::uint32_t>(-big), 0U);
    }
    EXPECT_EQ(saturating_cast<std::int32_t>(S(2147483648.0)), i32.max());
    EXPECT_EQ(saturating_cast<std::int32_t>(S(-2147483648.0)), i32.min());
    EXPECT_EQ(saturating_cast<std::int64_t>(S(9223372036854775808.0)), i64.max());
    EXPECT_EQ(saturating_cast<std::int64_t>(-S(9223372036854775808.0)), i64.min());
    EXPECT_EQ(saturating_cast<std::int64_t>(-inf<S>), i64.min());
    EXPECT_EQ(saturating_cast<std::uint64_t>(inf<S>), UINT64_MAX);
    EXPECT_EQ(saturating_cast<std::uint8_t>(S(256)), 255);
    EXPECT_EQ(saturating_cast<std::int8_t>(S(-129)), -128);
}

TYPED_TEST(Numerics, SaturatingCastTruncatesTowardZero) {
    using S = TypeParam;
    EXPECT_EQ(saturating_cast<std::int32_t>(S(2.9)), 2);
    EXPECT_EQ(saturating_cast<std::int32_t>(S(-2.9)), -2);
    EXPECT_EQ(saturating_cast<std::int32_t>(S(-0.5)), 0);
    EXPECT_EQ(saturating_cast<std::uint32_t>(S(-0.99)), 0U);
    EXPECT_EQ(saturating_cast<std::uint8_t>(S(255.9)), 255);
    EXPECT_EQ(saturating_cast<std::int8_t>(S(-128.9)), -128);
    // The largest values below the limits that the type can hold convert exactly.
    EXPECT_EQ(saturating_cast<std::int32_t>(S(2147483520.0)), 2147483520);
    EXPECT_EQ(saturating_cast<std::uint32_t>(S(4294967040.0)), 4294967040U);
    EXPECT_EQ(saturating_cast<std::int64_t>(S(9223371487098961920.0)), 9223371487098961920LL);
}

TEST(NumericsScalarOps, SaturatingCastOfDoublesNearTheLimits) {
    EXPECT_EQ(saturating_cast<std::int32_t>(2147483647.5), 2147483647);
    EXPECT_EQ(saturating_cast<std::int32_t>(-2147483648.5), -2147483647 - 1);
    EXPECT_EQ(saturating_cast<std::uint32_t>(4294967295.9), UINT32_MAX);
    EXPECT_EQ(saturating_cast<std::int64_t>(9223372036854774784.0), 9223372036854774784LL);
    EXPECT_EQ(saturating_cast<std::uint64_t>(18446744073709549568.0), 18446744073709549568ULL);
}

TYPED_TEST(Numerics, MaxAndMinIgnoreNaN) {
    using S = TypeParam;
    for (S x : {S(1), S(-2), inf<S>, -inf<S>}) {
        EXPECT_EQ(max_ignoring_nan(nan<S>, x), x);
        EXPECT_EQ(max_ignoring_nan(x, nan<S>), x);
        EXPECT_EQ(min_ignoring_nan(nan<S>, x), x);
        EXPECT_EQ(min_ignoring_nan(x, nan<S>), x);
    }
    EXPECT_TRUE(std::isnan(max_ignoring_nan(nan<S>, nan<S>)));
    EXPECT_TRUE(std::isnan(min_ignoring_nan(nan<S>, nan<S>)));
    EXPECT_EQ(max_ignoring_nan(S(2), S(3)), S(3));
    EXPECT_EQ(max_ignoring_nan(S(3), S(2)), S(3));
    EXPECT_EQ(min_ignoring_nan(S(2), S(3)), S(2));
    EXPECT_EQ(min_ignoring_nan(S(3), S(2)), S(2));
    // Signed zeros: +0 is the larger whatever the order.
    EXPECT_FALSE(std::signbit(max_ignoring_nan(S(-0.0), S(0))));
    EXPECT_FALSE(std::signbit(max_ignoring_nan(S(0), S(-0.0))));
    EXPECT_TRUE(std::signbit(min_ignoring_nan(S(-0.0), S(0))));
    EXPECT_TRUE(std::signbit(min_ignoring_nan(S(0), S(-0.0))));
}

}  // namespace
}  // namespace tarvek
