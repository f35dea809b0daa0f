// Decoding results from Python: paths and score pairs built, read and replaced part by part.
// Readers hand out copies; setters store copies and change nothing when they refuse.

#include "module/path_classes.hpp"

#include <cstdint>
#include <utility>
#include <vector>

#include "core/numerics/allocation.hpp"
#include "core/numerics/error.hpp"
#include "module/kit/indexed.hpp"
#include "module/kit/registry.hpp"
#include "module/table_classes.hpp"

namespace tarvek::py {
namespace {

// A log probability crosses the boundary as a list of exactly one number.
template <Scalar S>
S single_log_probability(const std::vector<S>& values) {
    if (values.size() != 1) throw ModelError("path log probability requires one scalar");
    return values[0];
}

// Python gives and reads 32-bit entries; the paths hold machine words, converted straight into
// them. Reading keeps the low 32 bits, which every entry that came from Python or from a
// decoding of fewer than 2^31 frames fits.
using Entries = Widened<std::uint32_t, std::vector<std::uint64_t>>;

std::vector<std::uint32_t> narrowed(const std::vector<std::uint64_t>& values) {
    std::vector<std::uint32_t> result(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        result[i] = static_cast<std::uint32_t>(values[i]);
    }
    return result;
}

// The occurrences cross the boundary flat: state, end, state, end, ...
std::vector<HsmmOccurrence> occurrence_pairs(const std::vector<std::uint32_t>& values) {
    if (values.size() % 2 != 0) throw ModelError("occurrences require state/end pairs");
    auto pairs = allocate_or_bad_alloc<HsmmOccurrence>(values.size() / 2);
    for (std::size_t k = 0; k < pairs.size(); ++k) pairs[k] = {values[2 * k], values[2 * k + 1]};
    return pairs;
}
std::vector<std::uint32_t> flat_occurrences(const std::vector<HsmmOccurrence>& pairs) {
    std::vector<std::uint32_t> values(2 * pairs.size());
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        values[2 * k] = static_cast<std::uint32_t>(pairs[k].state);
        values[2 * k + 1] = static_cast<std::uint32_t>(pairs[k].end);
    }
    return values;
}

}  // namespace

template <Scalar S>
void GeometricPathClass<S>::define(ClassBuilder<GeometricPathClass>& c) {
    using Scores = StateScoresClass<S>;
    c.constructor(
        "(states, boundaries, log_probability, scores)",
        [](Entries states, Entries boundaries, const std::vector<S>& log_probability,
           const Shared<Scores>& scores) {
            const S single = single_log_probability(log_probability);
            return Value{std::move(states.values), std::move(boundaries.values), *scores, single};
        });
    c.method("states()", [](const Value& path) { return narrowed(path.path); });
    c.method("set_states(values)",
             [](Value& path, Entries values) { path.path = std::move(values.values); });
    c.method("boundaries()", [](const Value& path) { return narrowed(path.ends); });
    c.method("set_boundaries(values)",
             [](Value& path, Entries values) { path.ends = std::move(values.values); });
    c.method("log_probability()",
             [](const Value& path) { return std::vector<S>{path.log_probability}; });
    c.method("set_log_probability(values)", [](Value& path, const std::vector<S>& values) {
        path.log_probability = single_log_probability(values);
    });
    c.method("scores()", [](const Value& path) { return make_object<Scores>(path.scores); });
    c.method("set_scores(value)",
             [](Value& path, const Shared<Scores>& value) { assign_copy(path.scores, *value); });
    c.cloned();
}

template <Scalar S>
void HsmmScoresClass<S>::define(ClassBuilder<HsmmScoresClass>& c) {
    using Scores = StateScoresClass<S>;
    // The two tables need not agree in shape; nothing is compared.
    c.constructor("(begin, end)", [](const Shared<Scores>& begin, const Shared<Scores>& end) {
        return Value{*begin, *end, {}, {}};
    });
    c.method("begin()", [](const Value& pair) { return make_object<Scores>(pair.begin); });
    c.method("end()", [](const Value& pair) { return make_object<Scores>(pair.end); });
    c.method("set_begin(value)",
             [](Value& pair, const Shared<Scores>& value) { assign_copy(pair.begin, *value); });
    c.method("set_end(value)",
             [](Value& pair, const Shared<Scores>& value) { assign_copy(pair.end, *value); });
    c.cloned();
}

template <Scalar S>
void HsmmPathClass<S>::define(ClassBuilder<HsmmPathClass>& c) {
    using Scores = HsmmScoresClass<S>;
    c.constructor(
        "(occurrences, log_probability, scores)",
        [](const std::vector<std::uint32_t>& occurrences, const std::vector<S>& log_probability,
           const Shared<Scores>& scores) {
            const S single = single_log_probability(log_probability);
            return Value{occurrence_pairs(occurrences), single, scores->begin, scores->end};
        });
    c.method("occurrences()", [](const Value& path) { return flat_occurrences(path.occurrences); });
    c.method("set_occurrences(values)", [](Value& path, const std::vector<std::uint32_t>& values) {
        path.occurrences = occurrence_pairs(values);
    });
    c.method("log_probability()",
             [](const Value& path) { return std::vector<S>{path.log_probability}; });
    c.method("set_log_probability(values)", [](Value& path, const std::vector<S>& values) {
        path.log_probability = single_log_probability(values);
    });
    c.method("scores()", [](const Value& path) {
        return make_object<Scores>(typename Scores::Value{path.begin, path.end, {}, {}});
    });
    c.method("set_scores(value)", [](Value& path, const Shared<Scores>& value) {
        StateScoreTable<S> begin = value->begin;
        StateScoreTable<S> end = value->end;
        path.begin = std::move(begin);
        path.end = std::move(end);
    });
    c.cloned();
}

template struct GeometricPathClass<float>;
template struct GeometricPathClass<double>;
template struct HsmmScoresClass<float>;
template struct HsmmScoresClass<double>;
template struct HsmmPathClass<float>;
template struct HsmmPathClass<double>;

namespace {

const Registration registration{[] {
    register_class<GeometricPathClass<float>>();
    register_class<GeometricPathClass<double>>();
    register_class<HsmmScoresClass<float>>();
    register_class<HsmmScoresClass<double>>();
    register_class<HsmmPathClass<float>>();
    register_class<HsmmPathClass<double>>();
}};

}  // namespace
}  // namespace tarvek::py
