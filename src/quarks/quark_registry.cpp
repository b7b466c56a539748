// Flat open-addressing quark registry: records in insertion order, a linear-probe table of record indices.
#include "quarks/quark_registry.hpp"

#include <utility>

#include "support/byte_loads.hpp"
#include "support/lexicographic_order.hpp"
#include "support/open_addressing.hpp"

namespace vellora {
namespace {

/// A keyed hash for quark names: the registry holds a handful of short names, so a multiply-mix
/// over 8-byte words (keyed with the registry's own random key) does what SipHash would at a
/// fraction of the cost.
std::uint64_t quark_hash(SipKey key, std::string_view name) noexcept {
  constexpr std::uint64_t kMultiplier = 0x9e3779b97f4a7c15ULL;
  const auto* const bytes = reinterpret_cast<const unsigned char*>(name.data());
  std::uint64_t h = key.k0 ^ (name.size() * kMultiplier);
  std::size_t i = 0;
  for (; i + 8 <= name.size(); i += 8) {
    h = (h ^ load_le64(bytes + i) ^ key.k1) * kMultiplier;
    h ^= h >> 29;
  }
  h = (h ^ load_partial_le(bytes + i, name.size() - i) ^ key.k1) * kMultiplier;
  h ^= h >> 32;
  h *= kMultiplier;
  return h ^ (h >> 29);
}

struct StandardQuark {
  std::string_view name;
  double mass_mev;
  double scale_factor;
  std::uint32_t phi_exponent;
  std::uint8_t generation;
};

constexpr StandardQuark kStandardModel[] = {
    {"up", 764.665760128228, 0.003105620015141857, 12, 1},
    {"down", 1237.2551899207474, 0.005024998740641489, 11, 1},
    {"strange", 5241.0970900186985, 0.02128623625220818, 8, 2},
    {"charm", 22201.643549995544, 0.09016994374947422, 5, 2},
    {"bottom", 35923.013870002665, 0.14589803375031543, 4, 3},
    {"top", 246220.0, 1.0, 0, 3},
};

}  // namespace

QuarkRegistry::QuarkRegistry() noexcept : key_(next_registry_key()) {}

QuarkRegistry QuarkRegistry::standard_model() {
  static_assert(std::size(kStandardModel) == kStandardModelSize);
  QuarkRegistry registry;
  // The table's names are distinct, so registering them in order comes down to filling the next
  // inline record and taking the first empty cell from its hash: no name is compared, nothing grows.
  std::uint64_t taken = 0;
  for (const StandardQuark& quark : kStandardModel) {
    const std::uint64_t hash = quark_hash(registry.key_, quark.name);
    const std::size_t cell = open_addressing::first_free_cell(taken, hash, kInlineCells);
    taken |= std::uint64_t{1} << cell;
    Quark& record = registry.inline_records_[registry.size_++];
    record.name = quark.name;
    record.mass_mev = quark.mass_mev;
    record.scale_factor = quark.scale_factor;
    record.phi_exponent = quark.phi_exponent;
    record.generation = quark.generation;
    registry.inline_cells_[cell] = Cell{hash, static_cast<std::uint32_t>(registry.size_)};
  }
  return registry;
}

const Quark& QuarkRegistry::record(std::size_t index) const noexcept {
  return index < kInlineRecords ? inline_records_[index] : more_records_[index - kInlineRecords];
}

void QuarkRegistry::append(Quark&& quark) {
  if (size_ < kInlineRecords)
    inline_records_[size_] = std::move(quark);
  else
    more_records_.push_back(std::move(quark));
  ++size_;
}

std::span<const QuarkRegistry::Cell> QuarkRegistry::cells() const noexcept {
  return heap_cells_.empty() ? std::span<const Cell>(inline_cells_) : std::span<const Cell>(heap_cells_);
}

std::size_t QuarkRegistry::probe(std::uint64_t hash, std::string_view name) const noexcept {
  const std::span<const Cell> table = cells();
  const std::size_t mask = table.size() - 1;
  std::size_t i = static_cast<std::size_t>(hash) & mask;
  // The load factor keeps at least a quarter of the cells empty, so this terminates.
  while (true) {
    const Cell& cell = table[i];
    if (cell.index_plus_one == 0) return i;
    if (cell.hash == hash && record(cell.index_plus_one - 1).name == name) return i;
    i = (i + 1) & mask;
  }
}

void QuarkRegistry::rehash(std::size_t capacity) {
  std::vector<Cell> grown(capacity);
  const std::size_t mask = capacity - 1;
  for (const Cell& cell : cells()) {
    if (cell.index_plus_one == 0) continue;
    // Stored names are distinct, so each only needs the next empty cell; no name compare.
    std::size_t i = static_cast<std::size_t>(cell.hash) & mask;
    while (grown[i].index_plus_one != 0) i = (i + 1) & mask;
    grown[i] = cell;
  }
  heap_cells_ = std::move(grown);
}

void QuarkRegistry::register_quark(Quark quark) {
  const std::uint64_t hash = quark_hash(key_, quark.name);
  std::size_t cell = probe(hash, quark.name);
  if (const std::uint32_t index_plus_one = cells()[cell].index_plus_one; index_plus_one != 0) {
    record(index_plus_one - 1) = std::move(quark);
    return;
  }
  const std::size_t needed = open_addressing::capacity_for(size_ + 1, kInlineCells);
  if (needed > cells().size()) {
    rehash(needed);
    cell = probe(hash, quark.name);
  }
  append(std::move(quark));
  cells()[cell] = Cell{hash, static_cast<std::uint32_t>(size_)};
}

const Quark* QuarkRegistry::find(std::string_view name) const noexcept {
  const Cell& cell = cells()[probe(quark_hash(key_, name), name)];
  return cell.index_plus_one == 0 ? nullptr : &record(cell.index_plus_one - 1);
}

void QuarkRegistry::sort_names_into(std::span<std::string_view> views) const {
  for (std::size_t i = 0; i < size_; ++i) views[i] = record(i).name;
  sort_by_bytes(views.first(size_));
}

std::vector<std::string> QuarkRegistry::sorted_names() const {
  std::vector<std::string_view> views(size_);
  sort_names_into(views);
  return {views.begin(), views.end()};
}

}  // namespace vellora
