#include "core/training/initialization.hpp"

#include <cstddef>
#include <cstdint>

#include "core/numerics/error.hpp"
#include "core/training/statistics_transaction.hpp"

namespace tarvek {

namespace {

// Boundaries, duration states and emission states of every segment, in segment order.
template <Scalar S>
void check_segments(const ModelSufficientStatistics<S>& statistics,
                    const ObservationData<S>& observation,
                    const SegmentationData<S>& segmentation) {
    // The frame count is below 2^31 after the observation's validation.
    const auto frames = static_cast<std::int64_t>(observation.frames);
    std::int64_t previous = 0;
    for (std::size_t k = 0; k < segmentation.segment_count(); ++k) {
        const std::int64_t boundary = segmentation.boundaries[k];
        if (boundary < previous || boundary > frames) {
            throw ModelError("initialization boundaries are unordered or out of range");
        }
        previous = boundary;
        const std::int32_t state = segmentation.duration_states[k];
        if (state < 0 || static_cast<std::size_t>(state) >= statistics.durations.size()) {
            throw ModelError("initialization duration state is out of range");
        }
        for (std::size_t i = 0; i < statistics.streams.size(); ++i) {
            const GaussianSufficientStatistics<S>& gaussian = statistics.streams[i].emission_for(
                segmentation.output_states[i][k], observation.streams[i].dimension,
                "initialization emission state is out of range",
                "initialization feature dimensions differ");
            if (gaussian.mixture_count() != 1) {
                throw ModelError("initialization requires single-component emissions");
            }
        }
    }
}

// Adds frames [begin, end) of one observation stream to a single-component Gaussian, frame by
// frame in ascending order.
template <Scalar S>
void add_frames(GaussianSufficientStatistics<S>& gaussian, const ObservationStreamData<S>& stream,
                std::size_t begin, std::size_t end) noexcept {
    const std::size_t d = stream.dimension;
    S* sums = gaussian.weighted_sums.data();
    S* squared_sums = gaussian.weighted_squared_sums.data();
    for (std::size_t t = begin; t < end; ++t) {
        gaussian.state_occupancy += S(1);
        gaussian.component_occupancies[0] += S(1);
        const S* x = stream.values.data() + t * d;
        for (std::size_t j = 0; j < d; ++j) {
            sums[j] += x[j];
            squared_sums[j] += x[j] * x[j];
        }
    }
}

}  // namespace

template <Scalar S>
void collect_initialization(ModelSufficientStatistics<S>& statistics,
                            const ModelParameters<S>& model, const ObservationData<S>& observation,
                            const SegmentationData<S>& segmentation) {
    statistics.validate_for(model);
    observation.validate();
    segmentation.validate();
    const std::size_t stream_count = statistics.streams.size();
    if (observation.stream_count() != stream_count || segmentation.stream_count() != stream_count) {
        throw ModelError("initialization stream counts differ");
    }
    check_segments(statistics, observation, segmentation);
    if (!observation.all_values_finite()) {
        throw ModelError("initialization observations must be finite");
    }

    // Accumulate into copies of the parts the segments name, each sum receiving its terms in
    // segment order, then check and swap them in.
    StagedStatistics<S> staged(statistics, segmentation);
    const std::size_t segments = segmentation.segment_count();
    std::int32_t start = 0;
    for (std::size_t k = 0; k < segments; ++k) {
        const S length = static_cast<S>(segmentation.boundaries[k] - start);
        DurationSufficientStatistics<S>& duration = staged.duration(k);
        duration.value_sum += length;
        duration.squared_sum += length * length;
        duration.occupancy += S(1);
        start = segmentation.boundaries[k];
    }
    for (std::size_t i = 0; i < stream_count; ++i) {
        start = 0;
        for (std::size_t k = 0; k < segments; ++k) {
            const std::int32_t end = segmentation.boundaries[k];
            if (end > start) {
                add_frames(staged.emission(i, k), observation.streams[i],
                           static_cast<std::size_t>(start), static_cast<std::size_t>(end));
            }
            start = end;
        }
    }
    // Sums may have overflowed.
    staged.validate_for(model);
    staged.commit(statistics);
}

template void collect_initialization<float>(ModelSufficientStatistics<float>&,
                                            const ModelParameters<float>&,
                                            const ObservationData<float>&,
                                            const SegmentationData<float>&);
template void collect_initialization<double>(ModelSufficientStatistics<double>&,
                                             const ModelParameters<double>&,
                                             const ObservationData<double>&,
                                             const SegmentationData<double>&);

}  // namespace tarvek
