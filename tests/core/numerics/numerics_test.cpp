// Coefficient tables, log-add, the exponentials, the fast logarithm and the scalar helpers.
// Every initial entry is checked against exact decimal arithmetic by the Python tests.
// One test replaces table entries and restores them in TearDown; this file runs as its own
// process, so no other numeric test sees a replaced entry.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/numerics/numerics.hpp"
#include "core/numerics/scalar_ops.hpp"
#include "core/numerics/value_checks.hpp"
#include "test_support.hpp"

namespace tarvek {
namespace {

using namespace testing;
using numerics::read_entry;
using numerics::replace_entry;
using numerics::table_length;
constexpr auto kLogAdd = numerics::CoefficientTable::log_add;
constexpr auto kExp = numerics::CoefficientTable::exponential;

template <class S>
S entry(numerics::CoefficientTable table, std::size_t index) {
    return read_entry<S>(table, index).value();
}

// Hides a value from the optimiser so the operation runs on it at run time.
template <class S>
S opaque(S value) {
    volatile S hidden = value;
    return hidden;
}

template <class S>
class Numerics : public ::testing::Test {};
TYPED_TEST_SUITE(Numerics, Scalars);

TYPED_TEST(Numerics, TableEndsAndBoundsChecks) {
    using S = TypeParam;
    EXPECT_EQ(entry<S>(kLogAdd, 0), static_cast<S>(0.69314718));
    EXPECT_EQ(entry<S>(kLogAdd, 1), static_cast<S>(0.69264731));
    EXPECT_EQ(entry<S>(kLogAdd, 6999), static_cast<S>(0.00091237796));
    EXPECT_EQ(entry<S>(kExp, 0), S(1));
    EXPECT_EQ(entry<S>(kExp, 1), static_cast<S>(0.998002));
    EXPECT_EQ(entry<S>(kExp, 6999), static_cast<S>(8.3319344e-07));
    for (auto table : {kLogAdd, kExp}) {
        const S last = entry<S>(table, table_length - 1);
        for (std::size_t index : {table_length, SIZE_MAX}) {
            EXPECT_FALSE(read_entry<S>(table, index).has_value());
            EXPECT_FALSE(replace_entry<S>(table, index, S(5)).has_value());
        }
        EXPECT_EQ(entry<S>(table, table_length - 1), last);
    }
    EXPECT_EQ(bits_of(log_zero<float>), 0xd8635fa9U);
    EXPECT_EQ(log_zero<double>, -1e15);
}

TYPED_TEST(Numerics, LogAdd) {
    using S = TypeParam;
    EXPECT_EQ(log_add(S(0), S(0)), static_cast<S>(0.69314718));
    EXPECT_EQ(log_add(S(0), static_cast<S>(-6.92)), S(0));
    const S values[] = {S(0),  S(-0.0), S(1.5),      S(-3.25), S(-6.9),
                        S(-7), S(40),   log_zero<S>, inf<S>,   -inf<S>};
    for (S a : values) {
        for (S b : values) {
            const S ab = log_add(a, b), ba = log_add(b, a);
            EXPECT_TRUE(ab == ba || (std::isnan(ab) && std::isnan(ba))) << a << " " << b;
        }
        EXPECT_TRUE(!std::isfinite(a) || a == log_zero<S> || log_add(a, log_zero<S>) == a) << a;
    }
    const S pos = opaque(inf<S>), neg = opaque(-inf<S>);
    EXPECT_EQ(log_add(pos, pos), inf<S>);
    EXPECT_EQ(log_add(neg, neg), -inf<S>);
    EXPECT_EQ(log_add(neg, opaque(S(3))), S(3));
    EXPECT_EQ(log_add(pos, neg), inf<S>);
    EXPECT_TRUE(std::isnan(log_add(opaque(nan<S>), opaque(S(0)))));
    // Within a table step (0.001 at slope <= 1/2) of the exact sum.
    for (double hi = -20.0; hi <= 20.0; hi += 2.5) {
        for (double gap = 0.0; gap <= 12.0; gap += 0.0137) {
            const S lo = static_cast<S>(hi - gap);
            const double exact = hi + std::log1p(std::exp(static_cast<double>(lo) - hi));
            ASSERT_NEAR(log_add(static_cast<S>(hi), lo), exact, 1e-3) << hi << " " << gap;
        }
    }
}

TEST(NumericsPrecisions, CutOffsSplitBetweenThePrecisions) {
    // The 32-bit 6.91 widens to 6.909999847..., so its index is one lower.
    ASSERT_NE(entry<double>(kLogAdd, 6910), entry<double>(kLogAdd, 6909));
    ASSERT_NE(entry<float>(kLogAdd, 6910), entry<float>(kLogAdd, 6909));
    EXPECT_EQ(log_add(0.0, -6.91), entry<double>(kLogAdd, 6910));
    EXPECT_EQ(log_add(0.0f, -6.91f), entry<float>(kLogAdd, 6909));
    // The 32-bit index comes from the widened difference, not from a 32-bit division.
    EXPECT_EQ(log_add(0.0f, opaque(-0.023f)), entry<float>(kLogAdd, 23));
    EXPECT_EQ(log_add(0.0f, opaque(-0.033f)), entry<float>(kLogAdd, 32));
    EXPECT_EQ(log_add(log_zero<float>, log_zero<float>), log_zero<float>);
    EXPECT_EQ(log_add(log_zero<double>, log_zero<double>), -999999999999999.25);
    ASSERT_NE(entry<double>(kExp, 6950), entry<double>(kExp, 6949));
    EXPECT_EQ(negative_exponential(-13.9), entry<double>(kExp, 6950));
    EXPECT_EQ(negative_exponential(-13.9f), entry<float>(kExp, 6949));
    // A huge double becomes a float infinity first.
    EXPECT_EQ(exponential(1e300), inf<double>);
    EXPECT_EQ(fast_exp(1e300), inf<double>);
}

TYPED_TEST(Numerics, Exponentials) {
    using S = TypeParam;
    for (S x : {S(0), S(-0.0), S(5), inf<S>}) EXPECT_EQ(negative_exponential(x), S(1)) << x;
    for (S x : {S(-14), S(-1e6), log_zero<S>, -inf<S>}) {
        EXPECT_EQ(negative_exponential(x), S(0)) << x;
        EXPECT_EQ(exponential(x), S(0)) << x;
    }
    EXPECT_TRUE(std::isnan(negative_exponential(nan<S>)) && std::isnan(exponential(nan<S>)));
    EXPECT_TRUE(exponential(S(0)) == S(1) && exponential(S(-0.0)) == S(1));
    EXPECT_EQ(exponential(static_cast<S>(-0.001)), S(1));  // entry 0
    EXPECT_EQ(exponential(S(1)), S(2.718292236328125));
    EXPECT_EQ(exponential(S(10)), S(22026.5));
    EXPECT_TRUE(std::isfinite(exponential(static_cast<S>(88.72))));
    EXPECT_TRUE(exponential(S(89)) == inf<S> && exponential(inf<S>) == inf<S>);
    for (double x = -13.9; x < 0.0; x += 0.00731) {
        const S value = static_cast<S>(x);
        const double exact = std::exp(static_cast<double>(value));
        // A 0.002 step in the exponent, truncated toward zero, plus the 8-digit rounding.
        ASSERT_NEAR(exponential(value), exact, (std::expm1(0.002) + 1e-7) * exact) << x;
        ASSERT_EQ(exponential(value), negative_exponential(value)) << x;
    }
    EXPECT_TRUE(fast_exp(S(0)) == S(1) && fast_exp(S(1)) == S(2.718292236328125));
    EXPECT_EQ(fast_exp(S(-1)), S(0.36787986755371094));
    EXPECT_EQ(fast_exp(S(-3)), S(0.04978609085083008));
    EXPECT_EQ(fast_exp(S(100)), inf<S>);
    EXPECT_TRUE(std::isnan(fast_exp(nan<S>)));
    for (S x : {S(-1e15), static_cast<S>(-87.34), -inf<S>})
        EXPECT_EQ(fast_exp(x), S(fast_exp_floor));
    for (double x = -80.0; x <= 80.0; x += 0.0093) {
        const double exact = std::exp(static_cast<double>(static_cast<float>(x)));
        ASSERT_NEAR(fast_exp(static_cast<S>(x)), exact, 1e-4 * exact) << x;
    }
}

// The array form gives each value the bits of the one-value call, in blocks with and without
// arguments from 0 up.
TYPED_TEST(Numerics, ArrayExponentialsMatchOneValueCalls) {
    using S = TypeParam;
    const auto cutoff = static_cast<S>(numerics::exponential_cutoff);
    std::vector<S> x = {nan<S>,
                        -inf<S>,
                        inf<S>,
                        S(0),
                        S(-0.0),
                        cutoff,
                        std::nextafter(cutoff, S(0)),
                        std::nextafter(cutoff, -inf<S>),
                        S(-0.001),
                        S(-1e-30),
                        S(1e-30),
                        S(3),
                        S(89),
                        log_zero<S>,
                        S(-13.8999),
                        S(-7.25)};
    for (double value = -14.5; value < 0.0; value += 0.0173) x.push_back(static_cast<S>(value));
    x.resize(x.size() / 16 * 16);
    for (const bool capped : {false, true}) {
        std::vector<S> out(x.size());
        for (std::size_t first = 0; first < x.size(); first += 16) {
            numerics::exponentials<S, 16>(x.data() + first, capped, out.data() + first);
        }
        for (std::size_t i = 0; i < x.size(); ++i) {
            const S one = capped ? negative_exponential(x[i]) : exponential(x[i]);
            ASSERT_EQ(bits(out[i]), bits(one)) << x[i] << " capped " << capped;
        }
    }
}

// Each whole-array check against its test of one value, with the value among 37 valid ones at
// several places (the vector loops and their remainders).
TYPED_TEST(Numerics, ValueChecks) {
    using S = TypeParam;
    const S tiny = std::numeric_limits<S>::denorm_min();
    struct Row {
        S value;
        bool finite, nonnegative, positive;
    };
    const Row rows[] = {{S(1), true, true, true},
                        {S(0), true, true, false},
                        {S(-0.0), true, true, false},
                        {tiny, true, true, true},
                        {-tiny, true, false, false},
                        {S(-1), true, false, false},
                        {std::numeric_limits<S>::max(), true, true, true},
                        {inf<S>, false, false, false},
                        {-inf<S>, false, false, false},
                        {nan<S>, false, false, false},
                        {-nan<S>, false, false, false}};
    for (const Row& row : rows) {
        for (const std::size_t at : {0u, 5u, 18u, 36u}) {
            std::vector<S> values(37, S(2));
            values[at] = row.value;
            EXPECT_EQ(all_finite(values), row.finite) << row.value << " at " << at;
            EXPECT_EQ(all_finite_nonnegative(values), row.nonnegative) << row.value << " at " << at;
            EXPECT_EQ(all_finite_positive(values), row.positive) << row.value << " at " << at;
        }
    }
}

// fast_exp is branchless; it must give the bits of its plain definition for every float.
TEST(NumericsFast, FastExpMatchesItsBranchingDefinition) {
    const auto reference = [](float x) {
        const float p = x * 1.4426950216293335f;
        return std::isnan(x) ? x : p >= 128.0f ? inf<float> : fast_pow2(p);
    };
    std::uint64_t mismatches = 0;
    const auto check = [&](std::uint32_t word) {
        const float x = std::bit_cast<float>(word);
        mismatches += bits_of(fast_exp(x)) != bits_of(reference(x));
    };
    for (std::uint64_t word = 0; word <= 0xffffffffu; word += 61) check(word);
    // Every float around the clamps, the integer-part edges, NaN and infinity.
    for (float x : {-87.33654f, -0.6931472f, 0.0f, 0.6931472f, 88.02969f, 88.72284f, inf<float>}) {
        for (std::uint32_t centre : {bits_of(x), bits_of(-x)}) {
            for (std::uint32_t step = 0; step < 200000; ++step) {
                check(centre + step);
                check(centre - step);
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
    for (float p : {-126.0f, -126.5f, -1e30f, -inf<float>}) {
        EXPECT_EQ(fast_pow2(p), static_cast<float>(fast_exp_floor)) << p;
    }
    EXPECT_GT(fast_pow2(-125.9f), static_cast<float>(fast_exp_floor));
}

// The stepped form gives every value fast_exp's bits, at the same floats as above, from float
// arguments and from double ones (rounded to 32 bits as fast_exp rounds them).
TEST(NumericsFast, SteppedFastExpMatchesFastExp) {
    constexpr std::size_t n = 16;
    std::uint64_t mismatches = 0;
    std::vector<float> x;
    const auto run = [&] {
        numerics::SteppedFastExp<n> stepped;
        for (std::size_t step = 0; step < stepped.steps; ++step) stepped.step(step, x.data());
        for (std::size_t i = 0; i < n; ++i) {
            mismatches += bits_of(stepped.powers()[i]) != bits_of(fast_exp(x[i]));
        }
        std::vector<double> wide(x.begin(), x.end());
        wide[0] = std::nextafter(static_cast<double>(x[0]), 1e300);  // rounds to x[0] or past it
        wide[1] = 1e300;
        numerics::SteppedFastExp<n> from_double;
        for (std::size_t step = 0; step < from_double.steps; ++step) {
            from_double.step(step, wide.data());
        }
        for (std::size_t i = 0; i < n; ++i) {
            const auto power = static_cast<double>(from_double.powers()[i]);
            mismatches += bits_of(power) != bits_of(fast_exp(wide[i]));
        }
        x.clear();
    };
    const auto check = [&](std::uint32_t word) {
        x.push_back(std::bit_cast<float>(word));
        if (x.size() == n) run();
    };
    for (std::uint64_t word = 0; word <= 0xffffffffu; word += 997) check(word);
    for (float value :
         {-87.33654f, -0.6931472f, 0.0f, 0.6931472f, 88.02969f, 88.72284f, inf<float>}) {
        for (std::uint32_t centre : {bits_of(value), bits_of(-value)}) {
            for (std::uint32_t step = 0; step < 20000; ++step) {
                check(centre + step);
                check(centre - step);
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(NumericsFast, FastLn) {
    EXPECT_EQ(static_cast<double>(fast_ln(1.0f)), -1.6525916635146132e-06);
    EXPECT_EQ(static_cast<double>(fast_ln(2.0f)), 0.6931455135345459);
    EXPECT_NEAR(fast_ln(0.0f), -88.02969, 1e-5);
    EXPECT_NEAR(fast_ln(inf<float>), 88.72284, 1e-5);
}

// Restores the entries the replacement test touches, whatever happens.
template <class S>
class NumericsReplacement : public ::testing::Test {
  protected:
    const S log_add_0 = entry<S>(kLogAdd, 0), log_add_3 = entry<S>(kLogAdd, 3);
    const S exp_0 = entry<S>(kExp, 0);
    void TearDown() override {
        replace_entry<S>(kLogAdd, 0, log_add_0);
        replace_entry<S>(kLogAdd, 3, log_add_3);
        replace_entry<S>(kExp, 0, exp_0);
    }
};
TYPED_TEST_SUITE(NumericsReplacement, Scalars);

TYPED_TEST(NumericsReplacement, ReplacedEntriesAreUsedUntilRestored) {
    using S = TypeParam;
    using Other = std::conditional_t<std::is_same_v<S, float>, double, float>;
    const S before = log_add(S(1), S(1));
    EXPECT_EQ(replace_entry<S>(kLogAdd, 0, S(5)), static_cast<S>(0.69314718));
    EXPECT_EQ(log_add(S(1), S(1)), S(6));
    EXPECT_EQ(log_add(Other(1), Other(1)), Other(1) + static_cast<Other>(0.69314718));
    EXPECT_EQ(replace_entry<S>(kLogAdd, 0, this->log_add_0), S(5));
    EXPECT_EQ(log_add(S(1), S(1)), before);
    // The exponential entry reaches only negative arguments.
    replace_entry<S>(kExp, 0, S(0.5));
    EXPECT_EQ(exponential(static_cast<S>(-0.001)), S(0.5));
    EXPECT_EQ(negative_exponential(static_cast<S>(-0.001)), S(0.5));
    EXPECT_EQ(exponential(S(-0.0)), S(1));
    // Any value is stored bit for bit, NaN payloads included.
    using Bits = std::conditional_t<std::is_same_v<S, float>, std::uint32_t, std::uint64_t>;
    const S payload_nan = std::bit_cast<S>(std::bit_cast<Bits>(nan<S>) | Bits{0x15});
    for (S value : {payload_nan, -inf<S>, S(-0.0), std::numeric_limits<S>::denorm_min()}) {
        replace_entry<S>(kLogAdd, 3, value);
        EXPECT_EQ(bits_of(entry<S>(kLogAdd, 3)), bits_of(value));
    }
    replace_entry<S>(kLogAdd, 0, nan<S>);
    EXPECT_TRUE(std::isnan(log_add(S(2), S(2))));
}

TYPED_TEST(Numerics, SaturatingCastAndNaNIgnoringMaxMin) {
    using S = TypeParam;
    // NaN gives 0, values beyond the range clamp, the rest truncate toward zero; the largest
    // values below the limits that S holds convert exactly.
    const std::pair<S, std::int32_t> to_i32[] = {{nan<S>, 0},
                                                 {-nan<S>, 0},
                                                 {inf<S>, INT32_MAX},
                                                 {-inf<S>, INT32_MIN},
                                                 {S(2147483648.0), INT32_MAX},
                                                 {S(-2147483648.0), INT32_MIN},
                                                 {S(-2.9), -2},
                                                 {S(-0.99), 0},
                                                 {S(2147483520.0), 2147483520}};
    for (auto [value, expected] : to_i32) EXPECT_EQ(saturating_cast<std::int32_t>(value), expected);
    EXPECT_EQ(saturating_cast<std::uint32_t>(nan<S>), 0U);
    EXPECT_EQ(saturating_cast<std::uint32_t>(S(-1e30)), 0U);
    EXPECT_EQ(saturating_cast<std::uint32_t>(S(4294967296.0)), UINT32_MAX);
    EXPECT_EQ(saturating_cast<std::uint32_t>(S(4294967040.0)), 4294967040U);
    EXPECT_EQ(saturating_cast<std::int64_t>(S(9223372036854775808.0)), INT64_MAX);
    EXPECT_EQ(saturating_cast<std::uint64_t>(nan<S>), 0U);
    EXPECT_EQ(saturating_cast<std::uint8_t>(S(255.9)), 255);
    EXPECT_EQ(saturating_cast<std::int8_t>(S(-129)), -128);

    for (S x : {S(1), -inf<S>}) {
        EXPECT_EQ(max_ignoring_nan(nan<S>, x), x);
        EXPECT_EQ(min_ignoring_nan(x, nan<S>), x);
    }
    EXPECT_TRUE(std::isnan(max_ignoring_nan(nan<S>, nan<S>)));
    EXPECT_EQ(max_ignoring_nan(S(2), S(3)), S(3));
    EXPECT_EQ(min_ignoring_nan(S(2), S(3)), S(2));
    // -0 orders below +0 whatever the order of the operands.
    for (auto [a, b] : {std::pair{S(-0.0), S(0)}, std::pair{S(0), S(-0.0)}}) {
        EXPECT_FALSE(std::signbit(max_ignoring_nan(a, b)));
        EXPECT_TRUE(std::signbit(min_ignoring_nan(a, b)));
    }
}

}  // namespace
}  // namespace tarvek
