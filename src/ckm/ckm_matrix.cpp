// CKM matrix construction and the row-orthonormality test behind is_unitary.
#include "ckm/ckm_matrix.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

namespace vellora {

namespace {

double deviation_from_unitarity(const CKMMatrix::Elements& e) noexcept {
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

}  // namespace

CKMMatrix::CKMMatrix(const Elements& elements, double jarlskog_invariant) noexcept
    : elements_(elements),
      jarlskog_invariant_(jarlskog_invariant),
      max_deviation_(deviation_from_unitarity(elements)) {}

CKMMatrix CKMMatrix::from_topology() noexcept {
  return CKMMatrix({{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}}, 0.0);
}

}  // namespace vellora
