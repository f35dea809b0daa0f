#include "core/generation/generation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;

const char* const draw_message = "normal sampling requires radial in (0,1] and angular in [0,1]";

template <class S>
class Generation : public ::testing::Test {};
TYPED_TEST_SUITE(Generation, testing::Scalars);

// Serves the listed draws in order, then `after`; counts every call.
template <Scalar S>
struct ListedDraws {
    std::vector<S> values;
    S after = std::numeric_limits<S>::quiet_NaN();
    std::size_t calls = 0;
    S operator()() {
        const std::size_t i = calls++;
        return i < values.size() ? values[i] : after;
    }
};

// Seeded words; fails (and stays failed) from word number `fail_at` on, counting from 1.
struct TestWords {
    std::mt19937 engine{7};
    std::uint64_t words = 0;
    std::uint64_t fail_at = std::numeric_limits<std::uint64_t>::max();
    bool latched = false;
    std::uint32_t word() {
        latched = latched || ++words >= fail_at;
        return latched ? 0xFFFFFFFF : static_cast<std::uint32_t>(engine());
    }
    bool failed() const { return latched; }
};

// One-component mixture, weight 1, the given mean and variance in every dimension.
template <Scalar S>
GaussianMixtureParameters<S> mixture(std::uint64_t dimensions, S mean = 0, S variance = 0) {
    GaussianMixtureParameters<S> result(1, dimensions);
    result.weights = {S(1)};
    result.means.assign(dimensions, mean);
    result.variances.assign(dimensions, variance);
    return result;
}

// One stream per entry of `dimensions`, each with one emission; durations (mean, variance).
template <Scalar S>
ModelParameters<S> model_of(std::vector<std::uint64_t> dimensions,
                            std::vector<std::pair<double, double>> durations) {
    ModelParameters<S> model;
    const auto edit = model.edit();
    for (const std::uint64_t d : dimensions)
        edit.streams().emplace_back().emissions = {mixture<S>(d)};
    for (const auto& [mean, variance] : durations) {
        auto& duration = edit.durations().emplace_back();
        duration.mean = static_cast<S>(mean);
        duration.variance = static_cast<S>(variance);
    }
    return model;
}

// A chain of segments with the given duration states, every emission state 0, boundaries 99.
template <Scalar S>
SegmentationData<S> sequence_of(std::size_t streams, std::vector<std::int32_t> duration_states) {
    SegmentationData<S> sequence = SegmentationData<S>::create(streams, duration_states.size());
    sequence.duration_states = std::move(duration_states);
    sequence.boundaries.assign(sequence.duration_states.size(), 99);
    return sequence;
}

// Generates; on failure the boundaries must be unchanged. Returns the message.
template <Scalar S, class Draw>
std::string generate(const ModelParameters<S>& model, SegmentationData<S>& sequence, Draw& draw,
                     ObservationData<S>* observation = nullptr) {
    const auto before = sequence.boundaries;
    const std::string message = error_of([&] {
        auto result = generate_with_uniform<S>(model, sequence, draw);
        if (observation) *observation = std::move(result);
    });
    if (message != "no error") {
        EXPECT_EQ(sequence.boundaries, before) << message;
    }
    return message;
}

TYPED_TEST(Generation, WorkedExample) {
    using S = TypeParam;
    const ModelParameters<S> model = model_of<S>({1}, {{2, 0}});
    SegmentationData<S> sequence = sequence_of<S>(1, {0});
    sequence.boundaries = {-3};  // ignored and replaced
    const std::vector<S> draws{S(0.5), S(0.5), S(0.3), S(0.5), S(0.5), S(0.3), S(0.5), S(0.5)};
    ListedDraws<S> source{draws};
    ObservationData<S> observation;
    EXPECT_EQ(generate(model, sequence, source, &observation), "no error");
    EXPECT_EQ(source.calls, 8u);
    EXPECT_EQ(observation, (ObservationData<S>{{{{S(0), S(0)}, 1}}, 2}));
    EXPECT_EQ(sequence.boundaries, std::vector<std::int32_t>{2});
    // NaN from the eighth draw on: the last angular fails and the boundaries stay.
    ListedDraws<S> short_source{std::vector<S>(draws.begin(), draws.begin() + 7)};
    EXPECT_EQ(generate(model, sequence, short_source), draw_message);
    EXPECT_EQ(short_source.calls, 8u);
    // A zero radial fails after the two duration draws.
    ListedDraws<S> zero{{S(0), S(0.5)}, S(0.5)};
    EXPECT_EQ(generate(model, sequence, zero), draw_message);
    EXPECT_EQ(zero.calls, 2u);
}

TYPED_TEST(Generation, DurationIsTheRoundedSampleAndAtLeastOne) {
    using S = TypeParam;
    const S radial = static_cast<S>(std::exp(-0.5));
    // {mean, variance, first draws, frames}; radial e^-0.5 gives 2 ± 0.99998 for variance 1.
    // clang-format off
    const std::tuple<double, double, std::vector<S>, std::uint64_t> cases[] = {
        {3, 0, {S(0.9), S(0.1)}, 3}, {0.4, 0, {}, 1}, {-7, 0, {}, 1}, {1.5, 0, {}, 2},
        {2.5, 0, {}, 3}, {2.4999, 0, {}, 2}, {2, 1, {radial, S(0)}, 3}, {2, 1, {radial, S(0.5)}, 1}};
    // clang-format on
    for (const auto& [mean, variance, first_draws, frames] : cases) {
        ModelParameters<S> model = model_of<S>({1}, {{mean, variance}});
        // Constraints and floors play no part.
        {
            const auto edit = model.edit();
            edit.durations()[0].minimum_duration = 10;
            edit.durations()[0].maximum_duration = 1;
            edit.durations()[0].fixed_mean_duration = 7;
            edit.durations()[0].variance_floor = S(5);
            edit.streams()[0].emissions[0].variance_floors = {S(9)};
        }
        SegmentationData<S> sequence = sequence_of<S>(1, {0});
        ListedDraws<S> source{first_draws, S(0.5)};
        ObservationData<S> observation;
        EXPECT_EQ(generate(model, sequence, source, &observation), "no error");
        EXPECT_EQ(observation.frames, frames) << mean;
        EXPECT_EQ(sequence.boundaries,
                  std::vector<std::int32_t>{static_cast<std::int32_t>(frames)});
        EXPECT_EQ(source.calls, 2 + 3 * frames);
    }
}

TYPED_TEST(Generation, DrawOrderAndCount) {
    using S = TypeParam;
    // Two streams of 2 and 1 dimensions: 1 + 4 + 1 + 2 = 8 draws per frame.
    ModelParameters<S> model = model_of<S>({2, 1}, {{1, 0}, {2, 0}, {2.5, 1}});
    {
        const auto edit = model.edit();
        edit.streams()[0].emissions[0].means = {S(10), S(20)};
        edit.streams()[1].emissions[0].means = {S(30)};
    }
    SegmentationData<S> sequence = sequence_of<S>(2, {0, 1, 2});
    sequence.boundaries = {50, -3, 2147483647};  // ignored and replaced
    // Durations 1, 2, 2 (the third from 2.5 + cos(π), rounded), then frames.
    std::vector<S> draws{S(0.5), S(0.5), S(0.5), S(0.5), static_cast<S>(std::exp(-0.5)), S(0.5)};
    draws.resize(46, S(0.3));
    ListedDraws<S> source{draws};
    ObservationData<S> observation;
    EXPECT_EQ(generate(model, sequence, source, &observation), "no error");
    EXPECT_EQ(source.calls, 46u);
    EXPECT_EQ(sequence.boundaries, (std::vector<std::int32_t>{1, 3, 5}));
    EXPECT_EQ(observation.streams[0].values,
              (std::vector<S>{10, 20, 10, 20, 10, 20, 10, 20, 10, 20}));
    EXPECT_EQ(observation.streams[1].values, (std::vector<S>(5, S(30))));
    // One draw fewer: the last one is an angular.
    ListedDraws<S> short_source{std::vector<S>(draws.begin(), draws.end() - 1)};
    EXPECT_EQ(generate(model, sequence, short_source), draw_message);
}

TYPED_TEST(Generation, WordSourceCountsItsDraws) {
    using S = TypeParam;
    const std::uint64_t words_per_draw = sizeof(S) / 4;
    ModelParameters<S> model = model_of<S>({3, 1}, {{4, 9}, {2, 4}});
    {
        const auto edit = model.edit();
        edit.streams()[0].emissions[0].variances = {S(1), S(2), S(3)};
    }
    SegmentationData<S> sequence = sequence_of<S>(2, {0, 1, 0, 1});
    for (int run = 0; run < 5; ++run) {
        TestWords words;
        words.engine.seed(run);
        std::uint64_t draws = 0;
        const auto observation = generate_with_uniform<S>(model, sequence, words, draws);
        EXPECT_EQ(draws, 2 * 4 + observation.frames * ((1 + 2 * 3) + (1 + 2 * 1)));
        EXPECT_EQ(words.words, draws * words_per_draw);
        EXPECT_EQ(static_cast<std::size_t>(sequence.boundaries.back()), observation.frames);
    }
    // Failing inside the third draw, the first component draw: no word is asked after it.
    model = model_of<S>({1}, {{2, 0}});
    sequence = sequence_of<S>(1, {0});
    TestWords words;
    words.fail_at = 2 * words_per_draw + 1;
    std::uint64_t draws = 0;
    EXPECT_EQ(error_of([&] { generate_with_uniform<S>(model, sequence, words, draws); }),
              "mixture sampling requires weights and a uniform draw in [0,1]");
    EXPECT_EQ(draws, 3u);
    EXPECT_EQ(words.words, words.fail_at);
    EXPECT_EQ(sequence.boundaries, std::vector<std::int32_t>{99});
}

TYPED_TEST(Generation, ComponentChoiceAndItsParameters) {
    using S = TypeParam;
    ModelParameters<S> model = model_of<S>({2}, {{1, 0}});
    GaussianMixtureParameters<S> m(2, 2);
    m.weights = {S(0.5), S(0.5)};
    m.means = {S(-4), S(-5), S(6), S(7)};
    m.variances = {S(0), S(0), S(0), S(4)};
    {
        const auto edit = model.edit();
        edit.streams()[0].emissions[0] = m;
    }
    SegmentationData<S> sequence = sequence_of<S>(1, {0});
    const auto values_for = [&](S component_draw) {
        ListedDraws<S> source{
            {S(0.5), S(0.5), component_draw, S(0.5), S(0.5), static_cast<S>(std::exp(-0.5)), S(0)}};
        ObservationData<S> observation;
        EXPECT_EQ(generate(model, sequence, source, &observation), "no error");
        return observation.streams[0].values;
    };
    const std::vector<S> second = values_for(S(0.5));
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0], S(6));
    EXPECT_NEAR(second[1], 7 + 2 * 0.9999864, 1e-6);  // standard deviation 2
    EXPECT_EQ(values_for(S(0.49)), (std::vector<S>{S(-4), S(-5)}));
    EXPECT_EQ(values_for(S(0)), (std::vector<S>{S(-4), S(-5)}));  // 0 is a valid component draw
}

TYPED_TEST(Generation, LimitsAndAllocFail) {
    using S = TypeParam;
    const char* duration = "generated duration exceeds legacy frame limit";
    const char* sequence_limit = "generated sequence exceeds legacy frame limit";
    struct Case {
        std::vector<std::pair<double, double>> durations;
        std::vector<std::int32_t> states;
        std::uint64_t dimensions;
        const char* expected;
        std::size_t draws;
    };
    std::vector<Case> cases = {
        {{{3e9, 0}}, {0}, 1, duration, 2},
        {{{1.5e9, 0}}, {0, 0}, 1, sequence_limit, 4},
        // 2^30 frames of 2^18 dimensions: 2^50 bytes or more, refused before allocating.
        {{{0x1p30, 0}}, {0}, testing::two_to(18), "observation allocation failed", 2}};
    if constexpr (sizeof(S) == 8) {
        cases.push_back({{{2147483647.5, 0}}, {0}, 1, duration, 2});
        cases.push_back({{{2147483646, 0}, {2, 0}}, {0, 1}, 1, sequence_limit, 4});
    }
    for (const Case& c : cases) {
        const ModelParameters<S> model = model_of<S>({c.dimensions}, c.durations);
        SegmentationData<S> sequence = sequence_of<S>(1, c.states);
        ListedDraws<S> source{{}, S(0.7)};
        EXPECT_EQ(generate(model, sequence, source), c.expected);
        EXPECT_EQ(source.calls, c.draws) << c.expected;
    }
}

// Every check runs before the first draw, in order; only the named states are value-checked.
TYPED_TEST(Generation, ChecksBeforeAnyDraw) {
    using S = TypeParam;
    using Model = ModelParameters<S>;
    using Sequence = SegmentationData<S>;
    const char* no_sequences = "generation requires nonempty matching stream and state sequences";
    const char* jumps = "outgoing jumps must terminate with a single delta-1 transition";
    const char* bad_state = "generation duration state is out of range";
    const char* bad_duration = "generation duration parameters are invalid";
    const char* bad_output = "generation emission state is out of range";
    const char* bad_emission = "generation emission parameters or dimensions are invalid";
    const auto same_model = [](Model&) {};
    const auto same_sequence = [](Sequence&) {};
    // Segment 1 names emission 1 of stream 0, which has 3 dimensions instead of 2.
    const auto name_second = [](Sequence& s) { s.output_states[0][1] = 1; };
    const auto second_wider = [](Model& m) {
        const auto edit = m.edit();
        edit.streams()[0].emissions[1] = mixture<S>(3);
    };
    struct Case {
        std::function<void(Model&)> model;
        std::function<void(Sequence&)> sequence;
        const char* expected;
    };
    const Case cases[] = {
        {same_model, same_sequence, "no error"},
        // The shapes of every emission, named or not, come first.
        {[](Model& m) {
             const auto edit = m.edit();
             edit.streams()[0].emissions[1].means.pop_back();
         },
         [](Sequence& s) { s.duration_states.pop_back(); },
         "parameter lengths do not match dimensions"},
        {same_model, [](Sequence& s) { s.output_states[1].pop_back(); },
         "segmentation arrays have inconsistent lengths"},
        {same_model, [](Sequence& s) { s = sequence_of<S>(2, {}); }, no_sequences},
        {same_model, [](Sequence& s) { s.outgoing[1].clear(); }, jumps},
        {same_model,
         [](Sequence& s) {
             s.outgoing[0].insert(s.outgoing[0].begin(), {3, S(1)});
         },
         "no error"},
        {[](Model& m) {
             const auto edit = m.edit();
             edit.streams().clear();
         },
         [](Sequence& s) { s.output_states.clear(); }, no_sequences},
        {[](Model& m) {
             const auto edit = m.edit();
             edit.streams()[1].emissions.clear();
         },
         [](Sequence& s) {
             s.duration_states = {9, 9};
         },
         "generation stream has no emissions"},
        {same_model, [](Sequence& s) { s.duration_states[0] = -1; }, bad_state},
        {[](Model& m) {
             const auto edit = m.edit();
             edit.durations()[1].mean = INFINITY;
         },
         same_sequence, bad_duration},
        {[](Model& m) {
             const auto edit = m.edit();
             edit.durations()[1].variance = S(-1e-30);
         },
         same_sequence, bad_duration},
        {[](Model& m) {
             const auto edit = m.edit();
             edit.durations()[1].variance = S(-0.0);
         },
         same_sequence, "no error"},
        {[](Model& m) {
             const auto edit = m.edit();
             edit.durations()[1].mean = NAN;
         },
         [](Sequence& s) { s.duration_states[1] = 0; }, "no error"},  // not named
        {same_model, [](Sequence& s) { s.output_states[0][1] = 2; }, bad_output},
        {second_wider, name_second, bad_emission},
        {second_wider, same_sequence, "no error"},
        {[](Model& m) {
             const auto edit = m.edit();
             edit.streams()[0].emissions[1].weights[0] = S(-1e-30);
         },
         name_second, bad_emission},
        {[](Model& m) {
             const auto edit = m.edit();
             auto& named = edit.streams()[0].emissions[1];
             named.weights[0] = named.variances[0] = S(-0.0);
             edit.streams()[0].emissions[0].means[0] = NAN;  // not named
         },
         [](Sequence& s) {
             s.output_states[0] = {1, 1};
         },
         "no error"},
        // Segment by segment: segment 0's emission fails before segment 1's duration state.
        {[](Model& m) {
             const auto edit = m.edit();
             edit.streams()[1].emissions[0].means[0] = NAN;
         },
         [](Sequence& s) { s.duration_states[1] = 5; }, bad_emission},
        {[](Model& m) {
             const auto edit = m.edit();
             edit.streams()[0].emissions[1].means[0] = NAN;
         },
         [](Sequence& s) {
             s.output_states[0][1] = 1;
             s.duration_states[1] = 5;
         },
         bad_state}};
    for (const Case& c : cases) {
        Model model = model_of<S>({2, 1}, {{2, 0}, {3, 0}});
        {
            const auto edit = model.edit();
            edit.streams()[0].emissions.push_back(mixture<S>(2, S(1), S(1)));
        }
        Sequence sequence = sequence_of<S>(2, {0, 1});
        c.model(model);
        c.sequence(sequence);
        ListedDraws<S> source{{}, S(0.7)};
        EXPECT_EQ(generate(model, sequence, source), c.expected);
        EXPECT_EQ(source.calls, std::string(c.expected) == "no error" ? source.calls : 0u);
    }
}

TYPED_TEST(Generation, AcceptsAnyCallableForm) {
    using S = TypeParam;
    const ModelParameters<S> model = model_of<S>({1}, {{2, 0}});
    SegmentationData<S> sequence = sequence_of<S>(1, {0});
    int calls = 0;
    generate_with_uniform<S>(model, sequence, [&calls] { return ++calls, S(0.25); });
    EXPECT_EQ(calls, 8);
    const auto constant = [] { return 0.5; };  // const, and returning double for float too
    EXPECT_EQ(generate_with_uniform<S>(model, sequence, constant).frames, 2u);
}

}  // namespace
}  // namespace tarvek
