#include "core/inference/hsmm_jumps.hpp"

#include <cmath>

#include "core/numerics/allocation.hpp"

namespace tarvek {

namespace {

// Builds the lists from `list_of(p)`, a span of JumpParameters whose other end is p + delta;
// two passes so that the entries are allocated once.
template <Scalar S, class ListOf>
ScaledJumpLists scale(std::uint64_t positions, S temperature, ListOf&& list_of,
                      const ModelError& allocation_failed) {
    const double tau = static_cast<double>(temperature);
    auto other_end = [&](std::uint64_t p, std::int32_t delta, std::uint64_t& end) {
        const std::int64_t q = static_cast<std::int64_t>(p) + delta;
        if (q < 0 || static_cast<std::uint64_t>(q) >= positions) return false;
        end = static_cast<std::uint64_t>(q);
        return true;
    };
    if (positions == ~std::uint64_t{0}) throw allocation_failed;
    ScaledJumpLists lists;
    lists.offsets = allocate_or_fail<std::size_t>(positions + 1, 0, allocation_failed);
    std::uint64_t total = 0;
    for (std::uint64_t p = 0; p < positions; ++p) {
        lists.offsets[p] = total;
        std::uint64_t end;
        for (const JumpParameters<S>& jump : list_of(p)) {
            total += jump.probability != S(0) && other_end(p, jump.delta, end);
        }
    }
    lists.offsets[positions] = total;
    lists.entries = allocate_or_fail(total, ScaledJump{}, allocation_failed);
    std::size_t next = 0;
    for (std::uint64_t p = 0; p < positions; ++p) {
        std::uint64_t end;
        for (const JumpParameters<S>& jump : list_of(p)) {
            if (jump.probability == S(0) || !other_end(p, jump.delta, end)) continue;
            const double log_weight = tau * std::log(static_cast<double>(jump.probability));
            lists.entries[next++] = {end, log_weight};
        }
    }
    return lists;
}

}  // namespace

template <Scalar S>
ScaledJumpLists scaled_incoming_jumps(const IncomingJumps<S>& incoming, std::uint64_t positions,
                                      S temperature, const ModelError& allocation_failed) {
    return scale(
        positions, temperature,
        [&](std::uint64_t p) {
            return p < incoming.size() ? incoming[p] : std::span<const JumpParameters<S>>{};
        },
        allocation_failed);
}

template <Scalar S>
ScaledJumpLists scaled_outgoing_jumps(const SegmentationData<S>& segmentation, S temperature,
                                      const ModelError& allocation_failed) {
    return scale(
        segmentation.segment_count(), temperature,
        [&](std::uint64_t p) {
            return std::span<const JumpParameters<S>>(segmentation.outgoing[p]);
        },
        allocation_failed);
}

#define TARVEK_INSTANTIATE(S)                                                                 \
    template ScaledJumpLists scaled_incoming_jumps(const IncomingJumps<S>&, std::uint64_t, S, \
                                                   const ModelError&);                        \
    template ScaledJumpLists scaled_outgoing_jumps(const SegmentationData<S>&, S,             \
                                                   const ModelError&);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
