// Throughput of one-utterance HSMM estimation: a model of 3 streams of 8-component, 40-dimension
// mixtures, T = 2,000 frames along a chain of S = 100 positions (20 frames each, each with its
// own emission and duration state), radius 5, in both precisions. Reported: estimate_hsmm calls
// and frames per second, the time of each step of the call, and for comparison the deep copy
// of the whole statistics that a full-copy transaction would make per call. Then the same
// utterance against a model of 5,000 emission and duration states, of which it names 100: the
// accumulation copies only those, while a full copy grows with the model.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "core/duration_occupancy.hpp"
#include "core/emission.hpp"
#include "core/estimation.hpp"
#include "core/expectation.hpp"
#include "core/hsmm.hpp"
#include "core/mixture_occupancy.hpp"

namespace {

constexpr std::size_t frames = 2000;
constexpr std::size_t positions = 100;
constexpr std::size_t streams = 3;
constexpr std::size_t components = 8;
constexpr std::size_t dimensions = 40;
constexpr double radius = 5.0;

template <class Run>
double best_seconds(Run&& run, int trials = 5) {
    double best = 1e300;
    for (int trial = 0; trial < trials; ++trial) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

template <class S>
void bench(const char* name, std::size_t model_states, bool steps) {
    using namespace tarvek;
    std::mt19937_64 random(3);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.5, 1.5);

    const std::vector<StreamLayout> layouts(streams, {model_states, components, dimensions});
    ModelParameters<S> model(layouts, model_states);
    for (auto& stream : model.streams) {
        for (auto& mixture : stream.emissions) {
            for (S& mean : mixture.means) mean = static_cast<S>(normal(random));
            for (S& variance : mixture.variances) variance = static_cast<S>(uniform(random));
        }
    }
    for (auto& duration : model.durations) {
        duration.mean = S(20);
        duration.variance = S(16);
    }
    const std::vector<std::size_t> dims(streams, dimensions);
    auto observation = ObservationData<S>::create(frames, dims);
    for (auto& stream : observation.streams) {
        for (S& value : stream.values) value = static_cast<S>(normal(random));
    }
    auto segmentation = SegmentationData<S>::create(streams, positions);
    for (std::size_t k = 0; k < positions; ++k) {
        segmentation.boundaries[k] = static_cast<std::int32_t>((k + 1) * frames / positions);
        segmentation.duration_states[k] = static_cast<std::int32_t>(k);
        for (auto& row : segmentation.output_states) row[k] = static_cast<std::int32_t>(k);
    }
    HsmmOptions<S> options;
    options.state_radius = static_cast<S>(radius);

    auto statistics = ModelSufficientStatistics<S>::from_model(model);
    S total = 0;
    const double call = best_seconds(
        [&] { total = estimate_hsmm(statistics, model, observation, segmentation, options); });
    std::printf(
        "%s  %5zu states  estimate_hsmm  %8.2f ms  %6.1f calls/s  %8.0f frames/s  (total %.1f)\n",
        name, model_states, call * 1e3, 1.0 / call, frames / call, static_cast<double>(total));
    const double t_copy = best_seconds([&] {
        const ModelSufficientStatistics<S> copy(statistics);
        if (copy.durations.size() != model_states) std::printf("unexpected copy\n");
    });
    std::printf("%s    %-28s %8.2f ms\n", name, "(a full statistics copy)", t_copy * 1e3);
    if (!steps) return;

    // The steps of one call, each timed on its own.
    StateScoreTable<S> emissions;
    HsmmScoreTables<S> forward;
    HsmmScoreTables<S> backward;
    DurationOccupancies durations;
    StateScoreTable<S> states;
    std::vector<MixtureOccupancies> mixtures(streams);
    const double t_emissions = best_seconds([&] {
        emissions = emission_log_probabilities(model, observation, segmentation,
                                               EmissionPruningMode::state_radius, S(1),
                                               options.state_radius);
    });
    const double t_forward = best_seconds(
        [&] { forward = search_hsmm(model, segmentation, emissions, options, false); });
    const double t_backward = best_seconds(
        [&] { backward = backward_hsmm_with(model, segmentation, emissions, options); });
    const double t_durations = best_seconds([&] {
        durations = duration_occupancies_with(model, segmentation, emissions, forward, backward,
                                              total, options);
    });
    const double t_states = best_seconds([&] {
        states = hsmm_state_occupancies(model, segmentation, emissions, durations, options);
    });
    const double t_mixtures = best_seconds([&] {
        for (std::size_t i = 0; i < streams; ++i) {
            mixtures[i] =
                mixture_occupancies(model, observation, segmentation, states, i,
                                    MixtureOccupancyMode::state_radius, S(1), options.state_radius);
        }
    });
    const double t_collect = best_seconds([&] {
        collect_hsmm(statistics, model, observation, segmentation,
                     HsmmExpectation<S>{durations, states, mixtures, options.state_radius});
    });
    const auto report = [&](const char* label, double seconds) {
        std::printf("%s    %-28s %8.2f ms\n", name, label, seconds * 1e3);
    };
    report("emission scoring", t_emissions);
    report("forward pass", t_forward);
    report("backward pass", t_backward);
    report("duration posteriors", t_durations);
    report("state occupancies", t_states);
    report("mixture posteriors (3 streams)", t_mixtures);
    report("collect_hsmm", t_collect);
}

}  // namespace

int main() {
    std::printf(
        "estimate_hsmm: %zu streams of %zu components in %zu dimensions, T = %zu, S = %zu, "
        "radius %.0f\n",
        streams, components, dimensions, frames, positions, radius);
    bench<float>("f32", positions, true);
    bench<double>("f64", positions, true);
    bench<float>("f32", 5000, false);
    bench<double>("f64", 5000, false);
}
