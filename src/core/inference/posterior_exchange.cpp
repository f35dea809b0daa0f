#include "core/inference/posterior_exchange.hpp"

#include <limits>
#include <utility>

#include "core/numerics/allocation.hpp"
#include "core/numerics/error.hpp"

namespace tarvek {
namespace {

void check_dimensions(std::uint64_t frames, std::uint64_t states, std::size_t cell_count) {
    const auto cells = checked_mul(frames, states);
    if (frames == 0 || states == 0 || !cells || *cells != cell_count) {
        throw ModelError("posterior dimensions must be positive and match presence entries");
    }
}

template <class Flags>
void check_presence(const Flags& presence) {
    for (const std::uint8_t flag : presence) {
        if (flag > 1) throw ModelError("posterior presence entries must be zero or one");
    }
}

// Offsets from 0 to the value count, ordered cell by cell, none in an absent cell.
void check_offsets(const TableVector<std::uint8_t>& presence,
                   const TableVector<std::uint64_t>& offsets, std::size_t value_count) {
    if (offsets.size() != presence.size() + 1 || offsets.front() != 0 ||
        offsets.back() != value_count) {
        throw ModelError("posterior offsets must cover every entry and the complete values");
    }
    for (std::size_t i = 0; i < presence.size(); ++i) {
        const std::uint64_t start = offsets[i];
        const std::uint64_t end = offsets[i + 1];
        if (end < start || end > value_count) {
            throw ModelError("posterior offsets must be ordered within values");
        }
        if (presence[i] == 0 && end != start) {
            throw ModelError("absent posterior entries cannot contain values");
        }
    }
}

// Per cell the number of values it owns (0 when absent), from the stored 64-bit offsets; a
// cell whose offsets are missing or out of order owns none.
std::vector<std::uint64_t> cell_lengths(const TableVector<std::uint8_t>& presence,
                                        const TableVector<std::uint64_t>& offsets) {
    std::vector<std::uint64_t> lengths(presence.size(), 0);
    for (std::size_t i = 0; i < presence.size() && i + 1 < offsets.size(); ++i) {
        if (presence[i] == 1 && offsets[i + 1] > offsets[i]) {
            lengths[i] = offsets[i + 1] - offsets[i];
        }
    }
    return lengths;
}

}  // namespace

DurationOccupancies duration_occupancies_from_exchange(std::uint64_t frames, std::uint64_t states,
                                                       TableVector<std::uint8_t> presence,
                                                       TableVector<std::uint64_t> minimums,
                                                       TableVector<std::uint64_t> offsets,
                                                       TableVector<float> values) {
    check_dimensions(frames, states, presence.size());
    check_presence(presence);
    if (minimums.size() != presence.size()) {
        throw ModelError("duration minimum count differs from entries");
    }
    check_offsets(presence, offsets, values.size());
    return DurationOccupancies::from_values(frames, states, std::move(presence),
                                            std::move(minimums), std::move(offsets),
                                            std::move(values));
}

MixtureOccupancies mixture_occupancies_from_exchange(std::uint64_t frames, std::uint64_t states,
                                                     TableVector<std::uint8_t> presence,
                                                     TableVector<std::uint64_t> offsets,
                                                     TableVector<float> values) {
    check_dimensions(frames, states, presence.size());
    check_presence(presence);
    check_offsets(presence, offsets, values.size());
    return MixtureOccupancies::from_values(frames, states, std::move(presence), std::move(offsets),
                                           std::move(values));
}

TransitionOccupancies transition_occupancies_from_exchange(
    std::uint64_t frames, std::uint64_t states, const std::vector<std::uint8_t>& presence,
    const std::vector<float>& values) {
    check_dimensions(frames, states, presence.size());
    check_presence(presence);
    if (values.size() / 2 != presence.size() || values.size() % 2 != 0) {
        throw ModelError("transition values require two scalars per entry");
    }
    // One entry takes more than its flag and two values did: measured before it is made.
    require_allocatable(checked_mul(presence.size(), sizeof(TransitionOccupancy)));
    TableVector<TransitionOccupancy> entries(presence.size());
    for (std::size_t i = 0; i < presence.size(); ++i) {
        if (presence[i] == 1) entries[i] = {1, values[2 * i], values[2 * i + 1]};
    }
    return TransitionOccupancies::from_values(frames, states, std::move(entries));
}

std::vector<std::uint32_t> exchange_offsets(std::span<const std::uint64_t> lengths) {
    constexpr std::uint64_t limit = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> offsets;
    offsets.reserve(lengths.size() + 1);
    std::uint64_t sum = 0;
    offsets.push_back(0);
    for (const std::uint64_t length : lengths) {
        if (length > limit - sum) {
            throw ModelError("posterior values exceed the 32-bit offset range");
        }
        sum += length;
        offsets.push_back(static_cast<std::uint32_t>(sum));
    }
    return offsets;
}

std::vector<std::uint32_t> exchange_offsets(const FlatPosteriorTable& table) {
    return exchange_offsets(cell_lengths(table.presence, table.offsets));
}

std::vector<std::uint32_t> exchange_minimums(const DurationOccupancies& table) {
    std::vector<std::uint32_t> minimums(table.presence.size(), 0);
    for (std::size_t i = 0; i < minimums.size() && i < table.minimums.size(); ++i) {
        if (table.presence[i] == 1) minimums[i] = static_cast<std::uint32_t>(table.minimums[i]);
    }
    return minimums;
}

std::vector<std::uint8_t> exchange_presence(const TransitionOccupancies& table) {
    std::vector<std::uint8_t> presence(table.entries.size());
    for (std::size_t i = 0; i < presence.size(); ++i) {
        presence[i] = table.entries[i].present == 1 ? 1 : 0;
    }
    return presence;
}

std::vector<float> exchange_values(const TransitionOccupancies& table) {
    std::vector<float> values(2 * table.entries.size(), 0.0f);
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const TransitionOccupancy& entry = table.entries[i];
        if (entry.present == 1) {
            values[2 * i] = entry.stay;
            values[2 * i + 1] = entry.advance;
        }
    }
    return values;
}

}  // namespace tarvek
