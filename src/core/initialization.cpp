#include "core/initialization.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/error.hpp"

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
            const auto& gaussians = statistics.streams[i].emissions;
            const std::int32_t emission = segmentation.output_states[i][k];
            if (emission < 0 || static_cast<std::size_t>(emission) >= gaussians.size()) {
                throw ModelError("initialization emission state is out of range");
            }
            const GaussianSufficientStatistics<S>& gaussian = gaussians[emission];
            if (gaussian.dimensions != observation.streams[i].dimension) {
                throw ModelError("initialization feature dimensions differ");
            }
            if (gaussian.mixture_count() != 1) {
                throw ModelError("initialization requires single-component emissions");
            }
        }
    }
}

template <Scalar S>
bool all_values_finite(const ObservationData<S>& observation) noexcept {
    constexpr S largest = std::numeric_limits<S>::max();
    unsigned valid = 1;
    for (const ObservationStreamData<S>& stream : observation.streams) {
        for (const S value : stream.values) valid &= (value >= -largest) & (value <= largest);
    }
    return valid != 0;
}

// The sorted, distinct emission states of one stream's segments that hold frames: the only
// Gaussians an observation changes, so the only ones copied.
template <Scalar S>
std::vector<std::int32_t> touched_emissions(const SegmentationData<S>& segmentation,
                                            std::size_t stream) {
    std::vector<std::int32_t> touched;
    std::int32_t start = 0;
    for (std::size_t k = 0; k < segmentation.segment_count(); ++k) {
        if (segmentation.boundaries[k] > start) {
            touched.push_back(segmentation.output_states[stream][k]);
        }
        start = segmentation.boundaries[k];
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    return touched;
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
    if (!all_values_finite(observation)) {
        throw ModelError("initialization observations must be finite");
    }

    // Accumulate into copies of the durations and of the touched Gaussians only. Each sum
    // receives its terms in the same order as a pass over the segments would add them.
    std::vector<DurationSufficientStatistics<S>> durations = statistics.durations;
    const std::size_t segments = segmentation.segment_count();
    std::int32_t start = 0;
    for (std::size_t k = 0; k < segments; ++k) {
        const S length = static_cast<S>(segmentation.boundaries[k] - start);
        DurationSufficientStatistics<S>& duration = durations[segmentation.duration_states[k]];
        duration.value_sum += length;
        duration.squared_sum += length * length;
        duration.occupancy += S(1);
        start = segmentation.boundaries[k];
    }

    std::vector<std::vector<std::int32_t>> touched(stream_count);
    std::vector<std::vector<GaussianSufficientStatistics<S>>> staged(stream_count);
    for (std::size_t i = 0; i < stream_count; ++i) {
        touched[i] = touched_emissions(segmentation, i);
        const auto& gaussians = statistics.streams[i].emissions;
        staged[i].reserve(touched[i].size());
        for (const std::int32_t emission : touched[i]) staged[i].push_back(gaussians[emission]);

        start = 0;
        for (std::size_t k = 0; k < segments; ++k) {
            const std::int32_t end = segmentation.boundaries[k];
            if (end > start) {
                const std::int32_t emission = segmentation.output_states[i][k];
                const auto slot = std::lower_bound(touched[i].begin(), touched[i].end(), emission) -
                                  touched[i].begin();
                add_frames(staged[i][slot], observation.streams[i], static_cast<std::size_t>(start),
                           static_cast<std::size_t>(end));
            }
            start = end;
        }
    }

    // Sums may have overflowed: the same checks as a validation of the whole copy against the
    // model (the untouched entries passed them above), Gaussians first, then durations.
    for (std::size_t i = 0; i < stream_count; ++i) {
        for (std::size_t s = 0; s < touched[i].size(); ++s) {
            staged[i][s].validate_for(model.streams[i].emissions[touched[i][s]]);
        }
    }
    for (const DurationSufficientStatistics<S>& duration : durations) duration.validate();

    for (std::size_t i = 0; i < stream_count; ++i) {
        auto& gaussians = statistics.streams[i].emissions;
        for (std::size_t s = 0; s < touched[i].size(); ++s) {
            std::swap(gaussians[touched[i][s]], staged[i][s]);
        }
    }
    statistics.durations.swap(durations);
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
