#include "core/data_operations.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "data_test_support.hpp"

namespace tarvek {
namespace {

using testing_support::chain;
using testing_support::expect_cases;
using testing_support::failure_of;

constexpr std::size_t two_31 = std::size_t{1} << 31;

template <class S>
class DataOperationsTest : public ::testing::Test {};
using Scalars = ::testing::Types<float, double>;
TYPED_TEST_SUITE(DataOperationsTest, Scalars);

using Rows = std::vector<std::vector<std::int32_t>>;
using Ints = std::vector<std::int32_t>;

// An observation whose every value is distinct: stream r, frame t, dimension j holds
// 1000 r + 10 t + j.
template <Scalar S>
ObservationData<S> numbered_observation(std::size_t frames, std::vector<std::size_t> dims) {
    auto observation = ObservationData<S>::create(frames, dims);
    for (std::size_t r = 0; r < dims.size(); ++r) {
        for (std::size_t t = 0; t < frames; ++t) {
            for (std::size_t j = 0; j < dims[r]; ++j) {
                observation.streams[r].values[t * dims[r] + j] = S(1000 * r + 10 * t + j);
            }
        }
    }
    return observation;
}

// A two-stream chain: duration state 10 + i, output states 20 + i and 30 + i, and skips on
// every segment but the last.
template <Scalar S>
SegmentationData<S> two_stream_chain(std::initializer_list<std::int32_t> boundaries) {
    auto segmentation = chain<S>(boundaries);
    segmentation.output_states.push_back(segmentation.output_states[0]);
    for (auto& state : segmentation.output_states[1]) state += 10;
    for (std::size_t i = 0; i + 1 < boundaries.size(); ++i) {
        segmentation.outgoing[i] = {{2, S(0.25)}, {-1, S(0.5)}, {1, S(0.25)}};
    }
    return segmentation;
}

// Unit `unit` holds frames first..last-1 of `source`, value for value.
template <Scalar S>
void expect_frames(const ObservationData<S>& unit, const ObservationData<S>& source,
                   std::size_t first, std::size_t last) {
    ASSERT_EQ(unit.frames, last - first);
    ASSERT_EQ(unit.streams.size(), source.streams.size());
    for (std::size_t r = 0; r < source.streams.size(); ++r) {
        const std::size_t d = source.streams[r].dimension;
        ASSERT_EQ(unit.streams[r].dimension, d);
        ASSERT_EQ(unit.streams[r].values.size(), (last - first) * d);
        for (std::size_t t = first; t < last; ++t) {
            for (std::size_t j = 0; j < d; ++j) {
                EXPECT_EQ(unit.streams[r].values[(t - first) * d + j],
                          source.streams[r].values[t * d + j]);
            }
        }
    }
}

template <Scalar S>
void expect_default_jumps(const SegmentationData<S>& segmentation) {
    for (const auto& jumps : segmentation.outgoing) {
        EXPECT_EQ(jumps, (std::vector<JumpParameters<S>>{{1, S(1)}}));
    }
}

TYPED_TEST(DataOperationsTest, RegroupIntoUnits) {
    using S = TypeParam;
    const auto observation = numbered_observation<S>(10, {2, 1});
    const auto segmentation = two_stream_chain<S>({3, 5, 9, 10});
    const std::vector<ObservationData<S>> observations{observation};
    const std::vector<SegmentationData<S>> segmentations{segmentation};

    const auto pairs = regroup_with_precision<S>(observations, segmentations, 2);
    ASSERT_EQ(pairs.observations.size(), 2u);
    ASSERT_EQ(pairs.segmentations.size(), 2u);
    expect_frames(pairs.observations[0], observation, 0, 5);
    expect_frames(pairs.observations[1], observation, 5, 10);
    EXPECT_EQ(pairs.segmentations[0].boundaries, (Ints{3, 5}));
    EXPECT_EQ(pairs.segmentations[1].boundaries, (Ints{4, 5}));
    EXPECT_EQ(pairs.segmentations[0].duration_states, (Ints{10, 11}));
    EXPECT_EQ(pairs.segmentations[1].duration_states, (Ints{12, 13}));
    EXPECT_EQ(pairs.segmentations[0].output_states, (Rows{{20, 21}, {30, 31}}));
    EXPECT_EQ(pairs.segmentations[1].output_states, (Rows{{22, 23}, {32, 33}}));
    for (const auto& unit : pairs.segmentations) expect_default_jumps(unit);

    const auto triples = regroup_with_precision<S>(observations, segmentations, 3);
    ASSERT_EQ(triples.observations.size(), 2u);
    expect_frames(triples.observations[0], observation, 0, 9);
    expect_frames(triples.observations[1], observation, 9, 10);
    EXPECT_EQ(triples.segmentations[0].boundaries, (Ints{3, 5, 9}));
    EXPECT_EQ(triples.segmentations[1].boundaries, (Ints{1}));
    EXPECT_EQ(triples.segmentations[1].output_states, (Rows{{23}, {33}}));

    // A unit size at least the segment count gives the sample itself, with default jumps.
    for (const std::size_t k : {std::size_t{4}, std::numeric_limits<std::size_t>::max()}) {
        const auto whole = regroup_with_precision<S>(observations, segmentations, k);
        ASSERT_EQ(whole.observations.size(), 1u);
        EXPECT_EQ(whole.observations[0], observation);
        auto expected = segmentation;
        for (auto& jumps : expected.outgoing) jumps = {{1, S(1)}};
        EXPECT_EQ(whole.segmentations[0], expected);
    }
}

TYPED_TEST(DataOperationsTest, RegroupSeveralPairsInOrder) {
    using S = TypeParam;
    const std::vector<ObservationData<S>> observations{numbered_observation<S>(4, {1}),
                                                       numbered_observation<S>(0, {3}),
                                                       numbered_observation<S>(6, {2})};
    const std::vector<SegmentationData<S>> segmentations{chain<S>({0, 0, 4}), chain<S>({}),
                                                         chain<S>({2, 3, 6})};
    const auto units = regroup_with_precision<S>(observations, segmentations, 2);
    ASSERT_EQ(units.observations.size(), 4u);
    ASSERT_EQ(units.segmentations.size(), 4u);
    // Two empty segments make a unit of no frames.
    expect_frames(units.observations[0], observations[0], 0, 0);
    EXPECT_EQ(units.segmentations[0].boundaries, (Ints{0, 0}));
    expect_frames(units.observations[1], observations[0], 0, 4);
    EXPECT_EQ(units.segmentations[1].boundaries, (Ints{4}));
    EXPECT_EQ(units.segmentations[1].duration_states, (Ints{12}));
    // The pair without segments or frames yields nothing.
    expect_frames(units.observations[2], observations[2], 0, 3);
    EXPECT_EQ(units.segmentations[2].boundaries, (Ints{2, 3}));
    expect_frames(units.observations[3], observations[2], 3, 6);
    EXPECT_EQ(units.segmentations[3].boundaries, (Ints{3}));
    EXPECT_EQ(units.segmentations[3].output_states, (Rows{{22}}));

    const auto none = regroup_with_precision<S>({}, {}, 1);
    EXPECT_TRUE(none.observations.empty());
    EXPECT_TRUE(none.segmentations.empty());
}

TYPED_TEST(DataOperationsTest, RegroupCheckOrder) {
    using S = TypeParam;
    using Observations = std::vector<ObservationData<S>>;
    using Segmentations = std::vector<SegmentationData<S>>;
    const auto regroup = [](Observations observations, Segmentations segmentations, std::size_t k) {
        return [=] {
            return failure_of([&] { regroup_with_precision<S>(observations, segmentations, k); });
        };
    };
    const auto valid_observation = numbered_observation<S>(10, {2});
    const auto valid_segmentation = chain<S>({3, 10});
    // Each pair below fails one step, and every later step too where it can.
    auto no_streams = valid_observation;
    no_streams.streams.clear();
    auto huge_frames = valid_observation;
    huge_frames.frames = two_31;
    auto bad_storage = valid_observation;
    bad_storage.streams[0].values.pop_back();
    auto short_states = chain<S>({3, 2, 11});
    short_states.duration_states.pop_back();
    short_states.output_states.push_back({});
    auto bad_jumps = chain<S>({3, 2, 11});
    bad_jumps.outgoing[1] = {{1, S(1)}, {2, S(1)}};
    bad_jumps.output_states.push_back({0, 0, 0});
    auto extra_row = chain<S>({3, 2, 11});
    extra_row.output_states.push_back({0, 0, 0});
    const auto valid = [&](Observations o, Segmentations s, std::size_t k) {
        o.insert(o.begin(), valid_observation);
        s.insert(s.begin(), valid_segmentation);
        return regroup(o, s, k);
    };
    const char* unordered = "regrouping boundaries are unordered or out of range";
    const char* final_boundary = "regrouping final boundary must match frame count";
    expect_cases({
        {"unit size 0, empty arrays", regroup({}, {}, 0),
         "regrouping requires a positive unit size and matching sample counts"},
        {"unit size 0 before pair checks", regroup({no_streams}, {bad_jumps}, 0),
         "regrouping requires a positive unit size and matching sample counts"},
        {"sample counts differ", valid({no_streams}, {}, 1),
         "regrouping requires a positive unit size and matching sample counts"},
        {"frame count", valid({huge_frames}, {short_states}, 1),
         "frame count exceeds the legacy format"},
        {"no stream", valid({no_streams}, {short_states}, 1),
         "an observation requires at least one stream"},
        {"stream storage", valid({bad_storage}, {short_states}, 1),
         "observation storage does not match dimensions"},
        {"segmentation lengths", valid({valid_observation}, {short_states}, 1),
         "segmentation arrays have inconsistent lengths"},
        {"segmentation jumps", valid({valid_observation}, {bad_jumps}, 1),
         "outgoing jumps must terminate with a single delta-1 transition"},
        {"stream counts", valid({valid_observation}, {extra_row}, 1),
         "regrouping stream counts differ"},
        {"decreasing boundary", valid({valid_observation}, {chain<S>({3, 2, 10})}, 1), unordered},
        {"boundary past the frames before the final check",
         valid({valid_observation}, {chain<S>({3, 11})}, 1), unordered},
        {"negative boundary", valid({valid_observation}, {chain<S>({-1, 10})}, 1), unordered},
        {"final boundary short", valid({valid_observation}, {chain<S>({3, 9})}, 1), final_boundary},
        {"no segments but frames", valid({numbered_observation<S>(5, {1})}, {chain<S>({})}, 1),
         final_boundary},
        {"valid", valid({numbered_observation<S>(0, {1})}, {chain<S>({})}, 1), ""},
    });
}

TYPED_TEST(DataOperationsTest, ResegmentTakesSourceStates) {
    using S = TypeParam;
    const auto source = two_stream_chain<S>({3, 5, 9});
    const std::vector<StateOccurrence> occurrences{{2, 4}, {0, 4}, {1, 9}};
    const auto result = resegment(source, std::span<const StateOccurrence>(occurrences));
    EXPECT_EQ(result.boundaries, (Ints{4, 4, 9}));
    EXPECT_EQ(result.duration_states, (Ints{12, 10, 11}));
    EXPECT_EQ(result.output_states, (Rows{{22, 20, 21}, {32, 30, 31}}));
    expect_default_jumps(result);

    const auto empty = resegment(source, std::span<const StateOccurrence>());
    EXPECT_EQ(empty.segment_count(), 0u);
    EXPECT_EQ(empty.output_states, (Rows{{}, {}}));
    EXPECT_NO_THROW(empty.validate());
}

TYPED_TEST(DataOperationsTest, ResegmentCheckOrder) {
    using S = TypeParam;
    const auto source = two_stream_chain<S>({3, 5, 9});
    auto invalid_source = source;
    invalid_source.outgoing[2].clear();
    const auto check = [](SegmentationData<S> from, std::vector<StateOccurrence> occurrences) {
        return [=] {
            return failure_of(
                [&] { resegment(from, std::span<const StateOccurrence>(occurrences)); });
        };
    };
    // The length check runs before any occurrence is read, so the span's elements past the
    // first are never touched.
    const StateOccurrence bad{7, 1};
    const auto too_many = [&] {
        return failure_of(
            [&] { resegment(source, std::span<const StateOccurrence>(&bad, two_31)); });
    };
    const char* invalid = "resegmentation has invalid states or boundaries";
    expect_cases({
        {"source validated first", check(invalid_source, {{3, 4}}),
         "outgoing jumps must terminate with a single delta-1 transition"},
        {"too many occurrences", too_many, "resegmentation length exceeds the legacy format"},
        {"source index out of range", check(source, {{3, 4}}), invalid},
        {"decreasing end", check(source, {{0, 5}, {1, 4}}), invalid},
        {"end past the legacy limit", check(source, {{0, two_31}}), invalid},
        {"largest end", check(source, {{0, two_31 - 1}}), ""},
    });
}

template <class Sample>
void exercise_builder(const std::function<Sample(int)>& make, const Sample& invalid,
                      const char* invalid_message) {
    EXPECT_EQ(failure_of([] { SampleSetBuilder<Sample>::create(two_31); }),
              "sample count exceeds the legacy format");
    EXPECT_TRUE(SampleSetBuilder<Sample>::create(0).build().empty());

    auto builder = SampleSetBuilder<Sample>::create(3);
    ASSERT_EQ(builder.size(), 3u);
    const char* out_of_range = "sample slot index out of range";
    EXPECT_EQ(failure_of([&] { builder.set(3, make(0)); }), out_of_range);
    EXPECT_EQ(failure_of([&] { builder.clear(3); }), out_of_range);
    EXPECT_FALSE(builder.has(3));
    EXPECT_FALSE(builder.get(3).has_value());
    EXPECT_FALSE(builder.has(1));
    EXPECT_FALSE(builder.get(1).has_value());
    EXPECT_NO_THROW(builder.clear(1));

    for (int i = 0; i < 3; ++i) builder.set(i, make(i));
    EXPECT_EQ(builder.get(1), make(1));
    builder.set(1, make(7));
    EXPECT_EQ(builder.get(1), make(7));

    // A refused resize keeps every slot.
    EXPECT_EQ(failure_of([&] { builder.resize(two_31); }),
              "sample count exceeds the legacy format");
    ASSERT_EQ(builder.size(), 3u);
    EXPECT_EQ(builder.get(2), make(2));

    builder.clear(0);
    builder.resize(5);
    ASSERT_EQ(builder.size(), 5u);
    EXPECT_FALSE(builder.has(0));
    builder.set(0, make(0));
    EXPECT_EQ(builder.get(2), make(2));
    EXPECT_FALSE(builder.has(3));
    EXPECT_FALSE(builder.has(4));

    builder.resize(2);
    builder.resize(3);
    EXPECT_EQ(builder.get(1), make(7));
    EXPECT_FALSE(builder.has(2));

    // Slots are checked in index order: emptiness, then validity.
    auto empty_first = builder;
    empty_first.clear(0);
    empty_first.set(2, invalid);
    EXPECT_EQ(failure_of([&] { std::move(empty_first).build(); }),
              "sample set contains an unfilled slot");
    auto invalid_first = builder;
    invalid_first.set(0, invalid);
    EXPECT_EQ(failure_of([&] { std::move(invalid_first).build(); }), invalid_message);

    builder.set(2, make(2));
    builder.clear(1);
    EXPECT_FALSE(builder.has(1));
    builder.set(1, make(1));
    EXPECT_EQ(std::move(builder).build(), (std::vector<Sample>{make(0), make(1), make(2)}));
}

TYPED_TEST(DataOperationsTest, SampleSetBuilders) {
    using S = TypeParam;
    auto no_streams = numbered_observation<S>(1, {1});
    no_streams.streams.clear();
    exercise_builder<ObservationData<S>>(
        [](int i) { return numbered_observation<S>(static_cast<std::size_t>(i), {2}); }, no_streams,
        "an observation requires at least one stream");
    auto bad_jumps = chain<S>({1});
    bad_jumps.outgoing[0].clear();
    // Boundaries are not examined: a decreasing chain builds.
    exercise_builder<SegmentationData<S>>(
        [](int i) { return chain<S>({5 + i, i}); }, bad_jumps,
        "outgoing jumps must terminate with a single delta-1 transition");
}

}  // namespace
}  // namespace tarvek
