// Loads of short byte runs as little-endian words, without reading past them or calling memcpy.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vellora {

/// Eight bytes as a little-endian word.
inline std::uint64_t load_le64(const unsigned char* bytes) noexcept {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

/// `count` bytes (at most 7) as a little-endian word, zero above them: at most two overlapping
/// loads instead of a byte loop.
inline std::uint64_t load_partial_le(const unsigned char* bytes, std::size_t count) noexcept {
  if (count >= 4) {
    std::uint32_t low;
    std::uint32_t high;
    std::memcpy(&low, bytes, 4);
    std::memcpy(&high, bytes + count - 4, 4);
    if constexpr (std::endian::native == std::endian::big) {
      low = __builtin_bswap32(low);
      high = __builtin_bswap32(high);
    }
    return low | (static_cast<std::uint64_t>(high) << (8 * (count - 4)));
  }
  if (count == 0) return 0;
  return static_cast<std::uint64_t>(bytes[0]) | static_cast<std::uint64_t>(bytes[count / 2]) << (8 * (count / 2)) |
         static_cast<std::uint64_t>(bytes[count - 1]) << (8 * (count - 1));
}

}  // namespace vellora
