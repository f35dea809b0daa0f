#include "core/generation/generation.hpp"

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "core/numerics/error.hpp"
#include "core/numerics/value_checks.hpp"

namespace tarvek {

namespace {

constexpr std::int64_t frame_limit = std::numeric_limits<std::int32_t>::max();

const char* const no_sequences = "generation requires nonempty matching stream and state sequences";

template <Scalar S>
bool emission_is_valid(const GaussianMixtureParameters<S>& mixture, std::uint64_t dimensions) {
    return mixture.dimensions == dimensions && all_finite_nonnegative(mixture.weights) &&
           all_finite(mixture.means) && all_finite_nonnegative(mixture.variances);
}

// Every check, in order, before any draw. Returns the dimension count of each stream (taken
// from its first emission).
template <Scalar S>
std::vector<std::size_t> check_generation(const ModelParameters<S>& model,
                                          const SegmentationData<S>& sequence) {
    model.validate_mixtures();
    // Lengths, then the outgoing-list rule; an empty sequence has no list to fail it, so
    // checking the emptiness afterwards keeps the order of the messages.
    sequence.validate();
    const std::size_t segments = sequence.segment_count();
    if (segments == 0) throw ModelError::from_static(no_sequences);

    const std::size_t stream_count = model.streams.size();
    if (stream_count == 0 || stream_count != sequence.stream_count()) {
        throw ModelError::from_static(no_sequences);
    }
    std::vector<std::size_t> dimensions(stream_count);
    // Emissions already found valid; a sequence usually names the same ones many times.
    std::vector<std::vector<bool>> checked(stream_count);
    for (std::size_t j = 0; j < stream_count; ++j) {
        const auto& emissions = model.streams[j].emissions;
        if (emissions.empty()) throw ModelError("generation stream has no emissions");
        dimensions[j] = emissions.front().dimensions;
        checked[j].assign(emissions.size(), false);
    }

    for (std::size_t i = 0; i < segments; ++i) {
        const std::int32_t state = sequence.duration_states[i];
        if (state < 0 || static_cast<std::uint64_t>(state) >= model.durations.size()) {
            throw ModelError("generation duration state is out of range");
        }
        const DurationParameters<S>& duration = model.durations[state];
        if (!std::isfinite(duration.mean) || !is_finite_nonnegative(duration.variance)) {
            throw ModelError("generation duration parameters are invalid");
        }
        for (std::size_t j = 0; j < stream_count; ++j) {
            const std::int32_t output = sequence.output_states[j][i];
            const auto& emissions = model.streams[j].emissions;
            if (output < 0 || static_cast<std::uint64_t>(output) >= emissions.size()) {
                throw ModelError("generation emission state is out of range");
            }
            if (checked[j][output]) continue;
            if (!emission_is_valid(emissions[output], dimensions[j])) {
                throw ModelError("generation emission parameters or dimensions are invalid");
            }
            checked[j][output] = true;
        }
    }
    return dimensions;
}

// The exclusive end frame of every segment, from one duration draw pair per segment.
template <Scalar S>
std::vector<std::int32_t> draw_segment_ends(const ModelParameters<S>& model,
                                            const SegmentationData<S>& sequence,
                                            UniformDraw<S> draw) {
    const std::size_t segments = sequence.segment_count();
    std::vector<std::int32_t> ends;
    ends.reserve(segments);
    std::int64_t end = 0;
    for (std::size_t i = 0; i < segments; ++i) {
        const DurationParameters<S>& duration = model.durations[sequence.duration_states[i]];
        const S radial = draw();
        const S angular = draw();
        const S z = sampling_detail::normal_with_checked_parameters(
            duration.mean, duration.variance, radial, angular);
        const double wide = static_cast<double>(z);
        // At least one frame; halves round away from zero.
        const double frames = std::round(wide < 1.0 ? 1.0 : wide);
        if (frames > static_cast<double>(frame_limit)) {
            throw ModelError("generated duration exceeds legacy frame limit");
        }
        end += static_cast<std::int64_t>(frames);
        if (end > frame_limit) throw ModelError("generated sequence exceeds legacy frame limit");
        ends.push_back(static_cast<std::int32_t>(end));
    }
    return ends;
}

// Fills every frame: per frame and stream one component draw, then a radial and an angular
// draw per dimension.
template <Scalar S>
void draw_frames(const ModelParameters<S>& model, const SegmentationData<S>& sequence,
                 std::span<const std::int32_t> ends, std::span<const std::size_t> dimensions,
                 ObservationData<S>& observation, UniformDraw<S> draw) {
    const std::size_t stream_count = dimensions.size();
    std::size_t t = 0;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        const auto end = static_cast<std::size_t>(ends[i]);
        for (; t < end; ++t) {
            for (std::size_t j = 0; j < stream_count; ++j) {
                const GaussianMixtureParameters<S>& mixture =
                    model.streams[j].emissions[sequence.output_states[j][i]];
                const std::size_t d = dimensions[j];
                const std::size_t k = sampling_detail::choose_with_checked_weights(
                    std::span<const S>(mixture.weights), draw());
                const S* means = mixture.means.data() + k * d;
                const S* variances = mixture.variances.data() + k * d;
                S* values = observation.streams[j].values.data() + t * d;
                for (std::size_t e = 0; e < d; ++e) {
                    const S radial = draw();
                    const S angular = draw();
                    values[e] = sampling_detail::normal_with_checked_parameters(
                        means[e], variances[e], radial, angular);
                }
            }
        }
    }
}

}  // namespace

template <Scalar S>
ObservationData<S> generate_with_uniform(const ModelParameters<S>& model,
                                         SegmentationData<S>& sequence,
                                         std::type_identity_t<UniformDraw<S>> draw) {
    const std::vector<std::size_t> dimensions = check_generation(model, sequence);
    std::vector<std::int32_t> ends = draw_segment_ends(model, sequence, draw);
    ObservationData<S> observation =
        ObservationData<S>::create(static_cast<std::size_t>(ends.back()), dimensions);
    draw_frames(model, sequence, ends, dimensions, observation, draw);
    sequence.boundaries = std::move(ends);
    return observation;
}

template ObservationData<float> generate_with_uniform<float>(const ModelParameters<float>&,
                                                             SegmentationData<float>&,
                                                             UniformDraw<float>);
template ObservationData<double> generate_with_uniform<double>(const ModelParameters<double>&,
                                                               SegmentationData<double>&,
                                                               UniformDraw<double>);

}  // namespace tarvek
