// Inference from a model. Every member borrows the model and its arguments for the call (the
// kit checks the argument classes before any closed check), converts a settings object first
// in its body, and moves the core's result into a new object. The segmentation forms rebuild
// the incoming jump lists on every call; the graph forms use the graph's own.

#include "module/model_inference.hpp"

#include <utility>

#include "core/emission.hpp"
#include "core/geometric.hpp"
#include "core/hsmm_durations.hpp"
#include "module/inference_calls.hpp"

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

}  // namespace

template <Scalar S>
void define_model_inference(ClassBuilder<ModelClass<S>>& c) {
    define_emission_calls<S, ModelScoring<S>>(c);
    define_hsmm_inference<S, ModelScoring<S>>(c);
    define_geometric_calls(c);
}

template void define_model_inference<float>(ClassBuilder<ModelClass<float>>&);
template void define_model_inference<double>(ClassBuilder<ModelClass<double>>&);

}  // namespace tarvek::py
