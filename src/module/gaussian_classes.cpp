// Gaussian mixtures from Python: construction, the parameter arrays, whole replacement under
// the shape check, joining and splitting, copies and collections; and mixture weights.

#include "module/gaussian_classes.hpp"

#include <cstdint>
#include <utility>
#include <vector>

#include "core/model/model_operations.hpp"
#include "module/duration_classes.hpp"
#include "module/kit/codec_members.hpp"
#include "module/kit/collection.hpp"
#include "module/kit/registry.hpp"
#include "module/prepared_classes.hpp"
#include "module/statistics_classes.hpp"

namespace tarvek::py {

template <Scalar S>
void GaussianClass<S>::define(ClassBuilder<GaussianClass>& c) {
    c.constructor("(mixtures, dimensions)", [](std::uint64_t mixtures, std::uint64_t dimensions) {
        return Value(mixtures, dimensions);
    });
    c.property("mixtures", [](const Value& mixture) { return mixture.mixture_count(); });
    c.property("dimensions", [](const Value& mixture) { return mixture.dimensions; });
    c.method("weights()",
             [](const Value& mixture) -> const std::vector<S>& { return mixture.weights; });
    c.method("means()",
             [](const Value& mixture) -> const std::vector<S>& { return mixture.means; });
    c.method("variances()",
             [](const Value& mixture) -> const std::vector<S>& { return mixture.variances; });
    c.method("variance_floors()",
             [](const Value& mixture) -> const std::vector<S>& { return mixture.variance_floors; });
    c.method("replace(dimensions, weights, means, variances, variance_floors)",
             [](Value& mixture, std::uint64_t dimensions, std::vector<S> weights,
                std::vector<S> means, std::vector<S> variances, std::vector<S> variance_floors) {
                 check_mixture_shape(weights.size(), dimensions, means.size(), variances.size(),
                                     variance_floors.size());
                 mixture.weights = std::move(weights);
                 mixture.means = std::move(means);
                 mixture.variances = std::move(variances);
                 mixture.variance_floors = std::move(variance_floors);
                 mixture.dimensions = dimensions;
             });
    c.method("validate()", [](const Value& mixture) { mixture.check_shape(); });
    c.cloned();
    c.static_method("combine(distributions)",
                    [](const Shared<GaussianCollectionClass<S>>& distributions) {
                        return make_object<GaussianClass>(Value::combine(*distributions));
                    });
    c.static_method("from_durations(distributions)",
                    [](const Shared<DurationCollectionClass<S>>& distributions) {
                        return make_object<GaussianClass>(Value::from_durations(*distributions));
                    });
    c.method("increase_mixtures(count, displacement)",
             [](Value& mixture, std::uint64_t count, S displacement) {
                 mixture.increase_mixtures(count, displacement);
             });
    define_gaussian_update(c);
    define_gaussian_preparation(c);
    define_codec(c);
    define_write_with_encoding(c);
}

template <Scalar S>
void GaussianCollectionClass<S>::define(ClassBuilder<GaussianCollectionClass>& c) {
    define_collection<GaussianClass<S>>(c);
}

void MixtureWeightsClass::define(ClassBuilder<MixtureWeightsClass>& c) {
    c.constructor("(values)", [](std::vector<float> values) { return values; });
    c.method("values()", [](const Value& weights) -> const Value& { return weights; });
    c.method("replace(values)",
             [](Value& weights, std::vector<float> values) { weights = std::move(values); });
    c.cloned();
}

template struct GaussianClass<float>;
template struct GaussianClass<double>;
template struct GaussianCollectionClass<float>;
template struct GaussianCollectionClass<double>;

namespace {

const Registration registration{[] {
    register_class<GaussianCollectionClass<float>>();
    register_class<GaussianClass<float>>();
    register_class<DecodedClass<GaussianClass<float>>>();
    register_class<GaussianCollectionClass<double>>();
    register_class<GaussianClass<double>>();
    register_class<DecodedClass<GaussianClass<double>>>();
    register_class<MixtureWeightsClass>();
}};

}  // namespace
}  // namespace tarvek::py
