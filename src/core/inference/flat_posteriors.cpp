#include "core/inference/flat_posteriors.hpp"

#include "core/numerics/allocation.hpp"
#include "core/numerics/value_checks.hpp"

namespace tarvek {

bool FlatPosteriorTable::valid_layout(std::uint64_t frames, std::uint64_t states,
                                      const TableVector<std::uint8_t>& presence,
                                      const TableVector<std::uint64_t>& offsets,
                                      const TableVector<float>& values) noexcept {
    const auto cells = checked_mul(frames, states);
    if (frames == 0 || states == 0 || !cells || *cells != presence.size()) return false;
    if (offsets.size() != presence.size() + 1 || offsets.front() != 0 ||
        offsets.back() != values.size()) {
        return false;
    }
    for (std::size_t i = 0; i < presence.size(); ++i) {
        const bool ordered = offsets[i] <= offsets[i + 1];
        const bool absent_empty = presence[i] == 1 || offsets[i] == offsets[i + 1];
        if (presence[i] > 1 || !ordered || !absent_empty) return false;
    }
    return all_finite_nonnegative(values);
}

bool FlatPosteriorTable::arrays_match() const noexcept {
    const auto cells = checked_mul(frames, states);
    return cells && *cells == presence.size() && offsets.size() == presence.size() + 1;
}

std::optional<std::size_t> FlatPosteriorTable::present_cell(std::uint64_t frame,
                                                            std::uint64_t state) const noexcept {
    if (frame >= frames || state >= states) return std::nullopt;
    const std::size_t i = static_cast<std::size_t>(frame * states + state);
    if (presence[i] != 1) return std::nullopt;
    return i;
}

}  // namespace tarvek
