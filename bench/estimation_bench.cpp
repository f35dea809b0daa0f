// Throughput of one-utterance HSMM estimation: a model of 3 streams of 8-component, 40-dimension
// mixtures, T = 2,000 frames along a chain of S = 100 positions (20 frames each, each with its
// own emission and duration state), radius 5, in both precisions. Reported: estimate_hsmm calls
// and frames per second, the time of each step of the call, and for comparison the deep copy
// of the whole statistics that a full-copy transaction would make per call, and the share of
// this core's division limit that emission scoring and the mixture posteriors reach. Then the same
// utterance against models of 5,000 and 20,000 emission and duration states, of which it names
// 100: a call's cost should not grow with the model, while a full copy does.

#include <cstdio>
#include <vector>

#include "bench_support.hpp"
#include "core/inference/duration_occupancy.hpp"
#include "core/inference/emission.hpp"
#include "core/inference/hsmm.hpp"
#include "core/inference/mixture_occupancy.hpp"
#include "core/training/estimation.hpp"
#include "core/training/expectation.hpp"

namespace {

constexpr std::size_t frames = 2000;
constexpr std::size_t positions = 100;
constexpr std::size_t streams = 3;
constexpr std::size_t components = 8;
constexpr std::size_t dimensions = 40;
constexpr double radius = 5.0;

template <class S>
void bench(const char* name, std::size_t model_states, bool steps) {
    using namespace tarvek;
    using namespace tarvek::bench;
    RandomValues random(3, {.uniform_low = 0.5, .uniform_high = 1.5});

    auto model =
        random_model<S>(streams, model_states, components, dimensions, model_states, random);
    {
        const auto edit = model.edit();
        for (auto& duration : edit.durations()) {
            duration.mean = S(20);
            duration.variance = S(16);
        }
    }
    const auto observation = random_observation<S>(frames, streams, dimensions, random);
    const auto segmentation = chain_segmentation<S>(streams, positions, frames);
    HsmmOptions<S> options;
    options.state_radius = static_cast<S>(radius);

    auto statistics = ModelSufficientStatistics<S>::from_model(model);
    S total = 0;
    const double call = best_seconds(
        5, [&] { total = estimate_hsmm(statistics, model, observation, segmentation, options); });
    std::printf(
        "%s  %5zu states  estimate_hsmm  %8.2f ms  %6.1f calls/s  %8.0f frames/s  (total %.1f)\n",
        name, model_states, call * 1e3, 1.0 / call, frames / call, static_cast<double>(total));
    const double t_copy = best_seconds(5, [&] {
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
    const double t_emissions = best_seconds(5, [&] {
        emissions = emission_log_probabilities(model, observation, segmentation,
                                               EmissionPruningMode::state_radius, S(1),
                                               options.state_radius);
    });
    const double t_forward = best_seconds(
        5, [&] { forward = search_hsmm(model, segmentation, emissions, options, false); });
    const double t_backward = best_seconds(
        5, [&] { backward = backward_hsmm_with(model, segmentation, emissions, options); });
    const double t_durations = best_seconds(5, [&] {
        durations = duration_occupancies_with(model, segmentation, emissions, forward, backward,
                                              total, options);
    });
    const double t_states = best_seconds(5, [&] {
        states = hsmm_state_occupancies(model, segmentation, emissions, durations, options);
    });
    const double t_mixtures = best_seconds(5, [&] {
        for (std::size_t i = 0; i < streams; ++i) {
            mixtures[i] =
                mixture_occupancies(model, observation, segmentation, states, i,
                                    MixtureOccupancyMode::state_radius, S(1), options.state_radius);
        }
    });
    const double t_collect = best_seconds(5, [&] {
        collect_hsmm(statistics, model, observation, segmentation,
                     HsmmExpectation<S>{durations, states, mixtures, options.state_radius});
    });
    const auto report = [&](const char* label, double seconds) {
        std::printf("%s    %-28s %8.2f ms\n", name, label, seconds * 1e3);
    };
    // Each computed cell costs one division per dimension of every component in every stream.
    std::size_t cells = 0;
    for (const S value : emissions.values) cells += value != log_zero<S>;
    const double divisions = static_cast<double>(cells * streams * components * dimensions);
    const double limit = division_limit<S>();
    std::printf(
        "%s    %.0f M divisions/s: emission scoring at %.0f%%, mixture posteriors at %.0f%%\n",
        name, limit / 1e6, 100 * limit_fraction(divisions, t_emissions, limit),
        100 * limit_fraction(divisions, t_mixtures, limit));
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
    for (const std::size_t states : {5000, 20000}) {
        bench<float>("f32", states, false);
        bench<double>("f64", states, false);
    }
}
