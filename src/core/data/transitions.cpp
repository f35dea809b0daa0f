#include "core/data/transitions.hpp"

#include <optional>
#include <utility>

#include "core/numerics/allocation.hpp"
#include "core/numerics/error.hpp"

namespace tarvek {

namespace {

constexpr const char* invalid_weight = "transition weights must be finite and nonnegative";

// source + delta with the delta sign-extended, or empty when it lies outside the chain.
// Sources are below 2^31, so the 64-bit sum cannot wrap.
std::optional<std::size_t> target_in_chain(std::size_t source, std::int32_t delta,
                                           std::size_t positions) noexcept {
    const std::int64_t target = static_cast<std::int64_t>(source) + delta;
    if (target < 0 || static_cast<std::uint64_t>(target) >= positions) return std::nullopt;
    return static_cast<std::size_t>(target);
}

}  // namespace

template <Scalar S>
IncomingJumps<S> build_incoming(const SegmentationData<S>& segmentation) {
    segmentation.validate();
    const std::size_t positions = segmentation.segment_count();
    if (positions >= legacy_count_limit) {
        throw ModelError("state count exceeds the legacy format");
    }
    const ModelError allocation_failed("jump allocation failed");
    IncomingJumps<S> graph;
    graph.offsets = allocate_or_fail<std::size_t>(positions + 1, 0, allocation_failed);

    // First pass: every weight in visiting order, and the number of skip entries per target.
    for (std::size_t source = 0; source < positions; ++source) {
        for (const JumpParameters<S>& jump : segmentation.outgoing[source]) {
            if (!is_finite_nonnegative(jump.probability)) {
                throw ModelError::from_static(invalid_weight);
            }
            if (jump.delta == 1) continue;
            if (const auto target = target_in_chain(source, jump.delta, positions)) {
                ++graph.offsets[*target];
            }
        }
    }
    // Exclusive prefix sums with one extra slot per list for its advance entry: offsets[p]
    // becomes the start of p's list.
    std::size_t total = 0;
    for (std::size_t p = 0; p < positions; ++p) {
        const std::size_t skips = graph.offsets[p];
        graph.offsets[p] = total;
        total += skips + 1;
    }
    graph.offsets[positions] = total;
    graph.entries = allocate_or_fail(total, JumpParameters<S>{}, allocation_failed);

    // Second pass: skip entries in source order, offsets[p] serving as p's write position.
    // Only in-chain entries are negated, so a delta of -2^31 is never negated.
    for (std::size_t source = 0; source < positions; ++source) {
        for (const JumpParameters<S>& jump : segmentation.outgoing[source]) {
            if (jump.delta == 1) continue;
            if (const auto target = target_in_chain(source, jump.delta, positions)) {
                graph.entries[graph.offsets[*target]++] = {-jump.delta, jump.probability};
            }
        }
    }
    // offsets[p] now indexes p's last slot: the advance from p - 1, whose weight is that of
    // the single delta-1 jump ending p - 1's outgoing list.
    for (std::size_t p = 0; p < positions; ++p) {
        const S weight = p == 0 ? S(1) : segmentation.outgoing[p - 1].back().probability;
        graph.entries[graph.offsets[p]] = {-1, weight};
    }
    // Each list ends one past its last slot, where the next list starts.
    for (std::size_t p = positions; p > 0; --p) graph.offsets[p] = graph.offsets[p - 1] + 1;
    graph.offsets[0] = 0;
    return graph;
}

template <Scalar S>
TransitionGraphParameters<S> build_transitions(SegmentationData<S> segmentation) {
    IncomingJumps<S> incoming = build_incoming(segmentation);
    return {std::move(incoming), std::move(segmentation)};
}

template <Scalar S>
void add_jump(SegmentationData<S>& segmentation, std::size_t source, std::int32_t delta, S weight) {
    segmentation.validate();
    if (!is_finite_nonnegative(weight)) throw ModelError::from_static(invalid_weight);
    if (source >= segmentation.segment_count()) throw ModelError("jump source is out of range");
    std::vector<JumpParameters<S>>& jumps = segmentation.outgoing[source];
    if (delta == 1) {
        jumps.back().probability = weight;
        return;
    }
    // Room first (growing geometrically), so the insert itself cannot fail.
    if (jumps.size() == jumps.capacity()) {
        reserve_or_fail(jumps, 2 * jumps.size(), ModelError("jump allocation failed"));
    }
    jumps.insert(jumps.end() - 1, JumpParameters<S>{delta, weight});
}

template IncomingJumps<float> build_incoming(const SegmentationData<float>&);
template IncomingJumps<double> build_incoming(const SegmentationData<double>&);
template TransitionGraphParameters<float> build_transitions(SegmentationData<float>);
template TransitionGraphParameters<double> build_transitions(SegmentationData<double>);
template void add_jump(SegmentationData<float>&, std::size_t, std::int32_t, float);
template void add_jump(SegmentationData<double>&, std::size_t, std::int32_t, double);

}  // namespace tarvek
