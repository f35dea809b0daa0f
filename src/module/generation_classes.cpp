// The generation classes and the generated observations they return. A generation object
// holds a model and a sequence and runs Python callbacks in the middle of the core routine:
// its members all borrow it exclusively (but `is_closed`), so a callback that reaches the
// generating object again is refused by the borrow; behind that the value keeps a busy flag
// of its own against any overlapping use.

#include "module/generation_classes.hpp"

#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/numerics/error.hpp"
#include "core/generation/generation.hpp"
#include "module/data_classes.hpp"
#include "module/kit/indexed.hpp"
#include "module/kit/registry.hpp"
#include "module/random_sources.hpp"

namespace tarvek::py {

namespace {

// ---- values ------------------------------------------------------------------------------

// Busy flag: 0 idle, n > 0 while n reads run, -1 while a generation or a replacement runs.
template <Scalar S>
struct Generation {
    std::int64_t busy = 0;
    ModelParameters<S> model;
    SegmentationData<S> sequence;
};

template <Scalar S>
struct GeneratedObservation {
    ObservationData<S> observation;
    std::uint64_t draws_used = 0;
    std::uint64_t random_words_used = 0;
};

[[noreturn]] void refuse_busy() {
    throw ModelError("generation is already in use");
}

// A read of a generation value for its duration.
class ReadUse {
  public:
    explicit ReadUse(std::int64_t& flag) : flag_(flag) {
        if (flag == -1 || flag == std::numeric_limits<std::int64_t>::max()) refuse_busy();
        ++flag_;
    }
    ReadUse(const ReadUse&) = delete;
    ReadUse& operator=(const ReadUse&) = delete;
    ~ReadUse() { --flag_; }

  private:
    std::int64_t& flag_;
};

// A generation or a replacement: the only use while it runs.
class WriteUse {
  public:
    explicit WriteUse(std::int64_t& flag) : flag_(flag) {
        if (flag != 0) refuse_busy();
        flag_ = -1;
    }
    WriteUse(const WriteUse&) = delete;
    WriteUse& operator=(const WriteUse&) = delete;
    ~WriteUse() { flag_ = 0; }

  private:
    std::int64_t& flag_;
};

// ---- classes -----------------------------------------------------------------------------

template <Scalar S>
struct GeneratedObservationClass {
    using Value = GeneratedObservation<S>;
    static constexpr bool bound_to_creating_thread = true;
    static std::string name() { return precision_name<S>("GeneratedObservation"); }

    static void define(ClassBuilder<GeneratedObservationClass>& c) {
        c.method("observation()", [](const Value& self) {
            return make_object<ObservationClass<S>>(self.observation);
        });
        c.method("into_observation()", [](Taken<Value> self) {
            return make_object<ObservationClass<S>>(std::move(self.value.observation));
        });
        c.property("draws_used", [](const Value& self) { return self.draws_used; });
        c.property("random_words_used", [](const Value& self) { return self.random_words_used; });
        c.cloned();
    }
};

// Runs the core generation with `source` and reports, in this order of precedence: the
// source's own failure (a callback's exception, a refused result, too few values), whatever
// the routine did; the routine's error; the generated observation.
template <Scalar S, class Source, class Generate>
ObservationData<S> run_generation(Source& source, Generate generate) {
    std::optional<ObservationData<S>> observation;
    std::exception_ptr routine_failure;
    try {
        observation.emplace(generate());
    } catch (...) {
        routine_failure = std::current_exception();
    }
    source.raise_if_failed();
    if (routine_failure) std::rethrow_exception(routine_failure);
    return std::move(*observation);
}

template <Scalar S>
Object make_generated(ObservationData<S> observation, std::uint64_t draws_used,
                      std::uint64_t random_words_used) {
    return make_object<GeneratedObservationClass<S>>(
        GeneratedObservation<S>{std::move(observation), draws_used, random_words_used});
}

template <Scalar S>
struct GenerationClass {
    using Value = Generation<S>;
    static constexpr bool bound_to_creating_thread = true;
    static std::string name() { return precision_name<S>("Generation"); }

    static void define(ClassBuilder<GenerationClass>& c) {
        c.constructor("(model, sequence)", [](const Shared<ModelClass<S>>& model,
                                              const Shared<SegmentationClass<S>>& sequence) {
            return Value{0, *model, *sequence};
        });
        // Readers borrow exclusively too: nothing may reach the object while a callback runs.
        c.method("model()", [](Value& self) {
            const ReadUse use(self.busy);
            return make_object<ModelClass<S>>(self.model);
        });
        c.method("set_model(model)", [](Value& self, const Shared<ModelClass<S>>& model) {
            const WriteUse use(self.busy);
            assign_copy(self.model, *model);
        });
        c.method("sequence()", [](Value& self) {
            const ReadUse use(self.busy);
            return make_object<SegmentationClass<S>>(self.sequence);
        });
        c.method("set_sequence(sequence)",
                 [](Value& self, const Shared<SegmentationClass<S>>& sequence) {
                     const WriteUse use(self.busy);
                     assign_copy(self.sequence, *sequence);
                 });
        c.method("cloned()", [](Value& self) {
            const ReadUse use(self.busy);
            return make_object<GenerationClass>(Value{0, self.model, self.sequence});
        });
        c.method("generate_with_uniform(callback)", [](Value& self, PyObject* callback) {
            const Function function(callback);
            const WriteUse use(self.busy);
            UniformCallbackDraw<S> draw(function);
            ObservationData<S> observation = run_generation<S>(
                draw, [&] { return generate_with_uniform<S>(self.model, self.sequence, draw); });
            return make_generated<S>(std::move(observation), draw.draws(), 0);
        });
        c.method("generate_with_random_words(callback)", [](Value& self, PyObject* callback) {
            const Function function(callback);
            const WriteUse use(self.busy);
            WordRng words(function);
            std::uint64_t draws = 0;
            ObservationData<S> observation = run_generation<S>(words, [&] {
                return generate_with_uniform<S>(self.model, self.sequence, words, draws);
            });
            return make_generated<S>(std::move(observation), draws, words.words());
        });
    }
};

}  // namespace

template <Scalar S>
void define_model_generation(ClassBuilder<ModelClass<S>>& c) {
    // The caller's segmentation receives the generated segment ends, so it is borrowed
    // exclusively; the model is only read.
    c.method("generate_with_uniform_values(sequence, values)",
             [](const ModelParameters<S>& model, const Exclusive<SegmentationClass<S>>& sequence,
                const std::vector<S>& values) {
                 ValueListDraw<S> draw(values);
                 ObservationData<S> observation = run_generation<S>(
                     draw, [&] { return generate_with_uniform<S>(model, *sequence, draw); });
                 return make_generated<S>(std::move(observation), draw.draws(), 0);
             });
}

template void define_model_generation<float>(ClassBuilder<ModelClass<float>>&);
template void define_model_generation<double>(ClassBuilder<ModelClass<double>>&);

namespace {

const Registration registration{[] {
    register_class<GeneratedObservationClass<float>>();
    register_class<GenerationClass<float>>();
    register_class<GeneratedObservationClass<double>>();
    register_class<GenerationClass<double>>();
}};

}  // namespace

}  // namespace tarvek::py
