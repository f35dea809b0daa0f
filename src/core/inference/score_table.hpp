#pragma once
// The dense frames-by-positions table of natural-log scores that every log-domain pass reads
// or writes. A new table holds log zero everywhere, so a cell that a pass leaves out of its
// pruning window reads as impossible.

#include <cstddef>
#include <cstdint>

#include "core/numerics/error.hpp"
#include "core/numerics/numerics.hpp"
#include "core/numerics/table_vector.hpp"

namespace tarvek {

template <Scalar S>
struct StateScoreTable {
    TableVector<S> values;  // cell (t, s) at t · states + s
    std::uint64_t frames = 0;
    std::uint64_t states = 0;

    // A frames × states table of log zero. A product that overflows or exceeds the allocation
    // cap, or a failed allocation, throws `allocation_failed` (the calling pass's message).
    static StateScoreTable filled(std::uint64_t frames, std::uint64_t states,
                                  const ModelError& allocation_failed);

    bool same_shape(const StateScoreTable& other) const noexcept {
        return frames == other.frames && states == other.states;
    }

    std::size_t index(std::uint64_t frame, std::uint64_t state) const noexcept {
        return static_cast<std::size_t>(frame * states + state);
    }
    // Unchecked cell access; callers stay inside their own windows.
    S& operator()(std::uint64_t frame, std::uint64_t state) noexcept {
        return values[index(frame, state)];
    }
    const S& operator()(std::uint64_t frame, std::uint64_t state) const noexcept {
        return values[index(frame, state)];
    }

    bool operator==(const StateScoreTable&) const = default;
};

}  // namespace tarvek
