// The order of names in every listing: ascending by the unsigned bytes of their UTF-8 text.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string_view>

namespace vellora {

/// True when `left` sorts before `right`: the first differing byte decides, compared as unsigned,
/// and a name that is a prefix of another comes first. Inline, as names are short and mostly
/// differ early, which a call to memcmp would not repay.
inline bool precedes_by_bytes(std::string_view left, std::string_view right) noexcept {
  const std::size_t common = std::min(left.size(), right.size());
  for (std::size_t i = 0; i < common; ++i) {
    const auto a = static_cast<unsigned char>(left[i]);
    const auto b = static_cast<unsigned char>(right[i]);
    if (a != b) return a < b;
  }
  return left.size() < right.size();
}

/// Sorts names into byte order. Names are unique wherever this system lists them, so an unstable
/// sort gives the one stable order. (Comparing precomputed 16-byte prefixes as integers, or
/// counting ranks without branches, measured slower for the few dozen names of a listing.)
inline void sort_by_bytes(std::span<std::string_view> names) {
  std::sort(names.begin(), names.end(), [](std::string_view a, std::string_view b) { return precedes_by_bytes(a, b); });
}

}  // namespace vellora
