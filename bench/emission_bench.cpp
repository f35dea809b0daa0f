// Throughput of log-emission tables, in both precisions, on two shapes: T = 5,000 frames
// against S = 100 positions with a state radius of 5, three streams of 40 dimensions and 8
// components per mixture; and the plain-HMM model of the hmmlearn comparison, T = 10,000
// frames against S = 50 positions of one 40-dimension Gaussian each, with a band that covers
// every cell. One emission state per position. The library's table (from the model, and from a
// prepared model) beside a plain loop that scores each computed cell with one-frame calls, and
// each table's share of this core's division limit (one division per Gaussian term).

#include <cstdio>
#include <span>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "core/inference/emission.hpp"

namespace {

struct Shape {
    const char* name;
    std::size_t frames;
    std::size_t positions;
    std::size_t streams;
    std::size_t components;
    tarvek::EmissionPruningMode mode;
    double parameter;
};

constexpr std::size_t dimensions = 40;
constexpr Shape shapes[] = {
    {"radius 5, 3 streams x 8 components", 5000, 100, 3, 8,
     tarvek::EmissionPruningMode::state_radius, 5.0},
    {"every cell, 1 stream x 1 component", 10000, 50, 1, 1,
     tarvek::EmissionPruningMode::linear_band, 1.0},
};

template <class S>
void bench(const char* name, const Shape& shape, double limit) {
    using namespace tarvek;
    using namespace tarvek::bench;
    RandomValues random(7, {.uniform_low = 0.5, .uniform_high = 2.0});
    const auto model =
        random_model<S>(shape.streams, shape.positions, shape.components, dimensions, 1, random);
    const auto observation = random_observation<S>(shape.frames, shape.streams, dimensions, random);
    const auto segmentation = chain_segmentation<S>(shape.streams, shape.positions, shape.frames);
    const auto prepared = prepare_owned_duration_states(model, PreparationOptions<S>{},
                                                        std::span<const std::uint64_t>{});
    const S parameter = static_cast<S>(shape.parameter);

    StateScoreTable<S> table;
    const double plain = best_seconds(7, [&] {
        table = emission_log_probabilities(model, observation, segmentation, shape.mode, S(1),
                                           parameter);
    });
    std::vector<std::pair<std::size_t, std::size_t>> cells;
    for (std::size_t t = 0; t < shape.frames; ++t) {
        for (std::size_t s = 0; s < shape.positions; ++s) {
            if (table(t, s) != log_zero<S>) cells.emplace_back(t, s);
        }
    }
    const double from_prepared = best_seconds(7, [&] {
        table = sample_emission_densities(model, observation, segmentation, shape.mode, prepared,
                                          S(1), parameter);
    });
    // Each computed cell on its own, one one-frame call per stream.
    const double per_cell = best_seconds(3, [&] {
        table = StateScoreTable<S>::filled(shape.frames, shape.positions,
                                           ModelError("allocation failed"));
        for (const auto [t, s] : cells) {
            S sum = 0;
            for (std::size_t i = 0; i < shape.streams; ++i) {
                const auto view = *prepared.emission(i, segmentation.output_states[i][s]);
                const S* x = observation.streams[i].values.data() + t * dimensions;
                sum = sum + view.log_probability_unchecked(x, S(1)) * model.streams[i].weight;
            }
            table(t, s) = sum;
        }
    });

    const double gaussians = static_cast<double>(cells.size() * shape.streams * shape.components);
    const auto report = [&](const char* label, double seconds) {
        std::printf(
            "%s  %-18s %8.2f ms  %8.2f M cells/s  %8.1f M Gaussians/s  %3.0f%% of the division "
            "limit\n",
            name, label, seconds * 1e3, cells.size() / seconds / 1e6, gaussians / seconds / 1e6,
            100 * limit_fraction(gaussians * dimensions, seconds, limit));
    };
    report("table (model)", plain);
    report("table (prepared)", from_prepared);
    report("per-cell loop", per_cell);
    std::printf("%s  %zu computed cells; prepared table x%.2f the per-cell loop\n", name,
                cells.size(), per_cell / from_prepared);
}

}  // namespace

int main() {
    const double limit_f32 = tarvek::bench::division_limit<float>();
    const double limit_f64 = tarvek::bench::division_limit<double>();
    std::printf("division limit: f32 %.0f M/s, f64 %.0f M/s\n", limit_f32 / 1e6, limit_f64 / 1e6);
    for (const Shape& shape : shapes) {
        std::printf("emission tables, %s: T = %zu, S = %zu, %zu dimensions\n", shape.name,
                    shape.frames, shape.positions, dimensions);
        bench<float>("f32", shape, limit_f32);
        bench<double>("f64", shape, limit_f64);
    }
}
