#pragma once
// The Python classes of Gaussian mixtures: `GaussianF32`/`GaussianF64`, their collections,
// and `MixtureWeights` (one list of component weights, 32-bit in both precisions). Later
// families take and return these classes (prepared mixtures, statistics, posteriors).

#include <string>
#include <vector>

#include "core/model/model.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

template <Scalar S>
struct GaussianClass {
    using Value = GaussianMixtureParameters<S>;
    static std::string name() { return std::string("Gaussian") + Precision<S>::suffix; }
    static std::string decoded_name() { return "Decoded" + name(); }
    static void define(ClassBuilder<GaussianClass>& c);
};

template <Scalar S>
struct GaussianCollectionClass {
    using Value = std::vector<GaussianMixtureParameters<S>>;
    static std::string name() { return std::string("GaussianCollection") + Precision<S>::suffix; }
    static void define(ClassBuilder<GaussianCollectionClass>& c);
};

struct MixtureWeightsClass {
    using Value = std::vector<float>;
    static std::string name() { return "MixtureWeights"; }
    static void define(ClassBuilder<MixtureWeightsClass>& c);
};

}  // namespace tarvek::py
