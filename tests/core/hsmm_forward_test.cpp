#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "core/emission.hpp"
#include "core/hsmm.hpp"
#include "core/preparation.hpp"
#include "hsmm_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::duration_log_density;
using testing::duration_model;
using testing::error_of;
using testing::hsmm_chain;
using testing::log_sum;
using testing::table_of;

template <class S>
class HsmmForward : public ::testing::Test {};
TYPED_TEST_SUITE(HsmmForward, testing::Scalars);

template <Scalar S>
void expect_same_bits(const StateScoreTable<S>& a, const StateScoreTable<S>& b) {
    ASSERT_EQ(a.frames, b.frames);
    ASSERT_EQ(a.states, b.states);
    ASSERT_EQ(a.values.size(), b.values.size());
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        ASSERT_EQ(bits(a.values[i]), bits(b.values[i])) << "cell " << i;
    }
}

template <Scalar S>
void expect_same_bits(const HsmmScoreTables<S>& a, const HsmmScoreTables<S>& b) {
    expect_same_bits(a.begin, b.begin);
    expect_same_bits(a.end, b.end);
    EXPECT_EQ(a.predecessors, b.predecessors);
    EXPECT_EQ(a.starts, b.starts);
}

TYPED_TEST(HsmmForward, SingleFrameSinglePosition) {
    using S = TypeParam;
    const auto model = duration_model<S>({{1, 1}});
    const auto chain = hsmm_chain<S>({1});
    const auto emissions = table_of<S>(1, 1, [](auto, auto) { return -2.25; });
    const HsmmOptions<S> options;
    const auto rows = prepare_hsmm_durations_with(model, chain, 1, 1, options, true);
    ASSERT_EQ(rows[0].size(), 2u);

    const auto forward = search_hsmm(model, chain, emissions, options, false);
    EXPECT_EQ(forward.begin.values[0], S(-2.25));
    const S expected = log_add(log_zero<S>, rows[0][1] + S(-2.25));
    EXPECT_EQ(bits(forward.end.values[0]), bits(expected));
    EXPECT_TRUE(forward.predecessors.empty());
    EXPECT_TRUE(forward.starts.empty());

    const auto path = viterbi_hsmm_with(model, chain, emissions, options);
    EXPECT_EQ(path.occurrences, (std::vector<HsmmOccurrence>{{0, 1}}));
    EXPECT_EQ(path.log_probability, rows[0][1] + S(-2.25));
}

// Two positions over six frames: the end cell of the last position against every way of
// splitting the frames into two segments, scored from the duration law and the emissions.
TYPED_TEST(HsmmForward, MatchesAllCompositionsOfTwoSegments) {
    using S = TypeParam;
    const double laws[2][2] = {{2.5, 1.5}, {3.5, 2.0}};
    const auto model = duration_model<S>({{laws[0][0], laws[0][1]}, {laws[1][0], laws[1][1]}});
    const auto chain = hsmm_chain<S>({3, 6});

    // Single-component one-dimensional Gaussians scored by the emission code.
    ModelParameters<S> emitting(std::vector<StreamLayout>{{2, 1, 1}}, 0);
    const double means[2] = {-1.0, 1.5};
    for (std::size_t s = 0; s < 2; ++s) {
        auto& mixture = emitting.streams[0].emissions[s];
        mixture.weights = {S(1)};
        mixture.means = {static_cast<S>(means[s])};
        mixture.variances = {S(0.8)};
    }
    const std::size_t dimension[] = {1};
    auto observation = ObservationData<S>::create(6, dimension);
    const double frames[6] = {-1.2, -0.7, 0.2, 1.1, 1.9, 1.4};
    for (std::size_t t = 0; t < 6; ++t)
        observation.streams[0].values[t] = static_cast<S>(frames[t]);
    const auto emissions = emission_log_probabilities(emitting, observation, chain,
                                                      EmissionPruningMode::none, S(1), S(0));

    std::vector<double> scores;
    double best = -INFINITY;
    std::uint64_t best_split = 0;
    for (std::uint64_t d0 = 1; d0 < 6; ++d0) {
        double score = duration_log_density(double(d0), laws[0][0], laws[0][1]) +
                       duration_log_density(double(6 - d0), laws[1][0], laws[1][1]);
        for (std::uint64_t t = 0; t < 6; ++t) score += emissions(t, t < d0 ? 0 : 1);
        scores.push_back(score);
        if (score > best) {
            best = score;
            best_split = d0;
        }
    }

    const HsmmOptions<S> options;
    const auto forward = search_hsmm(model, chain, emissions, options, false);
    const double reference = log_sum(scores);
    EXPECT_NEAR(forward.end(5, 1), reference, testing::score_tolerance<S>(reference));

    const auto path = viterbi_hsmm_with(model, chain, emissions, options);
    EXPECT_EQ(path.occurrences, (std::vector<HsmmOccurrence>{{0, best_split}, {1, 6}}));
    const double tolerance = std::is_same_v<S, float> ? 1e-4 : 1e-9;
    EXPECT_NEAR(path.log_probability, best, tolerance);
}

// Radius 0: each segment's window holds its own position only, and the boundary frame lies
// in both windows.
TYPED_TEST(HsmmForward, RadiusZeroWindows) {
    using S = TypeParam;
    const auto model = duration_model<S>({{2, 1}, {2, 1}});
    auto chain = hsmm_chain<S>({2, 4});
    chain.outgoing[0].back().probability = S(0.25);
    const auto emissions = table_of<S>(4, 2, [](auto t, auto s) { return -1.0 - 0.5 * t - s; });
    HsmmOptions<S> options;
    options.state_radius = 0;
    options.temperature = S(0.5);
    const auto forward = search_hsmm(model, chain, emissions, options, false);

    auto visited = [](std::uint64_t t, std::uint64_t s) { return s == 0 ? t <= 2 : t >= 2; };
    for (std::uint64_t t = 0; t < 4; ++t) {
        for (std::uint64_t s = 0; s < 2; ++s) {
            EXPECT_EQ(forward.end(t, s) != log_zero<S>, visited(t, s)) << t << s;
        }
    }
    EXPECT_EQ(forward.begin(2, 0), log_zero<S>);  // only frame 0 begins position 0
    const S jump = static_cast<S>(static_cast<double>(forward.end(1, 0)) +
                                  0.5 * std::log(static_cast<double>(S(0.25))));
    EXPECT_EQ(bits(forward.begin(2, 1)), bits(log_add(log_zero<S>, jump) + emissions(2, 1)));
}

TYPED_TEST(HsmmForward, ZeroWeightEntryIsSkipped) {
    using S = TypeParam;
    const auto model = duration_model<S>({{2, 1}, {2, 1}});
    auto chain = hsmm_chain<S>({3, 6});
    chain.outgoing[0].back().probability = S(0);
    const auto emissions = table_of<S>(6, 2, [](auto, auto) { return -1.0; });
    const HsmmOptions<S> options;
    const auto forward = search_hsmm(model, chain, emissions, options, false);
    const auto best = search_hsmm(model, chain, emissions, options, true);
    for (std::uint64_t t = 1; t < 6; ++t) {
        EXPECT_LE(forward.begin(t, 1), log_zero<S>) << t;
        EXPECT_LE(best.end(t, 1), log_zero<S>) << t;
        EXPECT_EQ(best.starts[t * 2 + 1], -1) << t;
    }
    EXPECT_EQ(error_of([&] { viterbi_hsmm_with(model, chain, emissions, options); }),
              "no complete HSMM path survives the inference constraints");
}

// With every score 0 all candidates tie: the earlier incoming entry and the shorter duration
// win.
TYPED_TEST(HsmmForward, TiesKeepEarlierEntryAndShorterDuration) {
    using S = TypeParam;
    const auto model = duration_model<S>({{2, 1}, {2, 1}, {2, 1}});
    auto chain = hsmm_chain<S>({2, 4, 6});
    add_jump(chain, 0, 2, S(1));  // position 2's list: [(-2, 1), (-1, 1)]
    const auto emissions = table_of<S>(6, 3, [](auto, auto) { return 0.0; });
    HsmmOptions<S> options;
    options.duration_weight = 0;  // every duration scores 0
    const auto tables = search_hsmm(model, chain, emissions, options, true);
    for (std::uint64_t t = 2; t < 6; ++t) {
        EXPECT_EQ(tables.predecessors[t * 3 + 2], 0) << t;
        EXPECT_EQ(tables.starts[t * 3 + 2], static_cast<std::int64_t>(t)) << t;
    }
    const auto path = viterbi_hsmm_with(model, chain, emissions, options);
    EXPECT_EQ(path.occurrences, (std::vector<HsmmOccurrence>{{0, 5}, {2, 6}}));
    EXPECT_EQ(path.log_probability, S(0));
}

TYPED_TEST(HsmmForward, DurationBelowMinimumCanStillBeChosen) {
    using S = TypeParam;
    auto model = duration_model<S>({{2, 1}});
    model.durations[0].minimum_duration = 5;
    const auto chain = hsmm_chain<S>({2});
    const auto emissions = table_of<S>(2, 1, [](auto, auto) { return -1.0; });
    HsmmOptions<S> options;
    options.temperature = S(0.5);
    const auto path = viterbi_hsmm_with(model, chain, emissions, options);
    EXPECT_EQ(path.occurrences, (std::vector<HsmmOccurrence>{{0, 2}}));
    EXPECT_EQ(path.log_probability, (S(-5e14) + S(-1)) + S(-1));
}

TYPED_TEST(HsmmForward, TracebackFailures) {
    using S = TypeParam;
    const HsmmOptions<S> options;
    // The best segment of the last position starts at a frame its window never reached, so
    // that start has no predecessor. The first position's end stays at log zero, so the
    // rows (scaled up to count at this magnitude) favour the 3-frame segment.
    {
        const auto model = duration_model<S>({{2, 1}, {3, 0.1}});
        const auto chain = hsmm_chain<S>({2, 4});
        const double values[4][2] = {{-1e15, 0}, {-1e15, -1e12}, {-1e15, 1e13}, {-1e15, 1e13}};
        const auto emissions = table_of<S>(4, 2, [&](auto t, auto s) { return values[t][s]; });
        HsmmOptions<S> narrow = options;
        narrow.state_radius = 0;
        narrow.temperature = S(1e9);
        const auto tables = search_hsmm(model, chain, emissions, narrow, true);
        ASSERT_EQ(tables.starts[3 * 2 + 1], 1);
        EXPECT_EQ(error_of([&] { viterbi_hsmm_with(model, chain, emissions, narrow); }),
                  "HSMM path has no predecessor");
    }
    // The last position's best segment starts at frame 0: with the first position's end at
    // log zero, only the row (scaled up to count at this magnitude) decides.
    {
        const auto model = duration_model<S>({{1, 1}, {2, 0.1}});
        const auto chain = hsmm_chain<S>({1, 2});
        const double values[2][2] = {{-3e15, 0}, {0, 1e13}};
        const auto emissions = table_of<S>(2, 2, [&](auto t, auto s) { return values[t][s]; });
        HsmmOptions<S> hot = options;
        hot.temperature = S(1e9);
        EXPECT_EQ(error_of([&] { viterbi_hsmm_with(model, chain, emissions, hot); }),
                  "HSMM path does not begin in the first state");
    }
}

TYPED_TEST(HsmmForward, PreparedModelGivesTheSameTables) {
    using S = TypeParam;
    auto model = duration_model<S>({{3, 2}, {2, 1}, {4, 3}});
    model.durations[2].minimum_duration = 2;
    const auto chain = hsmm_chain<S>({4, 7, 12});
    const auto emissions =
        table_of<S>(12, 3, [](auto t, auto s) { return -0.3 * ((t + 2 * s) % 5) - 1; });
    HsmmOptions<S> options;
    options.temperature = S(0.9);
    options.duration_weight = S(1.25);
    PreparationOptions<S> preparation;
    preparation.duration_cache_length = 5;  // cached and computed entries both used
    preparation.temperature = options.temperature;
    preparation.duration_weight = options.duration_weight;
    const auto prepared = prepare_owned_duration_states(model, preparation);
    const PreparedHsmmDurations<S> durations(prepared);
    for (const bool viterbi : {false, true}) {
        expect_same_bits(
            search_hsmm(model, chain, emissions, options, viterbi),
            search_hsmm(prepared.model, chain, emissions, options, viterbi, durations));
    }
    expect_same_bits(backward_hsmm_with(model, chain, emissions, options),
                     backward_hsmm_with(prepared.model, chain, emissions, options, durations));

    options.duration_weight = S(1);
    EXPECT_EQ(
        error_of([&] { search_hsmm(prepared.model, chain, emissions, options, false, durations); }),
        "HSMM temperature and duration weight differ from preparation");
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
    HsmmOptions<S> options;
    options.state_radius = S(1.5);
    options.temperature = S(0.8);
    for (const bool viterbi : {false, true}) {
        expect_same_bits(search_hsmm(model, chain, emissions, options, viterbi),
                         search_hsmm(model, graph, emissions, options, viterbi));
    }
    const auto from_chain = viterbi_hsmm_with(model, chain, emissions, options);
    const auto from_graph = viterbi_hsmm_with(model, graph, emissions, options);
    EXPECT_EQ(from_chain.occurrences, from_graph.occurrences);
    EXPECT_EQ(bits(from_chain.log_probability), bits(from_graph.log_probability));
    expect_same_bits(from_chain.begin, from_graph.begin);
    expect_same_bits(backward_hsmm_with(model, chain, emissions, options),
                     backward_hsmm_with(model, graph, emissions, options));
}

// Rows of 0 and 1 entries hold no duration: no pass leaves log zero for those positions.
TYPED_TEST(HsmmForward, RowsWithoutDurationsLeaveLogZero) {
    using S = TypeParam;
    auto model = duration_model<S>({{-50, 1}, {2, 1}, {2, 1}});
    model.durations[1].maximum_duration = 1;
    const auto chain = hsmm_chain<S>({0, 3, 6});  // position 0 is an empty segment
    const auto emissions = table_of<S>(6, 3, [](auto, auto) { return -1.0; });
    HsmmOptions<S> options;
    options.duration_extra = 0;
    options.duration_extra_factor = 0;
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
    EXPECT_EQ(error_of([&] { viterbi_hsmm_with(model, chain, emissions, options); }),
              "no complete HSMM path survives the inference constraints");
}

// 2^31 − 1 frames against 2^17 positions: 2^48 cells, refused before anything is allocated
// (the emission table is never read).
TYPED_TEST(HsmmForward, TablesAboveCapAllocFail) {
    using S = TypeParam;
    constexpr std::uint64_t positions = std::uint64_t{1} << 17;
    constexpr std::int32_t frames = 2147483647;
    auto model = duration_model<S>({{2, 1}});
    model.durations[0].maximum_duration = 1;  // rows of one entry
    auto chain = SegmentationData<S>::create(1, positions);
    for (std::uint64_t k = 0; k < positions; ++k) {
        chain.boundaries[k] = static_cast<std::int32_t>((k + 1) * (frames / positions));
    }
    chain.boundaries.back() = frames;
    StateScoreTable<S> emissions;
    emissions.frames = static_cast<std::uint64_t>(frames);
    emissions.states = positions;
    const HsmmOptions<S> options;
    const char* failed = "HSMM allocation failed";
    EXPECT_EQ(error_of([&] { search_hsmm(model, chain, emissions, options, false); }), failed);
    EXPECT_EQ(error_of([&] { viterbi_hsmm_with(model, chain, emissions, options); }), failed);
    EXPECT_EQ(error_of([&] { backward_hsmm_with(model, chain, emissions, options); }), failed);
}

}  // namespace
}  // namespace tarvek
