// The CKM quark-mixing matrix as derived from the topology, with a unitarity check.
#pragma once

#include <array>

namespace vellora {

/// A 3x3 real mixing matrix (row-major) and its Jarlskog invariant.
struct CKMMatrix {
  std::array<std::array<double, 3>, 3> elements{};
  double jarlskog_invariant = 0.0;

  /// The topological matrix: the identity, with no CP violation.
  static CKMMatrix from_topology() noexcept;

  /// True when every |(V·Vᵀ)ij − δij| is at most `tol` and all of them are finite; false for a NaN tol.
  bool is_unitary(double tol) const noexcept;

  /// The stored Jarlskog invariant.
  double jarlskog() const noexcept { return jarlskog_invariant; }

  /// The largest |(V·Vᵀ)ij − δij|; NaN when any of them is NaN.
  double max_deviation() const noexcept;
};

}  // namespace vellora
