// Throughput of the HSMM passes: T = 5,000 frames along a chain of S = 100 positions (50
// frames each) with a state radius of 5, in both precisions. Two row settings: rows of 41
// entries (a maximum duration of 41, so durations 1 to 40; every position may be re-entered
// so that 50-frame segments stay reachable), and the default options (rows of 2 · 50 + 30
// entries, clamped to T + 1 in the forward pass). Reported per pass: time, frames per second,
// and (window cell × duration) steps per second, counting each step the recursion takes (a
// boundary frame visited by two windows counts twice).

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench_support.hpp"
#include "core/inference/hsmm.hpp"
#include "core/inference/pruning.hpp"

namespace {

constexpr std::size_t frames = 5000;
constexpr std::size_t positions = 100;
constexpr double radius = 5.0;

template <class S>
void bench(const char* name, std::int32_t maximum_duration) {
    using namespace tarvek;
    using namespace tarvek::bench;
    RandomValues random(11, {.normal_mean = -3.0});

    ModelParameters<S> model;
    {
        const auto edit = model.edit();
        for (std::size_t k = 0; k < positions; ++k) {
            DurationParameters<S> duration;
            duration.mean = static_cast<S>(40 + k % 20);
            duration.variance = static_cast<S>(30 + k % 7);
            duration.maximum_duration = maximum_duration;
            edit.durations().push_back(duration);
        }
    }
    auto segmentation = chain_segmentation<S>(1, positions, frames);
    for (std::size_t k = 0; k < positions; ++k) {
        if (k + 2 < positions) add_jump(segmentation, k, 2, S(0.1));  // one skip per position
        if (maximum_duration > 0) add_jump(segmentation, k, 0, S(0.2));
    }
    const auto emissions = random_scores<S>(frames, positions, [&] { return random.normal(); });
    HsmmOptions<S> options;
    options.state_radius = static_cast<S>(radius);
    const auto graph = build_transitions(segmentation);

    // Steps each pass takes, from its windows and rows.
    const StateRadiusWindow<S> window(segmentation.boundaries, frames, options.state_radius);
    const auto forward_rows =
        prepare_hsmm_durations_with(model, segmentation, frames, positions, options, true);
    const auto backward_rows =
        prepare_hsmm_durations_with(model, segmentation, frames, positions, options, false);
    double forward_steps = 0;
    double backward_steps = 0;
    for (std::size_t k = 0; k < positions; ++k) {
        const IndexRange f = window.segment_frames(k);
        const IndexRange p = window.segment_positions(k);
        const std::uint64_t boundary = static_cast<std::uint64_t>(segmentation.boundaries[k]);
        for (std::uint64_t t = f.first; t < f.last; ++t) {
            for (std::uint64_t s = p.first; s < p.last; ++s) {
                forward_steps +=
                    static_cast<double>(std::min<std::uint64_t>(forward_rows[s].size() - 1, t + 1));
                if (t >= boundary) continue;
                backward_steps += s + 1 == positions
                                      ? static_cast<double>(frames - 1 - t)
                                      : static_cast<double>(backward_rows[s].size() - 1);
            }
        }
    }

    HsmmScoreTables<S> tables;
    const double forward =
        best_seconds(7, [&] { tables = search_hsmm(model, graph, emissions, options, false); });
    const double viterbi =
        best_seconds(7, [&] { tables = search_hsmm(model, graph, emissions, options, true); });
    const double backward =
        best_seconds(7, [&] { tables = backward_hsmm_with(model, graph, emissions, options); });
    const double from_segmentation = best_seconds(
        7, [&] { tables = search_hsmm(model, segmentation, emissions, options, false); });

    const auto report = [&](const char* label, double seconds, double steps) {
        std::printf("%s  %-22s %8.2f ms  %8.0f k frames/s  %8.1f M cell-durations/s\n", name, label,
                    seconds * 1e3, frames / seconds / 1e3, steps / seconds / 1e6);
    };
    report("forward (graph)", forward, forward_steps);
    report("forward (segmentation)", from_segmentation, forward_steps);
    report("Viterbi (graph)", viterbi, forward_steps);
    report("backward (graph)", backward, backward_steps);
}

}  // namespace

int main() {
    std::printf("HSMM passes: T = %zu, S = %zu, radius %.0f\n", frames, positions, radius);
    std::printf("rows of 41 entries, re-entry and skip jumps:\n");
    bench<float>("f32", 41);
    bench<double>("f64", 41);
    std::printf("default options (rows of 130 entries), skip jumps:\n");
    bench<float>("f32", -1);
    bench<double>("f64", -1);
}
