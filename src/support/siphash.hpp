// The name hash the constants registry keys names by (SipHash-1-3), and the per-thread supply of the
// random keys that it and the quark registry, with a hash of its own, key their hashes with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vellora {

/// A 128-bit SipHash key as two 64-bit words.
struct SipKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

/// SipHash-1-3 of the name's bytes followed by one 0xFF byte: the hash the constants registry keys
/// names by. The trailing byte is part of that definition (shard placement depends on it, and the
/// tests pin it); for one name on its own it adds nothing, since SipHash already mixes in the length.
std::uint64_t hash_name(SipKey key, std::string_view name) noexcept;

/// A name of at most kCapacity bytes kept for hashing: its bytes, and the message words SipHash
/// compresses for it, laid out once. A table that is hashed again for every registry (the
/// standard one) keeps its names this way.
class PaddedName {
 public:
  static constexpr std::size_t kCapacity = 23;  // hash_name reads at most four words of such a name
  static constexpr std::size_t kStorage = 32;

  /// The empty name.
  PaddedName() noexcept = default;
  /// `text` must be at most kCapacity bytes; a longer one is cut there (and asserted against).
  explicit PaddedName(std::string_view text) noexcept;

  std::string_view view() const noexcept { return {bytes_, size_}; }
  /// The words SipHash compresses for the name, laid out once; as many as hash_name reads.
  const std::uint64_t* message_words() const noexcept { return words_; }

 private:
  alignas(8) char bytes_[kStorage] = {};
  std::size_t size_ = 0;
  std::uint64_t words_[kStorage / 8] = {};
};

/// hash_name of every padded name into `hashes`. Where the processor has AVX2, four names are
/// hashed at once, one per 64-bit vector lane, from whole loads and with no branch on their lengths.
void hash_padded_names(SipKey key, std::span<const PaddedName> names, std::uint64_t* hashes) noexcept;

/// A key for a new registry: the calling thread's pair, drawn once from the operating system's
/// random source, after which the thread's first word is increased by one (so no two registries
/// of a thread share a key).
SipKey next_registry_key() noexcept;

}  // namespace vellora
