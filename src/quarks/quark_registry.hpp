// The quark records and a flat, unordered hash registry of them keyed by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

/// Quarks by name, in no particular order. Records live in one vector and an open-addressing
/// slot array points into it, so building and discarding a small registry costs two allocations.
class QuarkRegistry {
 public:
  /// An empty registry with a fresh hash key; allocates nothing until the first record.
  QuarkRegistry() noexcept;

  /// The six standard-model quarks, registered up, down, strange, charm, bottom, top.
  static QuarkRegistry standard_model();

  /// Stores the record under its name; a record already under that name is replaced.
  void register_quark(Quark quark);

  /// Makes room for `count` records without further allocation.
  void reserve(std::size_t count);

  /// Number of records stored.
  std::size_t size() const noexcept { return records_.size(); }

  /// Copies of every name, ascending by unsigned byte value (a prefix sorts first).
  std::vector<std::string> sorted_names() const;

  /// The record stored under `name`, or null.
  const Quark* find(std::string_view name) const noexcept;

  /// The random key this registry hashes names with.
  SipKey key() const noexcept { return key_; }

 private:
  /// A table cell: the name's full hash and the record's index plus one (0 marks an empty cell).
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t index_plus_one = 0;
  };

  /// Index of the cell holding `name`, or of the empty cell where it would go.
  std::size_t probe(std::uint64_t hash, std::string_view name) const noexcept;
  /// Rebuilds the slot array with `capacity` cells (a power of two) from the stored hashes.
  void rehash(std::size_t capacity);

  SipKey key_;
  std::vector<Quark> records_;
  std::vector<Slot> slots_;
};

}  // namespace vellora
