// Throughput of the table-driven log-add and exponential beside the library functions they
// replace. Prints nanoseconds per call (best of several runs over a fixed input array).

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <random>
#include <vector>

#include "bench_support.hpp"
#include "core/numerics/numerics.hpp"

namespace {

constexpr std::size_t input_count = 4096;
constexpr int repetitions = 2000;
constexpr int runs = 7;

volatile double sink;

template <class S, class F>
double nanoseconds_per_call(const std::vector<S>& a, const std::vector<S>& b, F f) {
    std::vector<S> out(a.size());
    const double seconds = tarvek::bench::best_seconds(runs, [&] {
        for (int r = 0; r < repetitions; ++r) {
            for (std::size_t i = 0; i < a.size(); ++i) out[i] = f(a[i], b[i]);
            tarvek::bench::keep(out.data());
        }
    });
    // Every run writes the same output; the checksum adds it once per run.
    double total = 0.0;
    for (S v : out) total += static_cast<double>(v);
    for (int run = 0; run < runs; ++run) sink = sink + total;
    return seconds * 1e9 / (static_cast<double>(repetitions) * a.size());
}

template <class S>
std::vector<S> uniform(std::mt19937_64& rng, double lo, double hi) {
    std::uniform_real_distribution<double> dist(lo, hi);
    std::vector<S> v(input_count);
    for (S& x : v) x = static_cast<S>(dist(rng));
    return v;
}

template <class S>
void run(const char* precision) {
    std::mt19937_64 rng(12345);
    // Log-add operands: a score and a second score up to 8 below it (a few beyond the cut-off).
    const std::vector<S> a = uniform<S>(rng, -50.0, 0.0);
    std::vector<S> b = uniform<S>(rng, 0.0, 8.0);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = a[i] - b[i];
    const std::vector<S> negative = uniform<S>(rng, -13.9, 0.0);
    const std::vector<S> positive = uniform<S>(rng, 0.0, 80.0);

    const auto report = [precision](const char* name, double ns) {
        std::printf("%-36s %s %7.3f ns/op\n", name, precision, ns);
    };
    report("log_add", nanoseconds_per_call(a, b, [](S x, S y) { return tarvek::log_add(x, y); }));
    report("max + log1p(exp(min - max))", nanoseconds_per_call(a, b, [](S x, S y) {
               const S hi = std::max(x, y);
               return hi + std::log1p(std::exp(std::min(x, y) - hi));
           }));
    report("exponential (negative)",
           nanoseconds_per_call(negative, negative, [](S x, S) { return tarvek::exponential(x); }));
    report("std::exp (negative)",
           nanoseconds_per_call(negative, negative, [](S x, S) { return std::exp(x); }));
    report("exponential (positive)",
           nanoseconds_per_call(positive, positive, [](S x, S) { return tarvek::exponential(x); }));
    report("std::exp (positive)",
           nanoseconds_per_call(positive, positive, [](S x, S) { return std::exp(x); }));
    report("fast_exp (negative)",
           nanoseconds_per_call(negative, negative, [](S x, S) { return tarvek::fast_exp(x); }));
    report("fast_ln (positive)", nanoseconds_per_call(positive, positive, [](S x, S) {
               return static_cast<S>(tarvek::fast_ln(static_cast<float>(x)));
           }));
    report("std::log (positive)",
           nanoseconds_per_call(positive, positive, [](S x, S) { return std::log(x); }));
}

}  // namespace

int main() {
    run<float>("f32");
    run<double>("f64");
    std::printf("(checksum %g)\n", static_cast<double>(sink));
    return 0;
}
