// CKM matrix construction and the row-orthonormality test behind is_unitary.
#include "ckm/ckm_matrix.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

namespace vellora {

CKMMatrix CKMMatrix::from_topology() noexcept {
  CKMMatrix m;
  m.elements = {{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
  m.jarlskog_invariant = 0.0;
  return m;
}

double CKMMatrix::max_deviation() const noexcept {
  const auto& e = elements;
  double worst = 0.0;
  // V·Vᵀ is symmetric and each product is summed in the same order either way, so j >= i suffices.
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = i; j < 3; ++j) {
      const double dot = (e[i][0] * e[j][0] + e[i][1] * e[j][1]) + e[i][2] * e[j][2];
      const double target = i == j ? 1.0 : 0.0;
      const double d = std::fabs(dot - target);
      // The `d != d` arm makes a NaN stick: nothing compares greater than it afterwards.
      worst = (d > worst || d != d) ? d : worst;
    }
  }
  return worst;
}

bool CKMMatrix::is_unitary(double tol) const noexcept {
  const double m = max_deviation();
  // A NaN element makes its own row's norm NaN, so m is NaN; an infinite one makes m infinite
  // (or NaN via inf*0). Neither may pass, not even at an infinite tolerance.
  return m <= std::numeric_limits<double>::max() && tol >= m;
}

}  // namespace vellora
