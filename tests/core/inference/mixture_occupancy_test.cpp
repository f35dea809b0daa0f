#include "core/inference/mixture_occupancy.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/model/probability.hpp"
#include "inference/geometric_test_support.hpp"
#include "test_support.hpp"

namespace tarvek {
namespace {

using geometric_testing::in_band;
using testing::error_of;
using Mode = MixtureOccupancyMode;

template <class S>
class MixtureOccupancy : public ::testing::Test {};
TYPED_TEST_SUITE(MixtureOccupancy, testing::Scalars);

constexpr std::uint64_t frames = 14;
constexpr std::uint64_t positions = 5;
constexpr std::uint64_t components = 3;

// Two streams; stream 1 has three emission states of three 2-D components with weights in
// [0.25, 0.5] (one zero), and the occupancies lie in (0, 0.25], so no component term exceeds 1.
template <class S>
struct Call {
    ModelParameters<S> model;
    ObservationData<S> observation;
    SegmentationData<S> segmentation;
    StateScoreTable<S> occupancies;
    std::uint64_t stream = 1;
    Mode mode = Mode::state_radius;
    S temperature = 1;
    S parameter = 1;

    explicit Call(std::mt19937_64& random) {
        std::normal_distribution<double> normal(0.0, 1.0);
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        const std::vector<StreamLayout> layouts = {{1, 1, 1}, {3, components, 2}};
        model = ModelParameters<S>(layouts, 1);
        {
            const auto edit = model.edit();
            for (auto& stream_parameters : edit.streams()) {
                for (auto& mixture : stream_parameters.emissions) {
                    for (auto& mean : mixture.means) mean = static_cast<S>(normal(random));
                    for (auto& v : mixture.variances)
                        v = static_cast<S>(0.5 + 1.5 * uniform(random));
                    for (auto& w : mixture.weights)
                        w = static_cast<S>(0.25 + 0.25 * uniform(random));
                }
            }
        }
        const std::vector<std::size_t> dimensions = {1, 2};
        observation = ObservationData<S>::create(frames, dimensions);
        for (auto& data : observation.streams) {
            for (auto& value : data.values) value = static_cast<S>(normal(random));
        }
        segmentation = SegmentationData<S>::create(2, positions);
        segmentation.boundaries = {2, 2, 7, 11, static_cast<std::int32_t>(frames)};
        for (std::uint64_t s = 0; s < positions; ++s) {
            segmentation.output_states[1][s] = static_cast<std::int32_t>((s * 2) % 3);
        }
        {
            const auto edit = model.edit();
            edit.streams()[1].emissions[2].weights[1] = S(0);
        }
        occupancies = StateScoreTable<S>::filled(frames, positions, ModelError("unused"));
        for (S& value : occupancies.values) value = static_cast<S>(0.25 * (1 - uniform(random)));
    }

    MixtureOccupancies run() const {
        return mixture_occupancies(model, observation, segmentation, occupancies, stream, mode,
                                   temperature, parameter);
    }

    // Whether the mode computes cell (t, s), from the window definitions.
    bool computed(std::uint64_t t, std::uint64_t s) const {
        if ((static_cast<std::uint32_t>(mode) & 1) == 0) {
            return geometric_testing::in_radius_window(segmentation.boundaries, frames, parameter,
                                                       t, s);
        }
        const auto w = static_cast<std::uint64_t>(std::trunc(parameter * S(positions)));
        return t >= 1 && t + 1 < frames && in_band(t, s, frames, positions, w);
    }
};

// Each cell's weights share out its occupancy: Σ_m w_m e^(d_m) / e^(lp) = 1 at temperature 1.
TYPED_TEST(MixtureOccupancy, ComponentsShareTheOccupancy) {
    using S = TypeParam;
    std::mt19937_64 random(21);
    for (const Mode mode : {Mode::state_radius, Mode::linear_band, static_cast<Mode>(3)}) {
        for (const double parameter : {0.0, 1.0, 0.5, 2.0}) {
            Call<S> call(random);
            call.mode = mode;
            call.parameter = static_cast<S>(parameter);
            const MixtureOccupancies result = call.run();
            ASSERT_EQ(result.frames, frames);
            ASSERT_EQ(result.states, positions);
            std::uint64_t present = 0;
            for (std::uint64_t t = 0; t < frames; ++t) {
                for (std::uint64_t s = 0; s < positions; ++s) {
                    SCOPED_TRACE(::testing::Message() << parameter << " " << t << " " << s);
                    const auto cell = result.get(t, s);
                    ASSERT_EQ(cell.has_value(), call.computed(t, s));
                    if (!cell) continue;
                    ++present;
                    ASSERT_EQ(cell->size(), components);
                    double sum = 0;
                    for (const float value : *cell) sum += value;
                    if (call.segmentation.output_states[1][s] == 2) {
                        EXPECT_EQ((*cell)[1], 0.0f);  // a zero component weight
                    }
                    const double occupancy = call.occupancies(t, s);
                    EXPECT_NEAR(sum, occupancy, 1e-2 * occupancy);
                }
            }
            EXPECT_EQ(result.values.size(), present * components);
        }
    }
}

TYPED_TEST(MixtureOccupancy, ColdTemperatureSplitsByWeight) {
    using S = TypeParam;
    std::mt19937_64 random(22);
    Call<S> call(random);
    call.temperature = S(0);
    const auto result = call.run();
    const auto cell = result.get(3, 2);
    ASSERT_TRUE(cell);
    const auto& weights = call.model.streams[1].emissions[(2 * 2) % 3].weights;
    for (std::uint64_t m = 0; m < components; ++m) {
        EXPECT_NEAR((*cell)[m], weights[m] * call.occupancies(3, 2), 1e-3 * weights[m]);
    }
}

// An occupancy of 4 makes some component terms exceed 1: the band mode caps them.
TYPED_TEST(MixtureOccupancy, BandModeCapsEachTermAtOne) {
    using S = TypeParam;
    std::mt19937_64 random(27);
    Call<S> call(random);
    for (S& value : call.occupancies.values) value = S(4);
    const auto uncapped = call.run();
    call.mode = Mode::linear_band;
    const auto capped = call.run();
    bool some_capped = false;
    for (std::uint64_t t = 1; t + 1 < frames; ++t) {
        for (std::uint64_t s = 0; s < positions; ++s) {
            const auto cell = capped.get(t, s);
            const auto full = uncapped.get(t, s);
            if (!cell || !full) continue;
            const auto& weights =
                call.model.streams[1].emissions[call.segmentation.output_states[1][s]].weights;
            double sum = 0;
            for (std::uint64_t m = 0; m < components; ++m) {
                EXPECT_LE((*cell)[m], static_cast<float>(weights[m]));
                some_capped |= (*cell)[m] == static_cast<float>(weights[m]);
                sum += (*full)[m];
            }
            EXPECT_NEAR(sum, 4.0, 4e-2);
        }
    }
    EXPECT_TRUE(some_capped);
}

TYPED_TEST(MixtureOccupancy, BandNeedsThreeFrames) {
    using S = TypeParam;
    std::mt19937_64 random(24);
    Call<S> call(random);
    call.mode = Mode::linear_band;
    call.parameter = S(1);
    call.observation.frames = 2;
    call.observation.streams[0].values.resize(2);
    call.observation.streams[1].values.resize(4);
    call.occupancies.frames = 2;
    call.occupancies.values.resize(2 * positions);
    const auto result = call.run();
    EXPECT_EQ(result.presence, std::vector<std::uint8_t>(2 * positions, 0));
    EXPECT_TRUE(result.values.empty());
}

// Every present cell against the one-frame rule, bit for bit: random mixtures of several
// component and dimension counts (weights of +0 and −0 among them, tiny variances, frames on a
// component's mean), occupancies up to 4 (so that some exponents reach 0 and beyond), both
// modes and three temperatures.
TYPED_TEST(MixtureOccupancy, BatchMatchesTheOneFrameRuleBitForBit) {
    using S = TypeParam;
    std::mt19937_64 random(29);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const std::uint64_t length = 37;
    for (const std::uint64_t m : {1u, 3u, 8u}) {
        for (const std::uint64_t d : {1u, 5u, 40u}) {
            ModelParameters<S> model(std::vector<StreamLayout>{{4, m, d}}, 1);
            {
                const auto edit = model.edit();
                for (auto& mixture : edit.streams()[0].emissions) {
                    for (auto& mean : mixture.means) mean = static_cast<S>(normal(random));
                    for (auto& v : mixture.variances) {
                        v = static_cast<S>(uniform(random) < 0.2 ? 1e-3 : 0.3 + uniform(random));
                    }
                    for (auto& w : mixture.weights) {
                        const double u = uniform(random);
                        w = u < 0.1 ? S(0) : u < 0.2 ? S(-0.0) : static_cast<S>(u);
                    }
                }
            }
            auto observation = ObservationData<S>::create(length, std::vector<std::size_t>{d});
            for (std::uint64_t t = 0; t < length; ++t) {
                const S* mean = model.streams[0].emissions[t % 4].means.data();
                const bool on_mean = uniform(random) < 0.3;
                for (std::uint64_t j = 0; j < d; ++j) {
                    observation.streams[0].values[t * d + j] =
                        on_mean ? mean[j] : static_cast<S>(normal(random));
                }
            }
            auto segmentation = SegmentationData<S>::create(1, 6);
            for (auto& b : segmentation.boundaries) b = static_cast<std::int32_t>(random() % 38);
            std::sort(segmentation.boundaries.begin(), segmentation.boundaries.end());
            segmentation.boundaries.back() = length;
            for (auto& e : segmentation.output_states[0])
                e = static_cast<std::int32_t>(random() % 4);
            auto occupancies = StateScoreTable<S>::filled(length, 6, ModelError("unused"));
            for (S& value : occupancies.values) value = static_cast<S>(4 * uniform(random));
            for (const Mode mode : {Mode::state_radius, Mode::linear_band}) {
                const bool band = mode == Mode::linear_band;
                for (const S temperature : {S(1), S(0.5), S(0)}) {
                    const MixtureOccupancies result =
                        mixture_occupancies(model, observation, segmentation, occupancies, 0, mode,
                                            temperature, S(band ? 0.5 : 1.5));
                    for (std::uint64_t t = 0; t < length; ++t) {
                        for (std::uint64_t s = 0; s < 6; ++s) {
                            const auto cell = result.get(t, s);
                            if (!cell) continue;
                            const auto& mixture =
                                model.streams[0].emissions[segmentation.output_states[0][s]];
                            const std::vector<S> normalizers = gaussian_normalizers(mixture);
                            const PreparedGaussianView<S> view(mixture, normalizers);
                            const S* x = observation.streams[0].values.data() + t * d;
                            const S shift =
                                static_cast<S>(fast_ln(static_cast<float>(occupancies(t, s)))) -
                                view.log_probability({x, d}, temperature);
                            for (std::uint64_t k = 0; k < m; ++k) {
                                const S y = shift + view.component_log_density(x, k) * temperature;
                                const S e = band ? negative_exponential(y) : exponential(y);
                                const auto value = static_cast<float>(mixture.weights[k] * e);
                                ASSERT_EQ(testing::bits((*cell)[k]),
                                          testing::bits(std::isnan(value) ? 0.0f : value))
                                    << "m=" << m << " d=" << d << " t=" << t << " s=" << s;
                            }
                        }
                    }
                }
            }
        }
    }
}

TYPED_TEST(MixtureOccupancy, CheckOrder) {
    using S = TypeParam;
    using Break = std::function<void(Call<S>&)>;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const Break observation = [](Call<S>& c) { c.observation.streams[1].values.pop_back(); };
    const Break segmentation = [](Call<S>& c) { c.segmentation.duration_states.pop_back(); };
    const Break shape = [](Call<S>& c) { c.occupancies.states = 4; };
    const Break temperature = [&](Call<S>& c) { c.temperature = nan; };
    const Break radius = [](Call<S>& c) { c.parameter = S(-1); };
    const Break stream = [](Call<S>& c) { c.stream = 2; };
    const Break state = [](Call<S>& c) { c.segmentation.output_states[1][4] = 3; };
    const Break dimensions = [](Call<S>& c) {
        const auto edit = c.model.edit();
        edit.streams()[1].emissions[0].variances[0] = S(0);
        edit.streams()[1].emissions[1].dimensions = 3;
    };
    struct Case {
        std::vector<Break> breaks;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {{observation, segmentation, shape, temperature, radius, stream, state, dimensions},
         "observation storage does not match dimensions"},
        {{segmentation, shape, temperature, radius, stream, state, dimensions},
         "segmentation arrays have inconsistent lengths"},
        {{[](Call<S>& c) { c.segmentation.outgoing[2][0].delta = 0; }, shape},
         "outgoing jumps must terminate with a single delta-1 transition"},
        {{shape, temperature, radius, stream, state, dimensions},
         "mixture occupancy dimensions or stream counts differ"},
        {{[](Call<S>& c) {
             const auto edit = c.model.edit();
             edit.streams().pop_back();
         }},
         "mixture occupancy dimensions or stream counts differ"},
        {{[](Call<S>& c) { c.segmentation.output_states.pop_back(); }},
         "mixture occupancy dimensions or stream counts differ"},
        {{temperature, radius, stream, state, dimensions},
         "temperature must be finite and nonnegative"},
        {{radius, stream, state, dimensions},
         "state pruning radius must be finite and nonnegative"},
        {{[](Call<S>& c) {
              c.mode = Mode::linear_band;
              c.parameter = S(INFINITY);
          },
          stream},
         "pruning slope must be finite and nonnegative"},
        {{[](Call<S>& c) { c.segmentation.boundaries[1] = 1; }, stream},
         "mixture occupancy boundaries must be ordered within the observation"},
        {{[](Call<S>& c) { c.segmentation.boundaries[4] = frames - 1; }, stream},
         "final boundary must match the frame count"},
        {{stream, state, dimensions}, "mixture occupancy stream is out of range"},
        {{state, dimensions}, "mixture occupancy emission state is out of range"},
        {{dimensions},
         "emissions require finite means, positive variances, and nonnegative finite weights"},
        {{[](Call<S>& c) {
             const auto edit = c.model.edit();
             edit.streams()[1].emissions[0].dimensions = 3;
             edit.streams()[1].emissions[1].variances[0] = S(0);
         }},
         "emission and observation dimensions differ"},
        {{[](Call<S>& c) {
             // The boundaries are not looked at in the band mode.
             c.mode = Mode::linear_band;
             c.segmentation.boundaries = {9, 1, 0, 40, 3};
         }},
         "no error"},
    };
    std::mt19937_64 random(26);
    for (const Case& test : cases) {
        Call<S> call(random);
        for (const Break& b : test.breaks) b(call);
        EXPECT_EQ(error_of([&] { call.run(); }), test.expected);
    }
}

TEST(MixtureOccupancies, GetAndFromValues) {
    const auto table =
        MixtureOccupancies::from_values(2, 1, {1, 1}, {0, 2, 5}, {0.5f, 0.5f, 0.2f, 0.3f, 1.5f});
    const auto cell = table.get(1, 0);
    ASSERT_TRUE(cell);
    EXPECT_EQ(std::vector<float>(cell->begin(), cell->end()),
              (std::vector<float>{0.2f, 0.3f, 1.5f}));
    EXPECT_FALSE(table.get(2, 0));
    EXPECT_FALSE(table.get(0, 1));
    EXPECT_FALSE(MixtureOccupancies::from_values(2, 1, {0, 1}, {0, 0, 1}, {1}).get(0, 0));

    const char* invalid =
        "mixture occupancies require positive matching dimensions and finite nonnegative weights";
    // The last five layouts are refused by the posterior readers first.
    const std::tuple<std::uint64_t, TableVector<std::uint8_t>, TableVector<std::uint64_t>,
                     TableVector<float>, const char*>
        cases[] = {{2, {0, 1}, {0, 0, 2}, {-0.0f, 0.0f}, "no error"},
                   {2, {1, 1}, {0, 1, 2}, {-0.5f, 0.0f}, invalid},
                   {2, {1, 1}, {0, 1, 2}, {NAN, 0.0f}, invalid},
                   {2, {1, 1}, {0, 1, 2}, {INFINITY, 0.0f}, invalid},
                   {0, {}, {0}, {}, invalid},
                   {2, {1}, {0, 0}, {}, invalid},
                   {2, {0, 1}, {0, 1, 2}, {1, 1}, invalid},
                   {2, {1, 1}, {0, 3, 2}, {1, 1}, invalid},
                   {2, {1, 2}, {0, 1, 2}, {1, 1}, invalid},
                   {2, {1, 1}, {0, 1}, {1}, invalid},
                   {2, {1, 1}, {1, 1, 2}, {1, 1}, invalid}};
    for (const auto& [frames, presence, offsets, values, expected] : cases) {
        EXPECT_EQ(error_of([&] {
                      MixtureOccupancies::from_values(frames, 1, presence, offsets, values);
                  }),
                  expected);
    }
    EXPECT_EQ(error_of([] { MixtureOccupancies::from_values(1, 0, {}, {0}, {}); }), invalid);
}

}  // namespace
}  // namespace tarvek
