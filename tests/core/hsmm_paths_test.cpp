// The HSMM passes against every path through small chains, enumerated one by one and scored
// from the model definition: duration log densities, emission sums and jump log weights. The
// backward pass is checked against the paths as it counts them: the last position unscored,
// and a duration running past the last frame censored there.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "core/hsmm.hpp"
#include "hsmm_test_support.hpp"

namespace tarvek {
namespace {

using testing::duration_log_density;
using testing::log_sum;

template <class S>
class HsmmPaths : public ::testing::Test {};
TYPED_TEST_SUITE(HsmmPaths, testing::Scalars);

struct Law {
    double mean;
    double variance;
    std::int32_t maximum;  // the row holds durations 1 .. maximum − 1; -1: none
};

// A chain with its laws, jumps and emissions, and the scores of its paths.
struct Chain {
    std::vector<Law> laws;
    std::vector<std::int32_t> boundaries;
    std::vector<std::vector<JumpParameters<double>>> outgoing;
    std::vector<std::vector<double>> emissions;  // [t][s]
    double temperature = 0.9;

    std::size_t positions() const { return laws.size(); }
    std::uint64_t frames() const { return emissions.size(); }

    // Unclamped row length: the maximum when set, else 2 · length + 30 (the laws keep
    // mean + 2·sd below that).
    std::uint64_t row_length(std::size_t s) const {
        if (laws[s].maximum >= 1) return static_cast<std::uint64_t>(laws[s].maximum);
        const std::int32_t start = s == 0 ? 0 : boundaries[s - 1];
        return static_cast<std::uint64_t>(2 * (boundaries[s] - start) + 30);
    }
    double duration(std::size_t s, std::uint64_t d) const {
        return duration_log_density(double(d), laws[s].mean, laws[s].variance, 1, temperature);
    }
    double emitted(std::size_t s, std::uint64_t from, std::uint64_t to) const {
        double sum = 0;
        for (std::uint64_t t = from; t < to; ++t) sum += emissions[t][s];
        return sum;
    }
    // Each usable jump out of s: (target, τ · ln w).
    std::vector<std::pair<std::size_t, double>> jumps(std::size_t s) const {
        std::vector<std::pair<std::size_t, double>> out;
        for (const auto& jump : outgoing[s]) {
            const std::int64_t q = static_cast<std::int64_t>(s) + jump.delta;
            if (jump.probability == 0 || q < 0 || q >= static_cast<std::int64_t>(positions())) {
                continue;
            }
            out.push_back({static_cast<std::size_t>(q), temperature * std::log(jump.probability)});
        }
        return out;
    }

    struct Path {
        double score;
        std::vector<HsmmOccurrence> occurrences;
    };

    // Every path from position 0 at frame 0 whose last segment is position S − 1 ending at the
    // last frame.
    std::vector<Path> complete_paths() const {
        std::vector<Path> paths;
        std::vector<HsmmOccurrence> trail;
        std::function<void(std::size_t, std::uint64_t, double)> walk =
            [&](std::size_t s, std::uint64_t u, double score) {
                for (std::uint64_t d = 1; d < row_length(s) && u + d <= frames(); ++d) {
                    const double segment = score + duration(s, d) + emitted(s, u, u + d);
                    trail.push_back({s, u + d});
                    if (u + d == frames()) {
                        if (s + 1 == positions()) paths.push_back({segment, trail});
                    } else {
                        for (const auto& [q, log_weight] : jumps(s))
                            walk(q, u + d, segment + log_weight);
                    }
                    trail.pop_back();
                }
            };
        walk(0, 0, 0.0);
        return paths;
    }

    // Every path from position 0 at frame 0 as the backward pass counts it: the last position
    // lasts to the end unscored, and a segment that reaches the last frame ends the path,
    // censored when its duration runs past it.
    std::vector<double> censored_scores() const {
        std::vector<double> scores;
        std::function<void(std::size_t, std::uint64_t, double)> walk =
            [&](std::size_t s, std::uint64_t u, double score) {
                if (s + 1 == positions()) {
                    scores.push_back(score + emitted(s, u, frames()));
                    return;
                }
                for (std::uint64_t d = 1; d < row_length(s); ++d) {
                    const std::uint64_t stop = std::min<std::uint64_t>(u + d, frames());
                    const double segment = score + duration(s, d) + emitted(s, u, stop);
                    if (u + d >= frames()) {
                        scores.push_back(segment);
                    } else {
                        for (const auto& [q, log_weight] : jumps(s))
                            walk(q, u + d, segment + log_weight);
                    }
                }
            };
        walk(0, 0, 0.0);
        return scores;
    }

    template <Scalar S>
    void check() const {
        ModelParameters<S> model;
        auto segmentation = SegmentationData<S>::create(1, positions());
        for (std::size_t s = 0; s < positions(); ++s) {
            DurationParameters<S> law;
            law.mean = static_cast<S>(laws[s].mean);
            law.variance = static_cast<S>(laws[s].variance);
            law.maximum_duration = laws[s].maximum;
            model.durations.push_back(law);
            segmentation.boundaries[s] = boundaries[s];
            segmentation.duration_states[s] = static_cast<std::int32_t>(s);
            segmentation.outgoing[s].clear();
            for (const auto& jump : outgoing[s]) {
                segmentation.outgoing[s].push_back({jump.delta, static_cast<S>(jump.probability)});
            }
        }
        const auto table = testing::table_of<S>(frames(), positions(),
                                                [&](auto t, auto s) { return emissions[t][s]; });
        HsmmOptions<S> options;
        options.temperature = static_cast<S>(temperature);
        options.state_radius = static_cast<S>(positions());  // every cell is visited

        std::vector<double> scores;
        const auto paths = complete_paths();
        const Path* best = &paths.front();
        double runner_up = -INFINITY;
        for (const Path& path : paths) {
            scores.push_back(path.score);
            if (path.score > best->score) {
                runner_up = best->score;
                best = &path;
            } else if (&path != best) {
                runner_up = std::max(runner_up, path.score);
            }
        }
        const auto forward = search_hsmm(model, segmentation, table, options, false);
        const double total = log_sum(scores);
        const double last = forward.end(frames() - 1, positions() - 1);
        EXPECT_NEAR(last, total, testing::score_tolerance<S>(total));

        const auto viterbi = viterbi_hsmm_with(model, segmentation, table, options);
        const double tolerance = std::is_same_v<S, float> ? 1e-3 : 1e-9;
        EXPECT_NEAR(viterbi.log_probability, best->score, tolerance);
        if (best->score - runner_up > 10 * tolerance) {
            EXPECT_EQ(viterbi.occurrences, best->occurrences);
        }

        const auto backward = backward_hsmm_with(model, segmentation, table, options);
        const double censored = log_sum(censored_scores());
        const double from_backward = backward.begin(0, 0) + table(0, 0);
        EXPECT_NEAR(from_backward, censored, testing::score_tolerance<S>(censored));
    }
};

// Random emissions and jump weights over a fixed jump layout.
Chain random_chain(std::mt19937_64& random, std::vector<Law> laws,
                   std::vector<std::int32_t> boundaries,
                   const std::vector<std::vector<std::int32_t>>& extra_deltas) {
    std::normal_distribution<double> normal(-1.0, 1.0);
    std::uniform_real_distribution<double> weight(0.1, 1.0);
    Chain chain;
    chain.laws = std::move(laws);
    chain.boundaries = std::move(boundaries);
    const std::size_t positions = chain.laws.size();
    chain.outgoing.resize(positions);
    for (std::size_t s = 0; s < positions; ++s) {
        for (const std::int32_t delta : extra_deltas[s])
            chain.outgoing[s].push_back({delta, weight(random)});
        chain.outgoing[s].push_back({1, weight(random)});
    }
    const auto frames = static_cast<std::size_t>(chain.boundaries.back());
    chain.emissions.assign(frames, std::vector<double>(positions));
    for (auto& row : chain.emissions) {
        for (double& value : row) value = normal(random);
    }
    return chain;
}

// Five positions: rows of different lengths side by side, one position without any duration
// (reached past only by a skip), a re-entry, a backward jump and a zero weight.
TYPED_TEST(HsmmPaths, FivePositionsWithMixedRows) {
    std::mt19937_64 random(5);
    for (int trial = 0; trial < 4; ++trial) {
        Chain chain =
            random_chain(random, {{2, 1.5, 5}, {3, 2, -1}, {2, 1, 1}, {1.5, 0.8, 4}, {2, 2, 6}},
                         {2, 3, 5, 7, 8}, {{}, {2}, {}, {0, -2}, {}});
        chain.outgoing[0].insert(chain.outgoing[0].begin(), {3, 0.0});
        chain.check<TypeParam>();
    }
}

// Nine positions, so that the windows hold groups of eight, one of them without durations:
// skips keep the last position reachable within eleven frames.
TYPED_TEST(HsmmPaths, NinePositionsWithSkips) {
    std::mt19937_64 random(9);
    std::vector<Law> laws;
    for (std::int32_t s = 0; s < 9; ++s) laws.push_back({1.5 + 0.25 * s, 1.0 + 0.1 * s, 3 + s % 3});
    laws[6].maximum = 1;
    Chain chain = random_chain(random, laws, {1, 2, 4, 5, 6, 7, 9, 10, 11},
                               {{2}, {}, {2}, {}, {2}, {2, -1}, {}, {}, {}});
    chain.check<TypeParam>();
}

}  // namespace
}  // namespace tarvek
