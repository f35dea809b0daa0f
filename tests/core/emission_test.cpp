#include "core/emission.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/probability.hpp"
#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::error_of;
using testing::two_to;
using Mode = EmissionPruningMode;

template <class S>
class Emission : public ::testing::Test {};
TYPED_TEST_SUITE(Emission, testing::Scalars);

constexpr Mode all_modes[] = {Mode::none, Mode::state_radius, Mode::linear_band};

// Everything one emission call takes.
template <class S>
struct Call {
    ModelParameters<S> model;
    ObservationData<S> observation;
    SegmentationData<S> segmentation;
    Mode mode = Mode::none;
    S temperature = 1;
    S parameter = 0;

    StateScoreTable<S> plain() const {
        return emission_log_probabilities(model, observation, segmentation, mode, temperature,
                                          parameter);
    }
    StateScoreTable<S> prepared(const OwnedPreparedModelParameters<S>& prepared_model) const {
        return sample_emission_densities(model, observation, segmentation, mode, prepared_model,
                                         temperature, parameter);
    }
    StateScoreTable<S> prepared() const { return prepared(prepare(model)); }

    static OwnedPreparedModelParameters<S> prepare(ModelParameters<S> model) {
        return prepare_owned_duration_states(std::move(model), PreparationOptions<S>{},
                                             std::span<const std::uint64_t>{});
    }
};

// A model of random mixtures, one stream per layout; some components carry zero weight.
template <class S>
ModelParameters<S> random_model(std::mt19937_64& random, const std::vector<StreamLayout>& layouts) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.3, 2.0);
    ModelParameters<S> model(layouts, 1);
    for (auto& stream : model.streams) {
        for (auto& mixture : stream.emissions) {
            for (auto& mean : mixture.means) mean = static_cast<S>(normal(random));
            for (auto& variance : mixture.variances) variance = static_cast<S>(uniform(random));
            for (auto& weight : mixture.weights) {
                weight = static_cast<S>(random() % 4 == 0 ? 0.0 : uniform(random));
            }
        }
    }
    return model;
}

template <class S>
ObservationData<S> random_observation(std::mt19937_64& random, std::size_t frames,
                                      const std::vector<std::size_t>& dimensions) {
    std::normal_distribution<double> normal(0.0, 1.0);
    auto observation = ObservationData<S>::create(frames, dimensions);
    for (auto& stream : observation.streams) {
        for (auto& value : stream.values) value = static_cast<S>(normal(random));
    }
    return observation;
}

// Sorted boundaries ending at `frames` (empty segments included), random emission states.
template <class S>
SegmentationData<S> random_segmentation(std::mt19937_64& random, std::size_t positions,
                                        std::int32_t frames,
                                        const std::vector<StreamLayout>& layouts) {
    auto segmentation = SegmentationData<S>::create(layouts.size(), positions);
    for (auto& b : segmentation.boundaries) b = static_cast<std::int32_t>(random() % (frames + 1));
    std::sort(segmentation.boundaries.begin(), segmentation.boundaries.end());
    segmentation.boundaries.back() = frames;
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        for (auto& state : segmentation.output_states[i]) {
            state = static_cast<std::int32_t>(random() % layouts[i].emissions);
        }
    }
    return segmentation;
}

// Whether the mode computes cell (t, s), straight from the window definitions.
template <class S>
bool computed(const Call<S>& call, std::uint64_t t, std::uint64_t s) {
    const std::uint64_t frames = call.observation.frames;
    const std::uint64_t positions = call.segmentation.segment_count();
    if (call.mode == Mode::none) return true;
    if (call.mode == Mode::linear_band) {
        const auto w = static_cast<std::uint64_t>(std::trunc(call.parameter * S(positions)));
        const std::uint64_t c = positions * t / frames;
        return s + w >= c && s < std::min(positions, c + w);
    }
    const S r = call.parameter;
    for (std::uint64_t k = 0; k < positions; ++k) {
        const std::int64_t start = k == 0 ? 0 : call.segmentation.boundaries[k - 1];
        const std::int64_t end =
            std::min<std::int64_t>(call.segmentation.boundaries[k], frames - 1);
        const auto lo = static_cast<std::uint64_t>(std::trunc(std::max(S(k) - r, S(0))));
        const auto hi =
            std::min(positions - 1,
                     static_cast<std::uint64_t>(std::trunc(std::min(S(k) + r, S(positions - 1)))));
        if (start <= std::int64_t(t) && std::int64_t(t) <= end && lo <= s && s <= hi) return true;
    }
    return false;
}

// The table by one-frame scoring of each computed cell.
template <class S>
StateScoreTable<S> reference_table(const Call<S>& call) {
    const std::uint64_t frames = call.observation.frames;
    const std::uint64_t positions = call.segmentation.segment_count();
    StateScoreTable<S> table{std::vector<S>(frames * positions, log_zero<S>), frames, positions};
    for (std::uint64_t t = 0; t < frames; ++t) {
        for (std::uint64_t s = 0; s < positions; ++s) {
            if (!computed(call, t, s)) continue;
            S sum = 0;
            for (std::size_t i = 0; i < call.model.streams.size(); ++i) {
                const auto& stream = call.observation.streams[i];
                const auto& mixture =
                    call.model.streams[i].emissions[call.segmentation.output_states[i][s]];
                const std::vector<S> normalizers = gaussian_normalizers(mixture);
                const PreparedGaussianView<S> view(mixture, normalizers);
                const S score =
                    view.log_probability(std::span<const S>(stream.values)
                                             .subspan(t * stream.dimension, stream.dimension),
                                         call.temperature);
                sum = sum + score * call.model.streams[i].weight;
            }
            table(t, s) = sum;
        }
    }
    return table;
}

template <class S>
void expect_same_bits(const StateScoreTable<S>& actual, const StateScoreTable<S>& expected) {
    ASSERT_EQ(actual.frames, expected.frames);
    ASSERT_EQ(actual.states, expected.states);
    ASSERT_EQ(actual.values.size(), expected.values.size());
    for (std::size_t i = 0; i < actual.values.size(); ++i) {
        ASSERT_EQ(bits(actual.values[i]), bits(expected.values[i]))
            << "cell " << i / actual.states << ", " << i % actual.states;
    }
}

template <class S>
Call<S> random_call(std::mt19937_64& random, Mode mode, S parameter) {
    const std::vector<StreamLayout> layouts{{4, 3, 5}, {2, 1, 2}, {3, 20, 3}};
    const auto frames = static_cast<std::int32_t>(random() % 40 + 1);
    const std::size_t positions = random() % 12 + 1;
    Call<S> call{random_model<S>(random, layouts), random_observation<S>(random, frames, {5, 2, 3}),
                 random_segmentation<S>(random, positions, frames, layouts)};
    call.mode = mode;
    call.parameter = parameter;
    call.model.streams[1].weight = S(0.5);
    call.model.streams[2].weight = S(1.25);
    return call;
}

// Batched position-by-position scoring gives the one-frame scores of exactly the window cells,
// and the prepared model gives the same bits.
TYPED_TEST(Emission, TablesMatchOneFrameScoringOfTheWindowCells) {
    using S = TypeParam;
    std::mt19937_64 random(42);
    const S parameters[] = {S(0), S(0.5), S(1.5), S(2), S(0.09), S(0.3), S(7)};
    const S temperatures[] = {S(1), S(0.7), S(0)};
    for (int trial = 0; trial < 60; ++trial) {
        for (const Mode mode : all_modes) {
            Call<S> call = random_call<S>(random, mode, parameters[trial % 7]);
            call.temperature = temperatures[trial % 3];
            const auto table = call.plain();
            expect_same_bits(table, reference_table(call));
            expect_same_bits(call.prepared(), table);
        }
    }
}

TEST(EmissionF64, SingleComponentMatchesClosedForm) {
    std::mt19937_64 random(3);
    Call<double> call{random_model<double>(random, {{2, 1, 6}}),
                      random_observation<double>(random, 9, {6}),
                      random_segmentation<double>(random, 4, 9, {{2, 1, 6}})};
    call.temperature = 0.75;
    const auto table = call.plain();
    for (std::uint64_t t = 0; t < 9; ++t) {
        for (std::uint64_t s = 0; s < 4; ++s) {
            const auto& mixture =
                call.model.streams[0].emissions[call.segmentation.output_states[0][s]];
            long double normalizer = 0, quadratic = 0;
            for (std::size_t j = 0; j < 6; ++j) {
                const long double v = mixture.variances[j];
                const long double x = call.observation.streams[0].values[t * 6 + j] -
                                      static_cast<long double>(mixture.means[j]);
                normalizer -= std::log(2.0L * 3.14159265358979323846264338327950288L * v);
                quadratic += x * x / v;
            }
            const long double expected = 0.75L * (0.5L * normalizer - 0.5L * quadratic);
            const double tolerance =
                1e-12 * static_cast<double>(std::fabs(0.5L * normalizer) + 0.5L * quadratic);
            EXPECT_NEAR(table(t, s), static_cast<double>(expected), tolerance) << t << ' ' << s;
        }
    }
}

TYPED_TEST(Emission, StreamsAddTheirWeightedScores) {
    using S = TypeParam;
    std::mt19937_64 random(8);
    const std::vector<StreamLayout> layouts{{2, 3, 4}, {2, 2, 3}};
    Call<S> call{random_model<S>(random, layouts), random_observation<S>(random, 12, {4, 3}),
                 random_segmentation<S>(random, 5, 12, layouts)};
    // Each stream alone, with weight 1.
    std::vector<StateScoreTable<S>> alone;
    for (std::size_t i = 0; i < 2; ++i) {
        Call<S> single = call;
        single.model.streams = {call.model.streams[i]};
        single.observation.streams = {call.observation.streams[i]};
        single.segmentation.output_states = {call.segmentation.output_states[i]};
        alone.push_back(single.plain());
    }
    call.model.streams[0].weight = S(0.5);
    call.model.streams[1].weight = S(2.0);
    const auto both = call.plain();
    for (std::size_t c = 0; c < both.values.size(); ++c) {
        EXPECT_EQ(both.values[c], alone[0].values[c] * S(0.5) + alone[1].values[c] * S(2.0));
    }
    // A zero weight removes that stream's contribution.
    call.model.streams[0].weight = S(1);
    call.model.streams[1].weight = S(0);
    const auto first_only = call.plain();
    for (std::size_t c = 0; c < both.values.size(); ++c) {
        EXPECT_EQ(first_only.values[c], alone[0].values[c]);
    }
}

// A one-stream call over `frames` frames with the given boundaries, state i for segment i.
template <class S>
Call<S> chain_call(std::vector<std::int32_t> boundaries, std::int32_t frames, Mode mode,
                   S parameter) {
    std::mt19937_64 random(1);
    const StreamLayout layout{boundaries.size(), 2, 3};
    Call<S> call{random_model<S>(random, {layout}),
                 random_observation<S>(random, frames, {3}),
                 SegmentationData<S>::create(1, boundaries.size()),
                 mode,
                 S(1),
                 parameter};
    call.segmentation.boundaries = std::move(boundaries);
    for (std::size_t k = 0; k < layout.emissions; ++k) {
        call.segmentation.output_states[0][k] = static_cast<std::int32_t>(k);
    }
    return call;
}

// The cells (t, s) that do not hold log zero.
template <class S>
std::vector<std::pair<std::uint64_t, std::uint64_t>> computed_cells(
    const StateScoreTable<S>& table) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> cells;
    for (std::uint64_t t = 0; t < table.frames; ++t) {
        for (std::uint64_t s = 0; s < table.states; ++s) {
            if (table(t, s) != log_zero<S>) cells.emplace_back(t, s);
        }
    }
    return cells;
}

TYPED_TEST(Emission, RadiusZeroCoversEachSegmentAndItsBoundaryFrame) {
    using S = TypeParam;
    // Segment 0 covers frame 0, segment 1 frames 0 to 3, segment 2 frame 3, segment 3 frames 3
    // and 4.
    const auto table = chain_call<S>({0, 3, 3, 5}, 5, Mode::state_radius, S(0)).plain();
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected{
        {0, 0}, {0, 1}, {1, 1}, {2, 1}, {3, 1}, {3, 2}, {3, 3}, {4, 3}};
    EXPECT_EQ(computed_cells(table), expected);
}

TYPED_TEST(Emission, BandRowsAndEmptyBands) {
    using S = TypeParam;
    // S = 10, T = 20, slope 0.3: w = 3, so frame 0 holds positions 0 to 2.
    std::vector<std::int32_t> boundaries{2, 4, 6, 8, 10, 12, 14, 16, 18, 20};
    const auto table = chain_call<S>(boundaries, 20, Mode::linear_band, S(0.3)).plain();
    for (std::uint64_t s = 0; s < 10; ++s) EXPECT_EQ(table(0, s) != log_zero<S>, s < 3) << s;
    // slope · S below 1: nothing is computed, not even a frame holding NaN.
    for (const S slope : {S(0), S(0.09)}) {
        auto call = chain_call<S>(boundaries, 20, Mode::linear_band, slope);
        call.observation.streams[0].values[7] = std::numeric_limits<S>::quiet_NaN();
        const auto empty = call.plain();
        EXPECT_TRUE(computed_cells(empty).empty());
        expect_same_bits(call.prepared(), empty);
    }
}

TYPED_TEST(Emission, NonFiniteFrameInAWindowFails) {
    using S = TypeParam;
    for (const Mode mode : all_modes) {
        auto call = chain_call<S>({2, 4, 6}, 6, mode, S(1));
        call.observation.streams[0].values[4 * 3 + 1] = std::numeric_limits<S>::infinity();
        EXPECT_EQ(error_of([&] { call.plain(); }),
                  "observation must have matching dimensions and finite values");
        EXPECT_EQ(error_of([&] { call.prepared(); }),
                  "observation must have matching dimensions and finite values");
    }
}

TYPED_TEST(Emission, BoundariesAreCheckedOnlyForTheStateRadius) {
    using S = TypeParam;
    for (const Mode mode : all_modes) {
        // Unordered, and the last boundary short of T.
        auto call = chain_call<S>({3, 1, 4}, 6, mode, S(1));
        const std::string expected =
            mode == Mode::state_radius ? "segment boundaries must be ordered within the observation"
                                       : "no error";
        EXPECT_EQ(error_of([&] { call.plain(); }), expected);
        EXPECT_EQ(error_of([&] { call.prepared(); }), expected);
        call.segmentation.boundaries = {1, 3, 4};
        EXPECT_EQ(error_of([&] { call.plain(); }),
                  mode == Mode::state_radius ? "final segment boundary must match the frame count"
                                             : "no error");
    }
}

// The ladders below cover the radius; these are the other parameter edges.
TYPED_TEST(Emission, TemperatureAndSlopeChecks) {
    using S = TypeParam;
    auto call = chain_call<S>({2, 4}, 4, Mode::none, std::numeric_limits<S>::quiet_NaN());
    call.temperature = S(-0.0);
    EXPECT_EQ(error_of([&] { call.plain(); }), "no error");  // and the parameter is ignored
    call.temperature = static_cast<S>(-1e-45);  // a negative subnormal in 32-bit precision
    EXPECT_EQ(error_of([&] { call.plain(); }), "temperature must be finite and nonnegative");
    call.temperature = S(1);
    call.mode = Mode::linear_band;
    EXPECT_EQ(error_of([&] { call.plain(); }),
              "linear pruning slope must be finite and nonnegative");
    call.parameter = S(-1);
    EXPECT_EQ(error_of([&] { call.prepared(); }),
              "linear pruning slope must be finite and nonnegative");
    call.parameter = S(-0.0);
    EXPECT_EQ(error_of([&] { call.plain(); }), "no error");
    call.mode = static_cast<Mode>(3);
    EXPECT_EQ(error_of([&] { call.plain(); }), "unknown emission pruning mode");
}

// One step per check, in order: each step's input also fails every later check, then the step
// mends its own fault.
struct Step {
    const char* expected;
    std::function<void()> mend;
};

template <class S>
void expect_check_order(const std::vector<Step>& steps,
                        const std::function<StateScoreTable<S>()>& run) {
    for (const Step& step : steps) {
        EXPECT_EQ(error_of(run), step.expected);
        step.mend();
    }
    EXPECT_EQ(error_of(run), "no error");
}

// A call that fails every input check at once; its model is valid.
template <class S>
Call<S> broken_call() {
    std::mt19937_64 random(2);
    Call<S> call{random_model<S>(random, {{2, 2, 2}}), ObservationData<S>{},
                 SegmentationData<S>::create(1, 0)};
    call.observation.frames = two_to(31);
    call.observation.streams.resize(2);
    call.segmentation.duration_states.push_back(0);
    call.mode = Mode::state_radius;
    call.temperature = S(-1);
    call.parameter = std::numeric_limits<S>::quiet_NaN();
    return call;
}

template <class S>
std::vector<Step> observation_and_segmentation_steps(Call<S>& call) {
    return {
        {"frame count exceeds the legacy format",
         [&] {
             const std::vector<std::size_t> dimensions{3, 3};
             call.observation = ObservationData<S>::create(0, dimensions);
         }},
        {"segmentation arrays have inconsistent lengths",
         [&] { call.segmentation.duration_states.clear(); }},
    };
}

template <class S>
std::vector<Step> shape_and_mode_steps(Call<S>& call) {
    return {
        {"emission sampling requires positive frame and state counts",
         [&] {
             // From here on the stream counts (1, 2, 1) differ, and the boundaries, the
             // emission state 5, the dimensions 3 and a NaN frame value are wrong.
             std::mt19937_64 random(4);
             call.observation = random_observation<S>(random, 6, {3, 3});
             call.observation.streams[0].values[5] = std::numeric_limits<S>::quiet_NaN();
             call.segmentation = SegmentationData<S>::create(1, 3);
             call.segmentation.boundaries = {2, 1, 7};
             call.segmentation.output_states[0] = {0, 5, 1};
         }},
        {"model, observation, and segmentation stream counts differ",
         [&] { call.observation.streams.pop_back(); }},
        {"temperature must be finite and nonnegative", [&] { call.temperature = S(1); }},
        {"state pruning radius must be finite and nonnegative", [&] { call.parameter = S(1); }},
        {"segment boundaries must be ordered within the observation",
         [&] { call.segmentation.boundaries = {2, 4, 5}; }},
        {"final segment boundary must match the frame count",
         [&] { call.segmentation.boundaries = {2, 4, 6}; }},
    };
}

template <class S>
std::vector<Step> per_stream_and_cell_steps(Call<S>& call) {
    return {
        {"emission state is out of range", [&] { call.segmentation.output_states[0][1] = 1; }},
        {"emission and observation dimensions differ",
         [&] {
             auto& stream = call.observation.streams[0];
             stream.dimension = 2;
             stream.values.resize(12);
             stream.values[5] = std::numeric_limits<S>::quiet_NaN();
         }},
        // The table is allocated here; a cell then meets the NaN.
        {"observation must have matching dimensions and finite values",
         [&] { call.observation.streams[0].values[5] = S(0); }},
    };
}

void append(std::vector<Step>& steps, std::vector<Step> more) {
    for (Step& step : more) steps.push_back(std::move(step));
}

TYPED_TEST(Emission, CheckOrder) {
    using S = TypeParam;
    Call<S> call = broken_call<S>();
    auto& mixtures = call.model.streams[0].emissions;
    call.model.streams[0].weight = std::numeric_limits<S>::infinity();
    mixtures[0].means.push_back(S(0));
    mixtures[1].variances[3] = S(0);
    // The preparation runs before any input check.
    std::vector<Step> steps{
        {"stream weights must be finite and nonnegative",
         [&] { call.model.streams[0].weight = S(1); }},
        {"parameter lengths do not match dimensions", [&] { mixtures[0].means.pop_back(); }},
        {"emissions require finite means, positive variances, and nonnegative finite weights",
         [&] { mixtures[1].variances[3] = S(1); }},
    };
    append(steps, observation_and_segmentation_steps(call));
    append(steps, shape_and_mode_steps(call));
    append(steps, per_stream_and_cell_steps(call));
    expect_check_order<S>(steps, [&] { return call.plain(); });
}

TYPED_TEST(Emission, PreparedCheckOrder) {
    using S = TypeParam;
    Call<S> call = broken_call<S>();
    const auto prepared = Call<S>::prepare(call.model);
    // The model argument supplies weights and is only shape-checked: no preparation phase.
    call.model.streams[0].weight = std::numeric_limits<S>::infinity();
    call.model.streams[0].emissions[0].means.push_back(S(0));
    call.model.streams[0].emissions[1].variances[3] = S(0);
    std::vector<Step> steps = observation_and_segmentation_steps(call);
    steps.push_back({"parameter lengths do not match dimensions",
                     [&] { call.model.streams[0].emissions[0].means.pop_back(); }});
    append(steps, shape_and_mode_steps(call));
    steps.push_back({"stream weights must be finite and nonnegative",
                     [&] { call.model.streams[0].weight = S(1); }});
    append(steps, per_stream_and_cell_steps(call));
    expect_check_order<S>(steps, [&] { return call.prepared(prepared); });
}

TYPED_TEST(Emission, PreparedModelLackingAMixtureFails) {
    using S = TypeParam;
    auto call = chain_call<S>({2, 4, 6}, 6, Mode::state_radius, S(0));
    // The prepared model has two emissions where the model argument has three.
    auto smaller = call.model;
    smaller.streams[0].emissions.pop_back();
    const auto prepared = Call<S>::prepare(smaller);
    EXPECT_EQ(error_of([&] { call.prepared(prepared); }), "emission state is out of range");
    // Unless no cell of position 2 is computed (its segment starts at T): the other cells are
    // those of the full model.
    call.segmentation.boundaries = {3, 6, 6};
    expect_same_bits(call.prepared(prepared), call.plain());
    // A prepared mixture of other dimensions is refused by the mixture scoring, not read.
    auto wider = call.model;
    wider.streams[0].emissions[1] = GaussianMixtureParameters<S>(2, 4);
    for (auto& variance : wider.streams[0].emissions[1].variances) variance = S(1);
    call.mode = Mode::none;
    EXPECT_EQ(error_of([&] { call.prepared(Call<S>::prepare(wider)); }),
              "observation must have matching dimensions and finite values");
}

}  // namespace
}  // namespace tarvek
