#pragma once
// Helpers shared by the HSMM tests: small models, chains and emission tables, and duration
// row values written straight from the Gaussian duration law.

#include <cmath>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "core/data.hpp"
#include "core/hsmm.hpp"
#include "core/model.hpp"
#include "core/score_table.hpp"
#include "test_support.hpp"

namespace tarvek::testing {

inline constexpr double pi = 3.141592653589793;

// A model with one duration law per entry of `laws` ({mean, variance}) and no streams (the
// passes read only the durations; emissions come as a table).
template <Scalar S>
ModelParameters<S> duration_model(std::initializer_list<std::pair<double, double>> laws) {
    ModelParameters<S> model;
    for (const auto& [mean, variance] : laws) {
        DurationParameters<S> duration;
        duration.mean = static_cast<S>(mean);
        duration.variance = static_cast<S>(variance);
        model.durations.push_back(duration);
    }
    return model;
}

// A one-stream chain with the given boundaries, segment k using duration state k (or
// `states` when given) and emission state k; default jumps.
template <Scalar S>
SegmentationData<S> hsmm_chain(std::initializer_list<std::int32_t> boundaries,
                               std::vector<std::int32_t> states = {}) {
    auto segmentation = SegmentationData<S>::create(1, boundaries.size());
    segmentation.boundaries.assign(boundaries);
    for (std::size_t k = 0; k < boundaries.size(); ++k) {
        segmentation.duration_states[k] = states.empty() ? static_cast<std::int32_t>(k) : states[k];
        segmentation.output_states[0][k] = static_cast<std::int32_t>(k);
    }
    return segmentation;
}

// A frames × states table whose cell (t, s) is value(t, s).
template <Scalar S>
StateScoreTable<S> table_of(std::uint64_t frames, std::uint64_t states,
                            const std::function<double(std::uint64_t, std::uint64_t)>& value) {
    StateScoreTable<S> table;
    table.frames = frames;
    table.states = states;
    for (std::uint64_t t = 0; t < frames; ++t) {
        for (std::uint64_t s = 0; s < states; ++s)
            table.values.push_back(static_cast<S>(value(t, s)));
    }
    return table;
}

// τ · w · (−½ ln(2πv) − ½ (d − μ)² / v) in 64 bits, from the law's definition.
inline double duration_log_density(double d, double mean, double variance, double weight = 1,
                                   double temperature = 1) {
    const double density =
        -0.5 * std::log(2 * pi * variance) - 0.5 * (d - mean) * (d - mean) / variance;
    return temperature * weight * density;
}

// ln Σ exp(x) over `values`, in 64 bits.
inline double log_sum(const std::vector<double>& values) {
    double top = -INFINITY;
    for (const double x : values) top = std::max(top, x);
    double sum = 0;
    for (const double x : values) sum += std::exp(x - top);
    return top + std::log(sum);
}

// Tolerance for comparing a pass's score with a 64-bit reference: the table-driven log-add
// and, in 32 bits, rounding at the scale of the scores.
template <Scalar S>
double score_tolerance(double magnitude) {
    return 5e-3 + (std::is_same_v<S, float> ? 4e-7 * std::abs(magnitude) : 0.0);
}

}  // namespace tarvek::testing
