// Posteriors from Python: single duration and transition posteriors, the three frames × states
// tables with their flat exchange form in both directions, and the per-stream list of mixture
// tables. Everything handed out is a copy.

#include "module/posterior_classes.hpp"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/inference/posterior_exchange.hpp"
#include "core/numerics/error.hpp"
#include "module/gaussian_classes.hpp"
#include "module/kit/collection.hpp"
#include "module/kit/registry.hpp"

namespace tarvek::py {

namespace {

// 32-bit offsets and minimums, converted straight into the tables' 64-bit vectors.
using TableEntries = Widened<std::uint32_t, TableVector<std::uint64_t>>;

ByteString presence_bytes(const FlatPosteriorTable& table) {
    return ByteString{{table.presence.begin(), table.presence.end()}};
}

}  // namespace

void DurationPosteriorClass::define(ClassBuilder<DurationPosteriorClass>& c) {
    c.constructor("(minimum, probabilities)",
                  [](std::uint64_t minimum, std::vector<float> probabilities) {
                      return Value{std::move(probabilities), minimum};
                  });
    define_field<&Value::minimum>(c, "minimum");
    c.method("probabilities()", [](const Value& posterior) -> const std::vector<float>& {
        return posterior.probabilities;
    });
    c.method("set_probabilities(values)", [](Value& posterior, std::vector<float> values) {
        posterior.probabilities = std::move(values);
    });
    c.method("probability(duration)", [](const Value& posterior, std::uint64_t duration) {
        return posterior.probability(duration);
    });
    c.cloned();
}

void DurationPosteriorsClass::define(ClassBuilder<DurationPosteriorsClass>& c) {
    c.constructor("(frames, states, presence, minimums, offsets, values)",
                  [](std::uint64_t frames, std::uint64_t states, TableByteString presence,
                     TableEntries minimums, TableEntries offsets, TableVector<float> values) {
                      return duration_occupancies_from_exchange(
                          frames, states, std::move(presence.bytes), std::move(minimums.values),
                          std::move(offsets.values), std::move(values));
                  });
    c.property("frames", [](const Value& table) { return table.frames; });
    c.property("states", [](const Value& table) { return table.states; });
    c.method("presence()", [](const Value& table) { return presence_bytes(table); });
    c.method("minimums()", [](const Value& table) { return exchange_minimums(table); });
    c.method("offsets()", [](const Value& table) { return exchange_offsets(table); });
    c.method("values()",
             [](const Value& table) -> const TableVector<float>& { return table.values; });
    c.method(
        "get(frame, state)",
        [](const Value& table, std::uint64_t frame, std::uint64_t state) -> std::optional<Object> {
            const auto cell = table.get(frame, state);
            if (!cell) return std::nullopt;
            return make_object<DurationPosteriorClass>(DurationPosterior{
                {cell->probabilities.begin(), cell->probabilities.end()}, cell->minimum});
        });
    c.cloned();
}

void MixturePosteriorsClass::define(ClassBuilder<MixturePosteriorsClass>& c) {
    c.constructor("(frames, states, presence, offsets, values)",
                  [](std::uint64_t frames, std::uint64_t states, TableByteString presence,
                     TableEntries offsets, TableVector<float> values) {
                      return mixture_occupancies_from_exchange(
                          frames, states, std::move(presence.bytes), std::move(offsets.values),
                          std::move(values));
                  });
    c.property("frames", [](const Value& table) { return table.frames; });
    c.property("states", [](const Value& table) { return table.states; });
    c.method("presence()", [](const Value& table) { return presence_bytes(table); });
    c.method("offsets()", [](const Value& table) { return exchange_offsets(table); });
    c.method("values()",
             [](const Value& table) -> const TableVector<float>& { return table.values; });
    c.method(
        "get(frame, state)",
        [](const Value& table, std::uint64_t frame, std::uint64_t state) -> std::optional<Object> {
            const auto cell = table.get(frame, state);
            if (!cell) return std::nullopt;
            return make_object<MixtureWeightsClass>(std::vector<float>(cell->begin(), cell->end()));
        });
    c.cloned();
}

void MixturePosteriorCollectionClass::define(ClassBuilder<MixturePosteriorCollectionClass>& c) {
    define_collection<MixturePosteriorsClass>(c);
}

namespace {

TransitionPair transition_pair(const std::vector<float>& values) {
    if (values.size() != 2) throw ModelError("transition posterior requires stay/advance values");
    return {values[0], values[1]};
}

}  // namespace

void TransitionPosteriorClass::define(ClassBuilder<TransitionPosteriorClass>& c) {
    c.constructor("(values)",
                  [](const std::vector<float>& values) { return transition_pair(values); });
    c.method("values()", [](const Value& pair) {
        return std::vector<float>{pair.stay, pair.advance};
    });
    c.method("set_values(values)",
             [](Value& pair, const std::vector<float>& values) { pair = transition_pair(values); });
    c.cloned();
}

void TransitionPosteriorsClass::define(ClassBuilder<TransitionPosteriorsClass>& c) {
    c.constructor("(frames, states, presence, values)",
                  [](std::uint64_t frames, std::uint64_t states, const ByteString& presence,
                     const std::vector<float>& values) {
                      return transition_occupancies_from_exchange(frames, states, presence.bytes,
                                                                  values);
                  });
    c.property("frames", [](const Value& table) { return table.frames; });
    c.property("states", [](const Value& table) { return table.states; });
    c.method("presence()", [](const Value& table) { return ByteString{exchange_presence(table)}; });
    c.method("values()", [](const Value& table) { return exchange_values(table); });
    c.method(
        "get(frame, state)",
        [](const Value& table, std::uint64_t frame, std::uint64_t state) -> std::optional<Object> {
            if (frame >= table.frames || state >= table.states) return std::nullopt;
            const std::uint64_t index = frame * table.states + state;
            if (index >= table.entries.size()) return std::nullopt;
            const TransitionOccupancy& entry = table.entries[index];
            if (entry.present != 1) return std::nullopt;
            return make_object<TransitionPosteriorClass>(TransitionPair{entry.stay, entry.advance});
        });
    c.cloned();
}

namespace {

const Registration registration{[] {
    register_class<MixturePosteriorCollectionClass>();
    register_class<TransitionPosteriorClass>();
    register_class<TransitionPosteriorsClass>();
    register_class<DurationPosteriorClass>();
    register_class<DurationPosteriorsClass>();
    register_class<MixturePosteriorsClass>();
}};

}  // namespace
}  // namespace tarvek::py
