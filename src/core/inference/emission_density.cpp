#include "core/inference/emission_density.hpp"

#include <cstddef>

namespace tarvek {

template <Scalar S>
void to_emission_densities(StateScoreTable<S>& table) noexcept {
    S* cells = table.values.data();
    const std::size_t count = table.values.size();
    for (std::size_t i = 0; i < count; ++i) cells[i] = static_cast<S>(fast_exp(cells[i]));
}

template void to_emission_densities(StateScoreTable<float>&) noexcept;
template void to_emission_densities(StateScoreTable<double>&) noexcept;

}  // namespace tarvek
