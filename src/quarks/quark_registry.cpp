// Flat open-addressing quark registry: records in insertion order, a linear-probe slot array.
#include "quarks/quark_registry.hpp"

#include <cstring>

#include "support/lexicographic_order.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <utility>

namespace vellora {
namespace {

constexpr std::size_t kMinCapacity = 8;

/// Cells needed to hold `count` records at a load factor of at most 3/4.
std::size_t capacity_for(std::size_t count) noexcept {
  const std::size_t wanted = std::max(kMinCapacity, (count * 4 + 2) / 3);
  return std::bit_ceil(wanted);
}

bool name_less(const Quark* a, const Quark* b) noexcept { return precedes_by_bytes(a->name, b->name); }

/// A keyed hash for quark names: the registry holds a handful of short names, so a multiply-mix
/// over 8-byte words (keyed with the registry's own random key) does what SipHash would at a
/// fraction of the cost.
std::uint64_t quark_hash(SipKey key, std::string_view name) noexcept {
  constexpr std::uint64_t kMultiplier = 0x9e3779b97f4a7c15ULL;
  std::uint64_t h = key.k0 ^ (name.size() * kMultiplier);
  std::size_t i = 0;
  for (; i + 8 <= name.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, name.data() + i, 8);
    h = (h ^ word ^ key.k1) * kMultiplier;
    h ^= h >> 29;
  }
  std::uint64_t tail = 0;
  for (std::size_t shift = 0; i < name.size(); ++i, shift += 8)
    tail |= static_cast<std::uint64_t>(static_cast<unsigned char>(name[i])) << shift;
  h = (h ^ tail ^ key.k1) * kMultiplier;
  h ^= h >> 32;
  h *= kMultiplier;
  return h ^ (h >> 29);
}

}  // namespace

QuarkRegistry::QuarkRegistry() noexcept : key_(next_registry_key()) {}

QuarkRegistry QuarkRegistry::standard_model() {
  QuarkRegistry registry;
  registry.reserve(6);
  registry.register_quark({"up", 764.665760128228, 0.003105620015141857, 12, 1});
  registry.register_quark({"down", 1237.2551899207474, 0.005024998740641489, 11, 1});
  registry.register_quark({"strange", 5241.0970900186985, 0.02128623625220818, 8, 2});
  registry.register_quark({"charm", 22201.643549995544, 0.09016994374947422, 5, 2});
  registry.register_quark({"bottom", 35923.013870002665, 0.14589803375031543, 4, 3});
  registry.register_quark({"top", 246220.0, 1.0, 0, 3});
  return registry;
}

void QuarkRegistry::reserve(std::size_t count) {
  records_.reserve(count);
  const std::size_t capacity = capacity_for(count);
  if (capacity > slots_.size()) rehash(capacity);
}

std::size_t QuarkRegistry::probe(std::uint64_t hash, std::string_view name) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(hash) & mask;
  // The load factor keeps at least a quarter of the cells empty, so this terminates.
  while (true) {
    const Slot& slot = slots_[i];
    if (slot.index_plus_one == 0) return i;
    if (slot.hash == hash && records_[slot.index_plus_one - 1].name == name) return i;
    i = (i + 1) & mask;
  }
}

void QuarkRegistry::rehash(std::size_t capacity) {
  std::vector<Slot> old(capacity);
  old.swap(slots_);
  const std::size_t mask = capacity - 1;
  for (const Slot& slot : old) {
    if (slot.index_plus_one == 0) continue;
    // Stored names are distinct, so each only needs the next empty cell; no name compare.
    std::size_t i = static_cast<std::size_t>(slot.hash) & mask;
    while (slots_[i].index_plus_one != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

void QuarkRegistry::register_quark(Quark quark) {
  const std::uint64_t hash = quark_hash(key_, quark.name);
  std::size_t cell = slots_.empty() ? 0 : probe(hash, quark.name);
  if (!slots_.empty() && slots_[cell].index_plus_one != 0) {
    records_[slots_[cell].index_plus_one - 1] = std::move(quark);
    return;
  }
  const std::size_t needed = capacity_for(records_.size() + 1);
  if (needed > slots_.size()) {
    rehash(needed);
    cell = probe(hash, quark.name);
  }
  records_.push_back(std::move(quark));
  slots_[cell] = Slot{hash, static_cast<std::uint32_t>(records_.size())};
}

const Quark* QuarkRegistry::find(std::string_view name) const noexcept {
  if (records_.empty()) return nullptr;
  const Slot& slot = slots_[probe(quark_hash(key_, name), name)];
  return slot.index_plus_one == 0 ? nullptr : &records_[slot.index_plus_one - 1];
}

std::vector<std::string> QuarkRegistry::sorted_names() const {
  std::vector<std::string> names;
  if (records_.empty()) return names;
  names.reserve(records_.size());
  // Names are unique, so any sort gives the stable order; std::sort avoids stable_sort's buffer.
  // Small registries (the standard one) sort pointers on the stack.
  auto sort_and_copy = [&names](const Quark** first, const Quark** last) {
    std::sort(first, last, [](const Quark* a, const Quark* b) { return name_less(a, b); });
    for (const Quark** it = first; it != last; ++it) names.push_back((*it)->name);
  };
  constexpr std::size_t kStackCount = 16;
  if (records_.size() <= kStackCount) {
    std::array<const Quark*, kStackCount> order;
    for (std::size_t i = 0; i < records_.size(); ++i) order[i] = &records_[i];
    sort_and_copy(order.data(), order.data() + records_.size());
  } else {
    std::vector<const Quark*> order;
    order.reserve(records_.size());
    for (const Quark& quark : records_) order.push_back(&quark);
    sort_and_copy(order.data(), order.data() + order.size());
  }
  return names;
}

}  // namespace vellora
