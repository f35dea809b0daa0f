#pragma once
// What the C++ benchmarks share: best-of-N timing, a sink that keeps results alive, and the
// seeded builders of mixtures, models, observations, chain segmentations and score tables.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <random>
#include <vector>

#include "core/data/data.hpp"
#include "core/inference/score_table.hpp"
#include "core/model/model.hpp"
#include "core/numerics/error.hpp"

namespace tarvek::bench {

// This thread's processor time in seconds: on a core shared with other processes it leaves
// out the time they take, which wall-clock time would count whenever a run is preempted.
inline double thread_seconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Seconds of the fastest of `trials` calls: the run least disturbed by the rest of the machine.
template <class Run>
double best_seconds(int trials, Run&& run) {
    double best = 1e300;
    for (int trial = 0; trial < trials; ++trial) {
        const double start = thread_seconds();
        run();
        best = std::min(best, thread_seconds() - start);
    }
    return best;
}

// Makes the compiler assume `value` (and, for a pointer, the memory behind it) is read, so the
// work that produced it cannot be dropped.
template <class T>
inline void keep(const T& value) {
    asm volatile("" : : "r,m"(value) : "memory");
}

// The two distributions the builders draw from.
struct RandomShape {
    double normal_mean = 0.0;
    double normal_deviation = 1.0;
    double uniform_low = 0.0;
    double uniform_high = 1.0;
};

// One engine for both distributions, drawn in call order, so a bench's values form one
// reproducible sequence from its seed.
class RandomValues {
  public:
    RandomValues(std::uint64_t seed, RandomShape shape)
        : engine_(seed),
          normal_(shape.normal_mean, shape.normal_deviation),
          uniform_(shape.uniform_low, shape.uniform_high) {}

    double normal() { return normal_(engine_); }
    double uniform() { return uniform_(engine_); }

  private:
    std::mt19937_64 engine_;
    std::normal_distribution<double> normal_;
    std::uniform_real_distribution<double> uniform_;
};

// Normal means, then uniform variances; weights stay 1/m.
template <class S>
void randomise(GaussianMixtureParameters<S>& mixture, RandomValues& random) {
    for (S& mean : mixture.means) mean = static_cast<S>(random.normal());
    for (S& variance : mixture.variances) variance = static_cast<S>(random.uniform());
}

// `streams` streams of `emission_states` random mixtures each, and `duration_states` default
// durations.
template <class S>
ModelParameters<S> random_model(std::size_t streams, std::size_t emission_states,
                                std::size_t components, std::size_t dimensions,
                                std::size_t duration_states, RandomValues& random) {
    const std::vector<StreamLayout> layouts(streams, {emission_states, components, dimensions});
    ModelParameters<S> model(layouts, duration_states);
    {
        const auto edit = model.edit();
        for (auto& stream : edit.streams()) {
            for (auto& mixture : stream.emissions) randomise(mixture, random);
        }
    }
    return model;
}

// `streams` streams of normal values.
template <class S>
ObservationData<S> random_observation(std::size_t frames, std::size_t streams,
                                      std::size_t dimensions, RandomValues& random) {
    const std::vector<std::size_t> dims(streams, dimensions);
    auto observation = ObservationData<S>::create(frames, dims);
    for (auto& stream : observation.streams) {
        for (S& value : stream.values) value = static_cast<S>(random.normal());
    }
    return observation;
}

// Equal segments along a left-to-right chain: position k ends at frame (k + 1) · frames /
// positions and has duration state k and output state k in every stream.
template <class S>
SegmentationData<S> chain_segmentation(std::size_t streams, std::size_t positions,
                                       std::size_t frames) {
    auto segmentation = SegmentationData<S>::create(streams, positions);
    for (std::size_t k = 0; k < positions; ++k) {
        segmentation.boundaries[k] = static_cast<std::int32_t>((k + 1) * frames / positions);
        segmentation.duration_states[k] = static_cast<std::int32_t>(k);
        for (auto& row : segmentation.output_states) row[k] = static_cast<std::int32_t>(k);
    }
    return segmentation;
}

// A frames × states table of `draw()` values, in cell order.
template <class S, class Draw>
StateScoreTable<S> random_scores(std::size_t frames, std::size_t states, Draw&& draw) {
    auto table = StateScoreTable<S>::filled(frames, states, ModelError("allocation failed"));
    for (S& value : table.values) value = static_cast<S>(draw());
    return table;
}

// ---- The division limit ---------------------------------------------------------------
//
// Each Gaussian term of the scoring kernels costs one division, and the divider is their
// busiest unit: a plain loop of vector divisions over data in the first-level cache gives the
// most terms per second this core can reach. The loop runs at the kernels' vector width (AVX2
// where the core has it, as the kernels choose at run time).

template <class S>
[[gnu::noinline]] void divide(const S* a, const S* b, S* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out[i] = a[i] / b[i];
}
#if defined(__x86_64__) && defined(__GNUC__)
template <class S>
[[gnu::noinline, gnu::target("avx2")]] void divide_avx2(const S* a, const S* b, S* out,
                                                        std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out[i] = a[i] / b[i];
}
#endif

// Divisions per second of the plain loop.
template <class S>
double division_limit() {
    constexpr std::size_t count = 1024;
    constexpr int repetitions = 4000;
    alignas(64) S a[count];
    alignas(64) S b[count];
    alignas(64) S out[count];
    for (std::size_t i = 0; i < count; ++i) {
        a[i] = static_cast<S>(1.5 + 0.001 * static_cast<double>(i));
        b[i] = static_cast<S>(0.75 + 0.0001 * static_cast<double>(i));
    }
    auto* loop = &divide<S>;
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2")) loop = &divide_avx2<S>;
#endif
    const double seconds = best_seconds(9, [&] {
        for (int r = 0; r < repetitions; ++r) {
            loop(a, b, out, count);
            keep(out);
        }
    });
    return static_cast<double>(count) * repetitions / seconds;
}

// The share of the division limit that `divisions` Gaussian terms in `seconds` reach.
inline double limit_fraction(double divisions, double seconds, double limit) {
    return divisions / seconds / limit;
}

}  // namespace tarvek::bench
