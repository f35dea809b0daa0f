// Gaussians per second of prepared-mixture scoring: a 40-dimension, 8-component mixture over
// 2,000 frames, the batch entry point beside a loop of one-frame calls, in both precisions.

#include <cstdio>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "core/model/probability.hpp"

namespace {

using namespace tarvek::bench;

constexpr std::size_t dimensions = 40;
constexpr std::size_t components = 8;
constexpr std::size_t frames = 2000;
constexpr int repetitions = 200;

// Best of 5 trials of `repetitions` calls each.
template <class Run>
double best_repeated_seconds(Run&& run) {
    return best_seconds(5, [&] {
        for (int r = 0; r < repetitions; ++r) run();
    });
}

template <class S>
void bench(const char* name) {
    RandomValues random(7, {.uniform_low = 0.5, .uniform_high = 2.0});
    tarvek::GaussianMixtureParameters<S> mixture(components, dimensions);
    randomise(mixture, random);
    auto prepared = std::move(mixture).prepare_owned();
    const auto view = prepared.view();
    std::vector<S> observation(frames * dimensions);
    for (auto& value : observation) value = static_cast<S>(random.normal());
    std::vector<S> out(frames);

    const double one_frame = best_repeated_seconds([&] {
        for (std::size_t f = 0; f < frames; ++f) {
            out[f] = view.log_probability_unchecked(observation.data() + f * dimensions, S(1));
        }
        keep(out.data());
    });
    const double batch = best_repeated_seconds([&] {
        view.log_probabilities_unchecked(observation.data(), frames, S(1), out.data());
        keep(out.data());
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
