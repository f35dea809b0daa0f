#pragma once
// The Python option classes: `PreparationOptionsF32/F64`, `HsmmOptionsF32/F64`,
// `GeometricOptionsF32/F64` and `UpdateOptionsF32/F64`. Each holds a plain record behind
// writable properties and checks nothing; the operations that take the options validate them.
// Prepared models, inference and the update methods take these classes.

#include <cstdint>
#include <string>

#include "core/inference/hsmm_durations.hpp"
#include "core/model/preparation.hpp"
#include "core/training/update.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

template <Scalar S>
struct PreparationOptionsClass {
    using Value = PreparationOptions<S>;
    static std::string name() { return std::string("PreparationOptions") + Precision<S>::suffix; }
    static void define(ClassBuilder<PreparationOptionsClass>& c);
};

// The update options as Python sees them: the duration mode is a code, refused only when an
// update converts it.
template <Scalar S>
struct HsmmOptionsClass {
    using Value = HsmmOptions<S>;
    static std::string name() { return std::string("HsmmOptions") + Precision<S>::suffix; }
    static void define(ClassBuilder<HsmmOptionsClass>& c);
};

// The geometric passes take the two values as they stand (checked by the search).
template <Scalar S>
struct GeometricSettings {
    S temperature = 1;
    S pruning_slope = S(0.3);
};

template <Scalar S>
struct GeometricOptionsClass {
    using Value = GeometricSettings<S>;
    static std::string name() { return std::string("GeometricOptions") + Precision<S>::suffix; }
    static void define(ClassBuilder<GeometricOptionsClass>& c);
};

template <Scalar S>
struct UpdateSettings {
    std::uint32_t duration_mode = 0;
    S duration_variance_floor = UpdateOptions<S>{}.duration_variance_floor;
    S emission_variance_floor = UpdateOptions<S>{}.emission_variance_floor;

    // The core options; "invalid duration update mode" unless the mode is 0 or 1. Every update
    // method calls this before anything else runs.
    UpdateOptions<S> native() const {
        return UpdateOptions<S>::from_duration_mode(duration_mode, duration_variance_floor,
                                                    emission_variance_floor);
    }
};

template <Scalar S>
struct UpdateOptionsClass {
    using Value = UpdateSettings<S>;
    static std::string name() { return std::string("UpdateOptions") + Precision<S>::suffix; }
    static void define(ClassBuilder<UpdateOptionsClass>& c);
};

}  // namespace tarvek::py
