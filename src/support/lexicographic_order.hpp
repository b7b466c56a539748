// The order of names in every listing: ascending by the unsigned bytes of their UTF-8 text.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "support/byte_loads.hpp"

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

/// Bytes `offset` to `offset + 7` of `name` as one big-endian word, zero-padded past its end: a
/// smaller word means a name that sorts first, and equal words leave the order to the bytes after
/// them (or to a length, since "ab" and "ab\0" have the same word).
inline std::uint64_t leading_word(std::string_view name, std::size_t offset = 0) noexcept {
  if (offset >= name.size()) return 0;
  const auto* const bytes = reinterpret_cast<const unsigned char*>(name.data()) + offset;
  const std::size_t count = name.size() - offset;
  // Little-endian puts the first byte lowest; swapped, it is the most significant.
  return __builtin_bswap64(count >= 8 ? load_le64(bytes) : load_partial_le(bytes, count));
}

/// Sorts names into byte order, stably. A listing holds a few dozen names, which come in the
/// random order of a registry's cells, and comparison sorts lose most of their time to
/// mispredicted branches there: each name's place is instead the count of leading words smaller
/// than its own, found by compares that do not branch (four names at a time where the processor
/// has AVX2), with the bytes compared only for names whose leading words are equal. Long lists
/// go to a merge sort.
///
/// `units` ScalarOnly counts without vector instructions, as on a processor without AVX2: the tests
/// run that path on every machine.
enum class CountingUnits { Detected, ScalarOnly };
void sort_by_bytes(std::span<std::string_view> names, CountingUnits units = CountingUnits::Detected);

}  // namespace vellora
