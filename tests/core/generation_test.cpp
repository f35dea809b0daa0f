#include "core/generation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;
using testing::two_to;

const char* const draw_message = "normal sampling requires radial in (0,1] and angular in [0,1]";
const char* const no_sequences = "generation requires nonempty matching stream and state sequences";
const char* const bad_emission = "generation emission parameters or dimensions are invalid";

template <class S>
class Generation : public ::testing::Test {};
TYPED_TEST_SUITE(Generation, testing::Scalars);

// Serves the listed draws in order, then NaN; counts every call.
template <Scalar S>
struct ListedDraws {
    std::vector<S> values;
    std::size_t calls = 0;
    S operator()() {
        const std::size_t i = calls++;
        return i < values.size() ? values[i] : std::numeric_limits<S>::quiet_NaN();
    }
};

// The same valid draw every time.
template <Scalar S>
struct ConstantDraws {
    S value = S(0.7);
    std::size_t calls = 0;
    S operator()() {
        ++calls;
        return value;
    }
};

// Seeded words; fails (and stays failed) from word number `fail_at` on, counting 1 up.
struct TestWords {
    std::mt19937 engine{7};
    std::uint64_t words = 0;
    std::uint64_t fail_at = std::numeric_limits<std::uint64_t>::max();
    bool latched = false;
    std::uint32_t word() {
        if (latched) return 0xFFFFFFFF;
        if (++words >= fail_at) {
            latched = true;
            return 0xFFFFFFFF;
        }
        return static_cast<std::uint32_t>(engine());
    }
    bool failed() const { return latched; }
};

// One-component mixture over `dimensions`, weight 1, the given mean and variance everywhere.
template <Scalar S>
GaussianMixtureParameters<S> mixture(std::uint64_t dimensions, S mean = 0, S variance = 0) {
    GaussianMixtureParameters<S> result(1, dimensions);
    result.weights = {S(1)};
    result.means.assign(dimensions, mean);
    result.variances.assign(dimensions, variance);
    return result;
}

template <Scalar S>
DurationParameters<S> duration(S mean, S variance = 0) {
    DurationParameters<S> result;
    result.mean = mean;
    result.variance = variance;
    return result;
}

// One stream per entry of `dimensions`, each with one emission; durations as given.
template <Scalar S>
ModelParameters<S> model_of(std::vector<std::uint64_t> dimensions,
                            std::vector<DurationParameters<S>> durations) {
    ModelParameters<S> model;
    for (const std::uint64_t d : dimensions) {
        StreamParameters<S> stream;
        stream.emissions.push_back(mixture<S>(d));
        model.streams.push_back(std::move(stream));
    }
    model.durations = std::move(durations);
    return model;
}

// A chain of `duration_states.size()` segments, every emission state 0, old boundaries 99.
template <Scalar S>
SegmentationData<S> sequence_of(std::size_t streams, std::vector<std::int32_t> duration_states) {
    SegmentationData<S> sequence = SegmentationData<S>::create(streams, duration_states.size());
    sequence.duration_states = std::move(duration_states);
    sequence.boundaries.assign(sequence.duration_states.size(), 99);
    return sequence;
}

TYPED_TEST(Generation, WorkedExample) {
    using S = TypeParam;
    const ModelParameters<S> model = model_of<S>({1}, {duration<S>(2)});
    SegmentationData<S> sequence = sequence_of<S>(1, {0});
    sequence.boundaries = {7};
    const std::vector<S> draws{S(0.5), S(0.5), S(0.3), S(0.5), S(0.5), S(0.3), S(0.5), S(0.5)};

    ListedDraws<S> source{draws};
    const ObservationData<S> observation = generate_with_uniform(model, sequence, source);
    EXPECT_EQ(source.calls, 8u);
    EXPECT_EQ(observation.frames, 2u);
    ASSERT_EQ(observation.stream_count(), 1u);
    EXPECT_EQ(observation.streams[0].dimension, 1u);
    EXPECT_EQ(observation.streams[0].values, (std::vector<S>{S(0), S(0)}));
    EXPECT_EQ(sequence.boundaries, std::vector<std::int32_t>{2});

    // NaN from the eighth draw on: the last angular fails and the boundaries stay.
    sequence.boundaries = {7};
    ListedDraws<S> short_source{std::vector<S>(draws.begin(), draws.begin() + 7)};
    EXPECT_EQ(error_of([&] { generate_with_uniform(model, sequence, short_source); }),
              draw_message);
    EXPECT_EQ(short_source.calls, 8u);
    EXPECT_EQ(sequence.boundaries, std::vector<std::int32_t>{7});
}

TYPED_TEST(Generation, DurationIsTheRoundedSampleAndAtLeastOne) {
    using S = TypeParam;
    const auto frames_for = [](S mean, S variance, std::vector<S> first_draws) {
        const ModelParameters<S> model = model_of<S>({1}, {duration<S>(mean, variance)});
        SegmentationData<S> sequence = sequence_of<S>(1, {0});
        first_draws.resize(1000, S(0.5));
        ListedDraws<S> source{first_draws};
        const auto observation = generate_with_uniform(model, sequence, source);
        EXPECT_EQ(sequence.boundaries,
                  std::vector<std::int32_t>{static_cast<std::int32_t>(observation.frames)});
        EXPECT_EQ(source.calls, 2 + 3 * observation.frames);
        return observation.frames;
    };
    EXPECT_EQ(frames_for(S(3), S(0), {S(0.9), S(0.1)}), 3u);
    EXPECT_EQ(frames_for(S(0.4), S(0), {}), 1u);
    EXPECT_EQ(frames_for(S(-7), S(0), {}), 1u);
    EXPECT_EQ(frames_for(S(1.5), S(0), {}), 2u);
    EXPECT_EQ(frames_for(S(2.5), S(0), {}), 3u);
    EXPECT_EQ(frames_for(S(2.4999), S(0), {}), 2u);
    const S radial = static_cast<S>(std::exp(-0.5));
    EXPECT_EQ(frames_for(S(2), S(1), {radial, S(0)}), 3u);    // 2 + 0.9999864
    EXPECT_EQ(frames_for(S(2), S(1), {radial, S(0.5)}), 1u);  // 2 − 0.9999865
}

TYPED_TEST(Generation, DurationConstraintsAndFloorsPlayNoPart) {
    using S = TypeParam;
    ModelParameters<S> model = model_of<S>({1}, {duration<S>(2)});
    model.durations[0].minimum_duration = 10;
    model.durations[0].maximum_duration = 1;
    model.durations[0].fixed_mean_duration = 7;
    model.durations[0].variance_floor = 5;
    model.streams[0].emissions[0].variance_floors = {S(9)};
    SegmentationData<S> sequence = sequence_of<S>(1, {0});
    ConstantDraws<S> source;
    EXPECT_EQ(generate_with_uniform(model, sequence, source).frames, 2u);
    EXPECT_EQ(sequence.boundaries, std::vector<std::int32_t>{2});
}

TYPED_TEST(Generation, DrawOrderAndCount) {
    using S = TypeParam;
    // Two streams of 2 and 1 dimensions: 1 + 4 + 1 + 2 = 8 draws per frame.
    ModelParameters<S> model =
        model_of<S>({2, 1}, {duration<S>(1), duration<S>(2), duration<S>(2.5, 1)});
    model.streams[0].emissions[0].means = {S(10), S(20)};
    model.streams[1].emissions[0].means = {S(30)};
    SegmentationData<S> sequence = sequence_of<S>(2, {0, 1, 2});
    // Durations 1, 2, 2 (the third from 2.5 + 1·cos(π)·1, rounded), then constant draws.
    std::vector<S> draws{S(0.5), S(0.5), S(0.5), S(0.5), static_cast<S>(std::exp(-0.5)), S(0.5)};
    draws.resize(46, S(0.3));
    ListedDraws<S> source{draws};
    const ObservationData<S> observation = generate_with_uniform(model, sequence, source);
    EXPECT_EQ(source.calls, 46u);
    EXPECT_EQ(sequence.boundaries, (std::vector<std::int32_t>{1, 3, 5}));
    EXPECT_EQ(observation.streams[0].values,
              (std::vector<S>{10, 20, 10, 20, 10, 20, 10, 20, 10, 20}));
    EXPECT_EQ(observation.streams[1].values, (std::vector<S>(5, S(30))));

    // A draw left out anywhere in the frames shows: the last one is an angular.
    ListedDraws<S> short_source{std::vector<S>(draws.begin(), draws.end() - 1)};
    EXPECT_EQ(error_of([&] { generate_with_uniform(model, sequence, short_source); }),
              draw_message);
}

TYPED_TEST(Generation, DrawCountFormulaWithRandomWords) {
    using S = TypeParam;
    ModelParameters<S> model = model_of<S>({3, 1}, {duration<S>(4, 9), duration<S>(2, 4)});
    model.streams[0].emissions[0].variances = {S(1), S(2), S(3)};
    SegmentationData<S> sequence = sequence_of<S>(2, {0, 1, 0, 1});
    for (int run = 0; run < 5; ++run) {
        TestWords words;
        words.engine.seed(run);
        std::uint64_t draws = 0;
        const ObservationData<S> observation = generate_with_uniform(model, sequence, words, draws);
        const std::uint64_t per_frame = (1 + 2 * 3) + (1 + 2 * 1);
        EXPECT_EQ(draws, 2 * 4 + observation.frames * per_frame);
        EXPECT_EQ(words.words, draws * (sizeof(S) == 4 ? 1 : 2));
        EXPECT_EQ(static_cast<std::size_t>(sequence.boundaries.back()), observation.frames);
    }
}

TYPED_TEST(Generation, FailedWordSourceStopsTheDraws) {
    using S = TypeParam;
    const ModelParameters<S> model = model_of<S>({1}, {duration<S>(2)});
    SegmentationData<S> sequence = sequence_of<S>(1, {0});
    const std::uint64_t words_per_draw = sizeof(S) == 4 ? 1 : 2;
    // The word source fails inside the third draw, the first component draw.
    TestWords words;
    words.fail_at = 2 * words_per_draw + 1;
    std::uint64_t draws = 0;
    EXPECT_EQ(error_of([&] { generate_with_uniform(model, sequence, words, draws); }),
              "mixture sampling requires weights and a uniform draw in [0,1]");
    EXPECT_EQ(draws, 3u);
    EXPECT_EQ(words.words, 2 * words_per_draw + 1);  // no word asked after the failure
    EXPECT_EQ(sequence.boundaries, std::vector<std::int32_t>{99});

    // Failed before the first draw: nothing is counted.
    TestWords failed;
    failed.latched = true;
    draws = 0;
    EXPECT_EQ(error_of([&] { generate_with_uniform(model, sequence, failed, draws); }),
              draw_message);
    EXPECT_EQ(draws, 0u);
}

TYPED_TEST(Generation, ComponentChoiceAndItsParameters) {
    using S = TypeParam;
    ModelParameters<S> model = model_of<S>({2}, {duration<S>(1)});
    GaussianMixtureParameters<S>& m = model.streams[0].emissions[0];
    m = GaussianMixtureParameters<S>(2, 2);
    m.weights = {S(0.5), S(0.5)};
    m.means = {S(-4), S(-5), S(6), S(7)};
    m.variances = {S(0), S(0), S(0), S(4)};
    SegmentationData<S> sequence = sequence_of<S>(1, {0});
    const S radial = static_cast<S>(std::exp(-0.5));
    const auto values_for = [&](S component_draw) {
        ListedDraws<S> source{{S(0.5), S(0.5), component_draw, S(0.5), S(0.5), radial, S(0)}};
        return generate_with_uniform(model, sequence, source).streams[0].values;
    };
    const std::vector<S> second = values_for(S(0.5));
    EXPECT_EQ(second[0], S(6));
    EXPECT_NEAR(second[1], 7 + 2 * 0.9999864, 1e-6);  // standard deviation 2
    EXPECT_EQ(values_for(S(0.49)), (std::vector<S>{S(-4), S(-5)}));
    EXPECT_EQ(values_for(S(0)), (std::vector<S>{S(-4), S(-5)}));  // 0 is a valid component draw
}

TYPED_TEST(Generation, ZeroRadialFailsAfterTwoDraws) {
    using S = TypeParam;
    const ModelParameters<S> model = model_of<S>({1}, {duration<S>(2)});
    SegmentationData<S> sequence = sequence_of<S>(1, {0});
    ListedDraws<S> source{{S(0), S(0.5), S(0.5)}};
    EXPECT_EQ(error_of([&] { generate_with_uniform(model, sequence, source); }), draw_message);
    EXPECT_EQ(source.calls, 2u);
    EXPECT_EQ(sequence.boundaries, std::vector<std::int32_t>{99});
}

TYPED_TEST(Generation, OldBoundariesAreOverwritten) {
    using S = TypeParam;
    const ModelParameters<S> model = model_of<S>({1}, {duration<S>(1), duration<S>(2)});
    SegmentationData<S> sequence = sequence_of<S>(1, {1, 0, 1});
    sequence.boundaries = {50, -3, 2147483647};
    ConstantDraws<S> source;
    EXPECT_EQ(generate_with_uniform(model, sequence, source).frames, 5u);
    EXPECT_EQ(sequence.boundaries, (std::vector<std::int32_t>{2, 3, 5}));
}

TYPED_TEST(Generation, FrameLimits) {
    using S = TypeParam;
    const auto run = [](std::vector<DurationParameters<S>> durations,
                        std::vector<std::int32_t> states, std::size_t expected_draws) {
        const ModelParameters<S> model = model_of<S>({1}, std::move(durations));
        SegmentationData<S> sequence = sequence_of<S>(1, std::move(states));
        ConstantDraws<S> source;
        const std::string message =
            error_of([&] { generate_with_uniform(model, sequence, source); });
        EXPECT_EQ(source.calls, expected_draws);
        EXPECT_EQ(sequence.boundaries, std::vector<std::int32_t>(sequence.segment_count(), 99));
        return message;
    };
    EXPECT_EQ(run({duration<S>(3e9)}, {0}, 2), "generated duration exceeds legacy frame limit");
    EXPECT_EQ(run({duration<S>(1.5e9)}, {0, 0}, 4),
              "generated sequence exceeds legacy frame limit");
    if constexpr (sizeof(S) == 8) {
        EXPECT_EQ(run({duration<S>(2147483647.5)}, {0}, 2),
                  "generated duration exceeds legacy frame limit");
        EXPECT_EQ(run({duration<S>(2147483646), duration<S>(2)}, {0, 1}, 4),
                  "generated sequence exceeds legacy frame limit");
    }
}

TYPED_TEST(Generation, ObservationAllocFail) {
    using S = TypeParam;
    // 2^30 frames of 2^18 dimensions: 2^50 bytes or more, refused before allocating.
    const ModelParameters<S> model =
        model_of<S>({two_to(18)}, {duration<S>(static_cast<S>(two_to(30)))});
    SegmentationData<S> sequence = sequence_of<S>(1, {0});
    ConstantDraws<S> source;
    EXPECT_EQ(error_of([&] { generate_with_uniform(model, sequence, source); }),
              "observation allocation failed");
    EXPECT_EQ(source.calls, 2u);
    EXPECT_EQ(sequence.boundaries, std::vector<std::int32_t>{99});
}

TYPED_TEST(Generation, DoubleOverflowOfAFrameValue) {
    using S = TypeParam;
    if constexpr (sizeof(S) == 8) {
        const ModelParameters<double> model = [] {
            ModelParameters<double> m = model_of<double>({1}, {duration<double>(1)});
            m.streams[0].emissions[0].variances = {1e308};
            return m;
        }();
        SegmentationData<double> sequence = sequence_of<double>(1, {0});
        ListedDraws<double> source{{0.5, 0.5, 0.5, 1e-300, 0}};
        EXPECT_EQ(error_of([&] { generate_with_uniform(model, sequence, source); }),
                  "normal sample overflows");
    }
}

// Every check runs before the first draw, in order; only named states are value-checked.
TYPED_TEST(Generation, ChecksBeforeAnyDraw) {
    using S = TypeParam;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const S inf = std::numeric_limits<S>::infinity();
    using Model = ModelParameters<S>;
    using Sequence = SegmentationData<S>;
    const auto base_model = [&] {
        Model model = model_of<S>({2, 1}, {duration<S>(2), duration<S>(3)});
        model.streams[0].emissions.push_back(mixture<S>(2, S(1), S(1)));
        return model;
    };
    const auto check = [&](std::function<void(Model&, Sequence&)> change) {
        Model model = base_model();
        Sequence sequence = sequence_of<S>(2, {0, 1});
        change(model, sequence);
        const Sequence before = sequence;
        ConstantDraws<S> source;
        const std::string message =
            error_of([&] { generate_with_uniform(model, sequence, source); });
        if (message != "no error") {
            EXPECT_EQ(sequence, before) << message;
            EXPECT_EQ(source.calls, 0u) << message;
        }
        return message;
    };
    EXPECT_EQ(check([](Model&, Sequence&) {}), "no error");

    // Shapes of every emission, named or not, come first.
    EXPECT_EQ(check([](Model& m, Sequence& s) {
                  m.streams[0].emissions[1].means.pop_back();
                  s.duration_states.pop_back();
              }),
              "parameter lengths do not match dimensions");
    EXPECT_EQ(check([](Model& m, Sequence&) { m.streams[1].emissions[0].dimensions = 0; }),
              "mixture count and dimensions must be positive");
    EXPECT_EQ(check([](Model&, Sequence& s) { s.output_states[1].pop_back(); }),
              "segmentation arrays have inconsistent lengths");
    EXPECT_EQ(check([](Model&, Sequence& s) { s = sequence_of<S>(2, {}); }), no_sequences);
    EXPECT_EQ(check([](Model&, Sequence& s) { s.outgoing[1].clear(); }),
              "outgoing jumps must terminate with a single delta-1 transition");
    EXPECT_EQ(check([](Model&, Sequence& s) {
                  s.outgoing[0].insert(s.outgoing[0].begin(), JumpParameters<S>{});
              }),
              "outgoing jumps must terminate with a single delta-1 transition");
    EXPECT_EQ(check([](Model&, Sequence& s) { s.outgoing[0].back().delta = 2; }),
              "outgoing jumps must terminate with a single delta-1 transition");
    EXPECT_EQ(check([](Model&, Sequence& s) {
                  s.outgoing[0].insert(s.outgoing[0].begin(), JumpParameters<S>{3, S(0.5)});
              }),
              "no error");
    EXPECT_EQ(check([](Model& m, Sequence& s) {
                  m.streams.clear();
                  s.output_states.clear();
              }),
              no_sequences);
    EXPECT_EQ(check([](Model&, Sequence& s) { s.output_states.pop_back(); }), no_sequences);
    EXPECT_EQ(check([](Model& m, Sequence&) {
                  m.streams[1].emissions.clear();
                  m.durations.clear();
              }),
              "generation stream has no emissions");

    const char* const bad_state = "generation duration state is out of range";
    EXPECT_EQ(check([](Model&, Sequence& s) { s.duration_states[0] = -1; }), bad_state);
    EXPECT_EQ(check([](Model&, Sequence& s) { s.duration_states[1] = INT32_MIN; }), bad_state);
    EXPECT_EQ(check([](Model&, Sequence& s) { s.duration_states[1] = 2; }), bad_state);

    const char* const bad_duration = "generation duration parameters are invalid";
    EXPECT_EQ(check([&](Model& m, Sequence&) { m.durations[1].mean = inf; }), bad_duration);
    EXPECT_EQ(check([&](Model& m, Sequence&) { m.durations[1].variance = nan; }), bad_duration);
    EXPECT_EQ(check([&](Model& m, Sequence&) { m.durations[1].variance = S(-1e-30); }),
              bad_duration);
    EXPECT_EQ(check([&](Model& m, Sequence&) { m.durations[1].variance = S(-0.0); }), "no error");
    EXPECT_EQ(check([&](Model& m, Sequence& s) {
                  m.durations[1].mean = nan;
                  s.duration_states[1] = 0;
              }),
              "no error");

    const char* const bad_output = "generation emission state is out of range";
    EXPECT_EQ(check([](Model&, Sequence& s) { s.output_states[0][1] = 2; }), bad_output);
    EXPECT_EQ(check([](Model&, Sequence& s) { s.output_states[1][0] = -1; }), bad_output);

    // Emission 1 of stream 0 differs from emission 0 in its dimensions: only named it fails.
    EXPECT_EQ(check([](Model& m, Sequence& s) {
                  m.streams[0].emissions[1] = mixture<S>(3);
                  s.output_states[0][1] = 1;
              }),
              bad_emission);
    EXPECT_EQ(check([](Model& m, Sequence&) { m.streams[0].emissions[1] = mixture<S>(3); }),
              "no error");
    EXPECT_EQ(check([&](Model& m, Sequence& s) {
                  m.streams[0].emissions[1].weights[0] = S(-1e-30);
                  s.output_states[0][0] = 1;
              }),
              bad_emission);
    EXPECT_EQ(check([&](Model& m, Sequence& s) {
                  m.streams[0].emissions[1].means[1] = inf;
                  s.output_states[0][1] = 1;
              }),
              bad_emission);
    EXPECT_EQ(check([&](Model& m, Sequence& s) {
                  m.streams[0].emissions[1].variances[0] = nan;
                  s.output_states[0][1] = 1;
              }),
              bad_emission);
    EXPECT_EQ(check([&](Model& m, Sequence& s) {
                  m.streams[0].emissions[1].weights[0] = S(-0.0);
                  m.streams[0].emissions[1].variances[0] = S(-0.0);
                  m.streams[0].emissions[0].means[0] = nan;  // not named
                  s.output_states[0] = {1, 1};
              }),
              "no error");

    // Segment by segment: segment 0's emission fails before segment 1's duration state.
    EXPECT_EQ(check([&](Model& m, Sequence& s) {
                  m.streams[1].emissions[0].means[0] = nan;
                  s.duration_states[1] = 5;
              }),
              bad_emission);
    EXPECT_EQ(check([&](Model& m, Sequence& s) {
                  m.streams[0].emissions[1].means[0] = nan;
                  s.output_states[0][1] = 1;
                  s.duration_states[1] = 5;
              }),
              bad_state);
}

TYPED_TEST(Generation, AcceptsAnyCallableForm) {
    using S = TypeParam;
    const ModelParameters<S> model = model_of<S>({1}, {duration<S>(2)});
    SegmentationData<S> sequence = sequence_of<S>(1, {0});
    int calls = 0;
    generate_with_uniform(model, sequence, [&calls] {
        ++calls;
        return S(0.25);
    });
    EXPECT_EQ(calls, 8);
    const auto constant = [] { return 0.5; };  // const, and returning double for float too
    EXPECT_EQ(generate_with_uniform(model, sequence, constant).frames, 2u);
}

}  // namespace
}  // namespace tarvek
