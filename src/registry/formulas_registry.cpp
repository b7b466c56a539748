// The sharded constants store: one block per registry, shard selection, locking, insert, lookup,
// listing and counting. How the block, the arena, the build path and the lifetimes fit together,
// and which tests pin each: docs/design.md.
#include "registry/formulas_registry.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <atomic>
#include <bit>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <type_traits>

#include "support/open_addressing.hpp"
#include "support/shared_lock.hpp"

namespace vellora {

std::size_t shard_count_for(std::size_t processors) noexcept {
  const std::size_t counted = processors == 0 ? 1 : processors;
  return std::bit_ceil(4 * counted);
}

namespace {

std::size_t available_processors() noexcept {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    const int count = CPU_COUNT(&allowed);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 0;
}

/// A table cell: the name's hash, the table's own key text and the record (null: free cell). A
/// record is stored as its parts, every text a view into memory the registry owns and never moves
/// (or, for the standard table, into texts that last as long as the process).
/// Trivially constructible, so a new shard's inline cells cost nothing until first used.
struct Cell {
  std::uint64_t hash;
  const char* key_data;
  std::size_t key_size;
  const RecordParts* record;

  std::string_view key() const noexcept { return {key_data, key_size}; }
};
static_assert(std::is_trivially_default_constructible_v<Cell>);
static_assert(std::is_trivially_copyable_v<RecordParts> && std::is_trivially_destructible_v<RecordParts>,
              "records are copied whole and freed with the arena, never destroyed");

/// Heap memory of one shard: for what the arena cannot hold, and for every record inserted later.
struct Chunk {
  Chunk* next;
  std::size_t size;
  std::size_t used;
  std::byte* bytes() noexcept { return reinterpret_cast<std::byte*>(this + 1); }
};

constexpr std::size_t kInlineCells = 4;   // three records before a shard's table first grows
constexpr std::size_t kArenaBytes = 3072;  // the standard table's records and tables at any shard count
constexpr std::size_t kMinimumChunk = 1024;
constexpr std::size_t kPieceAlignment = alignof(RecordParts);

constexpr std::size_t round_up(std::size_t bytes) noexcept {
  return (bytes + kPieceAlignment - 1) & ~(kPieceAlignment - 1);
}

struct Shard {
  mutable SharedLock lock;
  // The cells taken so far while a private build places its records (a table of at most 32 cells
  // then), and after it, for listing them; it sits in what would be padding after the lock.
  std::uint32_t cells_taken_while_private = 0;
  // The records in the table: read and written under the write lock, or while the build is private.
  std::size_t count = 0;
  std::size_t capacity = 0;
  Cell* cells = nullptr;
  Chunk* chunks = nullptr;
  Cell inline_cells[kInlineCells];

  Shard() = default;
  Shard(const Shard&) = delete;
  Shard& operator=(const Shard&) = delete;
  ~Shard() {
    while (chunks != nullptr) {
      Chunk* const next = chunks->next;
      ::operator delete(static_cast<void*>(chunks));
      chunks = next;
    }
  }

  /// Memory from this shard's chunks; the caller holds the write lock.
  std::byte* allocate_own(std::size_t bytes) {
    if (chunks == nullptr || chunks->used + bytes > chunks->size) {
      const std::size_t size = std::max(bytes, kMinimumChunk);
      chunks = ::new (::operator new(sizeof(Chunk) + size)) Chunk{chunks, size, 0};
    }
    std::byte* const piece = chunks->bytes() + chunks->used;
    chunks->used += bytes;
    return piece;
  }

  const Cell* find(std::uint64_t hash, std::string_view name) const noexcept {
    if (capacity == 0) return nullptr;
    const std::size_t mask = capacity - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Cell& cell = cells[i];
      if (cell.record == nullptr) return nullptr;
      if (cell.hash == hash && cell.key() == name) return &cell;
    }
  }

  /// The cell where a name of this hash goes; the table has room.
  Cell& free_cell(std::uint64_t hash) noexcept {
    const std::size_t mask = capacity - 1;
    std::size_t i = hash & mask;
    while (cells[i].record != nullptr) i = (i + 1) & mask;
    return cells[i];
  }

  /// Fills `cell` with a stored record under `key`: field by field, as a Cell assembled on the
  /// stack and copied whole made the processor wait for its own stores.
  static void fill(Cell& cell, std::uint64_t hash, std::string_view key, const RecordParts* record) noexcept {
    cell.hash = hash;
    cell.key_data = key.data();
    cell.key_size = key.size();
    cell.record = record;
  }

  /// Writes the key of every taken cell to `keys`, which has room for every cell, in cell order;
  /// returns how many. Which cells are taken follows from the registry's random key, so a branch
  /// per cell would be mispredicted half the time: every cell's key is written and only taken
  /// ones advance the end.
  std::size_t write_keys(std::string_view* keys) const noexcept {
    std::size_t end = 0;
    for (std::size_t i = 0; i < capacity; ++i) {
      keys[end] = cells[i].key();
      end += cells[i].record != nullptr;
    }
    return end;
  }
};

}  // namespace

struct FormulasRegistry::Storage {
  SipKey key;
  unsigned shard_shift;
  // At most kArenaBytes, so it fits in what would be padding after the shift: the record count
  // below then costs the header no room, and the shards keep their place in the block.
  std::uint32_t arena_used = 0;
  std::size_t shard_count;
  Shard* shards;
  std::byte* arena;
  // The records of all shards, so that len() is one load, not a visit to every shard. A new name
  // adds one under its shard's write lock; one word needs no lock to be read whole.
  std::atomic<std::size_t> record_count{0};

  /// One allocation: this header, the shards, then the arena.
  static Storage* create(SipKey key, std::size_t shard_count) {
    // Shard selection shifts by log2 of the count: only a non-zero power of two has one.
    assert(std::has_single_bit(shard_count));
    const std::size_t shards_offset = round_up(sizeof(Storage));
    const std::size_t arena_offset = shards_offset + shard_count * sizeof(Shard);
    auto* const block = static_cast<std::byte*>(::operator new(arena_offset + kArenaBytes));
    auto* const storage = ::new (block) Storage;
    storage->key = key;
    // With one shard the shift would be 64, which C++ does not define for a 64-bit operand.
    storage->shard_shift = 64u - static_cast<unsigned>(std::countr_zero(shard_count));
    storage->shard_count = shard_count;
    storage->shards = reinterpret_cast<Shard*>(block + shards_offset);
    for (std::size_t i = 0; i < shard_count; ++i) ::new (static_cast<void*>(storage->shards + i)) Shard;
    storage->arena = block + arena_offset;
    return storage;
  }

  std::size_t shard_of(std::uint64_t hash) const noexcept {
    return shard_shift >= 64 ? 0 : static_cast<std::size_t>((hash << 7) >> shard_shift);
  }

  /// Memory for `bytes` (a multiple of the piece alignment) while the standard table is placed:
  /// from the arena while it lasts, then from `shard`. No other thread sees the registry yet, so
  /// the cursor moves by a plain store; every later insert takes memory of its shard's own.
  std::byte* allocate_while_private(Shard& shard, std::size_t bytes) {
    if (arena_used + bytes > kArenaBytes) return shard.allocate_own(bytes);
    std::byte* const piece = arena + arena_used;
    arena_used += static_cast<std::uint32_t>(bytes);
    return piece;
  }

  /// Bytes a table of `capacity` cells takes outside its shard: none for the inline cells.
  static std::size_t table_bytes(std::size_t capacity) noexcept {
    return capacity == kInlineCells ? 0 : round_up(capacity * sizeof(Cell));
  }

  /// Gives `shard` an empty table of `capacity` cells: its inline ones, or `memory`, which holds
  /// table_bytes(capacity).
  static void set_empty_table(Shard& shard, std::size_t capacity, std::byte* memory) noexcept {
    shard.capacity = capacity;
    if (capacity == kInlineCells) {
      shard.cells = shard.inline_cells;
      open_addressing::clear_cells(shard.inline_cells, kInlineCells);  // a constant size: a few vector stores
    } else {
      shard.cells = reinterpret_cast<Cell*>(memory);
      open_addressing::clear_cells(shard.cells, capacity);
    }
  }

  /// Copies the record, and the key unless it equals the name, into one piece of memory.
  const RecordParts* store(Shard& shard, const RecordParts& parts, std::string_view* key) {
    const bool key_is_name = key == nullptr || *key == parts.name;
    std::size_t text_bytes = parts.name.size() + parts.units.size() + (parts.formula ? parts.formula->size() : 0);
    for (const std::string_view dependency : parts.dependencies) text_bytes += dependency.size();
    if (!key_is_name) text_bytes += key->size();
    const std::size_t dependency_bytes = parts.dependencies.size() * sizeof(std::string_view);
    std::byte* const piece = shard.allocate_own(round_up(sizeof(RecordParts) + dependency_bytes + text_bytes));

    auto* const dependencies = reinterpret_cast<std::string_view*>(piece + sizeof(RecordParts));
    char* text = reinterpret_cast<char*>(piece + sizeof(RecordParts) + dependency_bytes);
    const auto copy = [&text](std::string_view source) {
      if (!source.empty()) std::memcpy(text, source.data(), source.size());
      const std::string_view copied(text, source.size());
      text += source.size();
      return copied;
    };
    RecordParts copied = parts;
    copied.name = copy(parts.name);
    copied.units = copy(parts.units);
    if (parts.formula) copied.formula = copy(*parts.formula);
    for (std::size_t i = 0; i < parts.dependencies.size(); ++i)
      ::new (static_cast<void*>(dependencies + i)) std::string_view(copy(parts.dependencies[i]));
    copied.dependencies = {dependencies, parts.dependencies.size()};
    auto* const record = ::new (piece) RecordParts(copied);
    if (key != nullptr) *key = key_is_name ? record->name : copy(*key);
    return record;
  }

  /// Doubles the shard's table (or gives it its inline cells) and moves the taken cells over.
  void grow(Shard& shard) {
    const Cell* const old_cells = shard.cells;
    const std::size_t old_capacity = shard.capacity;
    const std::size_t capacity = old_capacity == 0 ? kInlineCells : 2 * old_capacity;
    set_empty_table(shard, capacity, capacity == kInlineCells ? nullptr : shard.allocate_own(table_bytes(capacity)));
    for (std::size_t i = 0; i < old_capacity; ++i)
      if (old_cells[i].record != nullptr) shard.free_cell(old_cells[i].hash) = old_cells[i];
  }

  /// Stores the record under `name`, under the shard's write lock; returns the record it
  /// replaced, or null.
  const RecordParts* insert(std::string_view name, const RecordParts& parts) {
    const std::uint64_t hash = hash_name(key, name);
    Shard& shard = shards[shard_of(hash)];
    const std::lock_guard guard(shard.lock);
    if (const Cell* found = shard.find(hash, name)) {
      Cell& existing = const_cast<Cell&>(*found);
      const RecordParts* const previous = existing.record;
      existing.record = store(shard, parts, nullptr);  // the stored key stays
      return previous;
    }
    if (!open_addressing::fits(shard.count + 1, shard.capacity)) grow(shard);
    std::string_view key_text = name;
    const RecordParts* const record = store(shard, parts, &key_text);
    Shard::fill(shard.free_cell(hash), hash, key_text, record);
    ++shard.count;
    record_count.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
  }

  /// Stores records of distinct names, whose texts live as long as the process, while no other
  /// thread can see the registry: the records view their texts, each shard's table is sized once
  /// for all its records, and each record takes the cell that inserting the records in turn would
  /// give it, found from a mask of the taken cells with no probe loop or growth to mispredict.
  /// The one way the standard table is built, at every shard count.
  void place_while_private(std::span<const RecordParts> records, const std::uint64_t* hashes) {
    assert(records.size() <= kPrivateRecordsAtMost);
    // The shard array is read once: GCC otherwise reads it again inside the loops, after stores
    // it cannot tell apart from it.
    Shard* const all_shards = shards;
    std::uint32_t shard_of_record[kPrivateRecordsAtMost];
    for (std::size_t i = 0; i < records.size(); ++i) {
      shard_of_record[i] = static_cast<std::uint32_t>(shard_of(hashes[i]));
      ++all_shards[shard_of_record[i]].count;
    }
    for (std::size_t index = 0, end = shard_count; index < end; ++index) {
      Shard& shard = all_shards[index];
      if (shard.count == 0) continue;
      const std::size_t capacity = open_addressing::capacity_for(shard.count, kInlineCells);
      const std::size_t bytes = table_bytes(capacity);
      set_empty_table(shard, capacity, bytes == 0 ? nullptr : allocate_while_private(shard, bytes));
    }
    // The records in one copy: their texts and dependency lists are the table's own.
    auto* const stored = reinterpret_cast<RecordParts*>(
        allocate_while_private(all_shards[0], round_up(records.size() * sizeof(RecordParts))));
    std::uninitialized_copy(records.begin(), records.end(), stored);
    for (std::size_t i = 0; i < records.size(); ++i) {
      Shard& shard = all_shards[shard_of_record[i]];
      const std::size_t cell =
          open_addressing::first_free_cell(shard.cells_taken_while_private, hashes[i], shard.capacity);
      shard.cells_taken_while_private |= std::uint32_t{1} << cell;
      Shard::fill(shard.cells[cell], hashes[i], records[i].name, stored + i);
    }
    record_count.store(records.size(), std::memory_order_relaxed);  // the registry was empty
  }

  /// What `read` makes of the record stored under `name`, read under its shard's read lock, or
  /// `NotFound` carrying the name: the one lookup of get and value_of.
  template <class Result, class Read>
  Expected<Result, RegistryError> look_up(std::string_view name, Read read) const {
    const std::uint64_t hash = hash_name(key, name);
    const Shard& shard = shards[shard_of(hash)];
    {
      const std::shared_lock guard(shard.lock);
      if (const Cell* cell = shard.find(hash, name))
        return Expected<Result, RegistryError>::success_from([&read, cell] { return read(*cell->record); });
    }
    return Expected<Result, RegistryError>::failure_from(
        [name] { return RegistryError::not_found(std::string(name)); });
  }
};

namespace {

ConstantRecord to_constant_record(const RecordParts& stored) {
  // Each text is constructed from its view directly: cheaper than assigning into empty strings.
  ConstantRecord record{std::string(stored.name),
                        stored.value,
                        std::string(stored.units),
                        stored.uncertainty,
                        stored.status,
                        stored.formula ? std::optional<std::string>(std::in_place, *stored.formula) : std::nullopt,
                        {}};
  if (!stored.dependencies.empty()) record.dependencies.assign(stored.dependencies.begin(), stored.dependencies.end());
  return record;
}

}  // namespace

std::size_t process_shard_count() noexcept {
  static const std::size_t count = shard_count_for(available_processors());
  return count;
}

void FormulasRegistry::StorageDeleter::operator()(Storage* storage) const noexcept {
  for (std::size_t i = 0; i < storage->shard_count; ++i) storage->shards[i].~Shard();
  storage->~Storage();
  ::operator delete(static_cast<void*>(storage));
}

FormulasRegistry::FormulasRegistry() : FormulasRegistry(next_registry_key(), process_shard_count()) {}

FormulasRegistry::FormulasRegistry(SipKey key, std::size_t shard_count)
    : storage_(Storage::create(key, shard_count)) {}

FormulasRegistry::FormulasRegistry(FormulasRegistry&&) noexcept = default;
FormulasRegistry& FormulasRegistry::operator=(FormulasRegistry&&) noexcept = default;
FormulasRegistry::~FormulasRegistry() = default;

std::size_t FormulasRegistry::shard_count() const noexcept { return storage_->shard_count; }

std::size_t FormulasRegistry::shard_index(std::string_view name) const noexcept {
  return storage_->shard_of(hash_name(storage_->key, name));
}

std::optional<ConstantRecord> FormulasRegistry::insert(std::string name, ConstantRecord record) {
  const std::vector<std::string_view> dependencies(record.dependencies.begin(), record.dependencies.end());
  const RecordParts parts{record.name,
                          record.value,
                          record.units,
                          record.uncertainty,
                          record.status,
                          record.formula ? std::optional<std::string_view>(*record.formula) : std::nullopt,
                          dependencies};
  // Stored records are immutable and outlive every lock, so the replaced one is copied unlocked.
  const RecordParts* const previous = storage_->insert(name, parts);
  if (previous == nullptr) return std::nullopt;
  return to_constant_record(*previous);
}

void FormulasRegistry::insert_static_while_private(std::span<const RecordParts> records,
                                                   std::span<const PaddedName> names) {
  assert(names.size() == records.size() && records.size() <= kPrivateRecordsAtMost);
  // Hashing the names in one batch lets four of them share each vector instruction.
  std::uint64_t hashes[kPrivateRecordsAtMost];
  hash_padded_names(storage_->key, names, hashes);
  storage_->place_while_private(records, hashes);
}

// Flattened: the copy's strings are built and moved into the result here, and left to the
// inliner's budget for the whole library their constructors can end up out of line.
[[gnu::flatten]] Expected<ConstantRecord, RegistryError> FormulasRegistry::get(std::string_view name) const {
  return storage_->look_up<ConstantRecord>(name, [](const RecordParts& stored) { return to_constant_record(stored); });
}

// Only the value is read: copying the texts cost the facade's get about 80 instructions of the
// C library's memmove per call where that is slow for short texts (musl).
Expected<double, RegistryError> FormulasRegistry::value_of(std::string_view name) const {
  return storage_->look_up<double>(name, [](const RecordParts& stored) { return stored.value; });
}

std::vector<std::string> FormulasRegistry::names() const {
  // Stored keys are never moved or freed before the registry, so they are copied after each
  // shard's lock is let go.
  std::vector<std::string_view> keys;
  std::size_t end = 0;
  for (std::size_t i = 0; i < storage_->shard_count; ++i) {
    const Shard& shard = storage_->shards[i];
    const std::shared_lock guard(shard.lock);
    keys.resize(end + shard.capacity);
    end += shard.write_keys(keys.data() + end);
  }
  return std::vector<std::string>(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(end));
}

std::size_t FormulasRegistry::write_keys_while_private(std::string_view* keys) const noexcept {
  // Only the taken cells are visited, from the build's own mask of them.
  std::size_t end = 0;
  for (std::size_t i = 0; i < storage_->shard_count; ++i) {
    const Shard& shard = storage_->shards[i];
    for (std::uint32_t taken = shard.cells_taken_while_private; taken != 0; taken &= taken - 1)
      keys[end++] = shard.cells[std::countr_zero(taken)].key();
  }
  return end;
}

std::size_t FormulasRegistry::len() const noexcept { return storage_->record_count.load(std::memory_order_relaxed); }

}  // namespace vellora
