#pragma once
// The Python mode classes: `EmissionPruningF32/F64` (which cells an emission table scores) and
// `MixtureOccupancyModeF32/F64` (the window of mixture occupancies). Each holds a mode code and
// one parameter and stores any values; the operation that takes the object converts the code
// first and refuses an unknown one before computing anything.

#include <cstdint>
#include <string>

#include "core/inference/emission.hpp"
#include "core/numerics/error.hpp"
#include "core/inference/mixture_occupancy.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

// Emission pruning codes: 0 none (the parameter is dropped), 1 state radius, 2 linear band.
template <Scalar S>
struct EmissionPruningSettings {
    std::uint32_t mode = 0;
    S parameter = 0;

    struct Native {
        EmissionPruningMode mode;
        S parameter;
    };
    Native native() const {
        switch (mode) {
            case 0:
                return {EmissionPruningMode::none, S(0)};
            case 1:
                return {EmissionPruningMode::state_radius, parameter};
            case 2:
                return {EmissionPruningMode::linear_band, parameter};
            default:
                throw ModelError("unknown emission pruning mode");
        }
    }
};

template <Scalar S>
struct EmissionPruningClass {
    using Value = EmissionPruningSettings<S>;
    static std::string name() { return std::string("EmissionPruning") + Precision<S>::suffix; }
    static void define(ClassBuilder<EmissionPruningClass>& c);
};

// Mixture occupancy codes: 0 state radius, 1 linear band.
template <Scalar S>
struct MixtureOccupancySettings {
    std::uint32_t mode = 0;
    S parameter = 0;

    struct Native {
        MixtureOccupancyMode mode;
        S parameter;
    };
    Native native() const {
        switch (mode) {
            case 0:
                return {MixtureOccupancyMode::state_radius, parameter};
            case 1:
                return {MixtureOccupancyMode::linear_band, parameter};
            default:
                throw ModelError("unknown mixture occupancy mode");
        }
    }
};

template <Scalar S>
struct MixtureOccupancyModeClass {
    using Value = MixtureOccupancySettings<S>;
    static std::string name() { return std::string("MixtureOccupancyMode") + Precision<S>::suffix; }
    static void define(ClassBuilder<MixtureOccupancyModeClass>& c);
};

}  // namespace tarvek::py
