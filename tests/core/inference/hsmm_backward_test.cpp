#include <gtest/gtest.h>

#include "core/inference/hsmm.hpp"
#include "inference/hsmm_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::duration_model;
using testing::hsmm_chain;

template <class S>
class HsmmBackward : public ::testing::Test {};
TYPED_TEST_SUITE(HsmmBackward, testing::Scalars);

template <Scalar S>
StateScoreTable<S> emissions(std::uint64_t frames, std::uint64_t states) {
    return testing::table_of<S>(frames, states,
                                [](auto t, auto s) { return -0.4 * ((2 * t + 3 * s) % 5) - 0.75; });
}

TYPED_TEST(HsmmBackward, SinglePositionIsCensored) {
    using S = TypeParam;
    const auto e = emissions<S>(5, 1);
    const auto tables = backward_hsmm_with(duration_model<S>({{2, 1}}), hsmm_chain<S>({5}), e, {});
    for (std::uint64_t t = 0; t < 5; ++t) {
        S after = 0;  // added in ascending order
        for (std::uint64_t u = t + 1; u < 5; ++u) after = after + e(u, 0);
        EXPECT_EQ(bits(tables.begin(t, 0)), bits(after)) << t;
        EXPECT_EQ(tables.end(t, 0), t == 4 ? S(0) : log_zero<S>) << t;
    }
    EXPECT_TRUE(tables.predecessors.empty() && tables.starts.empty());
}

// Radius 0 and boundaries [3, 5]: position 1 covers frames 4 and 3, position 0 frames 2 to 0.
TYPED_TEST(HsmmBackward, BoundaryFrameBelongsToTheNextSegment) {
    using S = TypeParam;
    auto chain = hsmm_chain<S>({3, 5});
    chain.outgoing[0].back().probability = S(0.4);
    const auto e = emissions<S>(5, 2);
    const auto tables =
        backward_hsmm_with(duration_model<S>({{2, 1}, {2, 1}}), chain, e, {S(0.75), S(1), S(0)});
    for (std::uint64_t t = 0; t < 5; ++t) {
        EXPECT_EQ(tables.begin(t, 0) != log_zero<S>, t <= 2) << t;
        EXPECT_EQ(tables.begin(t, 1) != log_zero<S>, t > 2) << t;
        EXPECT_TRUE(t <= 2 || tables.end(t, 0) == log_zero<S>) << t;
    }
    EXPECT_EQ(tables.end(4, 1), S(0));
    EXPECT_EQ(tables.end(3, 1), log_zero<S>);  // the last position only ends at the last frame
    // The jump out of position 0's last frame, in the order each precision adds it.
    const double log_weight = 0.75 * std::log(double(S(0.4)));
    const S term = std::is_same_v<S, double> ? S((log_weight + e(3, 1)) + tables.begin(3, 1))
                                             : S(double(e(3, 1) + tables.begin(3, 1)) + log_weight);
    EXPECT_EQ(bits(tables.end(2, 0)), bits(log_add(log_zero<S>, term)));
}

TYPED_TEST(HsmmBackward, ZeroWeightAndOutOfChainJumpsCountNothing) {
    using S = TypeParam;
    const auto model = duration_model<S>({{2, 1}, {3, 2}, {2, 2}});
    const auto plain = hsmm_chain<S>({2, 5, 8});
    auto extra = plain;
    add_jump(extra, 0, 5, S(0.3));   // beyond the chain
    add_jump(extra, 1, -4, S(0.6));  // before the chain
    add_jump(extra, 0, 2, S(0));
    const auto e = emissions<S>(8, 3);
    EXPECT_TRUE(testing::same_bits(backward_hsmm_with(model, plain, e, {}),
                                   backward_hsmm_with(model, extra, e, {})));
}

// end[T − 1][s] is 0 for every position of the final window, not only the last.
TYPED_TEST(HsmmBackward, LastFrameEndsEveryPositionOfTheFinalWindow) {
    using S = TypeParam;
    auto model = duration_model<S>({{2, 1}, {2, 1}, {2, 1}});
    {
        const auto edit = model.edit();
        edit.durations()[0].maximum_duration = 1;  // a row of one entry: no duration
    }
    const auto tables = backward_hsmm_with(model, hsmm_chain<S>({2, 4, 6}), emissions<S>(6, 3), {});
    for (std::uint64_t s = 0; s < 3; ++s) EXPECT_EQ(tables.end(5, s), S(0)) << s;
    for (std::uint64_t t = 0; t < 6; ++t) EXPECT_EQ(tables.begin(t, 0), log_zero<S>) << t;
}

}  // namespace
}  // namespace tarvek
