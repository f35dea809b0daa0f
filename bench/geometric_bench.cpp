// Throughput of the geometric forward and backward passes: T = 10,000 frames, S = 50 positions,
// a band of half-width 10 (slope 0.2, up to 20 positions per frame), in both precisions.
// Reports frames per second of one forward plus one backward pass, and of the two occupancy
// computations on their result.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "core/geometric.hpp"
#include "core/occupancy.hpp"

namespace {

constexpr std::size_t frames = 10000;
constexpr std::size_t positions = 50;
constexpr double slope = 0.2;

// Keeps the compiler from dropping a result.
inline void keep(const void* pointer) {
    asm volatile("" : : "r"(pointer) : "memory");
}

template <class Run>
double best_seconds(Run&& run) {
    double best = 1e300;
    for (int trial = 0; trial < 21; ++trial) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

template <class S>
void bench(const char* name) {
    using namespace tarvek;
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> uniform(-8.0, 0.0);
    ModelParameters<S> model;
    model.durations.resize(positions);
    auto segmentation = SegmentationData<S>::create(1, positions);
    for (std::size_t s = 0; s < positions; ++s) {
        model.durations[s].mean = static_cast<S>(2.0 + 0.1 * static_cast<double>(s % 40));
        segmentation.duration_states[s] = static_cast<std::int32_t>(s);
        segmentation.boundaries[s] = static_cast<std::int32_t>((s + 1) * frames / positions);
    }
    auto emissions = StateScoreTable<S>::filled(frames, positions, ModelError("allocation"));
    for (S& value : emissions.values) value = static_cast<S>(uniform(random));
    const S band = static_cast<S>(slope);

    const double passes = best_seconds([&] {
        const auto alpha = forward_geometric(model, segmentation, emissions, S(1), band);
        const auto beta = backward_geometric(model, segmentation, emissions, S(1), band);
        keep(alpha.values.data());
        keep(beta.values.data());
    });
    const auto alpha = forward_geometric(model, segmentation, emissions, S(1), band);
    const auto beta = backward_geometric(model, segmentation, emissions, S(1), band);
    const double viterbi =
        best_seconds([&] { viterbi_geometric(model, segmentation, emissions, S(1), band); });
    const S total = beta(0, 0) + emissions(0, 0);
    const double occupancies = best_seconds([&] {
        geometric_occupancies(alpha, beta, total, band);
        geometric_transition_occupancies(model, segmentation, emissions, alpha, beta, total, S(1),
                                         band);
    });
    std::printf(
        "%s: forward+backward %.3f ms (%.2f Mframes/s), viterbi %.3f ms (%.2f Mframes/s), "
        "state+transition occupancies %.3f ms (%.2f Mframes/s); total %.3f\n",
        name, passes * 1e3, frames / passes * 1e-6, viterbi * 1e3, frames / viterbi * 1e-6,
        occupancies * 1e3, frames / occupancies * 1e-6, static_cast<double>(total));
}

}  // namespace

int main() {
    bench<float>("f32");
    bench<double>("f64");
    return 0;
}
