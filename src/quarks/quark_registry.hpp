// The quark records and a flat, unordered hash registry of them keyed by name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/open_addressing.hpp"
#include "support/siphash.hpp"

namespace vellora {

/// One quark: its mass, its scale relative to the top mass, its phi exponent and its generation.
struct Quark {
  std::string name;
  double mass_mev = 0.0;
  double scale_factor = 0.0;
  std::uint32_t phi_exponent = 0;
  std::uint8_t generation = 0;
};

/// Quarks by name, in no particular order, in an open-addressing table whose cells hold record
/// indices. The first six records and a table of eight cells are part of the registry itself,
/// so building and discarding the standard registry allocates nothing; more records go to a
/// vector and a larger table to the heap.
class QuarkRegistry {
 public:
  /// An empty registry with a fresh hash key; allocates nothing until its seventh record.
  QuarkRegistry() noexcept;
  /// A moved-from registry may only be destroyed or assigned to.
  QuarkRegistry(QuarkRegistry&&) noexcept = default;
  QuarkRegistry& operator=(QuarkRegistry&&) noexcept = default;

  /// The six standard-model quarks, registered up, down, strange, charm, bottom, top.
  static QuarkRegistry standard_model();

  /// Stores the record under its name; a record already under that name is replaced.
  void register_quark(Quark quark);

  /// Number of records stored.
  std::size_t size() const noexcept { return size_; }

  /// Copies of every name, ascending by unsigned byte value (a prefix sorts first).
  std::vector<std::string> sorted_names() const;
  /// The same order as views of the stored names, into `views`, which has room for size() of them;
  /// valid while the registry lives unchanged. Nothing is allocated for up to 64 names.
  void sort_names_into(std::span<std::string_view> views) const;
  /// How many records standard_model() registers.
  static constexpr std::size_t kStandardModelSize = 6;

  /// The record stored under `name`, or null.
  const Quark* find(std::string_view name) const noexcept;

  /// The random key this registry hashes names with.
  SipKey key() const noexcept { return key_; }

 private:
  /// A table cell: the name's full hash and the record's index plus one (0 marks an empty cell).
  struct Cell {
    std::uint64_t hash = 0;
    std::uint32_t index_plus_one = 0;
  };
  /// The records kept inline: as many as the standard model has.
  static constexpr std::size_t kInlineRecords = kStandardModelSize;
  /// The smallest table: room for the inline records at a load of at most three quarters.
  static constexpr std::size_t kInlineCells = 8;
  static_assert(open_addressing::fits(kInlineRecords, kInlineCells));

  /// The record at `index` in registration order.
  const Quark& record(std::size_t index) const noexcept;
  Quark& record(std::size_t index) noexcept { return const_cast<Quark&>(std::as_const(*this).record(index)); }
  /// Stores `quark` after the last record.
  void append(Quark&& quark);

  /// The table in use: the inline cells until a larger table has been allocated. Chosen afresh
  /// on each use rather than kept as a pointer, so moving a registry needs nothing of its own.
  std::span<const Cell> cells() const noexcept;
  std::span<Cell> cells() noexcept {
    const std::span<const Cell> table = std::as_const(*this).cells();
    return {const_cast<Cell*>(table.data()), table.size()};
  }
  /// Index of the cell holding `name`, or of the empty cell where it would go.
  std::size_t probe(std::uint64_t hash, std::string_view name) const noexcept;
  /// Moves the table into `capacity` cells (a power of two, more than the inline ones).
  void rehash(std::size_t capacity);

  SipKey key_;
  std::size_t size_ = 0;
  std::array<Quark, kInlineRecords> inline_records_;
  std::vector<Quark> more_records_;  // the records after the inline ones
  std::array<Cell, kInlineCells> inline_cells_{};
  std::vector<Cell> heap_cells_;
};

}  // namespace vellora
