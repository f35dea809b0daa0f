#include <gtest/gtest.h>

#include "core/inference/hsmm.hpp"
#include "inference/hsmm_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::duration_model;
using testing::error_of;
using testing::hsmm_chain;
using testing::same_bits;
using testing::table_of;

template <class S>
class HsmmForward : public ::testing::Test {};
TYPED_TEST_SUITE(HsmmForward, testing::Scalars);

using Path = std::vector<HsmmOccurrence>;
constexpr const char* no_path = "no complete HSMM path survives the inference constraints";

template <Scalar S>
StateScoreTable<S> constant(std::uint64_t frames, std::uint64_t states, double value) {
    return table_of<S>(frames, states, [=](auto, auto) { return value; });
}

TYPED_TEST(HsmmForward, SingleFrameSinglePosition) {
    using S = TypeParam;
    const auto model = duration_model<S>({{1, 1}});
    const auto chain = hsmm_chain<S>({1});
    const auto emissions = constant<S>(1, 1, -2.25);
    const HsmmOptions<S> options;
    const S row1 = prepare_hsmm_durations_with(model, chain, 1, 1, options, true)[0][1];
    const auto forward = search_hsmm(model, chain, emissions, options, false);
    EXPECT_EQ(forward.begin.values[0], S(-2.25));
    EXPECT_EQ(bits(forward.end.values[0]), bits(log_add(log_zero<S>, row1 + S(-2.25))));
    EXPECT_TRUE(forward.predecessors.empty() && forward.starts.empty());
    const auto path = viterbi_hsmm_with(model, chain, emissions, options);
    EXPECT_EQ(path.occurrences, (Path{{0, 1}}));
    EXPECT_EQ(path.log_probability, row1 + S(-2.25));
}

// Radius 0: each segment's window holds its own position, and the boundary frame lies in both.
TYPED_TEST(HsmmForward, RadiusZeroWindows) {
    using S = TypeParam;
    const auto model = duration_model<S>({{2, 1}, {2, 1}});
    auto chain = hsmm_chain<S>({2, 4});
    chain.outgoing[0].back().probability = S(0.25);
    const auto emissions = table_of<S>(4, 2, [](auto t, auto s) { return -1.0 - 0.5 * t - s; });
    const HsmmOptions<S> options{S(0.5), S(1), S(0)};
    const auto forward = search_hsmm(model, chain, emissions, options, false);
    for (std::uint64_t t = 0; t < 4; ++t) {
        EXPECT_EQ(forward.end(t, 0) != log_zero<S>, t <= 2) << t;
        EXPECT_EQ(forward.end(t, 1) != log_zero<S>, t >= 2) << t;
    }
    EXPECT_EQ(forward.begin(2, 0), log_zero<S>);  // only frame 0 begins position 0
    const S jump = S(double(forward.end(1, 0)) + 0.5 * std::log(double(S(0.25))));
    EXPECT_EQ(bits(forward.begin(2, 1)), bits(log_add(log_zero<S>, jump) + emissions(2, 1)));
}

TYPED_TEST(HsmmForward, ZeroWeightEntryIsSkipped) {
    using S = TypeParam;
    const auto model = duration_model<S>({{2, 1}, {2, 1}});
    auto chain = hsmm_chain<S>({3, 6});
    chain.outgoing[0].back().probability = S(0);
    const auto emissions = constant<S>(6, 2, -1);
    const HsmmOptions<S> options;
    const auto forward = search_hsmm(model, chain, emissions, options, false);
    const auto best = search_hsmm(model, chain, emissions, options, true);
    for (std::uint64_t t = 1; t < 6; ++t) {
        EXPECT_LE(forward.begin(t, 1), log_zero<S>) << t;
        EXPECT_LE(best.end(t, 1), log_zero<S>) << t;
        EXPECT_EQ(best.starts[t * 2 + 1], -1) << t;
    }
    EXPECT_EQ(error_of([&] { viterbi_hsmm_with(model, chain, emissions, options); }), no_path);
}

// With every score 0 all candidates tie: the earlier incoming entry and the shorter duration
// win.
TYPED_TEST(HsmmForward, TiesKeepEarlierEntryAndShorterDuration) {
    using S = TypeParam;
    const auto model = duration_model<S>({{2, 1}, {2, 1}, {2, 1}});
    auto chain = hsmm_chain<S>({2, 4, 6});
    add_jump(chain, 0, 2, S(1));  // position 2's list: [(-2, 1), (-1, 1)]
    const auto emissions = constant<S>(6, 3, 0);
    const HsmmOptions<S> options{S(1), S(0)};  // every duration scores 0
    const auto tables = search_hsmm(model, chain, emissions, options, true);
    for (std::uint64_t t = 2; t < 6; ++t) {
        EXPECT_EQ(tables.predecessors[t * 3 + 2], 0) << t;
        EXPECT_EQ(tables.starts[t * 3 + 2], std::int64_t(t)) << t;
    }
    const auto path = viterbi_hsmm_with(model, chain, emissions, options);
    EXPECT_EQ(path.occurrences, (Path{{0, 5}, {2, 6}}));
    EXPECT_EQ(path.log_probability, S(0));
}

// At temperature 0.5 a duration below the minimum scores −5e14, above log zero.
TYPED_TEST(HsmmForward, DurationBelowMinimumCanStillBeChosen) {
    using S = TypeParam;
    auto model = duration_model<S>({{2, 1}});
    {
        const auto edit = model.edit();
        edit.durations()[0].minimum_duration = 5;
    }
    const auto path = viterbi_hsmm_with(model, hsmm_chain<S>({2}), constant<S>(2, 1, -1), {S(0.5)});
    EXPECT_EQ(path.occurrences, (Path{{0, 2}}));
    EXPECT_EQ(path.log_probability, (S(-5e14) + S(-1)) + S(-1));
}

// The first position's end stays at log zero, so rows scaled up to count at that magnitude
// decide where the last segment starts.
TYPED_TEST(HsmmForward, TracebackFailures) {
    using S = TypeParam;
    // Its best segment starts at a frame no window of the last position reached.
    const double a[4][2] = {{-1e15, 0}, {-1e15, -1e12}, {-1e15, 1e13}, {-1e15, 1e13}};
    const auto model = duration_model<S>({{2, 1}, {3, 0.1}});
    const auto late = table_of<S>(4, 2, [&](auto t, auto s) { return a[t][s]; });
    const HsmmOptions<S> narrow{S(1e9), S(1), S(0)};
    ASSERT_EQ(search_hsmm(model, hsmm_chain<S>({2, 4}), late, narrow, true).starts[3 * 2 + 1], 1);
    EXPECT_EQ(error_of([&] {
                  viterbi_hsmm_with(model, hsmm_chain<S>({2, 4}), late, narrow);
              }),
              "HSMM path has no predecessor");
    // Its best segment starts at frame 0.
    const double b[2][2] = {{-3e15, 0}, {0, 1e13}};
    const auto early = table_of<S>(2, 2, [&](auto t, auto s) { return b[t][s]; });
    const auto short_model = duration_model<S>({{1, 1}, {2, 0.1}});
    EXPECT_EQ(error_of([&] {
                  viterbi_hsmm_with(short_model, hsmm_chain<S>({1, 2}), early, {S(1e9)});
              }),
              "HSMM path does not begin in the first state");
}

// A skip jump, a backward jump and a zero weight: every pass along the graph equals the same
// pass along the segmentation, bit for bit.
TYPED_TEST(HsmmForward, GraphFormEqualsSegmentationForm) {
    using S = TypeParam;
    const auto model = duration_model<S>({{3, 2}, {2, 1}, {4, 3}});
    auto chain = hsmm_chain<S>({4, 7, 12});
    add_jump(chain, 0, 2, S(0.3));
    chain.outgoing[0].back().probability = S(0.7);
    add_jump(chain, 2, -1, S(0.2));
    add_jump(chain, 1, -1, S(0));
    const auto graph = build_transitions(chain);
    const auto emissions =
        table_of<S>(12, 3, [](auto t, auto s) { return -0.2 * ((3 * t + s) % 7) - 0.5; });
    const HsmmOptions<S> options{S(0.8), S(1), S(1.5)};
    for (const bool viterbi : {false, true}) {
        EXPECT_TRUE(same_bits(search_hsmm(model, chain, emissions, options, viterbi),
                              search_hsmm(model, graph, emissions, options, viterbi)));
    }
    EXPECT_EQ(viterbi_hsmm_with(model, chain, emissions, options),
              viterbi_hsmm_with(model, graph, emissions, options));
    EXPECT_TRUE(same_bits(backward_hsmm_with(model, chain, emissions, options),
                          backward_hsmm_with(model, graph, emissions, options)));
}

// Rows of 0 and 1 entries hold no duration: no pass leaves log zero for those positions.
TYPED_TEST(HsmmForward, RowsWithoutDurationsLeaveLogZero) {
    using S = TypeParam;
    auto model = duration_model<S>({{-50, 1}, {2, 1}, {2, 1}});
    {
        const auto edit = model.edit();
        edit.durations()[1].maximum_duration = 1;
    }
    const auto chain = hsmm_chain<S>({0, 3, 6});  // position 0 is an empty segment
    const auto emissions = constant<S>(6, 3, -1);
    const HsmmOptions<S> options{S(1), S(1), S(5), 0, S(0)};
    const auto rows = prepare_hsmm_durations_with(model, chain, 6, 3, options, false);
    ASSERT_EQ(rows[0].size(), 0u);
    ASSERT_EQ(rows[1].size(), 1u);
    const auto best = search_hsmm(model, chain, emissions, options, true);
    const auto backward = backward_hsmm_with(model, chain, emissions, options);
    for (std::uint64_t t = 0; t < 6; ++t) {
        for (std::uint64_t s = 0; s < 2; ++s) {
            EXPECT_EQ(best.end(t, s), log_zero<S>) << t << s;
            EXPECT_EQ(best.starts[t * 3 + s], -1) << t << s;
            EXPECT_EQ(backward.begin(t, s), log_zero<S>) << t << s;
        }
    }
    EXPECT_EQ(error_of([&] { viterbi_hsmm_with(model, chain, emissions, options); }), no_path);
}

// 2^31 − 1 frames against 2^17 positions: 2^48 cells, refused before anything is allocated
// (the emission table is never read).
TYPED_TEST(HsmmForward, TablesAboveCapAllocFail) {
    using S = TypeParam;
    constexpr std::uint64_t positions = testing::two_to(17);
    constexpr std::int32_t frames = 2147483647;
    auto model = duration_model<S>({{2, 1}});
    {
        const auto edit = model.edit();
        edit.durations()[0].maximum_duration = 1;  // rows of one entry
    }
    auto chain = SegmentationData<S>::create(1, positions);
    for (std::uint64_t k = 0; k < positions; ++k) {
        chain.boundaries[k] = std::int32_t((k + 1) * (frames / positions));
    }
    chain.boundaries.back() = frames;
    const StateScoreTable<S> emissions{{}, std::uint64_t(frames), positions};
    const HsmmOptions<S> options;
    const char* failed = "HSMM allocation failed";
    EXPECT_EQ(error_of([&] { search_hsmm(model, chain, emissions, options, false); }), failed);
    EXPECT_EQ(error_of([&] { viterbi_hsmm_with(model, chain, emissions, options); }), failed);
    EXPECT_EQ(error_of([&] { backward_hsmm_with(model, chain, emissions, options); }), failed);
}

}  // namespace
}  // namespace tarvek
