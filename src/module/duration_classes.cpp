// State duration laws from Python: the three values and three constraints, the duration
// scores, copies and collections.

#include "module/duration_classes.hpp"

#include <cstdint>
#include <vector>

#include "core/numerics/error.hpp"
#include "core/model/model_operations.hpp"
#include "module/kit/codec_members.hpp"
#include "module/kit/collection.hpp"
#include "module/kit/registry.hpp"
#include "module/prepared_classes.hpp"
#include "module/statistics_classes.hpp"

namespace tarvek::py {

template <Scalar S>
void DurationClass<S>::define(ClassBuilder<DurationClass>& c) {
    c.constructor("()", [] { return Value{}; });
    // Values are read and written as (mean, variance, variance floor); nothing is checked
    // until a duration is scored, prepared or re-estimated.
    c.method("values()", [](const Value& duration) {
        return std::vector<S>{duration.mean, duration.variance, duration.variance_floor};
    });
    c.method("set_values(values)", [](Value& duration, const std::vector<S>& values) {
        if (values.size() != 3) throw ModelError("duration requires three scalar values");
        duration.mean = values[0];
        duration.variance = values[1];
        duration.variance_floor = values[2];
    });
    c.method("constraints()", [](const Value& duration) {
        return std::vector<std::int32_t>{duration.minimum_duration, duration.maximum_duration,
                                         duration.fixed_mean_duration};
    });
    c.method("set_constraints(values)",
             [](Value& duration, const std::vector<std::int32_t>& values) {
                 if (values.size() != 3) throw ModelError("duration requires three constraints");
                 duration.minimum_duration = values[0];
                 duration.maximum_duration = values[1];
                 duration.fixed_mean_duration = values[2];
             });
    c.method("log_probability(frames, weight)", [](const Value& duration, S frames, S weight) {
        return duration.log_probability(frames, weight);
    });
    c.method("annealed_log_probability(frames, weight, temperature)",
             [](const Value& duration, std::uint64_t frames, S weight, S temperature) {
                 return duration.annealed_log_probability(frames, weight, temperature);
             });
    c.method("probability(frames, weight, temperature)",
             [](const Value& duration, std::uint64_t frames, S weight, S temperature) {
                 return duration.probability(frames, weight, temperature);
             });
    define_duration_preparation(c);
    define_duration_update(c);
    c.cloned();
    define_codec(c);
}

template <Scalar S>
void DurationCollectionClass<S>::define(ClassBuilder<DurationCollectionClass>& c) {
    define_collection<DurationClass<S>>(c);
}

template struct DurationClass<float>;
template struct DurationClass<double>;
template struct DurationCollectionClass<float>;
template struct DurationCollectionClass<double>;

namespace {

const Registration registration{[] {
    register_class<DurationClass<float>>();
    register_class<DecodedClass<DurationClass<float>>>();
    register_class<DurationClass<double>>();
    register_class<DecodedClass<DurationClass<double>>>();
    register_class<DurationCollectionClass<float>>();
    register_class<DurationCollectionClass<double>>();
}};

}  // namespace
}  // namespace tarvek::py
