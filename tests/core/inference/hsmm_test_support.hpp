#pragma once
// Helpers shared by the HSMM tests: small models, chains and tables, duration tables made by
// hand, and a reference that enumerates every path through a small chain and scores it from the
// model's definition.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <vector>

#include "core/inference/duration_occupancy.hpp"
#include "core/inference/hsmm.hpp"
#include "test_support.hpp"

namespace tarvek::testing {

inline constexpr double pi = 3.141592653589793;

// A model with one duration law {mean, variance} per entry and no streams.
template <Scalar S>
ModelParameters<S> duration_model(std::initializer_list<std::pair<double, double>> laws) {
    ModelParameters<S> model;
    for (const auto& [mean, variance] : laws) {
        const auto edit = model.edit();
        edit.durations().push_back({S(mean), S(variance)});
    }
    return model;
}

// A one-stream chain, position k using duration and emission state k; default jumps.
template <Scalar S>
SegmentationData<S> hsmm_chain(std::initializer_list<std::int32_t> boundaries) {
    auto segmentation = SegmentationData<S>::create(1, boundaries.size());
    segmentation.boundaries.assign(boundaries);
    for (std::size_t k = 0; k < boundaries.size(); ++k) {
        segmentation.duration_states[k] = segmentation.output_states[0][k] = std::int32_t(k);
    }
    return segmentation;
}

// A frames × states table whose cell (t, s) is value(t, s).
template <Scalar S>
StateScoreTable<S> table_of(std::uint64_t frames, std::uint64_t states,
                            const std::function<double(std::uint64_t, std::uint64_t)>& value) {
    StateScoreTable<S> table{{}, frames, states};
    for (std::uint64_t t = 0; t < frames; ++t) {
        for (std::uint64_t s = 0; s < states; ++s) table.values.push_back(S(value(t, s)));
    }
    return table;
}

// A duration table from one optional posterior per cell, in cell order.
inline DurationOccupancies duration_table(
    std::uint64_t frames, std::uint64_t states,
    const std::vector<std::optional<DurationPosterior>>& cells) {
    TableVector<std::uint8_t> presence;
    TableVector<std::uint64_t> minimums, offsets{0};
    TableVector<float> values;
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

inline double gaussian_log_density(double x, double mean, double variance) {
    return -0.5 * std::log(2 * pi * variance) - 0.5 * (x - mean) * (x - mean) / variance;
}
inline double duration_log_density(double d, double mean, double variance, double weight = 1,
                                   double temperature = 1) {
    return temperature * weight * gaussian_log_density(d, mean, variance);
}

inline double log_sum(const std::vector<double>& values) {
    const double top = *std::max_element(values.begin(), values.end());
    double sum = 0;
    for (const double x : values) sum += std::exp(x - top);
    return top + std::log(sum);
}

// The table-driven log-add and, in 32 bits, rounding at the scale of the scores.
template <Scalar S>
double score_tolerance(double magnitude) {
    return 5e-3 + (std::is_same_v<S, float> ? 4e-7 * std::abs(magnitude) : 0.0);
}

template <Scalar S>
bool same_bits(const StateScoreTable<S>& a, const StateScoreTable<S>& b) {
    return a.frames == b.frames && a.states == b.states &&
           std::equal(a.values.begin(), a.values.end(), b.values.begin(), b.values.end(),
                      [](S x, S y) { return bits(x) == bits(y); });
}
template <Scalar S>
bool same_bits(const HsmmScoreTables<S>& a, const HsmmScoreTables<S>& b) {
    return same_bits(a.begin, b.begin) && same_bits(a.end, b.end) &&
           a.predecessors == b.predecessors && a.starts == b.starts;
}

// A chain with its laws, jumps and emissions, and every path through it scored in 64 bits
// from the duration law, the emission sums and the jump log weights. Jumps must not lead back
// to position 0 (which only begins at frame 0).
struct PathReference {
    struct Law {
        double mean, variance;
        std::int32_t minimum = -1, maximum = -1;
    };
    struct Segment {
        std::size_t state;
        std::uint64_t start, duration;
    };
    struct Path {
        double score;
        std::vector<Segment> segments;
    };

    std::vector<Law> laws;
    std::vector<std::int32_t> boundaries;
    std::vector<std::vector<JumpParameters<double>>> outgoing;  // each ends with its advance
    std::vector<std::vector<double>> emissions;                 // [t][s]
    double temperature = 1, weight = 1, factor = 1;
    std::uint64_t extra = 30;

    std::size_t positions() const { return laws.size(); }
    std::uint64_t frames() const { return emissions.size(); }

    std::uint64_t row_length(std::size_t s) const {
        const double length = boundaries[s] - (s == 0 ? 0 : boundaries[s - 1]);
        const double a = std::trunc((1 + factor) * length + double(extra));
        auto L = std::uint64_t(std::max(a, laws[s].mean + 2 * std::sqrt(laws[s].variance)));
        return laws[s].maximum >= 1 ? std::min<std::uint64_t>(L, laws[s].maximum) : L;
    }
    double duration(std::size_t s, std::uint64_t d) const {
        const Law& law = laws[s];
        if (law.minimum >= 1 && d < std::uint64_t(law.minimum)) {
            return temperature == 0 ? -1e15 : temperature * -1e15;
        }
        return duration_log_density(double(d), law.mean, law.variance, weight, temperature);
    }
    double emitted(std::size_t s, std::uint64_t from, std::uint64_t to) const {
        double sum = 0;
        for (std::uint64_t t = from; t < to; ++t) sum += emissions[t][s];
        return sum;
    }

    // Complete paths: position 0 from frame 0, the last position ending at the last frame.
    // Censored (as the backward pass counts them): the last position lasts to the end
    // unscored, and a segment reaching the last frame ends the path, cut off there.
    std::vector<Path> paths(bool censored) const {
        std::vector<Path> out;
        std::vector<Segment> trail;
        const std::uint64_t T = frames();
        std::function<void(std::size_t, std::uint64_t, double)> walk = [&](std::size_t s,
                                                                           std::uint64_t u,
                                                                           double score) {
            if (censored && s + 1 == positions()) {
                out.push_back({score + emitted(s, u, T), trail});
                return;
            }
            for (std::uint64_t d = 1; d < row_length(s) && (censored || u + d <= T); ++d) {
                const double segment = score + duration(s, d) + emitted(s, u, std::min(u + d, T));
                trail.push_back({s, u, d});
                if (u + d >= T) {
                    if (censored || s + 1 == positions()) out.push_back({segment, trail});
                } else {
                    for (const auto& jump : outgoing[s]) {
                        const std::int64_t q = std::int64_t(s) + jump.delta;
                        if (jump.probability == 0 || q < 0 || q >= std::int64_t(positions())) {
                            continue;
                        }
                        walk(q, u + d, segment + temperature * std::log(jump.probability));
                    }
                }
                trail.pop_back();
            }
        };
        walk(0, 0, 0.0);
        return out;
    }

    template <Scalar S>
    ModelParameters<S> model() const {
        ModelParameters<S> model;
        {
            const auto edit = model.edit();
            for (const Law& law : laws) {
                edit.durations().push_back(
                    {S(law.mean), S(law.variance), law.minimum, law.maximum});
            }
        }
        return model;
    }
    template <Scalar S>
    SegmentationData<S> segmentation() const {
        auto segmentation = SegmentationData<S>::create(1, positions());
        segmentation.boundaries = boundaries;
        for (std::size_t s = 0; s < positions(); ++s) {
            segmentation.duration_states[s] = segmentation.output_states[0][s] = std::int32_t(s);
            segmentation.outgoing[s].clear();
            for (const auto& jump : outgoing[s]) {
                segmentation.outgoing[s].push_back({jump.delta, S(jump.probability)});
            }
        }
        return segmentation;
    }
    template <Scalar S>
    StateScoreTable<S> table() const {
        return table_of<S>(frames(), positions(), [&](auto t, auto s) { return emissions[t][s]; });
    }
    // Every cell in every window.
    template <Scalar S>
    HsmmOptions<S> options() const {
        return {S(temperature), S(weight), S(positions()), extra, S(factor)};
    }

    // Random emissions and jump weights: `deltas[s]` before each position's advance.
    static PathReference random(std::mt19937_64& random, std::vector<Law> laws,
                                std::vector<std::int32_t> boundaries,
                                const std::vector<std::vector<std::int32_t>>& deltas) {
        std::normal_distribution<double> emission(-1.0, 1.0);
        std::uniform_real_distribution<double> weight(0.1, 1.0);
        PathReference r{std::move(laws), std::move(boundaries), {}, {}};
        for (std::size_t s = 0; s < r.positions(); ++s) {
            r.outgoing.emplace_back();
            for (const std::int32_t delta : deltas[s])
                r.outgoing[s].push_back({delta, weight(random)});
            r.outgoing[s].push_back({1, weight(random)});
        }
        r.emissions.assign(std::size_t(r.boundaries.back()), std::vector<double>(r.positions()));
        for (auto& row : r.emissions) {
            for (double& value : row) value = emission(random);
        }
        return r;
    }
};

}  // namespace tarvek::testing
