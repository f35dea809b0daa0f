// Prepared parameters from Python: preparing models, streams, mixtures and durations, the
// prepared classes' lookups, copies and scores, and HSMM inference and emission scoring from a
// prepared model. Inference borrows the prepared model and every argument for the call and
// copies only the options record; durations come from the prepared caches and emissions use
// the prepared normalizers, so nothing prepared is recomputed per call.

#include "module/prepared_classes.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/data/data.hpp"
#include "core/inference/emission.hpp"
#include "core/inference/hsmm_durations.hpp"
#include "core/inference/score_table.hpp"
#include "module/inference_calls.hpp"
#include "module/kit/registry.hpp"
#include "module/option_classes.hpp"

namespace tarvek::py {
namespace {

template <Scalar S>
using Options = PreparationOptionsClass<S>;

// ---- inference and emission scoring ------------------------------------------------------

// The prepared model is both the model scored and the source of its duration log values, and
// its normalizers score the emissions.
template <Scalar S>
struct PreparedScoring {
    using Value = OwnedPreparedModelParameters<S>;
    static const ModelParameters<S>& model(const Value& self) { return self.model; }
    static PreparedHsmmDurations<S> durations(const Value& self) {
        return PreparedHsmmDurations<S>(self);
    }
    static StateScoreTable<S> log_emissions(const Value& self,
                                            const ObservationData<S>& observation,
                                            const SegmentationData<S>& segmentation,
                                            EmissionPruningMode mode, S temperature, S parameter) {
        return sample_emission_densities(self.model, observation, segmentation, mode, self,
                                         temperature, parameter);
    }
};

// `prepare()` (of a copy) and `prepare_owned()` for values whose `prepare_owned() &&` takes no
// options.
template <class PreparedClass, class Class>
void define_option_free_preparation(ClassBuilder<Class>& c) {
    using Value = typename Class::Value;
    c.method("prepare()", [](const Value& value) {
        Value copy = value;
        return make_object<PreparedClass>(std::move(copy).prepare_owned());
    });
    c.method("prepare_owned()", [](Taken<Value> value) {
        return make_object<PreparedClass>(std::move(value.value).prepare_owned());
    });
}

}  // namespace

// ---- prepared classes --------------------------------------------------------------------

template <Scalar S>
void PreparedModelClass<S>::define(ClassBuilder<PreparedModelClass>& c) {
    c.method("duration(state)",
             [](const Value& self, std::uint64_t state) -> std::optional<Object> {
                 const DurationPreparation<S>* preparation = self.duration(state);
                 if (preparation == nullptr) return std::nullopt;
                 return make_object<PreparedDurationClass<S>>(
                     PreparedDuration<S>{*preparation, self.model.durations[state]});
             });
    c.method(
        "emission(stream, state)",
        [](const Value& self, std::uint64_t stream, std::uint64_t state) -> std::optional<Object> {
            const auto view = self.emission(stream, state);
            if (!view) return std::nullopt;
            return make_object<PreparedGaussianClass<S>>(view->to_owned());
        });
    c.method("options()", [](const Value& self) { return make_object<Options<S>>(self.options); });
    c.method("parameters()",
             [](const Value& self) { return make_object<ModelClass<S>>(self.model); });
    c.method("into_parameters()", [](Taken<Value> self) {
        return make_object<ModelClass<S>>(std::move(self.value).into_model());
    });
    c.cloned();
    define_hsmm_inference<S, PreparedScoring<S>>(c);
    define_emission_calls<S, PreparedScoring<S>>(c);
}

template <Scalar S>
void PreparedStreamClass<S>::define(ClassBuilder<PreparedStreamClass>& c) {
    c.method("emission(state)",
             [](const Value& self, std::uint64_t state) -> std::optional<Object> {
                 const auto view = self.emission(state);
                 if (!view) return std::nullopt;
                 return make_object<PreparedGaussianClass<S>>(view->to_owned());
             });
    c.method("parameters()",
             [](const Value& self) { return make_object<StreamClass<S>>(self.stream); });
    c.method("into_parameters()", [](Taken<Value> self) {
        return make_object<StreamClass<S>>(std::move(self.value.stream));
    });
    c.cloned();
}

template <Scalar S>
void PreparedGaussianClass<S>::define(ClassBuilder<PreparedGaussianClass>& c) {
    using Frame = std::vector<S>;
    c.method("log_probability(observation, temperature)",
             [](const Value& self, const Frame& observation, S temperature) {
                 return self.view().log_probability(observation, temperature);
             });
    c.method("probability(observation, temperature)",
             [](const Value& self, const Frame& observation, S temperature) {
                 return fast_exp(self.view().log_probability(observation, temperature));
             });
    c.method("component_log_probability(observation, component)",
             [](const Value& self, const Frame& observation, std::uint64_t component) {
                 return self.view().component_log_probability(observation, component);
             });
    c.method("component_probability(observation, component)",
             [](const Value& self, const Frame& observation, std::uint64_t component) {
                 return fast_exp(self.view().component_log_probability(observation, component));
             });
    c.method("cached_log_normalizers()",
             [](const Value& self) -> const std::vector<S>& { return self.normalizers; });
    c.method("parameters()",
             [](const Value& self) { return make_object<GaussianClass<S>>(self.parameters); });
    c.method("into_parameters()", [](Taken<Value> self) {
        return make_object<GaussianClass<S>>(std::move(self.value.parameters));
    });
    c.cloned();
}

template <Scalar S>
void PreparedDurationClass<S>::define(ClassBuilder<PreparedDurationClass>& c) {
    c.method("log_probability(frames)", [](const Value& self, std::uint64_t frames) {
        return self.preparation.log_probability(self.duration, frames);
    });
    c.method("probability(frames)", [](const Value& self, std::uint64_t frames) {
        return self.preparation.probability(self.duration, frames);
    });
    c.method("log_normalizer()", [](const Value& self) { return self.preparation.normalizer; });
    c.method("cached_log_probabilities()",
             [](const Value& self) -> const std::vector<S>& { return self.preparation.cache; });
    c.method("options()",
             [](const Value& self) { return make_object<Options<S>>(self.preparation.options); });
    c.method("parameters()",
             [](const Value& self) { return make_object<DurationClass<S>>(self.duration); });
    c.method("into_parameters()", [](Taken<Value> self) {
        return make_object<DurationClass<S>>(std::move(self.value.duration));
    });
    c.cloned();
}

// ---- the preparing members of the parameter classes --------------------------------------

template <Scalar S>
void define_model_preparation(ClassBuilder<ModelClass<S>>& c) {
    using Value = ModelParameters<S>;
    using Prepared = PreparedModelClass<S>;
    // 32-bit state indices, converted straight into the machine words the preparation takes.
    using States = Widened<std::uint32_t, std::vector<std::uint64_t>>;
    c.method("prepare(options)", [](const Value& model, const Shared<Options<S>>& options) {
        return make_object<Prepared>(prepare_owned_duration_states(Value(model), *options));
    });
    c.method("prepare_owned(options)", [](Taken<Value> model, const Shared<Options<S>>& options) {
        return make_object<Prepared>(
            prepare_owned_duration_states(std::move(model.value), *options));
    });
    c.method("prepare_selected_durations(options, states)",
             [](const Value& model, const Shared<Options<S>>& options, const States& states) {
                 return make_object<Prepared>(prepare_owned_duration_states(
                     Value(model), *options, std::span<const std::uint64_t>(states.values)));
             });
    c.method(
        "prepare_owned_selected_durations(options, states)",
        [](Taken<Value> model, const Shared<Options<S>>& options, const States& states) {
            return make_object<Prepared>(prepare_owned_duration_states(
                std::move(model.value), *options, std::span<const std::uint64_t>(states.values)));
        });
}

template <Scalar S>
void define_stream_preparation(ClassBuilder<StreamClass<S>>& c) {
    define_option_free_preparation<PreparedStreamClass<S>>(c);
}

template <Scalar S>
void define_gaussian_preparation(ClassBuilder<GaussianClass<S>>& c) {
    define_option_free_preparation<PreparedGaussianClass<S>>(c);
}

template <Scalar S>
void define_duration_preparation(ClassBuilder<DurationClass<S>>& c) {
    using Value = DurationParameters<S>;
    c.method("prepare(options)", [](const Value& duration, const Shared<Options<S>>& options) {
        return make_object<PreparedDurationClass<S>>(
            PreparedDuration<S>{DurationPreparation<S>(duration, *options), duration});
    });
    c.method("prepare_owned(options)",
             [](Taken<Value> duration, const Shared<Options<S>>& options) {
                 DurationPreparation<S> preparation(duration.value, *options);
                 return make_object<PreparedDurationClass<S>>(
                     PreparedDuration<S>{std::move(preparation), std::move(duration.value)});
             });
}

#define TARVEK_INSTANTIATE(S)                                                      \
    template struct PreparedModelClass<S>;                                         \
    template struct PreparedStreamClass<S>;                                        \
    template struct PreparedGaussianClass<S>;                                      \
    template struct PreparedDurationClass<S>;                                      \
    template void define_model_preparation<S>(ClassBuilder<ModelClass<S>>&);       \
    template void define_stream_preparation<S>(ClassBuilder<StreamClass<S>>&);     \
    template void define_gaussian_preparation<S>(ClassBuilder<GaussianClass<S>>&); \
    template void define_duration_preparation<S>(ClassBuilder<DurationClass<S>>&);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

namespace {

const Registration registration{[] {
    register_class<PreparedStreamClass<float>>();
    register_class<PreparedModelClass<float>>();
    register_class<PreparedStreamClass<double>>();
    register_class<PreparedModelClass<double>>();
    register_class<PreparedDurationClass<float>>();
    register_class<PreparedDurationClass<double>>();
    register_class<PreparedGaussianClass<float>>();
    register_class<PreparedGaussianClass<double>>();
}};

}  // namespace
}  // namespace tarvek::py
