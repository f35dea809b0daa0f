// Gaussian, duration and stream statistics from Python, their collections, and the `update`
// members that re-estimate models, streams, mixtures and durations from them. Statistics are
// stored as given; only the update (and the accumulations) check them against parameters.

#include "module/statistics_classes.hpp"

#include <cstdint>
#include <utility>
#include <vector>

#include "core/numerics/error.hpp"
#include "core/training/update.hpp"
#include "module/kit/collection.hpp"
#include "module/kit/indexed.hpp"
#include "module/kit/registry.hpp"
#include "module/option_classes.hpp"

namespace tarvek::py {

template <Scalar S>
void GaussianStatisticsClass<S>::define(ClassBuilder<GaussianStatisticsClass>& c) {
    c.constructor("(mixtures, dimensions)", [](std::uint64_t mixtures, std::uint64_t dimensions) {
        return Value(mixtures, dimensions);
    });
    c.static_method("from_gaussian(value)", [](const Shared<GaussianClass<S>>& value) {
        return make_object<GaussianStatisticsClass>(Value::from_mixture(*value));
    });
    c.method(
        "replace(dimensions, weighted_sums, weighted_squared_sums, component_occupancies, "
        "state_occupancy)",
        [](Value& statistics, std::uint64_t dimensions, std::vector<S> weighted_sums,
           std::vector<S> weighted_squared_sums, std::vector<S> component_occupancies,
           const std::vector<S>& state_occupancy) {
            if (state_occupancy.size() != 1) {
                throw ModelError("state occupancy requires one scalar");
            }
            // The constructor's checks, but nothing is zero-filled only to be compared and
            // dropped: the lists become the sums themselves.
            const std::uint64_t mixtures = component_occupancies.size();
            Value::check_allocatable(mixtures, dimensions);
            const std::uint64_t entries = mixtures * dimensions;  // both below 2^31
            if (weighted_sums.size() != entries || weighted_squared_sums.size() != entries) {
                throw ModelError("Gaussian statistic shapes differ");
            }
            statistics.weighted_sums = std::move(weighted_sums);
            statistics.weighted_squared_sums = std::move(weighted_squared_sums);
            statistics.component_occupancies = std::move(component_occupancies);
            statistics.dimensions = dimensions;
            statistics.state_occupancy = state_occupancy[0];
        });
    c.method("weighted_sums()", [](const Value& statistics) -> const std::vector<S>& {
        return statistics.weighted_sums;
    });
    c.method("weighted_squared_sums()", [](const Value& statistics) -> const std::vector<S>& {
        return statistics.weighted_squared_sums;
    });
    c.method("component_occupancies()", [](const Value& statistics) -> const std::vector<S>& {
        return statistics.component_occupancies;
    });
    c.method("state_occupancy()",
             [](const Value& statistics) { return std::vector<S>{statistics.state_occupancy}; });
    c.property("mixtures", [](const Value& statistics) { return statistics.mixture_count(); });
    c.property("dimensions", [](const Value& statistics) { return statistics.dimensions; });
    c.method("clear()", [](Value& statistics) { statistics.clear(); });
    c.cloned();
}

template <Scalar S>
void DurationStatisticsClass<S>::define(ClassBuilder<DurationStatisticsClass>& c) {
    c.constructor("()", [] { return Value{}; });
    c.method("values()", [](const Value& statistics) {
        return std::vector<S>{statistics.value_sum, statistics.squared_sum, statistics.occupancy};
    });
    c.method("set_values(values)", [](Value& statistics, const std::vector<S>& values) {
        if (values.size() != 3) throw ModelError("duration statistics require three values");
        statistics = Value{values[0], values[1], values[2]};
    });
    define_field<&Value::value_sum>(c, "value_sum");
    define_field<&Value::squared_sum>(c, "squared_sum");
    define_field<&Value::occupancy>(c, "occupancy");
    c.method("clear()", [](Value& statistics) { statistics = Value{}; });
    c.cloned();
}

template <Scalar S>
void StreamStatisticsClass<S>::define(ClassBuilder<StreamStatisticsClass>& c) {
    c.constructor("()", [] { return Value{}; });
    c.static_method("from_stream(value)", [](const Shared<StreamClass<S>>& value) {
        return make_object<StreamStatisticsClass>(Value::from_stream(*value));
    });
    c.property("emissions", [](const Value& statistics) { return statistics.emissions.size(); });
    c.method("emission(index)", [](const Value& statistics, std::uint64_t index) {
        return object_at<GaussianStatisticsClass<S>>(statistics.emissions, index);
    });
    c.method("set_emission(index, value)", [](Value& statistics, std::uint64_t index,
                                              const Shared<GaussianStatisticsClass<S>>& value) {
        replace_at(statistics.emissions, index, *value,
                   ModelError("emission statistic index out of range"));
    });
    c.method("replace(values)",
             [](Value& statistics, const Shared<GaussianStatisticsCollectionClass<S>>& values) {
                 assign_copy(statistics.emissions, *values);
             });
    c.method("clear()", [](Value& statistics) { statistics.clear(); });
    c.cloned();
}

template <Scalar S>
void GaussianStatisticsCollectionClass<S>::define(
    ClassBuilder<GaussianStatisticsCollectionClass>& c) {
    define_collection<GaussianStatisticsClass<S>>(c);
}

template <Scalar S>
void StreamStatisticsCollectionClass<S>::define(ClassBuilder<StreamStatisticsCollectionClass>& c) {
    define_collection<StreamStatisticsClass<S>>(c);
}

template <Scalar S>
void DurationStatisticsCollectionClass<S>::define(
    ClassBuilder<DurationStatisticsCollectionClass>& c) {
    define_collection<DurationStatisticsClass<S>>(c);
}

// ---- update members ----------------------------------------------------------------------
// Each converts the options first ("invalid duration update mode"), then runs the core update,
// which re-estimates a copy and replaces the receiver's value only on success.

namespace {

// `update(statistics, options)` on a parameter class, from the matching statistics class.
template <Scalar S, class StatisticsClass, class Class>
void define_update(ClassBuilder<Class>& c) {
    using Value = typename Class::Value;
    c.method("update(statistics, options)",
             [](Value& parameters, const Shared<StatisticsClass>& statistics,
                const Shared<UpdateOptionsClass<S>>& options) {
                 return tarvek::update(parameters, *statistics, options->native());
             });
}

}  // namespace

template <Scalar S>
void define_model_update(ClassBuilder<ModelClass<S>>& c) {
    define_update<S, ModelStatisticsClass<S>>(c);
}

template <Scalar S>
void define_stream_update(ClassBuilder<StreamClass<S>>& c) {
    define_update<S, StreamStatisticsClass<S>>(c);
}

template <Scalar S>
void define_gaussian_update(ClassBuilder<GaussianClass<S>>& c) {
    define_update<S, GaussianStatisticsClass<S>>(c);
}

template <Scalar S>
void define_duration_update(ClassBuilder<DurationClass<S>>& c) {
    define_update<S, DurationStatisticsClass<S>>(c);
}

template struct GaussianStatisticsClass<float>;
template struct GaussianStatisticsClass<double>;
template struct DurationStatisticsClass<float>;
template struct DurationStatisticsClass<double>;
template struct StreamStatisticsClass<float>;
template struct StreamStatisticsClass<double>;
template struct GaussianStatisticsCollectionClass<float>;
template struct GaussianStatisticsCollectionClass<double>;
template struct StreamStatisticsCollectionClass<float>;
template struct StreamStatisticsCollectionClass<double>;
template struct DurationStatisticsCollectionClass<float>;
template struct DurationStatisticsCollectionClass<double>;
template void define_model_update<float>(ClassBuilder<ModelClass<float>>&);
template void define_model_update<double>(ClassBuilder<ModelClass<double>>&);
template void define_stream_update<float>(ClassBuilder<StreamClass<float>>&);
template void define_stream_update<double>(ClassBuilder<StreamClass<double>>&);
template void define_gaussian_update<float>(ClassBuilder<GaussianClass<float>>&);
template void define_gaussian_update<double>(ClassBuilder<GaussianClass<double>>&);
template void define_duration_update<float>(ClassBuilder<DurationClass<float>>&);
template void define_duration_update<double>(ClassBuilder<DurationClass<double>>&);

namespace {

const Registration registration{[] {
    register_class<GaussianStatisticsClass<float>>();
    register_class<GaussianStatisticsClass<double>>();
    register_class<DurationStatisticsClass<float>>();
    register_class<DurationStatisticsClass<double>>();
    register_class<StreamStatisticsClass<float>>();
    register_class<StreamStatisticsClass<double>>();
    register_class<GaussianStatisticsCollectionClass<float>>();
    register_class<GaussianStatisticsCollectionClass<double>>();
    register_class<StreamStatisticsCollectionClass<float>>();
    register_class<StreamStatisticsCollectionClass<double>>();
    register_class<DurationStatisticsCollectionClass<float>>();
    register_class<DurationStatisticsCollectionClass<double>>();
}};

}  // namespace
}  // namespace tarvek::py
