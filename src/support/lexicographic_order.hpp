// The order of names in every listing: ascending by the unsigned bytes of their UTF-8 text.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

/// Bytes `offset` to `offset + 7` of `name` as one big-endian word, zero-padded past its end: a
/// smaller word means a name that sorts first, and equal words leave the order to the bytes after
/// them (or to a length, since "ab" and "ab\0" have the same word). Loads without a library call.
inline std::uint64_t leading_word(std::string_view name, std::size_t offset = 0) noexcept {
  if (offset >= name.size()) return 0;
  const auto* const bytes = reinterpret_cast<const unsigned char*>(name.data()) + offset;
  const std::size_t count = name.size() - offset;
  std::uint64_t word;
  if (count >= 8) {
    std::memcpy(&word, bytes, 8);
    return std::endian::native == std::endian::little ? __builtin_bswap64(word) : word;
  }
  // Fewer than eight bytes: byte i goes to bits 56 - 8i, from at most two overlapping loads.
  if (count >= 4) {
    std::uint32_t first;
    std::uint32_t last;
    std::memcpy(&first, bytes, 4);
    std::memcpy(&last, bytes + count - 4, 4);
    if constexpr (std::endian::native == std::endian::little) {
      first = __builtin_bswap32(first);
      last = __builtin_bswap32(last);
    }
    return static_cast<std::uint64_t>(first) << 32 | static_cast<std::uint64_t>(last) << (64 - 8 * count);
  }
  word = static_cast<std::uint64_t>(bytes[0]) << 56 | static_cast<std::uint64_t>(bytes[count / 2]) << (56 - 8 * (count / 2)) |
         static_cast<std::uint64_t>(bytes[count - 1]) << (56 - 8 * (count - 1));
  return word;
}

/// Sorts names into byte order, stably. A listing holds a few dozen names, where comparison
/// sorts lose most of their time to mispredicted branches: each name's place is instead the
/// count of names before it, found from the leading words by compares that do not branch (four
/// at a time where the processor has AVX2), with the bytes compared only for names whose leading
/// words are equal. A handful of names go to an insertion sort, long lists to a merge sort.
void sort_by_bytes(std::span<std::string_view> names);

}  // namespace vellora
