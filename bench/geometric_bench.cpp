// Throughput of the geometric forward and backward passes: T = 10,000 frames, S = 50 positions,
// a band of half-width 10 (slope 0.2, up to 20 positions per frame), in both precisions.
// Reports frames per second of one forward plus one backward pass, and of the two occupancy
// computations on their result.

#include <cstdio>

#include "bench_support.hpp"
#include "core/inference/geometric.hpp"
#include "core/inference/occupancy.hpp"

namespace {

constexpr std::size_t frames = 10000;
constexpr std::size_t positions = 50;
constexpr double slope = 0.2;

template <class S>
void bench(const char* name) {
    using namespace tarvek;
    using namespace tarvek::bench;
    RandomValues random(7, {.uniform_low = -8.0, .uniform_high = 0.0});
    std::vector<DurationParameters<S>> durations(positions);
    for (std::size_t s = 0; s < positions; ++s) {
        durations[s].mean = static_cast<S>(2.0 + 0.1 * static_cast<double>(s % 40));
    }
    const ModelParameters<S> model(std::vector<StreamParameters<S>>{}, std::move(durations));
    const auto segmentation = chain_segmentation<S>(1, positions, frames);
    const auto emissions = random_scores<S>(frames, positions, [&] { return random.uniform(); });
    const S band = static_cast<S>(slope);

    const double passes = best_seconds(21, [&] {
        const auto alpha = forward_geometric(model, segmentation, emissions, S(1), band);
        const auto beta = backward_geometric(model, segmentation, emissions, S(1), band);
        keep(alpha.values.data());
        keep(beta.values.data());
    });
    const auto alpha = forward_geometric(model, segmentation, emissions, S(1), band);
    const auto beta = backward_geometric(model, segmentation, emissions, S(1), band);
    const double viterbi =
        best_seconds(21, [&] { viterbi_geometric(model, segmentation, emissions, S(1), band); });
    const S total = beta(0, 0) + emissions(0, 0);
    const double occupancies = best_seconds(21, [&] {
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
