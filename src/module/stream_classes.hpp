#pragma once
// The Python classes of observation streams: `StreamF32`/`StreamF64`, their builders and
// collections. Later families take and return these classes (prepared streams, statistics).

#include <string>
#include <vector>

#include "core/model/model.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

template <Scalar S>
struct StreamClass {
    using Value = StreamParameters<S>;
    static std::string name() { return std::string("Stream") + Precision<S>::suffix; }
    static std::string decoded_name() { return "Decoded" + name(); }
    static void define(ClassBuilder<StreamClass>& c);
};

template <Scalar S>
struct StreamBuilderClass {
    using Value = StreamParametersBuilder<S>;
    static std::string name() { return std::string("StreamBuilder") + Precision<S>::suffix; }
    static void define(ClassBuilder<StreamBuilderClass>& c);
};

template <Scalar S>
struct StreamCollectionClass {
    using Value = std::vector<StreamParameters<S>>;
    static std::string name() { return std::string("StreamCollection") + Precision<S>::suffix; }
    static void define(ClassBuilder<StreamCollectionClass>& c);
};

}  // namespace tarvek::py
