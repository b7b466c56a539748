// The sharded store of named constants.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "registry/constant_record.hpp"
#include "support/expected.hpp"
#include "support/siphash.hpp"

namespace vellora {

/// The shard count for `processors` reported processors (0 when unknown): the smallest power of
/// two that is at least four per processor, and at least 4.
std::size_t shard_count_for(std::size_t processors) noexcept;

/// The shard count of this process, from the processors it may run on; computed once.
std::size_t process_shard_count() noexcept;

/// A record as views of its texts: the form the store keeps each record in, and the form the
/// standard table hands its rows over in.
struct RecordParts {
  std::string_view name;
  double value = 0.0;
  std::string_view units;
  std::optional<double> uncertainty;
  ConstantStatus status = ConstantStatus::Seed;
  std::optional<std::string_view> formula;
  std::span<const std::string_view> dependencies;
};

/// A concurrent map from constant name to record. Each shard has its own reader-writer lock and
/// every operation holds at most one shard lock at a time, so readers and writers of different
/// shards never wait for each other. Lookups hand out deep copies; nothing refers into the store.
/// How it is stored: docs/design.md.
class FormulasRegistry {
 public:
  /// An empty registry with its own hash key and the process's shard count.
  FormulasRegistry();
  /// An empty registry with the given key and shard count (a power of two, at least 1).
  FormulasRegistry(SipKey key, std::size_t shard_count);
  /// A moved-from registry owns nothing: it may only be destroyed or assigned to.
  FormulasRegistry(FormulasRegistry&&) noexcept;
  FormulasRegistry& operator=(FormulasRegistry&&) noexcept;
  ~FormulasRegistry();

  /// A new registry holding the seventeen constants of the standard table, with its own key and
  /// `shard_count` shards (a power of two).
  static FormulasRegistry seeded(std::size_t shard_count = process_shard_count());

  /// How many records the standard table holds.
  static constexpr std::size_t kStandardSize = 17;

  /// The names a new registry from seeded() holds, in its own order. That registry is built and dropped
  /// here and no other thread ever sees it, so it is read without locks; its names are the
  /// table's static texts, so the views stay valid after it is gone.
  static std::array<std::string_view, kStandardSize> seeded_names();

  /// Stores `record` under `name`; returns the record that an equal name held before, if any
  /// (the stored key then stays and `name` is dropped).
  std::optional<ConstantRecord> insert(std::string name, ConstantRecord record);

  /// A deep copy of the record stored under exactly `name`, or `NotFound` carrying the name.
  Expected<ConstantRecord, RegistryError> get(std::string_view name) const;

  /// The value of the record stored under exactly `name`, or `NotFound` carrying the name: the
  /// lookup of get without copying the record's texts, for callers that need only the number.
  Expected<double, RegistryError> value_of(std::string_view name) const;

  /// A copy of every stored name: shards in ascending index, each in its table's own order.
  std::vector<std::string> names() const;

  /// The number of records, kept registry-wide so that it is read in one load.
  std::size_t len() const noexcept;

  std::size_t shard_count() const noexcept;
  /// The shard that `name` belongs to: bits 57 - log2(shards) up to 56 of its hash.
  std::size_t shard_index(std::string_view name) const noexcept;

 private:
  /// The most records insert_static_while_private takes: they fit one shard's table of 32 cells.
  static constexpr std::size_t kPrivateRecordsAtMost = 24;

  /// insert_parts of every record under its own name, without locks, keeping views of the texts
  /// instead of copies: only while no other thread can see the registry, only for texts that live
  /// as long as the process, and only for distinct names (a table's rows), as nothing is looked up
  /// before it is stored. `names[i]` holds records[i].name padded for hashing (the record's name
  /// viewing it); the names are hashed together first.
  void insert_static_while_private(std::span<const RecordParts> records, std::span<const PaddedName> names);

  /// Writes the stored keys of a registry built by insert_static_while_private as names() lists
  /// them, unlocked: only while no other thread can see the registry. Returns how many.
  std::size_t write_keys_while_private(std::string_view* keys) const noexcept;

  struct Storage;
  struct StorageDeleter {
    void operator()(Storage* storage) const noexcept;
  };
  std::unique_ptr<Storage, StorageDeleter> storage_;
};

}  // namespace vellora
