// Gaussians per second of prepared-mixture scoring: a 40-dimension, 8-component mixture over
// 2,000 frames, the batch kernel (blocks of frames copied once, then every component's density
// and the mixture log probability) beside a loop of one-frame calls, in both precisions, and
// the batch kernel's share of this core's division limit (one division per Gaussian term).

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "core/model/batch_scoring.hpp"
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
    using tarvek::FrameBlock;
    RandomValues random(7, {.uniform_low = 0.5, .uniform_high = 2.0});
    tarvek::GaussianMixtureParameters<S> mixture(components, dimensions);
    randomise(mixture, random);
    auto prepared = std::move(mixture).prepare_owned();
    const auto view = prepared.view();
    std::vector<S> observation(frames * dimensions);
    for (auto& value : observation) value = static_cast<S>(random.normal());
    std::vector<S> out(frames + FrameBlock<S>::width);

    const double one_frame = best_repeated_seconds([&] {
        for (std::size_t f = 0; f < frames; ++f) {
            out[f] = view.log_probability_unchecked(observation.data() + f * dimensions, S(1));
        }
        keep(out.data());
    });
    const tarvek::ModelError failure("allocation failed");
    FrameBlock<S> block(dimensions, failure);
    std::vector<S> densities = tarvek::block_density_rows<S>(components, failure);
    const double batch = best_repeated_seconds([&] {
        for (std::size_t f = 0; f < frames; f += block.width) {
            block.load(observation.data() + f * dimensions, dimensions,
                       std::min(block.width, frames - f));
            tarvek::score_block(view, block, tarvek::DensityRows::scored, S(1), densities.data(),
                                out.data() + f);
        }
        keep(out.data());
    });
    const double gaussians = static_cast<double>(frames * components) * repetitions;
    const double limit = division_limit<S>();
    std::printf(
        "%s  one-frame loop: %8.1f M Gaussians/s   batch: %8.1f M Gaussians/s   (x%.2f)   "
        "batch at %3.0f%% of the division limit (%.0f M divisions/s)\n",
        name, gaussians / one_frame / 1e6, gaussians / batch / 1e6, one_frame / batch,
        100 * limit_fraction(gaussians * dimensions, batch, limit), limit / 1e6);
}

}  // namespace

int main() {
    std::printf("mixture scoring: %zu dimensions, %zu components, %zu frames\n", dimensions,
                components, frames);
    bench<float>("f32");
    bench<double>("f64");
}
