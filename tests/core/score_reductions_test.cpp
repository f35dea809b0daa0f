#include "core/score_reductions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;

template <class S>
class ScoreReductions : public ::testing::Test {};
TYPED_TEST_SUITE(ScoreReductions, testing::Scalars);

template <class S>
StateScoreTable<S> table(std::uint64_t frames, std::uint64_t states, std::vector<S> values) {
    return {std::move(values), frames, states};
}

template <class S>
constexpr S nan = std::numeric_limits<S>::quiet_NaN();

TYPED_TEST(ScoreReductions, TotalReadsOnlyTheLastRowInStateOrder) {
    using S = TypeParam;
    EXPECT_EQ(total_log_probability(table<S>(1, 1, {S(-3)})), S(-3));
    const auto forward = table<S>(2, 3, {nan<S>, nan<S>, nan<S>, S(-2), S(-1.5), S(-40)});
    const S expected = log_add(log_add(log_add(log_zero<S>, S(-2)), S(-1.5)), S(-40));
    EXPECT_EQ(total_log_probability(forward), expected);
    EXPECT_EQ(total_log_probability(StateScoreTable<S>{}), log_zero<S>);
}

TYPED_TEST(ScoreReductions, ThroughStateSumsEachFrameBeforeTheLogAdd) {
    using S = TypeParam;
    EXPECT_EQ(
        total_through_state(table<S>(1, 2, {S(-1), S(-2)}), table<S>(1, 2, {S(-3), S(-4)}), 1),
        S(-6));
    const auto forward = table<S>(3, 2, {S(0.1), S(-7), S(-0.7), S(-3), S(-1.3), S(-2.5)});
    const auto backward = table<S>(3, 2, {S(-2.2), S(nan<S>), S(-1.1), S(-9), S(0.3), S(-1)});
    S expected = log_zero<S>;
    for (int t = 0; t < 3; ++t) {
        const S through = forward.values[2 * t] + backward.values[2 * t];
        expected = log_add(expected, through);
    }
    EXPECT_EQ(total_through_state(forward, backward, 0), expected);
}

TYPED_TEST(ScoreReductions, ThroughStateRefusesShapesAndStates) {
    using S = TypeParam;
    const char* refused = "forward/backward dimensions or state index do not match";
    const auto forward = table<S>(2, 2, std::vector<S>(4, S(-1)));
    EXPECT_EQ(error_of([&] { total_through_state(forward, forward, 2); }), refused);
    EXPECT_EQ(error_of([&] { total_through_state(forward, table<S>(1, 2, {S(0), S(0)}), 0); }),
              refused);
    EXPECT_EQ(error_of([&] { total_through_state(forward, table<S>(2, 1, {S(0), S(0)}), 0); }),
              refused);
    EXPECT_EQ(error_of([&] { total_through_state(forward, forward, 1); }), "no error");
}

TYPED_TEST(ScoreReductions, BackwardTotalReadsTheFirstCellsOnly) {
    using S = TypeParam;
    const auto backward = table<S>(2, 2, {S(-1.25), nan<S>, nan<S>, nan<S>});
    const auto emissions = table<S>(2, 2, {S(-0.5), nan<S>, nan<S>, nan<S>});
    EXPECT_EQ(backward_log_probability(backward, emissions), S(-1.75));
    const char* refused = "backward and emission dimensions do not match";
    EXPECT_EQ(error_of([&] { backward_log_probability(backward, table<S>(1, 4, {0, 0, 0, 0})); }),
              refused);
    EXPECT_EQ(error_of([&] { backward_log_probability(backward, table<S>(4, 1, {0, 0, 0, 0})); }),
              refused);
    EXPECT_EQ(
        error_of([&] { backward_log_probability(StateScoreTable<S>{}, StateScoreTable<S>{}); }),
        refused);
}

}  // namespace
}  // namespace tarvek
