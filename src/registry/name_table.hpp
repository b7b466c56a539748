// An open-addressing hash table from name to value, with its first slots inside the object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vellora {

/// Maps names to values by a caller-supplied 64-bit hash. The first `InlineSlots` slots live in the
/// table itself, so a small table allocates nothing; it moves to the heap, doubling, once three
/// quarters full. Linear probing from the hash's low bits; entries are never removed, so no
/// tombstones. Not thread-safe: the registry guards each table with its shard's lock.
template <class Value, std::size_t InlineSlots>
class NameTable {
  static_assert(InlineSlots >= 2 && (InlineSlots & (InlineSlots - 1)) == 0, "a power of two");

 public:
  struct Entry {
    std::string key;  // the table's own copy of the name
    Value value;
  };

  NameTable() = default;
  NameTable(const NameTable&) = delete;
  NameTable& operator=(const NameTable&) = delete;
  ~NameTable() { destroy_entries(); }

  std::size_t size() const noexcept { return size_; }

  /// The entry stored under `name`, or null.
  const Entry* find(std::uint64_t hash, std::string_view name) const noexcept {
    if (size_ == 0) return nullptr;
    const std::size_t mask = capacity_ - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (!slot.occupied) return nullptr;
      if (slot.hash == hash && slot.entry().key == name) return &slot.entry();
    }
  }

  /// Stores `value` under `name`. An equal key keeps its place and its text; the value it held is
  /// handed back and `name` is dropped.
  std::optional<Value> insert(std::uint64_t hash, std::string name, Value value) {
    if (Entry* existing = const_cast<Entry*>(find(hash, name))) {
      std::optional<Value> previous(std::move(existing->value));
      existing->value = std::move(value);
      return previous;
    }
    if (4 * (size_ + 1) > 3 * capacity_) grow();
    place(hash, Entry{std::move(name), std::move(value)});
    ++size_;
    return std::nullopt;
  }

  /// Calls `visit(entry)` for every entry, in slot order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    if (size_ == 0) return;
    for (std::size_t i = 0; i < capacity_; ++i)
      if (slots_[i].occupied) visit(slots_[i].entry());
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    bool occupied = false;
    alignas(Entry) unsigned char storage[sizeof(Entry)];

    Entry& entry() noexcept { return *std::launder(reinterpret_cast<Entry*>(storage)); }
    const Entry& entry() const noexcept { return *std::launder(reinterpret_cast<const Entry*>(storage)); }
  };

  void place(std::uint64_t hash, Entry&& entry) noexcept {
    const std::size_t mask = capacity_ - 1;
    std::size_t i = hash & mask;
    while (slots_[i].occupied) i = (i + 1) & mask;
    ::new (static_cast<void*>(slots_[i].storage)) Entry(std::move(entry));
    slots_[i].hash = hash;
    slots_[i].occupied = true;
  }

  void grow() {
    if (capacity_ == 0) {  // first entry: the inline slots, still free of any allocation
      slots_ = inline_slots_;
      capacity_ = InlineSlots;
      return;
    }
    auto bigger = std::make_unique<Slot[]>(2 * capacity_);
    Slot* const old_slots = slots_;
    const std::size_t old_capacity = capacity_;
    slots_ = bigger.get();
    capacity_ = 2 * capacity_;
    for (std::size_t i = 0; i < old_capacity; ++i) {
      Slot& slot = old_slots[i];
      if (!slot.occupied) continue;
      place(slot.hash, std::move(slot.entry()));
      slot.entry().~Entry();
      slot.occupied = false;
    }
    heap_slots_ = std::move(bigger);
  }

  void destroy_entries() noexcept {
    for (std::size_t i = 0; i < capacity_; ++i)
      if (slots_[i].occupied) slots_[i].entry().~Entry();
  }

  Slot* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::unique_ptr<Slot[]> heap_slots_;
  Slot inline_slots_[InlineSlots];
};

}  // namespace vellora
