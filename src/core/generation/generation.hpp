#pragma once
// Generation: one observation sampled from a model along a segmentation's chain of segments,
// driven by a caller's source of uniform draws. Every check runs before the first draw; the
// durations of all segments are drawn first, then the frames; the segmentation's boundaries
// are replaced by the generated segment ends only when everything succeeded.

#include <concepts>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

#include "core/data/data.hpp"
#include "core/model/model.hpp"
#include "core/numerics/numerics.hpp"
#include "core/generation/sampling.hpp"

namespace tarvek {

// A non-owning reference to a draw operation: a callable taking no arguments that returns the
// next uniform in S. A source that cannot draw returns NaN, which fails the first check that
// uses it. The referenced callable must outlive the reference (pass it straight to the call).
template <Scalar S>
class UniformDraw {
  public:
    template <class F>
        requires(!std::same_as<std::remove_cvref_t<F>, UniformDraw> &&
                 std::is_invocable_r_v<S, std::remove_reference_t<F>&>)
    UniformDraw(F&& draw) noexcept  // NOLINT: implicit, so any callable can be passed
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(draw)))),
          call_(&invoke<std::remove_reference_t<F>>) {}

    S operator()() const { return call_(object_); }

  private:
    template <class F>
    static S invoke(void* object) {
        return static_cast<S>((*static_cast<F*>(object))());
    }

    void* object_;
    S (*call_)(void*);
};

// The draw operation over a word source: counts every draw it starts, in `draws`, and gives
// NaN once the source has failed (before or while making the draw).
template <Scalar S, WordSource W>
class WordDraw {
  public:
    WordDraw(W& words, std::uint64_t& draws) noexcept : words_(words), draws_(draws) {}

    S operator()() {
        if (words_.failed()) return std::numeric_limits<S>::quiet_NaN();
        ++draws_;
        const S draw = draw_from_words<S>(words_);
        return words_.failed() ? std::numeric_limits<S>::quiet_NaN() : draw;
    }

  private:
    W& words_;
    std::uint64_t& draws_;
};

// Samples one observation from `model` along `sequence`, taking uniform draws from `draw`.
// On success `sequence.boundaries` holds the generated segment ends; on failure (a ModelError,
// or std::bad_alloc for the small fixed arrays) the sequence is unchanged.
template <Scalar S>
ObservationData<S> generate_with_uniform(const ModelParameters<S>& model,
                                         SegmentationData<S>& sequence,
                                         std::type_identity_t<UniformDraw<S>> draw);

// The same, with every draw made from random words of `words`. `draws_used` is the number of
// draws started; it counts on from its value at entry and is kept on failure as well.
template <Scalar S, WordSource W>
ObservationData<S> generate_with_uniform(const ModelParameters<S>& model,
                                         SegmentationData<S>& sequence, W& words,
                                         std::uint64_t& draws_used) {
    WordDraw<S, W> draw(words, draws_used);
    return generate_with_uniform<S>(model, sequence, UniformDraw<S>(draw));
}

}  // namespace tarvek
