#pragma once
// The Python classes of state duration laws: `DurationF32`/`DurationF64` and their collections.
// Later families take and return these classes (prepared durations, duration statistics).

#include <string>
#include <vector>

#include "core/model/model.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

template <Scalar S>
struct DurationClass {
    using Value = DurationParameters<S>;
    static std::string name() { return std::string("Duration") + Precision<S>::suffix; }
    static std::string decoded_name() { return "Decoded" + name(); }
    static void define(ClassBuilder<DurationClass>& c);
};

template <Scalar S>
struct DurationCollectionClass {
    using Value = std::vector<DurationParameters<S>>;
    static std::string name() { return std::string("DurationCollection") + Precision<S>::suffix; }
    static void define(ClassBuilder<DurationCollectionClass>& c);
};

}  // namespace tarvek::py
