#pragma once
// The inference and emission members that models and prepared models share: the three HSMM
// passes along a segmentation or a transition graph, and the emission log-probability and
// density tables. A scoring policy says what of the receiver's value is scored:
//
//   struct Scoring {
//       using Value = ...;                                   // the receiver's value
//       static const ModelParameters<S>& model(const Value&);
//       static PreparedHsmmDurations<S> durations(const Value&);  // absent for a plain model
//       static StateScoreTable<S> log_emissions(const Value&, const ObservationData<S>&,
//                                               const SegmentationData<S>&,
//                                               EmissionPruningMode, S temperature,
//                                               S parameter);
//   };
//
// Every member borrows the receiver and its arguments for the call and copies only the small
// options record; the core's tables are moved into the new result objects.

#include <utility>

#include "core/inference/emission_density.hpp"
#include "core/inference/hsmm.hpp"
#include "core/inference/score_table.hpp"
#include "module/data_classes.hpp"
#include "module/kit/class_builder.hpp"
#include "module/mode_classes.hpp"
#include "module/option_classes.hpp"
#include "module/path_classes.hpp"
#include "module/table_classes.hpp"

namespace tarvek::py {

// `forward`, `backward` and `viterbi` along `SourceClass` (a segmentation or a transition
// graph); the signatures name the three members.
template <Scalar S, class Scoring, class SourceClass, class Class>
void define_hsmm_calls(ClassBuilder<Class>& c, const char* forward, const char* backward,
                       const char* viterbi) {
    using Value = typename Scoring::Value;
    using Source = Shared<SourceClass>;
    using Emissions = Shared<LogEmissionsClass<S>>;
    using Settings = Shared<HsmmOptionsClass<S>>;
    using Scores = HsmmScoresClass<S>;
    c.method(forward, [](const Value& self, const Source& source, const Emissions& emissions,
                         const Settings& options) {
        const HsmmOptions<S> settings = *options;
        return make_object<Scores>(Scores::from_pass(search_hsmm(
            Scoring::model(self), *source, *emissions, settings, false, Scoring::durations(self))));
    });
    c.method(backward, [](const Value& self, const Source& source, const Emissions& emissions,
                          const Settings& options) {
        const HsmmOptions<S> settings = *options;
        return make_object<Scores>(Scores::from_pass(backward_hsmm_with(
            Scoring::model(self), *source, *emissions, settings, Scoring::durations(self))));
    });
    c.method(viterbi, [](const Value& self, const Source& source, const Emissions& emissions,
                         const Settings& options) {
        const HsmmOptions<S> settings = *options;
        return make_object<HsmmPathClass<S>>(viterbi_hsmm_with(
            Scoring::model(self), *source, *emissions, settings, Scoring::durations(self)));
    });
}

// The six HSMM members: along a segmentation (whose incoming lists are built on every call)
// and along a prebuilt transition graph.
template <Scalar S, class Scoring, class Class>
void define_hsmm_inference(ClassBuilder<Class>& c) {
    define_hsmm_calls<S, Scoring, SegmentationClass<S>>(
        c, "forward_hsmm(segmentation, emissions, options)",
        "backward_hsmm(segmentation, emissions, options)",
        "viterbi_hsmm(segmentation, emissions, options)");
    define_hsmm_calls<S, Scoring, TransitionGraphClass<S>>(
        c, "forward_hsmm_with_graph(graph, emissions, options)",
        "backward_hsmm_with_graph(graph, emissions, options)",
        "viterbi_hsmm_with_graph(graph, emissions, options)");
}

// The log-emission table; the pruning code is converted before anything else is looked at.
template <Scalar S, class Scoring>
StateScoreTable<S> scored_log_emissions(const typename Scoring::Value& self,
                                        const ObservationData<S>& observation,
                                        const SegmentationData<S>& segmentation, S temperature,
                                        const EmissionPruningSettings<S>& pruning) {
    const auto native = pruning.native();
    return Scoring::log_emissions(self, observation, segmentation, native.mode, temperature,
                                  native.parameter);
}

// `emission_log_probabilities` and `emission_probabilities` (the same table mapped by the
// fast exponential, in 32-bit arithmetic in both precisions).
template <Scalar S, class Scoring, class Class>
void define_emission_calls(ClassBuilder<Class>& c) {
    using Value = typename Scoring::Value;
    using Observation = Shared<ObservationClass<S>>;
    using Segmentation = Shared<SegmentationClass<S>>;
    using Pruning = Shared<EmissionPruningClass<S>>;
    c.method("emission_log_probabilities(observation, segmentation, temperature, pruning)",
             [](const Value& self, const Observation& observation, const Segmentation& segmentation,
                S temperature, const Pruning& pruning) {
                 return make_object<LogEmissionsClass<S>>(scored_log_emissions<S, Scoring>(
                     self, *observation, *segmentation, temperature, *pruning));
             });
    c.method("emission_probabilities(observation, segmentation, temperature, pruning)",
             [](const Value& self, const Observation& observation, const Segmentation& segmentation,
                S temperature, const Pruning& pruning) {
                 StateScoreTable<S> table = scored_log_emissions<S, Scoring>(
                     self, *observation, *segmentation, temperature, *pruning);
                 to_emission_densities(table);
                 return make_object<EmissionDensitiesClass<S>>(std::move(table));
             });
}

}  // namespace tarvek::py
