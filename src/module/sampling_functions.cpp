// The elementary sampling steps of generation as module functions, so that Python code can
// reproduce a generation step by step: a normal sample from two uniforms, a mixture component
// from weights and one uniform, and one uniform made of random words from a callable.

#include <cstddef>
#include <span>
#include <vector>

#include "core/sampling.hpp"
#include "module/kit/registry.hpp"
#include "module/random_sources.hpp"

namespace tarvek::py {
namespace {

template <Scalar S>
S uniform_sample(PyObject* callback) {
    const Function function(callback);
    WordRng words(function);
    const S draw = draw_from_words<S>(words);
    words.raise_if_failed();
    return draw;
}

template <Scalar S>
std::size_t choose_component(const std::vector<S>& weights, S uniform) {
    return choose_with_precision<S>(std::span<const S>(weights), uniform);
}

const Registration registration{[] {
    register_function("uniform_sample_f32(callback)",
                      [](PyObject* callback) { return uniform_sample<float>(callback); });
    register_function("gaussian_sample_f32(mean, variance, radial, angular)",
                      [](float mean, float variance, float radial, float angular) {
                          return gaussian_sample<float>(mean, variance, radial, angular);
                      });
    register_function("choose_component_f32(weights, uniform)",
                      [](const std::vector<float>& weights, float uniform) {
                          return choose_component<float>(weights, uniform);
                      });
    register_function("uniform_sample_f64(callback)",
                      [](PyObject* callback) { return uniform_sample<double>(callback); });
    register_function("gaussian_sample_f64(mean, variance, radial, angular)",
                      [](double mean, double variance, double radial, double angular) {
                          return gaussian_sample<double>(mean, variance, radial, angular);
                      });
    register_function("choose_component_f64(weights, uniform)",
                      [](const std::vector<double>& weights, double uniform) {
                          return choose_component<double>(weights, uniform);
                      });
}};

}  // namespace
}  // namespace tarvek::py
