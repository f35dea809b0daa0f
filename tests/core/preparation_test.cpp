#include "core/preparation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::error_of;
using testing::two_to;

template <class S>
class Preparation : public ::testing::Test {};
TYPED_TEST_SUITE(Preparation, testing::Scalars);

constexpr double fast_exp_floor = 1.1755177525066417e-38;

template <class S>
DurationParameters<S> duration_law(S mean, S variance, std::int32_t minimum = -1) {
    DurationParameters<S> duration;
    duration.mean = mean;
    duration.variance = variance;
    duration.minimum_duration = minimum;
    return duration;
}

template <class S>
PreparationOptions<S> options(std::uint64_t length, S weight = S(1), S temperature = S(1)) {
    return {length, weight, temperature};
}

// A valid model: two streams (two and one emissions) and three states.
template <class S>
ModelParameters<S> valid_model() {
    const std::vector<StreamLayout> layouts{{2, 2, 3}, {1, 1, 2}};
    ModelParameters<S> model(layouts, 3);
    for (auto& stream : model.streams) {
        for (auto& mixture : stream.emissions) {
            for (std::size_t i = 0; i < mixture.variances.size(); ++i) {
                mixture.variances[i] = static_cast<S>(0.5 + static_cast<double>(i));
                mixture.means[i] = static_cast<S>(i);
            }
        }
    }
    for (std::size_t q = 0; q < 3; ++q) {
        model.durations[q] = duration_law<S>(static_cast<S>(4 + q), S(2));
    }
    return model;
}

TYPED_TEST(Preparation, OptionChecks) {
    using S = TypeParam;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const char* invalid = "invalid duration preparation options";
    const auto law = duration_law<S>(S(5), S(2));
    const auto error = [&](PreparationOptions<S> o) {
        return error_of([&] { DurationPreparation<S>(law, o); });
    };
    EXPECT_EQ(error(options<S>(two_to(31))), invalid);
    EXPECT_EQ(error(options<S>(1, S(-1))), invalid);
    EXPECT_EQ(error(options<S>(1, S(1), nan)), invalid);
    EXPECT_EQ(error(options<S>(1, std::numeric_limits<S>::infinity())), invalid);
    EXPECT_EQ(error(options<S>(4, S(-0.0), S(-0.0))), "no error");
    // Options are checked before the law.
    EXPECT_EQ(
        error_of([&] { DurationPreparation<S>(DurationParameters<S>{}, options<S>(1, nan)); }),
        invalid);
    EXPECT_EQ(error_of([&] { DurationPreparation<S>(DurationParameters<S>{}, options<S>(1)); }),
              "duration requires a finite mean and positive variance");
}

TYPED_TEST(Preparation, DurationCacheWithMinimum) {
    using S = TypeParam;
    const auto law = duration_law<S>(S(4), S(2), 3);
    const DurationPreparation<S> plain(law, options<S>(5));
    ASSERT_EQ(plain.cache.size(), 5u);
    for (std::size_t d = 0; d < 3; ++d) EXPECT_EQ(plain.cache[d], log_zero<S>);
    const long double pi = 3.141592653589793238462643383279L;
    for (std::size_t d = 3; d < 5; ++d) {
        const long double gaussian =
            -0.5L * std::log(2 * pi * 2) - 0.5L * (d - 4.0L) * (d - 4.0L) / 2;
        EXPECT_NEAR(plain.cache[d], gaussian, 1e-6);
    }
    EXPECT_NEAR(plain.normalizer, -0.5L * std::log(2 * pi * 2), 1e-7);

    const DurationPreparation<S> frozen(law, options<S>(5, S(1), S(0)));
    EXPECT_EQ(frozen.cache, (std::vector<S>{log_zero<S>, log_zero<S>, log_zero<S>, S(0), S(0)}));

    const DurationPreparation<S> half(law, options<S>(5, S(1), S(0.5)));
    for (std::size_t d = 0; d < 3; ++d) EXPECT_EQ(half.cache[d], S(0.5) * log_zero<S>);
    if constexpr (sizeof(S) == 8) {
        EXPECT_EQ(half.cache[0], -5e14);
    }
    EXPECT_EQ(half.probability(law, 1), static_cast<S>(static_cast<float>(fast_exp_floor)));
    EXPECT_EQ(frozen.probability(law, 3), S(1));
    EXPECT_EQ(frozen.probability(law, 1000), S(1));

    const DurationPreparation<S> weightless(duration_law<S>(S(4), S(2)), options<S>(6, S(0)));
    EXPECT_EQ(weightless.cache, std::vector<S>(6, S(0)));
}

TYPED_TEST(Preparation, BeyondTheCacheFollowsTheSameRule) {
    using S = TypeParam;
    for (const std::int32_t minimum : {-1, 3}) {
        for (const S temperature : {S(1), S(0.7), S(0)}) {
            const auto law = duration_law<S>(S(6.5), S(3), minimum);
            const auto o = options<S>(40, S(1.3), temperature);
            const DurationPreparation<S> cached(law, o);
            const DurationPreparation<S> uncached(law, options<S>(0, S(1.3), temperature));
            EXPECT_TRUE(uncached.cache.empty());
            for (std::uint64_t d = 0; d < 45; ++d) {
                EXPECT_EQ(bits(cached.log_value(law, d)), bits(uncached.log_value(law, d))) << d;
                EXPECT_EQ(bits(cached.probability(law, d)), bits(uncached.probability(law, d)));
            }
        }
    }
    const auto law = duration_law<S>(S(6.5), S(3));
    const DurationPreparation<S> prepared(law, options<S>(3));
    EXPECT_EQ(error_of([&] { prepared.probability(law, two_to(31)); }),
              "duration exceeds the legacy frame range");
    EXPECT_EQ(error_of([&] { prepared.log_probability(law, two_to(31)); }),
              "duration exceeds the legacy frame range");
    EXPECT_EQ(error_of([&] { prepared.log_probability(law, two_to(31) - 1); }), "no error");
}

TYPED_TEST(Preparation, PrepareAllStates) {
    using S = TypeParam;
    auto model = valid_model<S>();
    const auto copy = model;
    auto prepared = prepare_owned_duration_states(std::move(model), options<S>(10));
    ASSERT_EQ(prepared.streams.size(), 2u);
    ASSERT_EQ(prepared.streams[0].normalizers.size(), 2u);
    EXPECT_EQ(prepared.streams[0].normalizers[1],
              gaussian_normalizers(copy.streams[0].emissions[1]));
    ASSERT_EQ(prepared.durations.size(), 3u);
    for (std::size_t q = 0; q < 3; ++q) {
        ASSERT_NE(prepared.duration(q), nullptr);
        EXPECT_EQ(prepared.duration(q)->cache,
                  DurationPreparation<S>(copy.durations[q], options<S>(10)).cache);
    }
    EXPECT_EQ(prepared.duration(3), nullptr);

    const auto view = prepared.emission(1, 0);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(&view->parameters(), &prepared.model.streams[1].emissions[0]);
    EXPECT_FALSE(prepared.emission(1, 1).has_value());
    EXPECT_FALSE(prepared.emission(2, 0).has_value());

    const ModelParameters<S> back = std::move(prepared).into_model();
    EXPECT_EQ(back.streams[0].emissions[1].means, copy.streams[0].emissions[1].means);
    EXPECT_EQ(back.durations[2].mean, copy.durations[2].mean);

    // Default durations have no positive variance.
    const std::vector<StreamLayout> none;
    EXPECT_EQ(error_of([&] {
                  prepare_owned_duration_states(ModelParameters<S>(none, 2), options<S>(1));
              }),
              "duration requires a finite mean and positive variance");
}

TYPED_TEST(Preparation, PrepareSelectedStates) {
    using S = TypeParam;
    auto model = valid_model<S>();
    model.durations[1].variance = S(0);  // never examined: state 1 is not selected
    const std::vector<std::uint64_t> selected{2, 0, 2};
    const auto prepared = prepare_owned_duration_states(model, options<S>(4), selected);
    EXPECT_NE(prepared.duration(0), nullptr);
    EXPECT_EQ(prepared.duration(1), nullptr);
    EXPECT_NE(prepared.duration(2), nullptr);

    const std::vector<std::uint64_t> out_of_range{5};
    EXPECT_EQ(error_of([&] { prepare_owned_duration_states(model, options<S>(4), out_of_range); }),
              "selected duration state is out of range");
    const std::vector<std::uint64_t> invalid_first{1, 5};
    EXPECT_EQ(error_of([&] { prepare_owned_duration_states(model, options<S>(4), invalid_first); }),
              "duration requires a finite mean and positive variance");
}

TYPED_TEST(Preparation, ModelChecksInOrder) {
    using S = TypeParam;
    const std::vector<std::uint64_t> out_of_range{7};
    const auto error = [&](ModelParameters<S> model, PreparationOptions<S> o) {
        return error_of([&] { prepare_owned_duration_states(std::move(model), o, out_of_range); });
    };
    auto bad_weight = valid_model<S>();
    bad_weight.streams[0].weight = S(-1);
    bad_weight.streams[0].emissions[0].variances[0] = S(0);
    auto bad_shape = bad_weight;
    bad_shape.streams[1].emissions[0].means.pop_back();
    auto bad_values = valid_model<S>();
    bad_values.streams[1].emissions[0].variances[0] = S(0);

    EXPECT_EQ(error(bad_shape, options<S>(two_to(31))), "invalid duration preparation options");
    EXPECT_EQ(error(bad_shape, options<S>(4)), "parameter lengths do not match dimensions");
    EXPECT_EQ(error(bad_weight, options<S>(4)), "stream weights must be finite and nonnegative");
    EXPECT_EQ(error(bad_values, options<S>(4)),
              "emissions require finite means, positive variances, and nonnegative finite weights");
    EXPECT_EQ(error(valid_model<S>(), options<S>(4)), "selected duration state is out of range");
    auto accepted = valid_model<S>();
    accepted.streams[0].weight = S(-0.0);
    EXPECT_EQ(
        error_of([&] { prepare_owned_duration_states(accepted, options<S>(4, S(1), S(-0.0))); }),
        "no error");
}

TYPED_TEST(Preparation, PreparedStream) {
    using S = TypeParam;
    auto stream = valid_model<S>().streams[0];
    const auto copy = stream;
    const auto prepared = std::move(stream).prepare_owned();
    ASSERT_EQ(prepared.preparation.normalizers.size(), 2u);
    EXPECT_EQ(prepared.preparation.normalizers[0], gaussian_normalizers(copy.emissions[0]));
    ASSERT_TRUE(prepared.emission(1).has_value());
    EXPECT_EQ(prepared.emission(1)->normalizers().size(), 2u);
    EXPECT_FALSE(prepared.emission(2).has_value());

    auto negative = copy;
    negative.weight = S(-1);
    EXPECT_EQ(error_of([&] { std::move(negative).prepare_owned(); }),
              "stream weights must be finite and nonnegative");
    EXPECT_TRUE(negative.emissions.empty());
}

}  // namespace
}  // namespace tarvek
