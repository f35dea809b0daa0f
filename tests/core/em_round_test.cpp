// One round of expectation-maximisation: a model initialised from hard segmentations and
// re-estimated from HSMM posteriors must not score its training data worse than before.
//
// The accumulation is not an exact EM step, for two reasons the data below keep small: with a
// positive radius the boundary frame of each segment lies in two windows and is added twice,
// which weighs little when segments are long; and the last position has no occupancy, so next
// to it the state-occupancy rows are normalised over the other positions alone, which leaks
// the last segment's first frames into them unless its frames lie far from theirs.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/estimation.hpp"
#include "core/initialization.hpp"
#include "core/update.hpp"
#include "test_support.hpp"

namespace tarvek {
namespace {

template <class S>
class EmRound : public ::testing::Test {};
TYPED_TEST_SUITE(EmRound, testing::Scalars);

template <class S>
struct Utterance {
    ObservationData<S> observation;
    SegmentationData<S> segmentation;
};

// Five segments over emission and duration states 0, 1, 2, 1, 3: the last segment uses states
// that no other segment uses. Lengths are drawn around each duration state's mean (15 to 30
// frames) and frames around each emission state's mean, in 2 dimensions.
template <class S>
std::vector<Utterance<S>> draw_utterances(std::mt19937_64& random, std::size_t count) {
    const std::vector<std::int32_t> states{0, 1, 2, 1, 3};
    const double length_means[4] = {20, 30, 15, 25};
    const double frame_means[4][2] = {{0, 0}, {2, -1}, {-1.5, 2}, {6, 6}};
    std::normal_distribution<double> unit(0.0, 1.0);
    std::vector<Utterance<S>> utterances;
    for (std::size_t n = 0; n < count; ++n) {
        std::vector<std::int32_t> boundaries;
        std::int32_t end = 0;
        for (const std::int32_t state : states) {
            const double length = std::round(length_means[state] + 4 * unit(random));
            end += static_cast<std::int32_t>(std::max(length, 1.0));
            boundaries.push_back(end);
        }
        Utterance<S> u;
        const std::vector<std::size_t> dimensions{2};
        u.observation = ObservationData<S>::create(static_cast<std::size_t>(end), dimensions);
        u.segmentation = SegmentationData<S>::create(1, states.size());
        u.segmentation.boundaries = boundaries;
        u.segmentation.duration_states = states;
        u.segmentation.output_states[0] = states;
        std::size_t k = 0;
        for (std::int32_t t = 0; t < end; ++t) {
            while (boundaries[k] <= t) ++k;
            for (std::size_t j = 0; j < 2; ++j) {
                u.observation.streams[0].values[2 * t + j] =
                    static_cast<S>(frame_means[states[k]][j] + 0.7 * unit(random));
            }
        }
        utterances.push_back(std::move(u));
    }
    return utterances;
}

template <class S>
S total_log_likelihood(ModelSufficientStatistics<S>& statistics, const ModelParameters<S>& model,
                       const std::vector<Utterance<S>>& utterances, const HsmmOptions<S>& options) {
    S total = 0;
    for (const auto& u : utterances) {
        total += estimate_hsmm(statistics, model, u.observation, u.segmentation, options);
    }
    return total;
}

TYPED_TEST(EmRound, SecondTotalIsNotWorse) {
    using S = TypeParam;
    std::mt19937_64 random(31);
    const auto utterances = draw_utterances<S>(random, 8);
    double frames = 0;
    for (const auto& u : utterances) frames += static_cast<double>(u.observation.frames);

    const std::vector<StreamLayout> layouts{{4, 1, 2}};
    ModelParameters<S> model(layouts, 4);
    const UpdateOptions<S> update_options;
    auto initial = ModelSufficientStatistics<S>::from_model(model);
    for (const auto& u : utterances) {
        collect_initialization(initial, model, u.observation, u.segmentation);
    }
    update(model, initial, update_options);

    HsmmOptions<S> options;
    options.state_radius = S(1);
    auto first = ModelSufficientStatistics<S>::from_model(model);
    const S first_total = total_log_likelihood(first, model, utterances, options);
    ASSERT_TRUE(std::isfinite(first_total));
    const auto initialised = model;
    update(model, first, update_options);
    // The last position gets no occupancy, so its own states keep their values.
    EXPECT_EQ(model.streams[0].emissions[3].means, initialised.streams[0].emissions[3].means);
    EXPECT_EQ(model.durations[3].mean, initialised.durations[3].mean);
    EXPECT_NE(model.streams[0].emissions[1].means, initialised.streams[0].emissions[1].means);

    auto second = ModelSufficientStatistics<S>::from_model(model);
    const S second_total = total_log_likelihood(second, model, utterances, options);
    EXPECT_GE(second_total, first_total - 1e-3 * frames)
        << "first " << first_total << ", second " << second_total;
}

}  // namespace
}  // namespace tarvek
