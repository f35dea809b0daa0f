#pragma once
// The flat form in which posterior tables travel to and from Python: per cell (in cell order) a
// presence flag, for duration and mixture tables 32-bit offsets into the concatenated values
// (and for durations a 32-bit first duration), for transition tables two values per cell.
// Building checks the layout step by step, each step with its own message, before the table's
// own `from_values` checks the values.

#include <cstdint>
#include <span>
#include <vector>

#include "core/inference/duration_occupancy.hpp"
#include "core/inference/mixture_occupancy.hpp"
#include "core/inference/occupancy.hpp"

namespace tarvek {

// The offsets and minimums come as 32-bit numbers, already widened to the tables' 64 bits, and
// every vector is the table's own, moved into it.
//
// Checks in order: dimensions against the presence flags, flags 0 or 1, as many minimums as
// flags, offsets from 0 to the value count, then per cell ordered offsets within the values and
// no values in an absent cell; then `DurationOccupancies::from_values`.
DurationOccupancies duration_occupancies_from_exchange(std::uint64_t frames, std::uint64_t states,
                                                       TableVector<std::uint8_t> presence,
                                                       TableVector<std::uint64_t> minimums,
                                                       TableVector<std::uint64_t> offsets,
                                                       TableVector<float> values);

// The same checks without the minimums; then `MixtureOccupancies::from_values`.
MixtureOccupancies mixture_occupancies_from_exchange(std::uint64_t frames, std::uint64_t states,
                                                     TableVector<std::uint8_t> presence,
                                                     TableVector<std::uint64_t> offsets,
                                                     TableVector<float> values);

// Checks in order: dimensions, flags, two values per cell; then
// `TransitionOccupancies::from_values`. An absent cell stores 0 and 0 whatever it was given, so
// that reading the table back and building it again gives an equal table. The entries, wider
// than a flag and two values, are refused with std::bad_alloc beyond the allocation ceiling.
TransitionOccupancies transition_occupancies_from_exchange(
    std::uint64_t frames, std::uint64_t states, const std::vector<std::uint8_t>& presence,
    const std::vector<float>& values);

// Offsets 0, then the running sum of `lengths`, as 32-bit numbers. A sum past 2^32 − 1 would
// describe other cells' values, so it is refused with "posterior values exceed the 32-bit
// offset range" instead of wrapping.
std::vector<std::uint32_t> exchange_offsets(std::span<const std::uint64_t> lengths);

// The readers of a table built by `from_values` or by inference.
std::vector<std::uint32_t> exchange_offsets(const FlatPosteriorTable& table);
// Each present cell's minimum, low 32 bits; 0 for an absent cell.
std::vector<std::uint32_t> exchange_minimums(const DurationOccupancies& table);
std::vector<std::uint8_t> exchange_presence(const TransitionOccupancies& table);
// Stay and advance per cell; 0 and 0 for an absent cell.
std::vector<float> exchange_values(const TransitionOccupancies& table);

}  // namespace tarvek
