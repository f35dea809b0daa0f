#pragma once
// Helpers shared by the geometric search and occupancy tests: small chain models, and a plain
// left-to-right HMM in 64-bit log space written from the model definition (exact log-sum-exp,
// the library's logarithm) that the table-driven passes are checked against.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/data/data.hpp"
#include "core/inference/score_table.hpp"
#include "core/model/model.hpp"

namespace tarvek::geometric_testing {

// One 1-D stream with one single-component mixture per position (mean s, variance 1); position
// s uses duration s (the given means) and emission s; boundaries split the frames evenly.
template <class S>
ModelParameters<S> chain_model(const std::vector<double>& duration_means) {
    const std::uint64_t positions = duration_means.size();
    const StreamLayout layout{positions, 1, 1};
    ModelParameters<S> model(std::span<const StreamLayout>(&layout, 1), positions);
    const auto edit = model.edit();
    for (std::uint64_t s = 0; s < positions; ++s) {
        edit.streams()[0].emissions[s].means[0] = static_cast<S>(s);
        edit.streams()[0].emissions[s].variances[0] = S(1);
        edit.durations()[s].mean = static_cast<S>(duration_means[s]);
        edit.durations()[s].variance = S(1);
    }
    return model;
}
template <class S>
SegmentationData<S> chain_segmentation(std::uint64_t positions, std::uint64_t frames) {
    auto segmentation = SegmentationData<S>::create(1, positions);
    for (std::uint64_t s = 0; s < positions; ++s) {
        segmentation.boundaries[s] = static_cast<std::int32_t>((s + 1) * frames / positions);
        segmentation.duration_states[s] = segmentation.output_states[0][s] = std::int32_t(s);
    }
    return segmentation;
}

template <class S>
StateScoreTable<S> random_table(std::mt19937_64& random, std::uint64_t frames,
                                std::uint64_t positions, double low, double high) {
    std::uniform_real_distribution<double> uniform(low, high);
    StateScoreTable<S> table{{}, frames, positions};
    for (std::uint64_t i = 0; i < frames * positions; ++i) {
        table.values.push_back(static_cast<S>(uniform(random)));
    }
    return table;
}

// Whether frame t's band of half-width w holds position s: c − w <= s < c + w around
// c = floor(S·t/T).
inline bool in_band(std::uint64_t t, std::uint64_t s, std::uint64_t frames, std::uint64_t positions,
                    std::uint64_t w) {
    const std::uint64_t c = positions * t / frames;
    return s + w >= c && s < c + w && s < positions;
}

// Whether segment k's state-radius window holds (t, s) for some k: frames from the previous
// boundary to min(b_k, T − 1), positions trunc(max(k − r, 0)) to trunc(min(k + r, S − 1)).
template <class S>
bool in_radius_window(const std::vector<std::int32_t>& boundaries, std::uint64_t frames, S r,
                      std::uint64_t t, std::uint64_t s) {
    const std::uint64_t positions = boundaries.size();
    for (std::uint64_t k = 0; k < positions; ++k) {
        const std::int64_t start = k == 0 ? 0 : boundaries[k - 1];
        const std::int64_t end = std::min<std::int64_t>(boundaries[k], frames - 1);
        const auto lo = static_cast<std::uint64_t>(std::trunc(std::max(S(k) - r, S(0))));
        const auto hi =
            static_cast<std::uint64_t>(std::trunc(std::min(S(k) + r, S(positions - 1))));
        if (start <= std::int64_t(t) && std::int64_t(t) <= end && lo <= s && s <= hi) return true;
    }
    return false;
}

inline constexpr double minus_infinity = -std::numeric_limits<double>::infinity();

inline double log_sum(double a, double b) {
    const double high = std::max(a, b);
    return high == minus_infinity ? high : high + std::log(std::exp(a - high) + std::exp(b - high));
}

// A plain HMM over a left-to-right chain starting in position 0: staying in s has probability
// 1 − 1/m_s, advancing out of s 1/m_s (m_s at least 1.01); cells outside the band are
// impossible (−inf).
struct PlainHmm {
    std::vector<double> stay, advance;  // natural logs
    std::vector<std::vector<double>> emissions;
    std::uint64_t frames, positions, w;

    template <class S>
    PlainHmm(const std::vector<double>& means, const StateScoreTable<S>& table, std::uint64_t w)
        : emissions(table.frames), frames(table.frames), positions(table.states), w(w) {
        for (const double mean : means) {
            stay.push_back(std::log(1.0 - 1.0 / std::max(mean, 1.01)));
            advance.push_back(std::log(1.0 / std::max(mean, 1.01)));
        }
        for (std::uint64_t t = 0; t < frames; ++t) {
            for (std::uint64_t s = 0; s < positions; ++s) emissions[t].push_back(table(t, s));
        }
    }

    // alpha[t][s]: log probability of frames 0..t with the chain in s at t.
    std::vector<std::vector<double>> forward() const {
        std::vector<std::vector<double>> alpha(frames, std::vector(positions, minus_infinity));
        alpha[0][0] = emissions[0][0];
        for (std::uint64_t t = 1; t < frames; ++t) {
            for (std::uint64_t s = 0; s < positions; ++s) {
                if (!in_band(t, s, frames, positions, w)) continue;
                double sum = alpha[t - 1][s] + stay[s];
                if (s > 0) sum = log_sum(sum, alpha[t - 1][s - 1] + advance[s - 1]);
                alpha[t][s] = sum + emissions[t][s];
            }
        }
        return alpha;
    }

    // beta[t][s]: log probability of frames t+1..T−1 given s at t; any position may end.
    std::vector<std::vector<double>> backward() const {
        std::vector<std::vector<double>> beta(frames, std::vector(positions, minus_infinity));
        beta[frames - 1].assign(positions, 0.0);
        for (std::uint64_t t = frames - 1; t-- > 0;) {
            for (std::uint64_t s = 0; s < positions; ++s) {
                if (!in_band(t, s, frames, positions, w)) continue;
                beta[t][s] = beta[t + 1][s] + emissions[t + 1][s] + stay[s];
                if (s + 1 < positions) {
                    beta[t][s] = log_sum(beta[t][s],
                                         beta[t + 1][s + 1] + emissions[t + 1][s + 1] + advance[s]);
                }
            }
        }
        return beta;
    }
};

}  // namespace tarvek::geometric_testing
