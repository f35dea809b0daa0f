#include "core/data/data_operations.hpp"

#include <algorithm>
#include <utility>

#include "core/numerics/allocation.hpp"
#include "core/numerics/error.hpp"

namespace tarvek {

namespace {

// Frames `first` to `last` - 1 of every stream, each stream copied as one contiguous run.
// The whole unit's size is checked before any stream is allocated.
template <Scalar S>
ObservationData<S> unit_observation(const ObservationData<S>& source, std::size_t first,
                                    std::size_t last) {
    const ModelError allocation_failed("observation allocation failed");
    const std::size_t frames = last - first;
    std::optional<std::uint64_t> total_bytes = 0;
    for (const ObservationStreamData<S>& stream : source.streams) {
        total_bytes =
            checked_add(total_bytes, checked_mul(checked_mul(frames, stream.dimension), sizeof(S)));
    }
    if (!allocation_fits(total_bytes)) throw allocation_failed;

    ObservationData<S> unit;
    unit.frames = frames;
    unit.streams.reserve(source.streams.size());
    for (const ObservationStreamData<S>& stream : source.streams) {
        const auto begin = stream.values.begin();
        try {
            unit.streams.push_back(
                {std::vector<S>(begin + static_cast<std::ptrdiff_t>(stream.dimension * first),
                                begin + static_cast<std::ptrdiff_t>(stream.dimension * last)),
                 stream.dimension});
        } catch (const std::bad_alloc&) {
            throw allocation_failed;
        }
    }
    return unit;
}

// Segments `first` to `last` - 1 with their boundaries rebased to `start_frame`.
template <Scalar S>
SegmentationData<S> unit_segmentation(const SegmentationData<S>& source, std::size_t first,
                                      std::size_t last, std::int32_t start_frame) {
    SegmentationData<S> unit = SegmentationData<S>::create(source.stream_count(), last - first);
    for (std::size_t i = 0; i < last - first; ++i) {
        unit.boundaries[i] = source.boundaries[first + i] - start_frame;
        unit.duration_states[i] = source.duration_states[first + i];
    }
    for (std::size_t r = 0; r < source.stream_count(); ++r) {
        std::copy(source.output_states[r].begin() + static_cast<std::ptrdiff_t>(first),
                  source.output_states[r].begin() + static_cast<std::ptrdiff_t>(last),
                  unit.output_states[r].begin());
    }
    return unit;
}

// Checks one pair and returns the number of units it yields.
template <Scalar S>
std::size_t checked_unit_count(const ObservationData<S>& observation,
                               const SegmentationData<S>& segmentation,
                               std::size_t segments_per_unit) {
    observation.validate();
    segmentation.validate();
    if (observation.stream_count() != segmentation.stream_count()) {
        throw ModelError("regrouping stream counts differ");
    }
    const auto frames = static_cast<std::int64_t>(observation.frames);
    std::int64_t previous = 0;
    for (const std::int32_t boundary : segmentation.boundaries) {
        if (boundary < previous || boundary > frames) {
            throw ModelError("regrouping boundaries are unordered or out of range");
        }
        previous = boundary;
    }
    if (previous != frames) throw ModelError("regrouping final boundary must match frame count");
    const std::size_t segments = segmentation.segment_count();
    return segments / segments_per_unit + (segments % segments_per_unit != 0 ? 1 : 0);
}

}  // namespace

template <Scalar S>
AlignedDataset<S> regroup_with_precision(std::span<const ObservationData<S>> observations,
                                         std::span<const SegmentationData<S>> segmentations,
                                         std::size_t segments_per_unit) {
    if (segments_per_unit == 0 || observations.size() != segmentations.size()) {
        throw ModelError("regrouping requires a positive unit size and matching sample counts");
    }
    std::optional<std::uint64_t> unit_total = 0;
    for (std::size_t p = 0; p < observations.size(); ++p) {
        unit_total = checked_add(
            unit_total, checked_unit_count(observations[p], segmentations[p], segments_per_unit));
        if (!unit_total) throw ModelError("regrouped sample count overflows");
    }

    AlignedDataset<S> result;
    const ModelError dataset_failed("dataset allocation failed");
    reserve_or_fail(result.observations, *unit_total, dataset_failed);
    reserve_or_fail(result.segmentations, *unit_total, dataset_failed);
    for (std::size_t p = 0; p < observations.size(); ++p) {
        const ObservationData<S>& observation = observations[p];
        const SegmentationData<S>& segmentation = segmentations[p];
        const std::size_t segments = segmentation.segment_count();
        for (std::size_t first = 0, last = 0; first < segments; first = last) {
            last = first + std::min(segments_per_unit, segments - first);
            const std::int32_t start = first == 0 ? 0 : segmentation.boundaries[first - 1];
            const std::int32_t end = segmentation.boundaries[last - 1];
            result.observations.push_back(unit_observation(
                observation, static_cast<std::size_t>(start), static_cast<std::size_t>(end)));
            result.segmentations.push_back(unit_segmentation(segmentation, first, last, start));
        }
    }
    return result;
}

template <Scalar S>
SegmentationData<S> resegment(const SegmentationData<S>& source,
                              std::span<const StateOccurrence> occurrences) {
    source.validate();
    if (occurrences.size() >= legacy_count_limit) {
        throw ModelError("resegmentation length exceeds the legacy format");
    }
    std::uint64_t previous_end = 0;
    for (const StateOccurrence& occurrence : occurrences) {
        if (occurrence.segment >= source.segment_count() || occurrence.end < previous_end ||
            occurrence.end >= legacy_count_limit) {
            throw ModelError("resegmentation has invalid states or boundaries");
        }
        previous_end = occurrence.end;
    }

    SegmentationData<S> result =
        SegmentationData<S>::create(source.stream_count(), occurrences.size());
    for (std::size_t j = 0; j < occurrences.size(); ++j) {
        result.boundaries[j] = static_cast<std::int32_t>(occurrences[j].end);
        result.duration_states[j] = source.duration_states[occurrences[j].segment];
    }
    for (std::size_t r = 0; r < source.stream_count(); ++r) {
        const std::vector<std::int32_t>& row = source.output_states[r];
        std::vector<std::int32_t>& target = result.output_states[r];
        for (std::size_t j = 0; j < occurrences.size(); ++j)
            target[j] = row[occurrences[j].segment];
    }
    return result;
}

template <class Sample>
SampleSetBuilder<Sample> SampleSetBuilder<Sample>::create(std::size_t count) {
    if (count >= legacy_count_limit) throw ModelError("sample count exceeds the legacy format");
    // Each slot array checks its own size; below 2^31 slots neither comes near the cap.
    const ModelError allocation_failed("sample set allocation failed");
    SampleSetBuilder builder;
    builder.samples_ = allocate_or_fail(count, Sample(), allocation_failed);
    builder.filled_ = allocate_or_fail(count, std::uint8_t{0}, allocation_failed);
    return builder;
}

template <class Sample>
std::optional<Sample> SampleSetBuilder<Sample>::get(std::size_t index) const {
    if (!has(index)) return std::nullopt;
    return samples_[index];
}

template <class Sample>
void SampleSetBuilder<Sample>::set(std::size_t index, Sample sample) {
    if (index >= size()) throw ModelError("sample slot index out of range");
    samples_[index] = std::move(sample);
    filled_[index] = 1;
}

template <class Sample>
void SampleSetBuilder<Sample>::clear(std::size_t index) {
    set(index, Sample());
    filled_[index] = 0;
}

template <class Sample>
void SampleSetBuilder<Sample>::resize(std::size_t count) {
    // Only the new slot array can fail; moving the kept samples into it cannot.
    SampleSetBuilder resized = create(count);
    const std::size_t kept = std::min(count, size());
    for (std::size_t i = 0; i < kept; ++i) {
        resized.samples_[i] = std::move(samples_[i]);
        resized.filled_[i] = filled_[i];
    }
    *this = std::move(resized);
}

template <class Sample>
std::vector<Sample> SampleSetBuilder<Sample>::build() && {
    for (std::size_t i = 0; i < size(); ++i) {
        if (!filled_[i]) throw ModelError("sample set contains an unfilled slot");
        samples_[i].validate();
    }
    filled_.clear();
    return std::move(samples_);
}

template AlignedDataset<float> regroup_with_precision(std::span<const ObservationData<float>>,
                                                      std::span<const SegmentationData<float>>,
                                                      std::size_t);
template AlignedDataset<double> regroup_with_precision(std::span<const ObservationData<double>>,
                                                       std::span<const SegmentationData<double>>,
                                                       std::size_t);
template SegmentationData<float> resegment(const SegmentationData<float>&,
                                           std::span<const StateOccurrence>);
template SegmentationData<double> resegment(const SegmentationData<double>&,
                                            std::span<const StateOccurrence>);
template class SampleSetBuilder<ObservationData<float>>;
template class SampleSetBuilder<ObservationData<double>>;
template class SampleSetBuilder<SegmentationData<float>>;
template class SampleSetBuilder<SegmentationData<double>>;

}  // namespace tarvek
