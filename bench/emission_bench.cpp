// Throughput of log-emission tables: T = 5,000 frames against S = 100 positions with a state
// radius of 5, three streams of 40 dimensions, 8 components per mixture, one emission state
// per position. The library's table (from the model, and from a prepared model) beside a plain
// loop that scores each window cell with one-frame calls, in both precisions.

#include <cstdio>
#include <span>
#include <vector>

#include "bench_support.hpp"
#include "core/inference/emission.hpp"
#include "core/inference/pruning.hpp"

namespace {

constexpr std::size_t frames = 5000;
constexpr std::size_t positions = 100;
constexpr std::size_t streams = 3;
constexpr std::size_t dimensions = 40;
constexpr std::size_t components = 8;
constexpr double radius = 5.0;

template <class S>
void bench(const char* name) {
    using namespace tarvek;
    using namespace tarvek::bench;
    RandomValues random(7, {.uniform_low = 0.5, .uniform_high = 2.0});
    const auto model = random_model<S>(streams, positions, components, dimensions, 1, random);
    const auto observation = random_observation<S>(frames, streams, dimensions, random);
    const auto segmentation = chain_segmentation<S>(streams, positions, frames);
    const auto prepared = prepare_owned_duration_states(model, PreparationOptions<S>{},
                                                        std::span<const std::uint64_t>{});
    const auto mode = EmissionPruningMode::state_radius;
    const S r = static_cast<S>(radius);

    StateScoreTable<S> table;
    const double plain = best_seconds(7, [&] {
        table = emission_log_probabilities(model, observation, segmentation, mode, S(1), r);
    });
    std::size_t cells = 0;
    for (const S value : table.values) cells += value != log_zero<S>;
    const double from_prepared = best_seconds(7, [&] {
        table =
            sample_emission_densities(model, observation, segmentation, mode, prepared, S(1), r);
    });

    // Each cell of each segment window on its own, one one-frame call per stream.
    const double per_cell = best_seconds(7, [&] {
        table = StateScoreTable<S>::filled(frames, positions, ModelError("allocation failed"));
        const StateRadiusWindow<S> window(segmentation.boundaries, frames, r);
        for (std::size_t k = 0; k < positions; ++k) {
            const IndexRange f = window.segment_frames(k);
            const IndexRange p = window.segment_positions(k);
            for (std::uint64_t t = f.first; t < f.last; ++t) {
                for (std::uint64_t s = p.first; s < p.last; ++s) {
                    S sum = 0;
                    for (std::size_t i = 0; i < streams; ++i) {
                        const auto view = *prepared.emission(i, segmentation.output_states[i][s]);
                        const S* x = observation.streams[i].values.data() + t * dimensions;
                        sum =
                            sum + view.log_probability_unchecked(x, S(1)) * model.streams[i].weight;
                    }
                    table(t, s) = sum;
                }
            }
        }
    });

    const double gaussians = static_cast<double>(cells * streams * components);
    const auto report = [&](const char* label, double seconds) {
        std::printf("%s  %-22s %8.2f ms  %8.2f M cells/s  %8.1f M Gaussians/s\n", name, label,
                    seconds * 1e3, cells / seconds / 1e6, gaussians / seconds / 1e6);
    };
    report("table (model)", plain);
    report("table (prepared)", from_prepared);
    report("per-cell loop", per_cell);
    std::printf("%s  %zu window cells; prepared table x%.2f the per-cell loop\n", name, cells,
                per_cell / from_prepared);
}

}  // namespace

int main() {
    std::printf(
        "emission tables: T = %zu, S = %zu, radius %.0f, %zu streams x %zu dimensions, "
        "%zu components\n",
        frames, positions, radius, streams, dimensions, components);
    bench<float>("f32");
    bench<double>("f64");
}
