// The HSMM passes against every path through small chains, plain and from prepared models.

#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "core/inference/hsmm.hpp"
#include "core/model/preparation.hpp"
#include "inference/hsmm_test_support.hpp"

namespace tarvek {
namespace {

using testing::log_sum;
using testing::PathReference;
using testing::same_bits;

template <class S>
class HsmmPaths : public ::testing::Test {};
TYPED_TEST_SUITE(HsmmPaths, testing::Scalars);

// The forward end cell, the Viterbi path and the backward begin cell against the enumerated
// paths; with `cache`, every pass runs from a prepared model, and where its rows hold the
// model's own values, it must give the plain passes' bits.
template <Scalar S>
void check(const PathReference& r, std::optional<std::uint64_t> cache = {}) {
    const auto model = r.model<S>();
    const auto chain = r.segmentation<S>();
    const auto table = r.table<S>();
    const auto options = r.options<S>();
    const std::uint64_t T = r.frames(), P = r.positions();
    std::optional<OwnedPreparedModelParameters<S>> prepared;
    PreparedHsmmDurations<S> durations;
    if (cache) {
        prepared = prepare_owned_duration_states(
            model, PreparationOptions<S>{*cache, options.duration_weight, options.temperature});
        durations = PreparedHsmmDurations<S>(*prepared);
    }
    const auto& scored = prepared ? prepared->model : model;
    const auto forward = search_hsmm(scored, chain, table, options, false, durations);
    const auto best = search_hsmm(scored, chain, table, options, true, durations);
    const auto path = viterbi_hsmm_with(scored, chain, table, options, durations);
    const auto backward = backward_hsmm_with(scored, chain, table, options, durations);
    if (prepared &&
        prepare_hsmm_durations_with(model, chain, T, P, options, false) ==
            prepare_hsmm_durations_with(scored, chain, T, P, options, false, durations)) {
        EXPECT_TRUE(same_bits(forward, search_hsmm(model, chain, table, options, false)));
        EXPECT_TRUE(same_bits(best, search_hsmm(model, chain, table, options, true)));
        EXPECT_TRUE(same_bits(backward, backward_hsmm_with(model, chain, table, options)));
    }

    std::vector<double> scores;
    const auto complete = r.paths(false);
    for (const auto& p : complete) scores.push_back(p.score);
    const double total = log_sum(scores);
    EXPECT_NEAR(forward.end(T - 1, P - 1), total, testing::score_tolerance<S>(total));

    const auto top = std::max_element(scores.begin(), scores.end()) - scores.begin();
    double runner_up = -INFINITY;
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (i != std::size_t(top)) runner_up = std::max(runner_up, scores[i]);
    }
    const double tolerance = std::is_same_v<S, float> ? 1e-3 + 4e-7 * std::abs(scores[top]) : 1e-9;
    EXPECT_NEAR(path.log_probability, scores[top], tolerance);
    if (scores[top] - runner_up > 10 * tolerance) {
        std::vector<HsmmOccurrence> occurrences;
        for (const auto& g : complete[top].segments)
            occurrences.push_back({g.state, g.start + g.duration});
        EXPECT_EQ(path.occurrences, occurrences);
    }

    std::vector<double> censored;
    for (const auto& p : r.paths(true)) censored.push_back(p.score);
    // At temperature 0 each cell log-adds dozens of equal terms; the table's small
    // underestimates add up.
    const double slack = r.temperature == 0 ? 0.03 : 0.0;
    EXPECT_NEAR(backward.begin(0, 0) + table(0, 0), log_sum(censored),
                testing::score_tolerance<S>(log_sum(censored)) + slack);
}

// Two positions over six frames, one-dimensional single-component Gaussian emissions.
TYPED_TEST(HsmmPaths, TwoPositionsOverSixFrames) {
    PathReference r{{{2.5, 1.5}, {3.5, 2.0}}, {3, 6}, {{{1, 1.0}}, {{1, 1.0}}}, {}};
    const double means[2] = {-1.0, 1.5}, variance = 0.8;
    for (const double x : {-1.2, -0.7, 0.2, 1.1, 1.9, 1.4}) {
        r.emissions.emplace_back();
        for (const double mean : means) {
            r.emissions.back().push_back(testing::gaussian_log_density(x, mean, variance));
        }
    }
    check<TypeParam>(r);
}

// Rows of different lengths, a position without any duration (passed only by a skip), a
// re-entry, a backward jump and a zero weight.
TYPED_TEST(HsmmPaths, FivePositionsWithMixedRows) {
    std::mt19937_64 random(5);
    for (int trial = 0; trial < 4; ++trial) {
        auto r = PathReference::random(
            random, {{2, 1.5, -1, 5}, {3, 2}, {2, 1, -1, 1}, {1.5, 0.8, -1, 4}, {2, 2, -1, 6}},
            {2, 3, 5, 7, 8}, {{}, {2}, {}, {0, -2}, {}});
        r.temperature = 0.9;
        r.outgoing[0].insert(r.outgoing[0].begin(), {3, 0.0});
        check<TypeParam>(r);
    }
}

// Nine positions, so that the windows hold groups of eight; skips keep the last reachable.
TYPED_TEST(HsmmPaths, NinePositionsWithSkips) {
    std::mt19937_64 random(9);
    std::vector<PathReference::Law> laws;
    for (std::int32_t s = 0; s < 9; ++s)
        laws.push_back({1.5 + 0.25 * s, 1 + 0.1 * s, -1, 3 + s % 3});
    laws[6].maximum = 1;
    auto r = PathReference::random(random, laws, {1, 2, 4, 5, 6, 7, 9, 10, 11},
                                   {{2}, {}, {2}, {}, {2}, {2, -1}, {}, {}, {}});
    r.temperature = 0.9;
    check<TypeParam>(r);
}

// Caches reaching the cached and the computed entries, minimums below which durations score
// (a multiple of) log zero, temperature 0 and weights other than 1. In 32 bits the caches and
// the rows round in different steps, so only some settings meet the bit-equality condition.
TYPED_TEST(HsmmPaths, PreparedModelsEqualPlainPassesOrThePaths) {
    std::mt19937_64 random(17);
    const std::vector<std::vector<PathReference::Law>> law_sets{
        {{2.0, 1.0}, {3.0, 2.0, 2}, {1.5, 0.5}},
        {{2.5, 1.5, 1}, {1.0, 3.0}, {2.0, 0.75, 3}, {3.0, 1.0}}};
    for (const auto& [temperature, weight, cache] : std::vector<std::tuple<double, double, int>>{
             {1, 1, 300}, {0.9, 1.25, 3}, {0.5, 0.7, 0}, {0, 1, 4}, {2, 0.3, 6}, {0.3, 1, 1}}) {
        for (const auto& laws : law_sets) {
            SCOPED_TRACE(::testing::Message() << temperature << " " << cache << " " << laws.size());
            const bool four = laws.size() == 4;
            auto r = PathReference::random(random, laws,
                                           four ? std::vector{2, 5, 6, 8} : std::vector{2, 5, 6},
                                           {{2}, {2}, {}, {}});
            r.temperature = temperature;
            r.weight = weight;
            check<TypeParam>(r, cache);
        }
    }
}

}  // namespace
}  // namespace tarvek
