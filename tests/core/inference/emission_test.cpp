#include "core/inference/emission.hpp"

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

#include "core/model/probability.hpp"
#include "inference/geometric_test_support.hpp"
#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::error_of;
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

// Random mixtures (a quarter of the component weights zero), frames and emission states;
// sorted boundaries ending at T, empty segments included.
template <class S>
Call<S> random_call(std::mt19937_64& random, const std::vector<StreamLayout>& layouts,
                    std::int32_t frames, std::size_t positions) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.3, 2.0);
    std::vector<std::size_t> dimensions;
    for (const StreamLayout& layout : layouts) dimensions.push_back(layout.dimensions);
    Call<S> call{ModelParameters<S>(layouts, 1), ObservationData<S>::create(frames, dimensions),
                 SegmentationData<S>::create(layouts.size(), positions)};
    {
        const auto edit = call.model.edit();
        for (auto& stream : edit.streams()) {
            for (auto& mixture : stream.emissions) {
                for (auto& mean : mixture.means) mean = static_cast<S>(normal(random));
                for (auto& variance : mixture.variances) variance = static_cast<S>(uniform(random));
                for (auto& w : mixture.weights)
                    w = static_cast<S>(random() % 4 ? uniform(random) : 0);
            }
        }
    }
    for (auto& stream : call.observation.streams) {
        for (auto& value : stream.values) value = static_cast<S>(normal(random));
    }
    auto& boundaries = call.segmentation.boundaries;
    for (auto& b : boundaries) b = static_cast<std::int32_t>(random() % (frames + 1));
    std::sort(boundaries.begin(), boundaries.end());
    boundaries.back() = frames;
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        for (auto& e : call.segmentation.output_states[i]) e = random() % layouts[i].emissions;
    }
    return call;
}

// Whether the mode computes cell (t, s), straight from the window definitions.
template <class S>
bool computed(const Call<S>& call, std::uint64_t t, std::uint64_t s) {
    const std::uint64_t frames = call.observation.frames;
    const std::uint64_t positions = call.segmentation.segment_count();
    if (call.mode == Mode::state_radius) {
        return geometric_testing::in_radius_window(call.segmentation.boundaries, frames,
                                                   call.parameter, t, s);
    }
    const auto w = static_cast<std::uint64_t>(std::trunc(call.parameter * S(positions)));
    return call.mode == Mode::none || geometric_testing::in_band(t, s, frames, positions, w);
}

// The table by one-frame scoring of each computed cell.
template <class S>
StateScoreTable<S> reference_table(const Call<S>& call) {
    const std::uint64_t frames = call.observation.frames;
    const std::uint64_t positions = call.segmentation.segment_count();
    StateScoreTable<S> table{TableVector<S>(frames * positions, log_zero<S>), frames, positions};
    for (std::uint64_t t = 0; t < frames; ++t) {
        for (std::uint64_t s = 0; s < positions; ++s) {
            if (!computed(call, t, s)) continue;
            S sum = 0;
            for (std::size_t i = 0; i < call.model.streams.size(); ++i) {
                const auto& stream = call.observation.streams[i];
                const auto& mixture =
                    call.model.streams[i].emissions[call.segmentation.output_states[i][s]];
                const std::vector<S> normalizers = gaussian_normalizers(mixture);
                const std::span<const S> frame(&stream.values[t * stream.dimension],
                                               stream.dimension);
                const S score = PreparedGaussianView<S>(mixture, normalizers)
                                    .log_probability(frame, call.temperature);
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
    for (std::size_t i = 0; i < actual.values.size(); ++i) {
        ASSERT_EQ(bits(actual.values[i]), bits(expected.values[i])) << "cell " << i;
    }
}

// Exactly the window cells, each as one-frame scoring gives it; the prepared model agrees.
// The radius checks are in CheckOrder.
TYPED_TEST(Emission, TablesMatchOneFrameScoringOfTheWindowCells) {
    using S = TypeParam;
    std::mt19937_64 random(42);
    const S parameters[] = {S(0), S(0.5), S(1.5), S(2), S(0.09), S(0.3), S(7)};
    for (int trial = 0; trial < 60; ++trial) {
        for (const Mode mode : all_modes) {
            auto call = random_call<S>(random, {{4, 3, 5}, {2, 1, 2}, {3, 20, 3}},
                                       1 + random() % 40, 1 + random() % 12);
            call.mode = mode;
            call.parameter = parameters[trial % 7];
            call.temperature = S(trial % 3) * S(0.35);
            {
                const auto edit = call.model.edit();
                edit.streams()[1].weight = S(0.5);
                edit.streams()[2].weight = S(1.25);
            }
            if (mode != Mode::state_radius && trial % 2 == 1) {  // only the radius reads these
                std::reverse(call.segmentation.boundaries.begin(),
                             call.segmentation.boundaries.end());
                call.segmentation.boundaries.back() = -1;
            }
            const auto table = call.plain();
            expect_same_bits(table, reference_table(call));
            expect_same_bits(call.prepared(), table);
        }
    }
}

TEST(EmissionF64, SingleComponentMatchesClosedForm) {
    std::mt19937_64 random(3);
    auto call = random_call<double>(random, {{2, 1, 6}}, 9, 4);
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
    auto call = random_call<S>(random, {{2, 3, 4}, {2, 2, 3}}, 12, 5);
    std::vector<StateScoreTable<S>> alone;  // each stream with weight 1
    for (std::size_t i = 0; i < 2; ++i) {
        Call<S> single = call;
        {
            const auto edit = single.model.edit();
            edit.streams() = {call.model.streams[i]};
        }
        single.observation.streams = {call.observation.streams[i]};
        single.segmentation.output_states = {call.segmentation.output_states[i]};
        alone.push_back(single.plain());
    }
    for (const auto& [first, second] : {std::pair{S(0.5), S(2)}, {S(1), S(0)}}) {
        {
            const auto edit = call.model.edit();
            edit.streams()[0].weight = first;
            edit.streams()[1].weight = second;
        }
        const auto both = call.plain();
        for (std::size_t c = 0; c < both.values.size(); ++c) {
            EXPECT_EQ(both.values[c], alone[0].values[c] * first + alone[1].values[c] * second);
        }
    }
}

// One stream over `frames` frames with the given boundaries, emission state k for segment k.
template <class S>
Call<S> chain_call(std::vector<std::int32_t> boundaries, std::int32_t frames, Mode mode,
                   S parameter) {
    std::mt19937_64 random(1);
    auto call = random_call<S>(random, {{boundaries.size(), 2, 3}}, frames, boundaries.size());
    call.segmentation.boundaries = std::move(boundaries);
    for (std::size_t k = 0; k < call.segmentation.segment_count(); ++k) {
        call.segmentation.output_states[0][k] = static_cast<std::int32_t>(k);
    }
    call.mode = mode;
    call.parameter = parameter;
    return call;
}

template <class S>
std::vector<std::pair<std::uint64_t, std::uint64_t>> computed_cells(const StateScoreTable<S>& t) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> cells;
    for (std::size_t i = 0; i < t.values.size(); ++i) {
        if (t.values[i] != log_zero<S>) cells.emplace_back(i / t.states, i % t.states);
    }
    return cells;
}

TYPED_TEST(Emission, HandWorkedWindows) {
    using S = TypeParam;
    // Radius 0: segment 0 covers frame 0, segment 1 frames 0 to 3, segment 2 frame 3,
    // segment 3 frames 3 and 4.
    EXPECT_EQ(computed_cells(chain_call<S>({0, 3, 3, 5}, 5, Mode::state_radius, S(0)).plain()),
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{
                  {0, 0}, {0, 1}, {1, 1}, {2, 1}, {3, 1}, {3, 2}, {3, 3}, {4, 3}}));
    // S = 10, T = 20, slope 0.3: w = 3, so frame 0 holds positions 0 to 2.
    const std::vector<std::int32_t> boundaries{2, 4, 6, 8, 10, 12, 14, 16, 18, 20};
    const auto band = chain_call<S>(boundaries, 20, Mode::linear_band, S(0.3)).plain();
    for (std::uint64_t s = 0; s < 10; ++s) EXPECT_EQ(band(0, s) != log_zero<S>, s < 3) << s;
    // Slope · S below 1: nothing is computed, not even a frame holding NaN.
    for (const S slope : {S(0), S(0.09)}) {
        auto call = chain_call<S>(boundaries, 20, Mode::linear_band, slope);
        call.observation.streams[0].values[7] = std::numeric_limits<S>::quiet_NaN();
        EXPECT_TRUE(computed_cells(call.plain()).empty());
        EXPECT_TRUE(computed_cells(call.prepared()).empty());
    }
}

// A shape changed without renewing the stamp meets the shape check that runs even after a
// remembered pass: verify builds stop there loudly, the others report it as usual.
TYPED_TEST(Emission, ShapeChangedWithoutRenewal) {
    using S = TypeParam;
    using Streams = std::vector<StreamParameters<S>>;
    std::mt19937_64 random(5);
    Call<S> call = random_call<S>(random, {{2, 2, 3}}, 6, 3);
    ASSERT_EQ(error_of([&] { call.plain(); }), "no error");  // the pass is remembered
    const_cast<Streams&>(static_cast<const Streams&>(call.model.streams))[0]
        .emissions[0]
        .means.pop_back();
#ifdef TARVEK_VERIFY_REMEMBERED_CHECKS
    EXPECT_DEATH(call.plain(),
                 "changed without renewing its change stamp; the check now fails with "
                 "\"parameter lengths do not match dimensions\"");
#else
    EXPECT_EQ(error_of([&] { call.plain(); }), "parameter lengths do not match dimensions");
#endif
}

TYPED_TEST(Emission, ParameterChecks) {
    using S = TypeParam;
    auto call = chain_call<S>({2, 4}, 4, Mode::none, std::numeric_limits<S>::quiet_NaN());
    call.temperature = S(-0.0);
    EXPECT_EQ(error_of([&] { call.plain(); }), "no error");  // and the parameter is ignored
    call.temperature = static_cast<S>(-1e-45);  // a negative subnormal in 32-bit precision
    EXPECT_EQ(error_of([&] { call.plain(); }), "temperature must be finite and nonnegative");
    call.temperature = S(1);
    call.mode = Mode::linear_band;
    for (const S slope : {std::numeric_limits<S>::quiet_NaN(), S(-1)}) {
        call.parameter = slope;
        EXPECT_EQ(error_of([&] { call.prepared(); }),
                  "linear pruning slope must be finite and nonnegative");
    }
    call.parameter = S(-0.0);
    EXPECT_EQ(error_of([&] { call.plain(); }), "no error");
    call.mode = static_cast<Mode>(3);
    EXPECT_EQ(error_of([&] { call.plain(); }), "unknown emission pruning mode");
}

// One step per check, in order: the call starts out failing every check, and each step mends
// its own fault after its message is seen.
struct Step {
    const char* expected;
    std::function<void()> mend;
};

// Breaks every input of `c`, whose model is valid.
template <class S>
std::vector<Step> check_steps(Call<S>& c, bool prepared) {
    const S nan = std::numeric_limits<S>::quiet_NaN();
    c.observation = ObservationData<S>{};
    c.observation.frames = testing::two_to(31);
    c.observation.streams.resize(2);
    c.segmentation = SegmentationData<S>::create(1, 0);
    c.segmentation.duration_states.push_back(0);
    c.mode = Mode::state_radius;
    c.temperature = S(-1);
    c.parameter = nan;
    {
        const auto edit = c.model.edit();
        edit.streams()[0].weight = std::numeric_limits<S>::infinity();
        edit.streams()[0].emissions[0].means.push_back(S(0));
        edit.streams()[0].emissions[1].variances[3] = S(0);  // the prepared form never reads it
    }
    const Step weight{"stream weights must be finite and nonnegative", [&c] {
                          const auto edit = c.model.edit();
                          edit.streams()[0].weight = S(1);
                      }};
    const Step lengths{"parameter lengths do not match dimensions", [&c] {
                           const auto edit = c.model.edit();
                           edit.streams()[0].emissions[0].means.pop_back();
                       }};
    std::vector<Step> steps;
    if (!prepared) {  // the preparation runs before any input check
        steps = {weight,
                 lengths,
                 {"emissions require finite means, positive variances, and nonnegative finite "
                  "weights",
                  [&c] {
                      const auto edit = c.model.edit();
                      edit.streams()[0].emissions[1].variances[3] = S(1);
                  }}};
    }
    steps.push_back(
        {"frame count exceeds the legacy format", [&c] {
             c.observation = ObservationData<S>::create(0, std::vector<std::size_t>{3, 3});
         }});
    steps.push_back({"segmentation arrays have inconsistent lengths",
                     [&c] { c.segmentation.duration_states.clear(); }});
    if (prepared) steps.push_back(lengths);
    // From here on the stream counts (1, 2, 1), the boundaries, the emission state 5, the
    // dimensions 3 and a frame value are wrong.
    steps.push_back(
        {"emission sampling requires positive frame and state counts", [&c, nan] {
             std::mt19937_64 random(4);
             c.observation = random_call<S>(random, {{1, 1, 3}, {1, 1, 3}}, 6, 1).observation;
             c.observation.streams[0].values[5] = nan;
             c.segmentation = SegmentationData<S>::create(1, 3);
             c.segmentation.boundaries = {2, 1, 7};
             c.segmentation.output_states[0] = {0, 5, 1};
         }});
    const std::vector<Step> later{
        {"model, observation, and segmentation stream counts differ",
         [&c] { c.observation.streams.pop_back(); }},
        {"temperature must be finite and nonnegative", [&c] { c.temperature = S(1); }},
        {"state pruning radius must be finite and nonnegative", [&c] { c.parameter = S(1); }},
        {"segment boundaries must be ordered within the observation",
         [&c] {
             c.segmentation.boundaries = {2, 4, 5};
         }},
        {"final segment boundary must match the frame count", [&c] {
             c.segmentation.boundaries = {2, 4, 6};
         }}};
    steps.insert(steps.end(), later.begin(), later.end());
    if (prepared) steps.push_back(weight);  // weights are checked per stream here
    const std::vector<Step> per_stream{
        {"emission state is out of range", [&c] { c.segmentation.output_states[0][1] = 1; }},
        {"emission and observation dimensions differ",
         [&c, nan] {
             c.observation.streams[0] = {std::vector<S>(12, S(0)), 2};
             c.observation.streams[0].values[5] = nan;
         }},
        // The table is allocated here; a cell then meets the NaN.
        {"observation must have matching dimensions and finite values",
         [&c] { c.observation.streams[0].values[5] = S(0); }}};
    steps.insert(steps.end(), per_stream.begin(), per_stream.end());
    return steps;
}

TYPED_TEST(Emission, CheckOrder) {
    using S = TypeParam;
    for (const bool prepared : {false, true}) {
        std::mt19937_64 random(2);
        Call<S> call = random_call<S>(random, {{2, 2, 2}}, 1, 1);
        const auto prepared_model = Call<S>::prepare(call.model);
        const std::vector<Step> steps = check_steps(call, prepared);
        const auto run = [&] { return prepared ? call.prepared(prepared_model) : call.plain(); };
        for (const Step& step : steps) {
            EXPECT_EQ(error_of(run), step.expected) << prepared;
            step.mend();
        }
        EXPECT_EQ(error_of(run), "no error");
    }
}

TYPED_TEST(Emission, PreparedModelLackingAMixtureFails) {
    using S = TypeParam;
    auto call = chain_call<S>({2, 4, 6}, 6, Mode::state_radius, S(0));
    // The prepared model has two emissions where the model argument has three.
    auto smaller = call.model;
    {
        const auto edit = smaller.edit();
        edit.streams()[0].emissions.pop_back();
    }
    const auto prepared = Call<S>::prepare(smaller);
    EXPECT_EQ(error_of([&] { call.prepared(prepared); }), "emission state is out of range");
    // Unless no cell of position 2 is computed (its segment starts at T).
    call.segmentation.boundaries = {3, 6, 6};
    expect_same_bits(call.prepared(prepared), call.plain());
    // A prepared mixture of other dimensions is refused by the mixture scoring, not read.
    auto wider = call.model;
    GaussianMixtureParameters<S> wide(2, 4);
    std::fill(wide.variances.begin(), wide.variances.end(), S(1));
    {
        const auto edit = wider.edit();
        edit.streams()[0].emissions[1] = wide;
    }
    call.mode = Mode::none;
    EXPECT_EQ(error_of([&] { call.prepared(Call<S>::prepare(wider)); }),
              "observation must have matching dimensions and finite values");
}

}  // namespace
}  // namespace tarvek
