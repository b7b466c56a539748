// The CKM quark-mixing matrix as derived from the topology, with a unitarity check.
#pragma once

#include <array>
#include <limits>

namespace vellora {

/// A 3x3 real mixing matrix (row-major) and its stored Jarlskog invariant. Immutable: the
/// deviation from unitarity is worked out once, when the matrix is made, so the test is a compare.
class CKMMatrix {
 public:
  using Elements = std::array<std::array<double, 3>, 3>;

  CKMMatrix(const Elements& elements, double jarlskog_invariant) noexcept;

  /// The topological matrix: the identity, with no CP violation.
  static CKMMatrix from_topology() noexcept;

  const Elements& elements() const noexcept { return elements_; }

  /// True when every |(V·Vᵀ)ij − δij| is at most `tol` and all of them are finite; false for a NaN tol.
  bool is_unitary(double tol) const noexcept {
    // A NaN element makes the deviation NaN and an infinite one makes it infinite (or NaN through
    // inf*0). Neither may pass, not even at an infinite tolerance. A NaN tol fails the >=.
    return max_deviation_ <= std::numeric_limits<double>::max() && tol >= max_deviation_;
  }

  /// The stored Jarlskog invariant; nothing is computed.
  double jarlskog() const noexcept { return jarlskog_invariant_; }

  /// The largest |(V·Vᵀ)ij − δij|; NaN when any of them is NaN.
  double max_deviation() const noexcept { return max_deviation_; }

 private:
  Elements elements_;
  double jarlskog_invariant_;
  double max_deviation_;
};

}  // namespace vellora
