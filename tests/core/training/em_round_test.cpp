// One round of expectation-maximisation: a model initialised from hard segmentations and
// re-estimated from HSMM posteriors must not score its training data worse than before. The
// accumulation is not an exact EM step (a boundary frame lies in two windows; next to the
// unscored last position the occupancy rows are normalised without it), so segments are long
// and the last segment's frames lie far from the others.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/training/estimation.hpp"
#include "core/training/initialization.hpp"
#include "core/training/update.hpp"
#include "test_support.hpp"

namespace tarvek {
namespace {

template <class S>
class EmRound : public ::testing::Test {};
TYPED_TEST_SUITE(EmRound, testing::Scalars);

template <class S>
using Utterance = std::pair<ObservationData<S>, SegmentationData<S>>;

// Five segments over emission and duration states 0, 1, 2, 1, 3 (the last segment's states
// used nowhere else), lengths drawn around each state's mean and 2-D frames around its mean.
template <class S>
std::vector<Utterance<S>> draw_utterances(std::mt19937_64& random, std::size_t count) {
    const std::vector<std::int32_t> states{0, 1, 2, 1, 3};
    const double lengths[4] = {20, 30, 15, 25};
    const double means[4][2] = {{0, 0}, {2, -1}, {-1.5, 2}, {6, 6}};
    std::normal_distribution<double> unit(0.0, 1.0);
    std::vector<Utterance<S>> utterances;
    for (std::size_t n = 0; n < count; ++n) {
        auto segmentation = SegmentationData<S>::create(1, states.size());
        segmentation.duration_states = segmentation.output_states[0] = states;
        for (std::int32_t k = 0, end = 0; k < 5; ++k) {
            end += std::int32_t(std::max(std::round(lengths[states[k]] + 4 * unit(random)), 1.0));
            segmentation.boundaries[k] = end;
        }
        auto observation = ObservationData<S>::create(std::size_t(segmentation.boundaries.back()),
                                                      std::vector<std::size_t>{2});
        for (std::size_t t = 0, k = 0; t < observation.frames; ++t) {
            while (std::size_t(segmentation.boundaries[k]) <= t) ++k;
            for (std::size_t j = 0; j < 2; ++j) {
                observation.streams[0].values[2 * t + j] =
                    S(means[states[k]][j] + 0.7 * unit(random));
            }
        }
        utterances.emplace_back(std::move(observation), std::move(segmentation));
    }
    return utterances;
}

TYPED_TEST(EmRound, SecondTotalIsNotWorse) {
    using S = TypeParam;
    std::mt19937_64 random(31);
    const auto utterances = draw_utterances<S>(random, 8);
    ModelParameters<S> model(std::vector<StreamLayout>{{4, 1, 2}}, 4);
    auto initial = ModelSufficientStatistics<S>::from_model(model);
    double frames = 0;
    for (const auto& [observation, segmentation] : utterances) {
        collect_initialization(initial, model, observation, segmentation);
        frames += double(observation.frames);
    }
    update(model, initial, UpdateOptions<S>{});
    HsmmOptions<S> options{S(1), S(1), S(1)};
    const auto total = [&](ModelSufficientStatistics<S>& statistics) {
        S sum = 0;
        for (const auto& [observation, segmentation] : utterances) {
            sum += estimate_hsmm(statistics, model, observation, segmentation, options);
        }
        return sum;
    };
    auto first = ModelSufficientStatistics<S>::from_model(model);
    const S first_total = total(first);
    ASSERT_TRUE(std::isfinite(first_total));
    const auto initialised = model;
    update(model, first, UpdateOptions<S>{});
    // The last position gets no occupancy, so its own states keep their values.
    EXPECT_EQ(model.streams[0].emissions[3].means, initialised.streams[0].emissions[3].means);
    EXPECT_EQ(model.durations[3].mean, initialised.durations[3].mean);
    EXPECT_NE(model.streams[0].emissions[1].means, initialised.streams[0].emissions[1].means);
    auto second = ModelSufficientStatistics<S>::from_model(model);
    EXPECT_GE(total(second), first_total - 1e-3 * frames) << first_total;
}

}  // namespace
}  // namespace tarvek
