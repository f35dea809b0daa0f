// HSMM passes from a prepared model. Where the prepared caches hold the same values as the
// rows the passes build from the model's own laws, forward, Viterbi and backward must give the
// plain passes' bits; where rounding makes the two differ, each is held against paths
// enumerated one by one and scored from the duration law's definition. The enumeration runs
// in every case, so both comparisons are exercised.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "core/hsmm.hpp"
#include "core/preparation.hpp"
#include "core/transitions.hpp"
#include "hsmm_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::log_sum;

template <class S>
class PreparedInference : public ::testing::Test {};
TYPED_TEST_SUITE(PreparedInference, testing::Scalars);

struct Law {
    double mean;
    double variance;
    std::int32_t minimum;
};

struct Setting {
    double temperature;
    double weight;
    std::uint64_t cache_length;
};

// A chain of positions, its emissions [t][s] and its outgoing jumps, scored from definitions.
struct Reference {
    std::vector<Law> laws;
    std::vector<std::int32_t> boundaries;
    std::vector<std::vector<JumpParameters<double>>> outgoing;
    std::vector<std::vector<double>> emissions;
    std::vector<std::uint64_t> row_lengths;  // unclamped, from the options' length rule
    Setting setting;

    std::size_t positions() const { return laws.size(); }
    std::uint64_t frames() const { return emissions.size(); }

    double duration(std::size_t s, std::uint64_t d) const {
        const Law& law = laws[s];
        const double t = setting.temperature;
        const bool short_of_minimum = law.minimum >= 1 && d < std::uint64_t(law.minimum);
        if (short_of_minimum) return t == 0 ? -1e15 : t * -1e15;
        if (t == 0) return 0;
        return testing::duration_log_density(double(d), law.mean, law.variance, setting.weight, t);
    }
    double emitted(std::size_t s, std::uint64_t from, std::uint64_t to) const {
        double sum = 0;
        for (std::uint64_t t = from; t < to; ++t) sum += emissions[t][s];
        return sum;
    }
    std::vector<std::pair<std::size_t, double>> jumps(std::size_t s) const {
        std::vector<std::pair<std::size_t, double>> out;
        for (const auto& jump : outgoing[s]) {
            const std::int64_t q = std::int64_t(s) + jump.delta;
            if (jump.probability == 0 || q < 0 || q >= std::int64_t(positions())) continue;
            out.push_back({std::size_t(q), setting.temperature * std::log(jump.probability)});
        }
        return out;
    }

    // Scores of complete paths (last position ending at the last frame) with their segments.
    void complete_paths(std::vector<double>& scores,
                        std::vector<std::vector<HsmmOccurrence>>& paths) const {
        std::vector<HsmmOccurrence> trail;
        std::function<void(std::size_t, std::uint64_t, double)> walk =
            [&](std::size_t s, std::uint64_t u, double score) {
                for (std::uint64_t d = 1; d < row_lengths[s] && u + d <= frames(); ++d) {
                    const double segment = score + duration(s, d) + emitted(s, u, u + d);
                    trail.push_back({s, u + d});
                    if (u + d == frames()) {
                        if (s + 1 == positions()) {
                            scores.push_back(segment);
                            paths.push_back(trail);
                        }
                    } else {
                        for (const auto& [q, jump] : jumps(s)) walk(q, u + d, segment + jump);
                    }
                    trail.pop_back();
                }
            };
        walk(0, 0, 0.0);
    }

    // Scores as the backward pass counts paths: the last position unscored to the end, and a
    // segment reaching past the last frame censored there.
    std::vector<double> censored_scores() const {
        std::vector<double> scores;
        std::function<void(std::size_t, std::uint64_t, double)> walk =
            [&](std::size_t s, std::uint64_t u, double score) {
                if (s + 1 == positions()) {
                    scores.push_back(score + emitted(s, u, frames()));
                    return;
                }
                for (std::uint64_t d = 1; d < row_lengths[s]; ++d) {
                    const std::uint64_t stop = std::min<std::uint64_t>(u + d, frames());
                    const double segment = score + duration(s, d) + emitted(s, u, stop);
                    if (u + d >= frames()) {
                        scores.push_back(segment);
                    } else {
                        for (const auto& [q, jump] : jumps(s)) walk(q, u + d, segment + jump);
                    }
                }
            };
        walk(0, 0, 0.0);
        return scores;
    }
};

template <Scalar S>
bool same_values(const HsmmDurationRows<S>& a, const HsmmDurationRows<S>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a[k] != b[k]) return false;  // value equality: +0 and -0 agree
    }
    return true;
}

template <Scalar S>
void expect_same_bits(const StateScoreTable<S>& a, const StateScoreTable<S>& b) {
    ASSERT_EQ(a.values.size(), b.values.size());
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        ASSERT_EQ(bits(a.values[i]), bits(b.values[i])) << "cell " << i;
    }
}

template <Scalar S>
void check(const Reference& reference) {
    ModelParameters<S> model;
    auto segmentation = SegmentationData<S>::create(1, reference.positions());
    for (std::size_t s = 0; s < reference.positions(); ++s) {
        DurationParameters<S> law;
        law.mean = S(reference.laws[s].mean);
        law.variance = S(reference.laws[s].variance);
        law.minimum_duration = reference.laws[s].minimum;
        model.durations.push_back(law);
        segmentation.boundaries[s] = reference.boundaries[s];
        segmentation.duration_states[s] = std::int32_t(s);
        segmentation.outgoing[s].clear();
        for (const auto& jump : reference.outgoing[s])
            segmentation.outgoing[s].push_back({jump.delta, S(jump.probability)});
    }
    const std::uint64_t T = reference.frames();
    const std::uint64_t P = reference.positions();
    const auto emissions =
        testing::table_of<S>(T, P, [&](auto t, auto s) { return reference.emissions[t][s]; });
    HsmmOptions<S> options;
    options.temperature = S(reference.setting.temperature);
    options.duration_weight = S(reference.setting.weight);
    options.state_radius = S(P);  // every cell is visited
    PreparationOptions<S> preparation{reference.setting.cache_length, options.duration_weight,
                                      options.temperature};
    const auto prepared = prepare_owned_duration_states(model, preparation);
    const PreparedHsmmDurations<S> durations(prepared);

    const auto forward =
        search_hsmm(prepared.model, segmentation, emissions, options, false, durations);
    const auto viterbi =
        search_hsmm(prepared.model, segmentation, emissions, options, true, durations);
    const auto path =
        viterbi_hsmm_with(prepared.model, segmentation, emissions, options, durations);
    const auto backward =
        backward_hsmm_with(prepared.model, segmentation, emissions, options, durations);

    // The condition: every row entry from the caches equals the model's own, unclamped rows
    // included (they hold every duration either pass reads).
    const bool same_rows = same_values(
        prepare_hsmm_durations_with(model, segmentation, T, P, options, false),
        prepare_hsmm_durations_with(prepared.model, segmentation, T, P, options, false, durations));
    if (same_rows) {
        const auto plain_forward = search_hsmm(model, segmentation, emissions, options, false);
        const auto plain_viterbi = search_hsmm(model, segmentation, emissions, options, true);
        const auto plain_backward = backward_hsmm_with(model, segmentation, emissions, options);
        expect_same_bits(forward.begin, plain_forward.begin);
        expect_same_bits(forward.end, plain_forward.end);
        expect_same_bits(viterbi.begin, plain_viterbi.begin);
        expect_same_bits(viterbi.end, plain_viterbi.end);
        EXPECT_EQ(viterbi.predecessors, plain_viterbi.predecessors);
        EXPECT_EQ(viterbi.starts, plain_viterbi.starts);
        expect_same_bits(backward.begin, plain_backward.begin);
        expect_same_bits(backward.end, plain_backward.end);
    }

    std::vector<double> scores;
    std::vector<std::vector<HsmmOccurrence>> paths;
    reference.complete_paths(scores, paths);
    ASSERT_FALSE(scores.empty());
    const double total = log_sum(scores);
    EXPECT_NEAR(forward.end(T - 1, P - 1), total, testing::score_tolerance<S>(total));
    std::size_t best = 0;
    for (std::size_t i = 1; i < scores.size(); ++i) {
        if (scores[i] > scores[best]) best = i;
    }
    EXPECT_NEAR(path.log_probability, scores[best], testing::score_tolerance<S>(scores[best]));
    double runner_up = -INFINITY;
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (i != best) runner_up = std::max(runner_up, scores[i]);
    }
    if (scores[best] - runner_up > 1e-2) {
        EXPECT_EQ(path.occurrences, paths[best]);
    }
    // At temperature 0 every duration weighs alike, so each backward cell log-adds dozens of
    // equal terms and the truncating log-add table's small underestimates add up.
    const double censored = log_sum(reference.censored_scores());
    const double slack = reference.setting.temperature == 0 ? 0.03 : 0.0;
    EXPECT_NEAR(backward.begin(0, 0) + emissions(0, 0), censored,
                testing::score_tolerance<S>(censored) + slack);
}

// Random chains under settings that reach the cached and the computed entries, minimums below
// which durations score (a multiple of) log zero, temperature 0 and weights other than 1.
TYPED_TEST(PreparedInference, EqualsPlainPassesOrTheEnumeratedPaths) {
    std::mt19937_64 random(17);
    std::normal_distribution<double> emission(-1.0, 0.8);
    std::uniform_real_distribution<double> weight(0.1, 1.0);
    const std::vector<Setting> settings{{1.0, 1.0, 300}, {0.9, 1.25, 3}, {0.5, 0.7, 0},
                                        {0.0, 1.0, 4},   {2.0, 0.3, 6},  {0.3, 1.0, 1}};
    const std::vector<std::vector<Law>> law_sets{
        {{2.0, 1.0, -1}, {3.0, 2.0, 2}, {1.5, 0.5, -1}},
        {{2.5, 1.5, 1}, {1.0, 3.0, -1}, {2.0, 0.75, 3}, {3.0, 1.0, -1}},
    };
    for (const Setting& setting : settings) {
        for (const auto& laws : law_sets) {
            Reference reference;
            reference.laws = laws;
            reference.setting = setting;
            const std::size_t positions = laws.size();
            for (std::size_t s = 0; s < positions; ++s) {
                reference.boundaries.push_back(std::int32_t(2 * s + 2 + (s == 1)));
            }
            const std::uint64_t frames = std::uint64_t(reference.boundaries.back());
            reference.outgoing.resize(positions);
            for (std::size_t s = 0; s < positions; ++s) {
                if (s + 2 < positions) reference.outgoing[s].push_back({2, weight(random)});
                reference.outgoing[s].push_back({1, weight(random)});
            }
            reference.emissions.assign(frames, std::vector<double>(positions));
            for (auto& row : reference.emissions) {
                for (double& value : row) value = emission(random);
            }
            HsmmOptions<double> rule;
            std::int32_t previous = 0;
            for (std::size_t s = 0; s < positions; ++s) {
                DurationParameters<double> law;
                law.mean = laws[s].mean;
                law.variance = laws[s].variance;
                reference.row_lengths.push_back(
                    duration_limit(reference.boundaries[s] - previous, law, rule));
                previous = reference.boundaries[s];
            }
            SCOPED_TRACE(::testing::Message()
                         << "temperature " << setting.temperature << ", cache "
                         << setting.cache_length << ", " << positions << " positions");
            check<TypeParam>(reference);
        }
    }
}

}  // namespace
}  // namespace tarvek
