#pragma once
// The Python classes of decoding results: `GeometricPathF32/F64` (a geometric Viterbi path),
// `HsmmScoresF32/F64` (the begin and end tables of an HSMM pass) and `HsmmPathF32/F64` (an
// HSMM Viterbi path). Each holds the core result as it stands; Python may also build and
// change one, and only the one-number log probability and the state/end pairing are checked.
// Models and prepared models return these classes.

#include <string>
#include <utility>

#include "core/inference/geometric.hpp"
#include "core/inference/hsmm.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

template <Scalar S>
struct GeometricPathClass {
    using Value = GeometricPath<S>;
    static std::string name() { return std::string("GeometricPath") + Precision<S>::suffix; }
    static void define(ClassBuilder<GeometricPathClass>& c);
};

// The pair holds no back-pointers: wrap a pass's tables with `from_pass`.
template <Scalar S>
struct HsmmScoresClass {
    using Value = HsmmScoreTables<S>;
    static std::string name() { return std::string("HsmmScores") + Precision<S>::suffix; }
    static void define(ClassBuilder<HsmmScoresClass>& c);
    static Value from_pass(HsmmScoreTables<S>&& tables) {
        return Value{std::move(tables.begin), std::move(tables.end), {}, {}};
    }
};

template <Scalar S>
struct HsmmPathClass {
    using Value = HsmmPath<S>;
    static std::string name() { return std::string("HsmmPath") + Precision<S>::suffix; }
    static void define(ClassBuilder<HsmmPathClass>& c);
};

}  // namespace tarvek::py
