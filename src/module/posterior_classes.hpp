#pragma once
// The Python posterior classes: duration, mixture-component and transition posteriors, single
// and in frames × states tables, and the list of mixture tables (one per stream) that the
// expectations take. One class each serves both model precisions: posteriors are 32-bit.
// Inference returns these classes; the expectations take them.

#include <string>
#include <vector>

#include "core/inference/duration_occupancy.hpp"
#include "core/inference/mixture_occupancy.hpp"
#include "core/inference/occupancy.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

struct DurationPosteriorClass {
    using Value = DurationPosterior;
    static std::string name() { return "DurationPosterior"; }
    static void define(ClassBuilder<DurationPosteriorClass>& c);
};

struct DurationPosteriorsClass {
    using Value = DurationOccupancies;
    static std::string name() { return "DurationPosteriors"; }
    static void define(ClassBuilder<DurationPosteriorsClass>& c);
};

struct MixturePosteriorsClass {
    using Value = MixtureOccupancies;
    static std::string name() { return "MixturePosteriors"; }
    static void define(ClassBuilder<MixturePosteriorsClass>& c);
};

// One table per stream, in stream order.
struct MixturePosteriorCollectionClass {
    using Value = std::vector<MixtureOccupancies>;
    static std::string name() { return "MixturePosteriorCollection"; }
    static void define(ClassBuilder<MixturePosteriorCollectionClass>& c);
};

// One stay/advance pair.
struct TransitionPair {
    float stay = 0;
    float advance = 0;
};

struct TransitionPosteriorClass {
    using Value = TransitionPair;
    static std::string name() { return "TransitionPosterior"; }
    static void define(ClassBuilder<TransitionPosteriorClass>& c);
};

struct TransitionPosteriorsClass {
    using Value = TransitionOccupancies;
    static std::string name() { return "TransitionPosteriors"; }
    static void define(ClassBuilder<TransitionPosteriorsClass>& c);
};

}  // namespace tarvek::py
