// The elementary sampling steps of generation as module functions, so that Python code can
// reproduce a generation step by step: a normal sample from two uniforms, a mixture component
// from weights and one uniform, and one uniform made of random words from a callable.

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/generation/sampling.hpp"
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

template <Scalar S>
void register_sampling() {
    const std::string suffix = Precision<S>::lower;
    register_function("uniform_sample_" + suffix + "(callback)",
                      [](PyObject* callback) { return uniform_sample<S>(callback); });
    register_function("gaussian_sample_" + suffix + "(mean, variance, radial, angular)",
                      [](S mean, S variance, S radial, S angular) {
                          return gaussian_sample<S>(mean, variance, radial, angular);
                      });
    register_function("choose_component_" + suffix + "(weights, uniform)",
                      [](const std::vector<S>& weights, S uniform) {
                          return choose_component<S>(weights, uniform);
                      });
}

const Registration registration{[] {
    register_sampling<float>();
    register_sampling<double>();
}};

}  // namespace
}  // namespace tarvek::py
