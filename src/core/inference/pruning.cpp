#include "core/inference/pruning.hpp"

namespace tarvek {

void check_window_boundaries(std::span<const std::int32_t> boundaries, std::uint64_t frames,
                             const ModelError& unordered, const ModelError& final_mismatch) {
    std::int64_t previous = 0;
    for (const std::int32_t boundary : boundaries) {
        // At least the previous value (which starts at 0) also means nonnegative.
        if (boundary < previous || static_cast<std::uint64_t>(boundary) > frames) throw unordered;
        previous = boundary;
    }
    if (static_cast<std::uint64_t>(previous) != frames) throw final_mismatch;
}

}  // namespace tarvek
