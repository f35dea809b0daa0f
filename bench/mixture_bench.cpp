// Gaussians per second of prepared-mixture scoring: a 40-dimension, 8-component mixture over
// 2,000 frames, the batch entry point beside a loop of one-frame calls, in both precisions.

#include <chrono>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include "core/probability.hpp"

namespace {

constexpr std::size_t dimensions = 40;
constexpr std::size_t components = 8;
constexpr std::size_t frames = 2000;
constexpr int repetitions = 200;

template <class Run>
double best_seconds(Run&& run) {
    double best = 1e300;
    for (int trial = 0; trial < 5; ++trial) {
        const auto start = std::chrono::steady_clock::now();
        for (int r = 0; r < repetitions; ++r) run();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

template <class S>
void bench(const char* name) {
    std::mt19937_64 random(7);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.5, 2.0);
    tarvek::GaussianMixtureParameters<S> mixture(components, dimensions);
    for (auto& mean : mixture.means) mean = static_cast<S>(normal(random));
    for (auto& variance : mixture.variances) variance = static_cast<S>(uniform(random));
    auto prepared = std::move(mixture).prepare_owned();
    const auto view = prepared.view();
    std::vector<S> observation(frames * dimensions);
    for (auto& value : observation) value = static_cast<S>(normal(random));
    std::vector<S> out(frames);
    volatile S sink = 0;

    const double one_frame = best_seconds([&] {
        for (std::size_t f = 0; f < frames; ++f) {
            out[f] = view.log_probability_unchecked(observation.data() + f * dimensions, S(1));
        }
        sink = sink + out[frames - 1];
    });
    const double batch = best_seconds([&] {
        view.log_probabilities_unchecked(observation.data(), frames, S(1), out.data());
        sink = sink + out[frames - 1];
    });
    const double gaussians = static_cast<double>(frames * components) * repetitions;
    std::printf("%s  one-frame loop: %8.1f M Gaussians/s   batch: %8.1f M Gaussians/s   (x%.2f)\n",
                name, gaussians / one_frame / 1e6, gaussians / batch / 1e6, one_frame / batch);
}

}  // namespace

int main() {
    std::printf("mixture scoring: %zu dimensions, %zu components, %zu frames\n", dimensions,
                components, frames);
    bench<float>("f32");
    bench<double>("f64");
}
