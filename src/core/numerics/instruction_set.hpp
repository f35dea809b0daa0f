#pragma once
// The instruction sets the hottest kernels are built for. Each has a portable baseline build
// (SSE2 on x86-64); with GCC or Clang on x86-64 it also has an AVX2 build, which its entry
// point chooses when the processor has AVX2. The builds give the same bits: AVX2 brings no
// fused multiply-add, and contraction is off.

#if defined(__x86_64__) && defined(__GNUC__)
#define TARVEK_AVX2_BUILDS 1
#endif

namespace tarvek {

enum class InstructionSet { baseline, avx2 };

// Whether this processor runs the builds for `set`.
inline bool processor_runs(InstructionSet set) noexcept {
#ifdef TARVEK_AVX2_BUILDS
    if (set == InstructionSet::avx2) {
        __builtin_cpu_init();  // static initialisation may run before libgcc's own
        return __builtin_cpu_supports("avx2");
    }
#endif
    return set == InstructionSet::baseline;
}

// The set the entry points choose, found once: AVX2 where the processor runs it.
inline const InstructionSet fastest_instruction_set =
    processor_runs(InstructionSet::avx2) ? InstructionSet::avx2 : InstructionSet::baseline;

namespace detail {
// Each build in a function of its own, kept out of `run_kernel`: inlined there, the baseline
// build would give the dispatch its frame (saved registers, the arguments spilled, the stack
// realigned), paid on every call whichever build runs.
template <class Kernel, class... Arguments>
[[gnu::noinline]] void run_baseline(Arguments... arguments) noexcept {
    Kernel::template run<16>(arguments...);
}
#ifdef TARVEK_AVX2_BUILDS
template <class Kernel, class... Arguments>
[[gnu::target("avx2")]] void run_avx2(Arguments... arguments) noexcept {
    Kernel::template run<32>(arguments...);
}
#endif
}  // namespace detail

// `Kernel::run<Bytes>(arguments...)` as built for `set`, one the processor runs: the AVX2 build
// with vectors of 32 bytes, or the baseline with vectors of 16. The arguments are passed by
// value, as to a function of its own.
template <class Kernel, class... Arguments>
inline void run_kernel(InstructionSet set, Arguments... arguments) noexcept {
#ifdef TARVEK_AVX2_BUILDS
    if (set == InstructionSet::avx2) return detail::run_avx2<Kernel>(arguments...);
#endif
    detail::run_baseline<Kernel>(arguments...);
}

}  // namespace tarvek
