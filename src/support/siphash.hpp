// SipHash with a compile-time round count, and the per-thread supply of registry hash keys.
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

/// SipHash-c-d of `size` bytes; SipHash-1-3 and SipHash-2-4 are the instances used and tested.
template <int CompressionRounds, int FinalizationRounds>
std::uint64_t sip_hash(SipKey key, const unsigned char* data, std::size_t size) noexcept;

/// SipHash-1-3 of the name's bytes followed by one 0xFF byte: the hash every registry keys names by.
/// The trailing byte is part of that definition (shard placement depends on it, and the tests pin
/// it); for one name on its own it adds nothing, since SipHash already mixes in the length.
std::uint64_t hash_name(SipKey key, std::string_view name) noexcept;

/// hash_name of every name into `hashes` (as many as there are names). Where the processor has
/// AVX2, four names are hashed at once, one per 64-bit vector lane; the values are the same.
void hash_names(SipKey key, std::span<const std::string_view> names, std::uint64_t* hashes) noexcept;

/// hash_names without the vector path, whatever the processor: the reference it must match.
void hash_names_scalar(SipKey key, std::span<const std::string_view> names, std::uint64_t* hashes) noexcept;

/// A key for a new registry: the calling thread's pair, drawn once from the operating system's
/// random source, after which the thread's first word is increased by one (so no two registries
/// of a thread share a key).
SipKey next_registry_key() noexcept;

}  // namespace vellora
