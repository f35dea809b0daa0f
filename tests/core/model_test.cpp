#include "core/model.hpp"

#include <gtest/gtest.h>

#include <new>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;
using testing::two_to;

template <class S>
class Model : public ::testing::Test {};
TYPED_TEST_SUITE(Model, testing::Scalars);

TYPED_TEST(Model, NewMixtureHasEqualWeightsAndZeroArrays) {
    using S = TypeParam;
    const GaussianMixtureParameters<S> mixture(3, 2);
    EXPECT_EQ(mixture.weights, std::vector<S>(3, static_cast<S>(1.0 / 3.0)));
    EXPECT_EQ(mixture.means, std::vector<S>(6, S(0)));
    EXPECT_EQ(mixture.variances, std::vector<S>(6, S(0)));
    EXPECT_EQ(mixture.variance_floors, std::vector<S>(6, S(0)));
    EXPECT_EQ(mixture.dimensions, 2u);
}

TYPED_TEST(Model, NewMixtureChecksInOrder) {
    using S = TypeParam;
    const auto make = [](std::uint64_t m, std::uint64_t d) {
        return error_of([&] { GaussianMixtureParameters<S>(m, d); });
    };
    EXPECT_EQ(make(0, 2), "mixture count and dimensions must be positive");
    EXPECT_EQ(make(2, 0), "mixture count and dimensions must be positive");
    EXPECT_EQ(make(0, two_to(31)), "mixture count and dimensions must be positive");
    EXPECT_EQ(make(two_to(31), 1), "dimensions exceed the legacy format");
    EXPECT_EQ(make(1, two_to(31)), "dimensions exceed the legacy format");
    // (2^31 − 1)² values exceed the address space in both widths; 2^60 only for 64-bit ones.
    EXPECT_EQ(make(two_to(31) - 1, two_to(31) - 1),
              "parameter allocation exceeds addressable memory");
    if constexpr (sizeof(S) == 8) {
        EXPECT_EQ(make(two_to(30), two_to(30)), "parameter allocation exceeds addressable memory");
    }
}

TYPED_TEST(Model, MixtureAllocFail) {
    using S = TypeParam;
    // Passes every range check, but is refused before anything is allocated.
    EXPECT_THROW(GaussianMixtureParameters<S>(two_to(24), two_to(24)), std::bad_alloc);
    EXPECT_THROW(StreamParameters<S>(2, two_to(24), two_to(24)), std::bad_alloc);
    const std::vector<StreamLayout> layouts{{1, two_to(24), two_to(24)}};
    EXPECT_THROW(ModelParameters<S>(layouts, 0), std::bad_alloc);
    // Streams that each fit may not fit together; the refusal comes where construction
    // would meet it, before a later layout's count error.
    const std::vector<StreamLayout> together(8, StreamLayout{1, two_to(22), two_to(22)});
    EXPECT_THROW(ModelParameters<S>(together, 0), std::bad_alloc);
    const std::vector<StreamLayout> then_bad{{1, two_to(24), two_to(24)}, {1, 0, 1}};
    EXPECT_THROW(ModelParameters<S>(then_bad, 0), std::bad_alloc);
    if constexpr (sizeof(S) == 4) {
        EXPECT_THROW(GaussianMixtureParameters<S>(two_to(30), two_to(30)), std::bad_alloc);
    }
}

TYPED_TEST(Model, ShapeCheckInOrder) {
    using S = TypeParam;
    const auto shape_error = [](const GaussianMixtureParameters<S>& mixture) {
        return error_of([&] { mixture.check_shape(); });
    };
    GaussianMixtureParameters<S> mixture(2, 3);
    EXPECT_EQ(shape_error(mixture), "no error");

    auto longer_means = mixture;
    longer_means.means.push_back(S(0));
    EXPECT_EQ(shape_error(longer_means), "parameter lengths do not match dimensions");
    auto short_variances = mixture;
    short_variances.variances.pop_back();
    EXPECT_EQ(shape_error(short_variances), "parameter lengths do not match dimensions");
    auto short_floors = mixture;
    short_floors.variance_floors.pop_back();
    EXPECT_EQ(shape_error(short_floors), "parameter lengths do not match dimensions");

    auto no_weights = longer_means;
    no_weights.weights.clear();
    EXPECT_EQ(shape_error(no_weights), "mixture count and dimensions must be positive");
    GaussianMixtureParameters<S> empty;
    EXPECT_EQ(shape_error(empty), "mixture count and dimensions must be positive");
    auto no_dimensions = longer_means;
    no_dimensions.dimensions = 0;
    EXPECT_EQ(shape_error(no_dimensions), "mixture count and dimensions must be positive");
    auto huge = longer_means;
    huge.dimensions = two_to(31);
    EXPECT_EQ(shape_error(huge), "dimensions exceed the legacy format");
    EXPECT_EQ(error_of([] { check_mixture_shape(two_to(31), 1, 0, 0, 0); }),
              "dimensions exceed the legacy format");
}

TYPED_TEST(Model, NewStream) {
    using S = TypeParam;
    const StreamParameters<S> empty(0, 0, 0);
    EXPECT_TRUE(empty.emissions.empty());
    EXPECT_EQ(empty.weight, S(1));

    const StreamParameters<S> stream(2, 3, 4);
    ASSERT_EQ(stream.emissions.size(), 2u);
    EXPECT_EQ(stream.emissions[1].weights.size(), 3u);
    EXPECT_EQ(stream.emissions[1].means.size(), 12u);

    EXPECT_EQ(error_of([] { StreamParameters<S>(2, 0, 3); }),
              "mixture count and dimensions must be positive");
    EXPECT_EQ(error_of([] { StreamParameters<S>(two_to(31), 0, 0); }),
              "emission count exceeds the legacy format");
    EXPECT_EQ(error_of([] { StreamParameters<S>(1, two_to(31), 1); }),
              "dimensions exceed the legacy format");
}

TYPED_TEST(Model, StreamValidateReportsFirstEmission) {
    using S = TypeParam;
    StreamParameters<S> stream(3, 1, 2);
    stream.emissions[2].dimensions = 0;
    EXPECT_EQ(error_of([&] { stream.validate(); }),
              "mixture count and dimensions must be positive");
    stream.emissions[1].variances.push_back(S(1));
    EXPECT_EQ(error_of([&] { stream.validate(); }), "parameter lengths do not match dimensions");
}

TYPED_TEST(Model, NewModel) {
    using S = TypeParam;
    const std::vector<StreamLayout> layouts{{2, 1, 3}};
    const ModelParameters<S> model(layouts, 4);
    ASSERT_EQ(model.streams.size(), 1u);
    ASSERT_EQ(model.streams[0].emissions.size(), 2u);
    EXPECT_EQ(model.streams[0].emissions[0].weights, std::vector<S>{S(1)});
    EXPECT_EQ(model.streams[0].emissions[0].dimensions, 3u);
    ASSERT_EQ(model.durations.size(), 4u);
    for (const auto& duration : model.durations) {
        EXPECT_EQ(duration.mean, S(0));
        EXPECT_EQ(duration.variance, S(0));
        EXPECT_EQ(duration.minimum_duration, -1);
        EXPECT_EQ(duration.maximum_duration, -1);
        EXPECT_EQ(duration.fixed_mean_duration, -1);
        EXPECT_EQ(duration.variance_floor, S(0));
    }
    const ModelParameters<S> empty(std::span<const StreamLayout>{}, 0);
    EXPECT_TRUE(empty.streams.empty());
    EXPECT_TRUE(empty.durations.empty());

    // The first failing layout wins; slot counts are checked first.
    const std::vector<StreamLayout> bad{{1, 0, 1}, {two_to(31), 1, 1}};
    EXPECT_EQ(error_of([&] { ModelParameters<S>(bad, 1); }),
              "mixture count and dimensions must be positive");
    EXPECT_EQ(error_of([&] { ModelParameters<S>(bad, two_to(31)); }),
              "slot count exceeds the legacy format");
}

TYPED_TEST(Model, CopiesAreDeep) {
    using S = TypeParam;
    const std::vector<StreamLayout> layouts{{1, 2, 2}};
    ModelParameters<S> model(layouts, 1);
    const ModelParameters<S> copy = model;
    model.streams[0].emissions[0].means[3] = S(7);
    EXPECT_EQ(copy.streams[0].emissions[0].means[3], S(0));
}

TYPED_TEST(Model, ModelBuilderChecksInOrder) {
    using S = TypeParam;
    EXPECT_EQ(error_of([] { ModelParametersBuilder<S>(two_to(31), 0); }),
              "slot count exceeds the legacy format");
    EXPECT_EQ(error_of([] { ModelParametersBuilder<S>(0, two_to(31)); }),
              "slot count exceeds the legacy format");

    const ModelParameters<S> empty = ModelParametersBuilder<S>(0, 0).build();
    EXPECT_TRUE(empty.streams.empty() && empty.durations.empty());

    ModelParametersBuilder<S> both_empty(1, 1);
    EXPECT_EQ(error_of([&] { std::move(both_empty).build(); }),
              "model builder contains an unfilled stream slot");
    // A failed build consumes the builder.
    EXPECT_TRUE(both_empty.streams.empty() && both_empty.durations.empty());

    ModelParametersBuilder<S> no_duration(1, 2);
    no_duration.streams[0].emplace(1, 1, 1);
    no_duration.durations[0].emplace();
    EXPECT_EQ(error_of([&] { std::move(no_duration).build(); }),
              "model builder contains an unfilled duration slot");

    ModelParametersBuilder<S> bad_mixture(2, 1);
    bad_mixture.streams[0].emplace(1, 1, 1);
    bad_mixture.streams[1].emplace(2, 1, 1);
    bad_mixture.streams[1]->emissions[1].dimensions = 0;
    bad_mixture.streams[1]->emissions[1].means.clear();
    bad_mixture.durations[0].emplace();
    EXPECT_EQ(error_of([&] { std::move(bad_mixture).build(); }),
              "mixture count and dimensions must be positive");

    ModelParametersBuilder<S> filled(2, 1);
    filled.streams[0].emplace(1, 1, 1);
    filled.streams[1].emplace(1, 2, 1);
    filled.streams[1]->weight = S(0.25);
    filled.durations[0].emplace().mean = S(3);
    const ModelParameters<S> model = std::move(filled).build();
    ASSERT_EQ(model.streams.size(), 2u);
    EXPECT_EQ(model.streams[1].weight, S(0.25));
    EXPECT_EQ(model.streams[1].emissions[0].weights.size(), 2u);
    EXPECT_EQ(model.durations[0].mean, S(3));
}

TYPED_TEST(Model, StreamBuilder) {
    using S = TypeParam;
    EXPECT_EQ(error_of([] { StreamParametersBuilder<S>(two_to(31)); }),
              "slot count exceeds the legacy format");
    StreamParametersBuilder<S> builder(2);
    EXPECT_EQ(builder.weight, S(1));
    builder.emissions[0].emplace(1, 2);
    auto copy = builder;
    EXPECT_EQ(error_of([&] { std::move(copy).build(); }),
              "stream builder contains an unfilled emission slot");
    EXPECT_TRUE(copy.emissions.empty());

    auto malformed = builder;
    malformed.emissions[1].emplace(1, 2);
    malformed.emissions[1]->variance_floors.clear();
    EXPECT_EQ(error_of([&] { std::move(malformed).build(); }),
              "parameter lengths do not match dimensions");

    builder.emissions[1].emplace(2, 3);
    builder.weight = S(0.5);
    const StreamParameters<S> stream = std::move(builder).build();
    ASSERT_EQ(stream.emissions.size(), 2u);
    EXPECT_EQ(stream.emissions[1].dimensions, 3u);
    EXPECT_EQ(stream.weight, S(0.5));
}

TEST(ModelError, TextIsTheMessage) {
    const ModelError error("dimensions exceed the legacy format");
    EXPECT_STREQ(error.what(), "dimensions exceed the legacy format");
}

}  // namespace
}  // namespace tarvek
