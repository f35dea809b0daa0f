#pragma once
// Helpers shared by the statistics tests: statistics read back as bits, one utterance with
// hand-made posteriors, and reference accumulations that work on a full copy of the
// statistics, written from the definitions.

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/inference/duration_occupancy.hpp"
#include "core/inference/mixture_occupancy.hpp"
#include "core/inference/occupancy.hpp"
#include "core/training/expectation.hpp"
#include "core/training/statistics.hpp"
#include "inference/hsmm_test_support.hpp"
#include "test_support.hpp"

namespace tarvek::testing {

// Every statistic as bits, so that "unchanged" means bit-identical.
template <class S>
std::vector<std::uint64_t> statistics_bits(const ModelSufficientStatistics<S>& statistics) {
    std::vector<std::uint64_t> out{statistics.streams.size(), statistics.durations.size()};
    const auto add = [&](const std::vector<S>& values) {
        out.push_back(values.size());
        for (const S v : values) out.push_back(bits(v));
    };
    for (const auto& stream : statistics.streams) {
        out.push_back(stream.emissions.size());
        for (const auto& g : stream.emissions) {
            add(g.weighted_sums);
            add(g.weighted_squared_sums);
            add(g.component_occupancies);
            out.insert(out.end(), {g.dimensions, bits(g.state_occupancy)});
        }
    }
    for (const auto& d : statistics.durations) add({d.value_sum, d.squared_sum, d.occupancy});
    return out;
}

// Every cell present, cell (t, s) holding count(s) weights value(t, s, m).
template <class Count, class Value>
MixtureOccupancies full_mixture_table(std::uint64_t frames, std::uint64_t states, Count&& count,
                                      Value&& value) {
    TableVector<std::uint64_t> offsets{0};
    TableVector<float> values;
    for (std::uint64_t t = 0; t < frames; ++t) {
        for (std::uint64_t s = 0; s < states; ++s) {
            for (std::uint64_t m = 0; m < std::uint64_t(count(s)); ++m) {
                values.push_back(value(t, s, m));
            }
            offsets.push_back(values.size());
        }
    }
    return MixtureOccupancies::from_values(frames, states,
                                           TableVector<std::uint8_t>(frames * states, 1),
                                           std::move(offsets), std::move(values));
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

// Two streams (2 components in 2 dimensions; 1 in 1), position s using emission and duration
// state s. Observation values are small binary fractions, so that sums of a few are exact;
// every state occupancy is 1, every mixture cell present (stream 0: 0.25 and 0.75; stream 1:
// 1), every duration cell absent, every transition entry present with stay and advance 0.5.
template <class S>
Utterance<S> chain_utterance(std::uint64_t frames, std::vector<std::int32_t> boundaries) {
    Utterance<S> u;
    const std::uint64_t positions = boundaries.size();
    u.model = ModelParameters<S>(std::vector<StreamLayout>{{positions, 2, 2}, {positions, 1, 1}},
                                 positions);
    u.statistics = ModelSufficientStatistics<S>::from_model(u.model);
    u.observation = ObservationData<S>::create(frames, std::vector<std::size_t>{2, 1});
    for (auto& stream : u.observation.streams) {
        for (std::size_t i = 0; i < stream.values.size(); ++i)
            stream.values[i] = S(0.5 * (i % 7) - 1);
    }
    u.segmentation = SegmentationData<S>::create(2, positions);
    u.segmentation.boundaries = boundaries;
    for (std::uint64_t s = 0; s < positions; ++s) {
        u.segmentation.duration_states[s] = u.segmentation.output_states[0][s] =
            u.segmentation.output_states[1][s] = std::int32_t(s);
    }
    u.durations = duration_table(frames, positions,
                                 std::vector<std::optional<DurationPosterior>>(frames * positions));
    u.states = {TableVector<S>(frames * positions, S(1)), frames, positions};
    u.mixtures.push_back(full_mixture_table(
        frames, positions, [](auto) { return 2; },
        [](auto, auto, std::uint64_t m) { return m == 0 ? 0.25f : 0.75f; }));
    u.mixtures.push_back(full_mixture_table(
        frames, positions, [](auto) { return 1; }, [](auto, auto, auto) { return 1.0f; }));
    u.transitions = TransitionOccupancies::from_values(
        frames, positions, TableVector<TransitionOccupancy>(frames * positions, {1, 0.5f, 0.5f}));
    return u;
}

// Cell (t, s) of every stream added to `streams` straight from the definitions.
template <class S>
void reference_emission_cell(std::vector<StreamSufficientStatistics<S>>& streams,
                             const Utterance<S>& u, std::uint64_t t, std::uint64_t s) {
    for (std::size_t i = 0; i < streams.size(); ++i) {
        auto& g = streams[i].emissions[u.segmentation.output_states[i][s]];
        g.state_occupancy += u.states(t, s);
        const auto cell = u.mixtures[i].get(t, s);
        const std::size_t d = g.dimensions;
        for (std::size_t m = 0; cell && m < cell->size(); ++m) {
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

// The accumulation on a full copy, committed after validation (inputs assumed valid): the
// HSMM windows or the geometric band from their definitions.
template <class S>
void reference_collect(Utterance<S>& u, bool hsmm) {
    u.statistics.validate_for(u.model);
    std::vector<StreamSufficientStatistics<S>> streams = u.statistics.streams;
    std::vector<DurationSufficientStatistics<S>> durations = u.statistics.durations;
    const std::int64_t frames = std::int64_t(u.frames()), positions = std::int64_t(u.positions());
    const auto visit = [&](std::int64_t t, std::int64_t s) {
        auto& d = durations[u.segmentation.duration_states[s]];
        if (!hsmm) {
            const auto& entry = u.transitions.entries[t * positions + s];
            if (entry.present == 1) d.value_sum += entry.advance;
            d.occupancy += u.states(t, s);
        } else if (const auto cell = u.durations.get(t, s)) {
            for (std::size_t j = 0; j < cell->probabilities.size(); ++j) {
                const S p = cell->probabilities[j], n = S(cell->minimum + j);
                d.value_sum += p * n;
                d.squared_sum += (p * n) * n;
                d.occupancy += p;
            }
        }
        reference_emission_cell(streams, u, t, s);
    };
    for (std::int64_t k = 0; hsmm && k < positions; ++k) {
        const auto lo = std::int64_t(std::trunc(std::max(S(k) - u.radius, S(0))));
        const auto hi = std::min(
            positions - 1, std::int64_t(std::trunc(std::min(S(k) + u.radius, S(positions - 1)))));
        const std::int64_t last = std::min<std::int64_t>(u.segmentation.boundaries[k], frames - 1);
        for (std::int64_t t = k == 0 ? 0 : u.segmentation.boundaries[k - 1]; t <= last; ++t) {
            for (std::int64_t s = lo; s <= hi; ++s) visit(t, s);
        }
    }
    const auto w = std::int64_t(u.slope * S(positions));
    for (std::int64_t t = 1; !hsmm && t + 1 < frames; ++t) {
        const std::int64_t c = positions * t / frames;
        for (std::int64_t s = std::max<std::int64_t>(c - w, 0); s < std::min(positions, c + w);
             ++s) {
            visit(t, s);
        }
    }
    ModelSufficientStatistics<S> copy(std::move(streams), std::move(durations));
    copy.validate_for(u.model);
    u.statistics = std::move(copy);
}

}  // namespace tarvek::testing
