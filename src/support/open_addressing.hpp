// What the two registries' tables share: linear probing over a power-of-two number of cells, kept
// at most three quarters full.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vellora::open_addressing {

/// Whether `count` records fit a table of `capacity` cells: a load of at most three quarters, so
/// a quarter of the cells stay free and every probe ends.
constexpr bool fits(std::size_t count, std::size_t capacity) noexcept { return 4 * count <= 3 * capacity; }

/// The fewest cells that `count` records fit: a power of two, and at least `smallest` (one too).
constexpr std::size_t capacity_for(std::size_t count, std::size_t smallest) noexcept {
  return std::bit_ceil(std::max(smallest, (4 * count + 2) / 3));
}

/// The cell where linear probing from the home cell of `hash` stops in a table of `capacity`
/// cells (at most 64) whose taken cells are the bits of `taken`: the first free one at or after
/// home, wrapping round. Found from the mask because a probe loop would stop at a point that
/// follows the registry's random key, and be mispredicted.
constexpr std::size_t first_free_cell(std::uint64_t taken, std::uint64_t hash, std::size_t capacity) noexcept {
  const std::uint64_t all_cells = ~std::uint64_t{0} >> (64 - capacity);
  const std::uint64_t free_cells = ~taken & all_cells;
  const std::uint64_t free_from_home = free_cells & (all_cells << (hash & (capacity - 1)));
  return static_cast<std::size_t>(std::countr_zero(free_from_home != 0 ? free_from_home : free_cells));
}

/// Makes `count` cells at `cells` empty (all zero), whether or not they hold cells yet: one
/// memset, which stores a vector at a time where a cell-by-cell fill stores a word at a time.
template <class Cell>
void clear_cells(Cell* cells, std::size_t count) noexcept {
  static_assert(std::is_trivially_copyable_v<Cell>);
  std::memset(static_cast<void*>(cells), 0, count * sizeof(Cell));
}

}  // namespace vellora::open_addressing
