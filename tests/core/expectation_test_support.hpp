#pragma once
// Helpers shared by the expectation and estimation tests: statistics read back as bits, one
// utterance with hand-made posteriors, and a reference accumulation written from the
// definitions that works on a full copy of the statistics.

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "core/duration_occupancy.hpp"
#include "core/expectation.hpp"
#include "core/mixture_occupancy.hpp"
#include "core/occupancy.hpp"
#include "core/statistics.hpp"
#include "test_support.hpp"

namespace tarvek::testing {

// Every statistic as bits, so that "unchanged" means bit-identical.
template <class S>
std::vector<std::uint64_t> statistics_bits(const ModelSufficientStatistics<S>& statistics) {
    std::vector<std::uint64_t> out;
    const auto add = [&](const std::vector<S>& values) {
        out.push_back(values.size());
        for (const S v : values) out.push_back(bits(v));
    };
    out.push_back(statistics.streams.size());
    for (const auto& stream : statistics.streams) {
        out.push_back(stream.emissions.size());
        for (const auto& g : stream.emissions) {
            add(g.weighted_sums);
            add(g.weighted_squared_sums);
            add(g.component_occupancies);
            out.push_back(g.dimensions);
            out.push_back(bits(g.state_occupancy));
        }
    }
    out.push_back(statistics.durations.size());
    for (const auto& d : statistics.durations) {
        for (const S v : {d.value_sum, d.squared_sum, d.occupancy}) out.push_back(bits(v));
    }
    return out;
}

// A table whose cells all hold `count(s)` weights, weight m of cell (t, s) being
// value(t, s, m).
template <class Count, class Value>
MixtureOccupancies full_mixture_table(std::uint64_t frames, std::uint64_t states, Count&& count,
                                      Value&& value) {
    std::vector<std::uint8_t> presence(frames * states, 1);
    std::vector<std::uint64_t> offsets{0};
    std::vector<float> values;
    for (std::uint64_t t = 0; t < frames; ++t) {
        for (std::uint64_t s = 0; s < states; ++s) {
            for (std::uint64_t m = 0; m < static_cast<std::uint64_t>(count(s)); ++m)
                values.push_back(value(t, s, m));
            offsets.push_back(values.size());
        }
    }
    return MixtureOccupancies::from_values(frames, states, std::move(presence), std::move(offsets),
                                           std::move(values));
}

// A duration table from one optional posterior per cell, in cell order.
inline DurationOccupancies duration_table(
    std::uint64_t frames, std::uint64_t states,
    const std::vector<std::optional<DurationPosterior>>& cells) {
    std::vector<std::uint8_t> presence;
    std::vector<std::uint64_t> minimums;
    std::vector<std::uint64_t> offsets{0};
    std::vector<float> values;
    for (const auto& cell : cells) {
        presence.push_back(cell ? 1 : 0);
        minimums.push_back(cell ? cell->minimum : 0);
        if (cell)
            values.insert(values.end(), cell->probabilities.begin(), cell->probabilities.end());
        offsets.push_back(values.size());
    }
    return DurationOccupancies::from_values(frames, states, std::move(presence),
                                            std::move(minimums), std::move(offsets),
                                            std::move(values));
}

// One observation with everything either accumulation reads.
template <class S>
struct Utterance {
    ModelParameters<S> model;
    ModelSufficientStatistics<S> statistics;
    ObservationData<S> observation;
    SegmentationData<S> segmentation;
    DurationOccupancies durations;
    StateScoreTable<S> states;
    std::vector<MixtureOccupancies> mixtures;
    TransitionOccupancies transitions;
    S radius = 0;
    S slope = 1;

    std::uint64_t frames() const { return observation.frames; }
    std::uint64_t positions() const { return segmentation.segment_count(); }

    void collect_hsmm() {
        tarvek::collect_hsmm(statistics, model, observation, segmentation,
                             HsmmExpectation<S>{durations, states, mixtures, radius});
    }
    void collect_geometric() {
        tarvek::collect_geometric(statistics, model, observation, segmentation,
                                  GeometricExpectation<S>{transitions, states, mixtures, slope});
    }
};

// Two streams (2 components in 2 dimensions; 1 component in 1 dimension), position s using
// emission state s in both and duration state s. Observation values are small binary fractions,
// so that sums of a few of them are exact; every state occupancy is 1, every mixture cell
// present (stream 0: 0.25 and 0.75; stream 1: 1), every duration cell absent, every transition
// entry present with stay and advance 0.5.
template <class S>
Utterance<S> chain_utterance(std::uint64_t frames, std::vector<std::int32_t> boundaries) {
    Utterance<S> u;
    const std::uint64_t positions = boundaries.size();
    const std::vector<StreamLayout> layouts{{positions, 2, 2}, {positions, 1, 1}};
    u.model = ModelParameters<S>(layouts, positions);
    u.statistics = ModelSufficientStatistics<S>::from_model(u.model);
    const std::vector<std::size_t> dimensions{2, 1};
    u.observation = ObservationData<S>::create(frames, dimensions);
    for (auto& stream : u.observation.streams) {
        for (std::size_t i = 0; i < stream.values.size(); ++i) {
            stream.values[i] = static_cast<S>(0.5 * static_cast<double>(i % 7) - 1.0);
        }
    }
    u.segmentation = SegmentationData<S>::create(2, positions);
    u.segmentation.boundaries = boundaries;
    for (std::uint64_t s = 0; s < positions; ++s) {
        u.segmentation.duration_states[s] = static_cast<std::int32_t>(s);
        u.segmentation.output_states[0][s] = static_cast<std::int32_t>(s);
        u.segmentation.output_states[1][s] = static_cast<std::int32_t>(s);
    }
    u.durations = duration_table(frames, positions,
                                 std::vector<std::optional<DurationPosterior>>(frames * positions));
    u.states.frames = frames;
    u.states.states = positions;
    u.states.values.assign(frames * positions, S(1));
    u.mixtures.push_back(full_mixture_table(
        frames, positions, [](std::uint64_t) { return 2; },
        [](std::uint64_t, std::uint64_t, std::uint64_t m) { return m == 0 ? 0.25f : 0.75f; }));
    u.mixtures.push_back(full_mixture_table(
        frames, positions, [](std::uint64_t) { return 1; },
        [](std::uint64_t, std::uint64_t, std::uint64_t) { return 1.0f; }));
    u.transitions = TransitionOccupancies::from_values(
        frames, positions, std::vector<TransitionOccupancy>(frames * positions, {1, 0.5f, 0.5f}));
    return u;
}

// The statistics' parts named by position s, written straight from the definitions.
template <class S>
void reference_emission_cell(ModelSufficientStatistics<S>& copy, const Utterance<S>& u,
                             std::uint64_t t, std::uint64_t s) {
    for (std::size_t i = 0; i < copy.streams.size(); ++i) {
        auto& g = copy.streams[i].emissions[u.segmentation.output_states[i][s]];
        g.state_occupancy += u.states(t, s);
        const auto cell = u.mixtures[i].get(t, s);
        if (!cell) continue;
        const std::size_t d = g.dimensions;
        for (std::size_t m = 0; m < cell->size(); ++m) {
            const S p = (*cell)[m];
            g.component_occupancies[m] += p;
            for (std::size_t j = 0; j < d; ++j) {
                const S x = u.observation.streams[i].values[t * d + j];
                g.weighted_sums[m * d + j] += p * x;
                g.weighted_squared_sums[m * d + j] += x * (p * x);
            }
        }
    }
}

// The HSMM accumulation on a full copy, windows from their definition (inputs assumed valid).
template <class S>
void reference_collect_hsmm(Utterance<S>& u) {
    u.statistics.validate_for(u.model);
    ModelSufficientStatistics<S> copy = u.statistics;
    const std::int64_t frames = static_cast<std::int64_t>(u.frames());
    const std::int64_t positions = static_cast<std::int64_t>(u.positions());
    for (std::int64_t k = 0; k < positions; ++k) {
        const std::int64_t first = k == 0 ? 0 : u.segmentation.boundaries[k - 1];
        const std::int64_t last = std::min<std::int64_t>(u.segmentation.boundaries[k], frames - 1);
        const S top = static_cast<S>(positions - 1);
        const auto lo =
            static_cast<std::int64_t>(std::trunc(std::max(static_cast<S>(k) - u.radius, S(0))));
        const auto hi = std::min<std::int64_t>(
            positions - 1,
            static_cast<std::int64_t>(std::trunc(std::min(static_cast<S>(k) + u.radius, top))));
        for (std::int64_t t = first; t <= last; ++t) {
            for (std::int64_t s = lo; s <= hi; ++s) {
                auto& d = copy.durations[u.segmentation.duration_states[s]];
                if (const auto cell = u.durations.get(t, s)) {
                    for (std::size_t j = 0; j < cell->probabilities.size(); ++j) {
                        const S p = cell->probabilities[j];
                        const S n = static_cast<S>(cell->minimum + j);
                        d.value_sum += p * n;
                        d.squared_sum += (p * n) * n;
                        d.occupancy += p;
                    }
                }
                reference_emission_cell(copy, u, t, s);
            }
        }
    }
    copy.validate_for(u.model);
    u.statistics = std::move(copy);
}

// The geometric accumulation on a full copy, the band from its definition.
template <class S>
void reference_collect_geometric(Utterance<S>& u) {
    u.statistics.validate_for(u.model);
    ModelSufficientStatistics<S> copy = u.statistics;
    const std::uint64_t frames = u.frames();
    const std::uint64_t positions = u.positions();
    const auto w = static_cast<std::uint64_t>(u.slope * static_cast<S>(positions));
    for (std::uint64_t t = 1; t + 1 < frames; ++t) {
        const std::uint64_t c = positions * t / frames;
        for (std::uint64_t s = 0; s < positions; ++s) {
            if (!(s + w >= c && s < c + w)) continue;
            auto& d = copy.durations[u.segmentation.duration_states[s]];
            const auto& entry = u.transitions.entries[t * positions + s];
            if (entry.present == 1) d.value_sum += entry.advance;
            d.occupancy += u.states(t, s);
            reference_emission_cell(copy, u, t, s);
        }
    }
    copy.validate_for(u.model);
    u.statistics = std::move(copy);
}

}  // namespace tarvek::testing
