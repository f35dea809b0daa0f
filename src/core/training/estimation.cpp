#include "core/training/estimation.hpp"

#include <cstdint>
#include <vector>

#include "core/inference/duration_occupancy.hpp"
#include "core/inference/emission.hpp"
#include "core/inference/geometric.hpp"
#include "core/inference/hsmm.hpp"
#include "core/inference/mixture_occupancy.hpp"
#include "core/inference/occupancy.hpp"
#include "core/inference/score_reductions.hpp"
#include "core/training/expectation.hpp"

namespace tarvek {

namespace {

// One table per statistics stream, from stream 0 upward; the first failure ends the list. The
// emission step prepared and checked the mixtures (the statistics have one stream per model
// stream), so each stream reuses its normalizers.
template <Scalar S>
std::vector<MixtureOccupancies> mixture_posteriors(
    const ModelSufficientStatistics<S>& statistics, const ModelParameters<S>& model,
    const ObservationData<S>& observation, const SegmentationData<S>& segmentation,
    const std::vector<StreamPreparation<S>>& prepared, const StateScoreTable<S>& occupancies,
    MixtureOccupancyMode mode, S temperature, S parameter) {
    std::vector<MixtureOccupancies> tables;
    tables.reserve(statistics.streams.size());
    for (std::uint64_t i = 0; i < statistics.streams.size(); ++i) {
        tables.push_back(detail::prepared_mixture_occupancies(model, observation, segmentation,
                                                              occupancies, i, mode, temperature,
                                                              parameter, prepared[i]));
    }
    return tables;
}

}  // namespace

template <Scalar S>
S estimate_hsmm(ModelSufficientStatistics<S>& statistics, const ModelParameters<S>& model,
                const ObservationData<S>& observation, const SegmentationData<S>& segmentation,
                const HsmmOptions<S>& options) {
    statistics.validate_for(model);
    const std::vector<StreamPreparation<S>> prepared =
        detail::prepare_emissions(model, segmentation);
    const StateScoreTable<S> emissions = detail::prepared_emission_log_probabilities(
        model, observation, segmentation, EmissionPruningMode::state_radius, options.temperature,
        options.state_radius, prepared);
    const HsmmScoreTables<S> forward = search_hsmm(model, segmentation, emissions, options, false);
    const HsmmScoreTables<S> backward = backward_hsmm_with(model, segmentation, emissions, options);
    // Every path runs through the first position's segment ends.
    const S total = total_through_state(forward.end, backward.end, 0);
    const DurationOccupancies durations = duration_occupancies_with(
        model, segmentation, emissions, forward, backward, total, options);
    const StateScoreTable<S> states =
        hsmm_state_occupancies(model, segmentation, emissions, durations, options);
    const std::vector<MixtureOccupancies> mixtures = mixture_posteriors(
        statistics, model, observation, segmentation, prepared, states,
        MixtureOccupancyMode::state_radius, options.temperature, options.state_radius);
    // Step 1 validated the statistics, and nothing has changed them since.
    detail::collect_hsmm_checked(
        statistics, model, observation, segmentation,
        HsmmExpectation<S>{durations, states, mixtures, options.state_radius}, true);
    return total;
}

template <Scalar S>
S estimate_geometric(ModelSufficientStatistics<S>& statistics, const ModelParameters<S>& model,
                     const ObservationData<S>& observation, const SegmentationData<S>& segmentation,
                     S temperature, S pruning_slope) {
    statistics.validate_for(model);
    const std::vector<StreamPreparation<S>> prepared =
        detail::prepare_emissions(model, segmentation);
    const StateScoreTable<S> emissions = detail::prepared_emission_log_probabilities(
        model, observation, segmentation, EmissionPruningMode::linear_band, temperature,
        pruning_slope, prepared);
    const StateScoreTable<S> alpha =
        forward_geometric(model, segmentation, emissions, temperature, pruning_slope);
    const StateScoreTable<S> beta =
        backward_geometric(model, segmentation, emissions, temperature, pruning_slope);
    const S total = backward_log_probability(beta, emissions);
    const TransitionOccupancies transitions = geometric_transition_occupancies(
        model, segmentation, emissions, alpha, beta, total, temperature, pruning_slope);
    const StateScoreTable<S> states = geometric_occupancies(alpha, beta, total, pruning_slope);
    const std::vector<MixtureOccupancies> mixtures =
        mixture_posteriors(statistics, model, observation, segmentation, prepared, states,
                           MixtureOccupancyMode::linear_band, temperature, pruning_slope);
    detail::collect_geometric_checked(
        statistics, model, observation, segmentation,
        GeometricExpectation<S>{transitions, states, mixtures, pruning_slope}, true);
    return total;
}

#define TARVEK_INSTANTIATE(S)                                                               \
    template S estimate_hsmm(ModelSufficientStatistics<S>&, const ModelParameters<S>&,      \
                             const ObservationData<S>&, const SegmentationData<S>&,         \
                             const HsmmOptions<S>&);                                        \
    template S estimate_geometric(ModelSufficientStatistics<S>&, const ModelParameters<S>&, \
                                  const ObservationData<S>&, const SegmentationData<S>&, S, S);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
