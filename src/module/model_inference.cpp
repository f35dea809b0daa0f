// Inference from a model. Every member borrows the model and its arguments for the call (the
// kit checks the argument classes before any closed check), converts a settings object first
// in its body, and moves the core's result into a new object. The segmentation forms rebuild
// the incoming jump lists on every call; the graph forms use the graph's own.

#include "module/model_inference.hpp"

#include <cstdint>
#include <utility>

#include "core/inference/duration_occupancy.hpp"
#include "core/inference/emission.hpp"
#include "core/inference/geometric.hpp"
#include "core/inference/hsmm_durations.hpp"
#include "core/inference/mixture_occupancy.hpp"
#include "core/inference/occupancy.hpp"
#include "module/inference_calls.hpp"
#include "module/posterior_classes.hpp"

namespace tarvek::py {
namespace {

// The model is scored as it stands: durations from its own laws, emissions from its mixtures.
template <Scalar S>
struct ModelScoring {
    using Value = ModelParameters<S>;
    static const ModelParameters<S>& model(const Value& self) { return self; }
    static PreparedHsmmDurations<S> durations(const Value&) { return {}; }
    static StateScoreTable<S> log_emissions(const Value& self,
                                            const ObservationData<S>& observation,
                                            const SegmentationData<S>& segmentation,
                                            EmissionPruningMode mode, S temperature, S parameter) {
        return emission_log_probabilities(self, observation, segmentation, mode, temperature,
                                          parameter);
    }
};

// The geometric passes take the options' temperature and slope as they stand.
template <Scalar S>
void define_geometric_calls(ClassBuilder<ModelClass<S>>& c) {
    using Value = ModelParameters<S>;
    using Segmentation = Shared<SegmentationClass<S>>;
    using Emissions = Shared<LogEmissionsClass<S>>;
    using Settings = Shared<GeometricOptionsClass<S>>;
    c.method(
        "forward_geometric(segmentation, emissions, options)",
        [](const Value& model, const Segmentation& segmentation, const Emissions& emissions,
           const Settings& options) {
            return make_object<StateScoresClass<S>>(forward_geometric(
                model, *segmentation, *emissions, options->temperature, options->pruning_slope));
        });
    c.method(
        "viterbi_geometric(segmentation, emissions, options)",
        [](const Value& model, const Segmentation& segmentation, const Emissions& emissions,
           const Settings& options) {
            return make_object<GeometricPathClass<S>>(viterbi_geometric(
                model, *segmentation, *emissions, options->temperature, options->pruning_slope));
        });
    c.method(
        "backward_geometric(segmentation, emissions, options)",
        [](const Value& model, const Segmentation& segmentation, const Emissions& emissions,
           const Settings& options) {
            return make_object<StateScoresClass<S>>(backward_geometric(
                model, *segmentation, *emissions, options->temperature, options->pruning_slope));
        });
}

// The component posteriors of one stream; the mode code is converted before anything else.
template <Scalar S>
void define_mixture_occupancies(ClassBuilder<ModelClass<S>>& c) {
    c.method(
        "mixture_occupancies(observation, segmentation, occupancy, stream_index, "
        "temperature, mode)",
        [](const ModelParameters<S>& model, const Shared<ObservationClass<S>>& observation,
           const Shared<SegmentationClass<S>>& segmentation,
           const Shared<StateOccupanciesClass<S>>& occupancy, std::uint64_t stream_index,
           S temperature, const Shared<MixtureOccupancyModeClass<S>>& mode) {
            const auto native = mode->native();
            return make_object<MixturePosteriorsClass>(
                mixture_occupancies(model, *observation, *segmentation, *occupancy, stream_index,
                                    native.mode, temperature, native.parameter));
        });
}

// Duration posteriors along `SourceClass` (a segmentation, whose incoming lists are built on
// every call, or a transition graph).
template <Scalar S, class SourceClass>
void define_duration_occupancies(ClassBuilder<ModelClass<S>>& c, const char* signature) {
    using Scores = Shared<HsmmScoresClass<S>>;
    c.method(signature,
             [](const ModelParameters<S>& model, const Shared<SourceClass>& source,
                const Shared<LogEmissionsClass<S>>& emissions, const Scores& forward,
                const Scores& backward, S total, const Shared<HsmmOptionsClass<S>>& options) {
                 const HsmmOptions<S> settings = *options;
                 return make_object<DurationPosteriorsClass>(duration_occupancies_with(
                     model, *source, *emissions, *forward, *backward, total, settings));
             });
}

template <Scalar S>
void define_occupancy_calls(ClassBuilder<ModelClass<S>>& c) {
    using Value = ModelParameters<S>;
    using Segmentation = Shared<SegmentationClass<S>>;
    using Emissions = Shared<LogEmissionsClass<S>>;
    define_duration_occupancies<S, SegmentationClass<S>>(
        c, "duration_occupancies(segmentation, emissions, forward, backward, total, options)");
    define_duration_occupancies<S, TransitionGraphClass<S>>(
        c, "duration_occupancies_with_graph(graph, emissions, forward, backward, total, options)");
    // The posteriors are 32-bit in both precisions; they are widened before they are summed.
    c.method("hsmm_state_occupancies(segmentation, emissions, duration_occupancies, options)",
             [](const Value& model, const Segmentation& segmentation, const Emissions& emissions,
                const Shared<DurationPosteriorsClass>& durations,
                const Shared<HsmmOptionsClass<S>>& options) {
                 const HsmmOptions<S> settings = *options;
                 return make_object<StateOccupanciesClass<S>>(hsmm_state_occupancies(
                     model, *segmentation, *emissions, *durations, settings));
             });
    c.method(
        "geometric_transition_occupancies(segmentation, emissions, forward, backward, "
        "total, options)",
        [](const Value& model, const Segmentation& segmentation, const Emissions& emissions,
           const Shared<StateScoresClass<S>>& forward, const Shared<StateScoresClass<S>>& backward,
           S total, const Shared<GeometricOptionsClass<S>>& options) {
            return make_object<TransitionPosteriorsClass>(geometric_transition_occupancies(
                model, *segmentation, *emissions, *forward, *backward, total, options->temperature,
                options->pruning_slope));
        });
}

}  // namespace

template <Scalar S>
void define_model_inference(ClassBuilder<ModelClass<S>>& c) {
    define_emission_calls<S, ModelScoring<S>>(c);
    define_mixture_occupancies(c);
    define_hsmm_inference<S, ModelScoring<S>>(c);
    define_geometric_calls(c);
    define_occupancy_calls(c);
}

template void define_model_inference<float>(ClassBuilder<ModelClass<float>>&);
template void define_model_inference<double>(ClassBuilder<ModelClass<double>>&);

}  // namespace tarvek::py
