// The CKM quark-mixing matrix as derived from the topology, with a unitarity check.
#pragma once

#include <array>
#include <cstddef>
#include <limits>

namespace vellora {

/// A 3x3 real mixing matrix (row-major) and its stored Jarlskog invariant. Immutable: the
/// deviation from unitarity is worked out once, when the matrix is made, so the test is a compare.
/// Everything is constexpr, so the topological matrix is a constant wherever it is made.
class CKMMatrix {
 public:
  using Elements = std::array<std::array<double, 3>, 3>;

  constexpr CKMMatrix(const Elements& elements, double jarlskog_invariant) noexcept
      : elements_(elements),
        jarlskog_invariant_(jarlskog_invariant),
        max_deviation_(deviation_from_unitarity(elements)) {}

  /// The topological matrix: the identity, with no CP violation.
  static constexpr CKMMatrix from_topology() noexcept {
    return CKMMatrix({{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}}, 0.0);
  }

  constexpr const Elements& elements() const noexcept { return elements_; }

  /// True when every |(V·Vᵀ)ij − δij| is at most `tol` and all of them are finite; false for a NaN tol.
  constexpr bool is_unitary(double tol) const noexcept {
    // A NaN element makes the deviation NaN and an infinite one makes it infinite (or NaN through
    // inf*0). Neither may pass, not even at an infinite tolerance. A NaN tol fails the >=.
    return max_deviation_ <= std::numeric_limits<double>::max() && tol >= max_deviation_;
  }

  /// The stored Jarlskog invariant; nothing is computed.
  constexpr double jarlskog() const noexcept { return jarlskog_invariant_; }

  /// The largest |(V·Vᵀ)ij − δij|; NaN when any of them is NaN.
  constexpr double max_deviation() const noexcept { return max_deviation_; }

 private:
  static constexpr double deviation_from_unitarity(const Elements& e) noexcept {
    double worst = 0.0;
    // V·Vᵀ is symmetric and each product is summed in the same order either way, so j >= i suffices.
    for (std::size_t i = 0; i < 3; ++i) {
      for (std::size_t j = i; j < 3; ++j) {
        const double dot = (e[i][0] * e[j][0] + e[i][1] * e[j][1]) + e[i][2] * e[j][2];
        const double d = __builtin_fabs(dot - (i == j ? 1.0 : 0.0));
        // The `d != d` arm makes a NaN stick: nothing compares greater than it afterwards.
        worst = (d > worst || d != d) ? d : worst;
      }
    }
    return worst;
  }

  Elements elements_;
  double jarlskog_invariant_;
  double max_deviation_;
};

}  // namespace vellora
