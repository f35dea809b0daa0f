#pragma once
// The draw operations that generation and the sampling functions take from Python: uniform
// numbers from a callback, 32-bit random words from a callback, and a list of given values.
// A draw that cannot be made gives NaN (a word 0xFFFFFFFF) and latches its reason; after that
// no further Python call is made, so the reason raised in the end is always the first one.

#include <cstdint>
#include <limits>
#include <span>

#include "core/numerics/numerics.hpp"
#include "module/kit/callbacks.hpp"

namespace tarvek::py {

// Uniform draws straight from a callback's numbers; no range check (the routine checks each
// draw where it uses it). The 32-bit draw is the number rounded to 32 bits.
template <Scalar S>
class UniformCallbackDraw {
  public:
    explicit UniformCallbackDraw(const Function& callback) noexcept : callback_(callback) {}

    S operator()() noexcept;

    std::uint64_t draws() const noexcept { return draws_; }
    void raise_if_failed() { error_.raise_if_latched(); }

  private:
    const Function& callback_;
    LatchedError error_;
    std::uint64_t draws_ = 0;
};

// 32-bit random words from a callback: a source for `draw_from_words` and the core's word
// form of generation. Accepts only results that are integral values from 0 to 4294967295.
class WordRng {
  public:
    explicit WordRng(const Function& callback) noexcept : callback_(callback) {}

    std::uint32_t word() noexcept;
    bool failed() const noexcept { return error_.latched(); }

    // The number of callback calls made.
    std::uint64_t words() const noexcept { return words_; }
    void raise_if_failed() { error_.raise_if_latched(); }

  private:
    LatchedError error_;
    const Function& callback_;
    std::uint64_t words_ = 0;
};

// The given values in order; NaN once they run out, which marks the source exhausted.
template <Scalar S>
class ValueListDraw {
  public:
    explicit ValueListDraw(std::span<const S> values) noexcept : values_(values) {}

    S operator()() noexcept {
        if (next_ < values_.size()) return values_[next_++];
        exhausted_ = true;
        return std::numeric_limits<S>::quiet_NaN();
    }

    // The number of values served.
    std::uint64_t draws() const noexcept { return next_; }
    // ValueError "uniform draw sequence exhausted" once a draw found no value.
    void raise_if_failed();

  private:
    std::span<const S> values_;
    std::size_t next_ = 0;
    bool exhausted_ = false;
};

}  // namespace tarvek::py
