#include "core/inference/emission_density.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;

template <class S>
class EmissionDensity : public ::testing::Test {};
TYPED_TEST_SUITE(EmissionDensity, testing::Scalars);

TYPED_TEST(EmissionDensity, StatedCells) {
    using S = TypeParam;
    StateScoreTable<S> table{{S(0), S(-1), log_zero<S>, S(-3)}, 2, 2};
    to_emission_densities(table);
    EXPECT_EQ(std::vector<double>(table.values.begin(), table.values.end()),
              (std::vector<double>{1.0, 0.36787986755371094, 1.1755177525066417e-38,
                                   0.04978609085083008}));
}

// Every length exercises the vector body and its tail; every cell must equal fast_exp bit for
// bit, special values included.
TYPED_TEST(EmissionDensity, EveryCellIsTheFastExponential) {
    using S = TypeParam;
    constexpr S inf = std::numeric_limits<S>::infinity();
    const std::vector<S> pool{S(0),
                              S(-0.0),
                              S(1),
                              S(-1),
                              S(88.7),
                              S(89),
                              S(100),
                              S(-87.3),
                              S(-87.4),
                              log_zero<S>,
                              inf,
                              -inf,
                              std::numeric_limits<S>::quiet_NaN(),
                              S(0.25),
                              S(-13.9),
                              S(42.5)};
    for (std::size_t length = 1; length <= 3 * pool.size(); ++length) {
        StateScoreTable<S> table{{}, 1, length};
        for (std::size_t i = 0; i < length; ++i)
            table.values.push_back(pool[(i * 7) % pool.size()]);
        const TableVector<S> logs = table.values;
        to_emission_densities(table);
        for (std::size_t i = 0; i < length; ++i) {
            ASSERT_EQ(bits(table.values[i]), bits(fast_exp(logs[i]))) << length << " " << i;
        }
    }
}

TEST(EmissionDensityPrecisions, WideValuesRoundTo32BitsFirst) {
    StateScoreTable<double> table{{1e300, -1e300, 1.0}, 1, 3};
    to_emission_densities(table);
    EXPECT_EQ(table.values, (std::vector<double>{std::numeric_limits<double>::infinity(),
                                                 1.1755177525066417e-38, 2.718292236328125}));
}

}  // namespace
}  // namespace tarvek
