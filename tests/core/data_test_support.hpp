#pragma once
// Helpers shared by the data, data-operation and transition tests.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/data.hpp"
#include "core/error.hpp"

namespace tarvek::testing_support {

// The message of the ModelError `action` throws, or "" when it succeeds.
template <class Action>
std::string failure_of(Action&& action) {
    try {
        action();
    } catch (const ModelError& error) {
        return error.what();
    }
    return "";
}

// One step of a check order: the message `run` yields, "" when the value passes.
struct Case {
    const char* name;
    std::function<std::string()> run;
    const char* expected;
};

inline void expect_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(c.run(), c.expected) << c.name;
}

// A single-stream segmentation with the given boundaries, duration and output state i for
// segment i, and default jumps.
template <Scalar S>
SegmentationData<S> chain(std::initializer_list<std::int32_t> boundaries) {
    SegmentationData<S> segmentation = SegmentationData<S>::create(1, boundaries.size());
    segmentation.boundaries.assign(boundaries);
    for (std::size_t i = 0; i < boundaries.size(); ++i) {
        segmentation.duration_states[i] = static_cast<std::int32_t>(10 + i);
        segmentation.output_states[0][i] = static_cast<std::int32_t>(20 + i);
    }
    return segmentation;
}

}  // namespace tarvek::testing_support
