#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/hsmm.hpp"
#include "hsmm_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::duration_model;
using testing::hsmm_chain;
using testing::table_of;

template <class S>
class HsmmBackward : public ::testing::Test {};
TYPED_TEST_SUITE(HsmmBackward, testing::Scalars);

double emission_value(std::uint64_t t, std::uint64_t s) {
    return -0.4 * static_cast<double>((2 * t + 3 * s) % 5) - 0.75;
}

TYPED_TEST(HsmmBackward, SinglePositionIsCensored) {
    using S = TypeParam;
    const auto model = duration_model<S>({{2, 1}});
    const auto chain = hsmm_chain<S>({5});
    const auto emissions = table_of<S>(5, 1, emission_value);
    const auto tables = backward_hsmm_with(model, chain, emissions, HsmmOptions<S>{});
    for (std::uint64_t t = 0; t < 5; ++t) {
        S after = 0;
        for (std::uint64_t u = t + 1; u < 5; ++u) after = after + emissions(u, 0);
        EXPECT_EQ(bits(tables.begin(t, 0)), bits(after)) << t;
        EXPECT_EQ(tables.end(t, 0), t == 4 ? S(0) : log_zero<S>) << t;
    }
    EXPECT_TRUE(tables.predecessors.empty());
    EXPECT_TRUE(tables.starts.empty());
}

// Radius 0 and boundaries [3, 5]: position 1 covers frames 4 and 3, position 0 frames 2 to 0;
// the boundary frame 3 belongs to position 1 only.
TYPED_TEST(HsmmBackward, WindowsLeaveTheBoundaryFrameToTheNextSegment) {
    using S = TypeParam;
    const auto model = duration_model<S>({{2, 1}, {2, 1}});
    auto chain = hsmm_chain<S>({3, 5});
    chain.outgoing[0].back().probability = S(0.4);
    const auto emissions = table_of<S>(5, 2, emission_value);
    HsmmOptions<S> options;
    options.state_radius = 0;
    options.temperature = S(0.75);
    const auto tables = backward_hsmm_with(model, chain, emissions, options);
    for (std::uint64_t t = 0; t < 5; ++t) {
        const bool first = t <= 2;
        EXPECT_EQ(tables.begin(t, 0) != log_zero<S>, first) << t;
        EXPECT_EQ(tables.begin(t, 1) != log_zero<S>, !first) << t;
        if (!first) {
            EXPECT_EQ(tables.end(t, 0), log_zero<S>) << t;
        }
    }
    EXPECT_EQ(tables.end(4, 1), S(0));
    EXPECT_EQ(tables.end(3, 1), log_zero<S>);  // the last position only ends at the last frame

    // The jump out of position 0's last frame, in the order each precision adds it.
    const double log_weight = 0.75 * std::log(static_cast<double>(S(0.4)));
    S term;
    if constexpr (std::is_same_v<S, double>) {
        term = (log_weight + emissions(3, 1)) + tables.begin(3, 1);
    } else {
        term =
            static_cast<S>(static_cast<double>(emissions(3, 1) + tables.begin(3, 1)) + log_weight);
    }
    EXPECT_EQ(bits(tables.end(2, 0)), bits(log_add(log_zero<S>, term)));
}

TYPED_TEST(HsmmBackward, ZeroWeightAndOutOfChainJumpsCountNothing) {
    using S = TypeParam;
    const auto model = duration_model<S>({{2, 1}, {3, 2}, {2, 2}});
    const auto plain = hsmm_chain<S>({2, 5, 8});
    auto extra = plain;
    add_jump(extra, 0, 5, S(0.3));   // beyond the chain
    add_jump(extra, 1, -4, S(0.6));  // before the chain
    add_jump(extra, 0, 2, S(0));     // zero weight
    const auto emissions = table_of<S>(8, 3, emission_value);
    const HsmmOptions<S> options;
    const auto a = backward_hsmm_with(model, plain, emissions, options);
    const auto b = backward_hsmm_with(model, extra, emissions, options);
    for (std::size_t i = 0; i < a.begin.values.size(); ++i) {
        EXPECT_EQ(bits(a.begin.values[i]), bits(b.begin.values[i])) << i;
        EXPECT_EQ(bits(a.end.values[i]), bits(b.end.values[i])) << i;
    }
}

TYPED_TEST(HsmmBackward, LastFrameEndsEveryPositionOfTheFinalWindow) {
    using S = TypeParam;
    auto model = duration_model<S>({{2, 1}, {2, 1}, {2, 1}});
    model.durations[0].maximum_duration = 1;  // a row of one entry: no duration
    const auto chain = hsmm_chain<S>({2, 4, 6});
    const auto emissions = table_of<S>(6, 3, emission_value);
    const auto tables = backward_hsmm_with(model, chain, emissions, HsmmOptions<S>{});
    for (std::uint64_t s = 0; s < 3; ++s) EXPECT_EQ(tables.end(5, s), S(0)) << s;
    for (std::uint64_t t = 0; t < 6; ++t) EXPECT_EQ(tables.begin(t, 0), log_zero<S>) << t;
}

}  // namespace
}  // namespace tarvek
