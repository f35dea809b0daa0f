#pragma once
// The record layouts, without the checks that the public entry points run around them.
// Writers expect values that passed those checks (a mixture's shape, an observation's or a
// segmentation's validation); readers check structure and integer ranges, and the data
// readers also run the value's validation.

#include <cstdint>

#include "core/data/data.hpp"
#include "core/model/model.hpp"
#include "core/codec/serial_primitives.hpp"

namespace tarvek {

template <Scalar S>
void write_mixture(Writer& writer, const GaussianMixtureParameters<S>& mixture,
                   ModelEncoding encoding);
template <Scalar S>
void write_duration(Writer& writer, const DurationParameters<S>& duration);
template <Scalar S>
void write_stream(Writer& writer, const StreamParameters<S>& stream, ModelEncoding encoding);
template <Scalar S>
void write_model(Writer& writer, const ModelParameters<S>& model, ModelEncoding encoding);
template <Scalar S>
void write_observation(Writer& writer, const ObservationData<S>& observation);
template <Scalar S>
void write_segmentation(Writer& writer, const SegmentationData<S>& segmentation);

template <Scalar S>
GaussianMixtureParameters<S> read_mixture(Decoder& decoder);
template <Scalar S>
DurationParameters<S> read_duration(Decoder& decoder);
template <Scalar S>
StreamParameters<S> read_stream(Decoder& decoder);
template <Scalar S>
ModelParameters<S> read_model(Decoder& decoder);
template <Scalar S>
ObservationData<S> read_observation(Decoder& decoder);
template <Scalar S>
SegmentationData<S> read_segmentation(Decoder& decoder);

// Size guards of the mixture reader, for counts that no decoded record can reach but that
// must not wrap: the entry count M·D ("dimensions overflow"), then that M·D and 3·M·D fit a
// signed 64-bit value ("parameter length overflows").
std::uint64_t mixture_entries(std::uint64_t mixture_count, std::uint64_t dimensions);
void check_parameter_length(std::uint64_t entries);

}  // namespace tarvek
