#pragma once
// The flat layout that the duration and mixture posterior tables share: a frames × states table
// whose cells are absent or own a run of 32-bit values, stored flat in cell order (cell (t, s)
// is cell t · states + s), which is also the exchange layout: cell i is present when
// presence[i] is 1 and owns values[offsets[i] .. offsets[i + 1]); an absent cell owns no values.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/numerics/table_vector.hpp"

namespace tarvek {

struct FlatPosteriorTable {
    TableVector<std::uint8_t> presence;  // frames · states flags
    TableVector<std::uint64_t> offsets;  // frames · states + 1 running counts, from 0
    TableVector<float> values;
    std::uint64_t frames = 0;
    std::uint64_t states = 0;

    // Frames and states positive, their product equal to the number of flags, flags 0 or 1,
    // offsets from 0 to the value count in order, absent cells empty, and every value finite
    // and nonnegative.
    static bool valid_layout(std::uint64_t frames, std::uint64_t states,
                             const TableVector<std::uint8_t>& presence,
                             const TableVector<std::uint64_t>& offsets,
                             const TableVector<float>& values) noexcept;

    // As many flags as frames × states and one offset more, so that every cell's offsets can
    // be read (the offsets themselves are not checked).
    bool arrays_match() const noexcept;

    // The index of cell (frame, state); empty when the frame or state is out of range or the
    // cell is absent.
    std::optional<std::size_t> present_cell(std::uint64_t frame,
                                            std::uint64_t state) const noexcept;

    // The values cell `cell` owns.
    std::span<const float> cell_values(std::size_t cell) const noexcept {
        return {values.data() + offsets[cell], offsets[cell + 1] - offsets[cell]};
    }

    bool operator==(const FlatPosteriorTable&) const = default;
};

}  // namespace tarvek
