#include "core/inference/score_reductions.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;

template <class S>
class ScoreReductions : public ::testing::Test {};
TYPED_TEST_SUITE(ScoreReductions, testing::Scalars);

template <class S>
StateScoreTable<S> table(std::uint64_t frames, std::uint64_t states, TableVector<S> values) {
    return {std::move(values), frames, states};
}

// NaN marks cells that must not be read.
TYPED_TEST(ScoreReductions, EachReadsOnlyItsCellsInOrder) {
    using S = TypeParam;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const auto forward = table<S>(2, 3, {nan, nan, nan, S(-2), S(-1.5), S(-40)});
    EXPECT_EQ(total_log_probability(forward),
              log_add(log_add(log_add(log_zero<S>, S(-2)), S(-1.5)), S(-40)));
    EXPECT_EQ(total_log_probability(table<S>(1, 1, {S(-3)})), S(-3));
    EXPECT_EQ(total_log_probability(StateScoreTable<S>{}), log_zero<S>);

    // Each frame's sum before the log-add.
    const auto alpha = table<S>(3, 2, {S(0.1), S(-7), S(-0.7), S(-3), S(-1.3), S(-2.5)});
    const auto beta = table<S>(3, 2, {S(-2.2), nan, S(-1.1), S(-9), S(0.3), S(-1)});
    S through = log_zero<S>;
    for (int t = 0; t < 3; ++t)
        through = log_add(through, alpha.values[2 * t] + beta.values[2 * t]);
    EXPECT_EQ(total_through_state(alpha, beta, 0), through);
    EXPECT_EQ(
        total_through_state(table<S>(1, 2, {S(-1), S(-2)}), table<S>(1, 2, {S(-3), S(-4)}), 1),
        S(-6));

    const auto backward = table<S>(2, 2, {S(-1.25), nan, nan, nan});
    EXPECT_EQ(backward_log_probability(backward, table<S>(2, 2, {S(-0.5), nan, nan, nan})),
              S(-1.75));
}

TYPED_TEST(ScoreReductions, ShapesAndStatesAreRefused) {
    using S = TypeParam;
    const char* through = "forward/backward dimensions or state index do not match";
    const char* backward = "backward and emission dimensions do not match";
    const auto square = table<S>(2, 2, TableVector<S>(4, S(-1)));
    const auto tall = table<S>(4, 1, TableVector<S>(4, S(0)));
    const auto wide = table<S>(1, 4, TableVector<S>(4, S(0)));
    EXPECT_EQ(error_of([&] { total_through_state(square, square, 1); }), "no error");
    EXPECT_EQ(error_of([&] { total_through_state(square, square, 2); }), through);
    EXPECT_EQ(error_of([&] { total_through_state(square, table<S>(1, 2, {0, 0}), 0); }), through);
    EXPECT_EQ(error_of([&] { total_through_state(square, table<S>(2, 1, {0, 0}), 0); }), through);
    EXPECT_EQ(error_of([&] { backward_log_probability(square, wide); }), backward);
    EXPECT_EQ(error_of([&] { backward_log_probability(square, tall); }), backward);
    EXPECT_EQ(
        error_of([&] { backward_log_probability(StateScoreTable<S>{}, StateScoreTable<S>{}); }),
        backward);
}

}  // namespace
}  // namespace tarvek
