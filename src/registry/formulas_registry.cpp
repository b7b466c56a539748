// The sharded constants store: shard selection, locking, insert, lookup, listing and counting.
#include "registry/formulas_registry.hpp"

#include <sched.h>
#include <unistd.h>

#include <bit>
#include <mutex>
#include <shared_mutex>

#include "registry/name_table.hpp"
#include "registry/shared_lock.hpp"

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
}  // namespace

std::size_t process_shard_count() noexcept {
  static const std::size_t count = shard_count_for(available_processors());
  return count;
}

// Four inline slots hold three records before a shard's table first allocates; with at least four
// shards per processor the standard table's seventeen records mostly stay inline.
struct FormulasRegistry::Shard {
  mutable SharedLock lock;
  NameTable<ConstantRecord, 4> table;
};

FormulasRegistry::FormulasRegistry() : FormulasRegistry(next_registry_key(), process_shard_count()) {}

FormulasRegistry::FormulasRegistry(SipKey key, std::size_t shard_count)
    : key_(key),
      shard_shift_(64u - static_cast<unsigned>(std::countr_zero(shard_count))),
      shard_count_(shard_count),
      shards_(std::make_unique<Shard[]>(shard_count)) {}

FormulasRegistry::FormulasRegistry(FormulasRegistry&&) noexcept = default;
FormulasRegistry& FormulasRegistry::operator=(FormulasRegistry&&) noexcept = default;
FormulasRegistry::~FormulasRegistry() = default;

std::size_t FormulasRegistry::shard_count() const noexcept { return shard_count_; }

std::size_t FormulasRegistry::shard_of(std::uint64_t hash) const noexcept {
  // With one shard the shift is 64, which C++ does not define for a 64-bit operand.
  return shard_shift_ >= 64 ? 0 : static_cast<std::size_t>((hash << 7) >> shard_shift_);
}

std::size_t FormulasRegistry::shard_index(std::string_view name) const noexcept {
  return shard_of(hash_name(key_, name));
}

std::optional<ConstantRecord> FormulasRegistry::insert(std::string name, ConstantRecord record) {
  const std::uint64_t hash = hash_name(key_, name);
  Shard& shard = shards_[shard_of(hash)];
  const std::unique_lock guard(shard.lock);
  return shard.table.insert(hash, std::move(name), std::move(record));
}

Expected<ConstantRecord, RegistryError> FormulasRegistry::get(std::string_view name) const {
  const std::uint64_t hash = hash_name(key_, name);
  const Shard& shard = shards_[shard_of(hash)];
  {
    const std::shared_lock guard(shard.lock);
    if (const auto* entry = shard.table.find(hash, name)) return ConstantRecord(entry->value);
  }
  return unexpected(RegistryError::not_found(std::string(name)));
}

std::vector<std::string> FormulasRegistry::names() const {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < shard_count_; ++i) {
    const Shard& shard = shards_[i];
    const std::shared_lock guard(shard.lock);
    names.reserve(names.size() + shard.table.size());
    shard.table.for_each([&names](const auto& entry) { names.push_back(entry.key); });
  }
  return names;
}

std::size_t FormulasRegistry::len() const noexcept {
  std::size_t total = 0;
  for (std::size_t i = 0; i < shard_count_; ++i) {
    const Shard& shard = shards_[i];
    const std::shared_lock guard(shard.lock);
    total += shard.table.size();
  }
  return total;
}

}  // namespace vellora
