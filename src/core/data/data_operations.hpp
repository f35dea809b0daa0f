#pragma once
// New observations and segmentations derived from existing ones (regrouping into units of
// consecutive segments, resegmenting from state occurrences), and slot-by-slot collection
// of samples.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/data/data.hpp"

namespace tarvek {

// Units cut out of a data set: entry u of both arrays belongs to unit u.
template <Scalar S>
struct AlignedDataset {
    std::vector<ObservationData<S>> observations;
    std::vector<SegmentationData<S>> segmentations;
};

// Cuts every (observation, segmentation) pair into units of `segments_per_unit`
// consecutive segments (the last unit of a pair may hold fewer). Each unit holds only its
// frames, with boundaries rebased to 0, the source states, and the default jump on every
// segment. Every pair is validated before anything is built.
template <Scalar S>
AlignedDataset<S> regroup_with_precision(std::span<const ObservationData<S>> observations,
                                         std::span<const SegmentationData<S>> segmentations,
                                         std::size_t segments_per_unit);

// One segment of a resegmentation: the source segment whose states it takes, and its end.
struct StateOccurrence {
    std::uint64_t segment = 0;
    std::uint64_t end = 0;

    bool operator==(const StateOccurrence&) const = default;
};

// A segmentation with the source's streams and one segment per occurrence; ends must not
// decrease. Jumps are not carried over: every new segment has the default jump.
template <Scalar S>
SegmentationData<S> resegment(const SegmentationData<S>& source,
                              std::span<const StateOccurrence> occurrences);

// A fixed number of slots, each empty or holding one sample (an ObservationData or a
// SegmentationData), turned into a list only when every slot is filled and valid.
template <class Sample>
class SampleSetBuilder {
  public:
    SampleSetBuilder() = default;

    // `count` empty slots; refuses counts of 2^31 or more.
    static SampleSetBuilder create(std::size_t count);

    std::size_t size() const noexcept { return samples_.size(); }
    bool has(std::size_t index) const noexcept { return index < size() && filled_[index]; }
    // A copy of the slot's sample; empty when the index is out of range or the slot empty.
    std::optional<Sample> get(std::size_t index) const;

    // Stores the sample (unvalidated), replacing any sample the slot held.
    void set(std::size_t index, Sample sample);
    void clear(std::size_t index);
    // Keeps the first min(size, count) slots; on failure the builder is unchanged.
    void resize(std::size_t count);

    // The samples in slot order, each checked with its `validate`; hands them over without
    // copying. Fails on the first empty or invalid slot.
    std::vector<Sample> build() &&;

  private:
    // Empty slots hold a default-constructed sample, so building moves the array as it is.
    std::vector<Sample> samples_;
    std::vector<std::uint8_t> filled_;
};

}  // namespace tarvek
