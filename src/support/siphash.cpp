// SipHash (Aumasson and Bernstein) over byte strings, and per-thread random keys.
#include "support/siphash.hpp"

#include <sys/random.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <random>

namespace vellora {
namespace {

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  explicit SipState(SipKey key) noexcept
      : v0(key.k0 ^ 0x736f6d6570736575ULL),
        v1(key.k1 ^ 0x646f72616e646f6dULL),
        v2(key.k0 ^ 0x6c7967656e657261ULL),
        v3(key.k1 ^ 0x7465646279746573ULL) {}

  void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  template <int Rounds>
  void compress(std::uint64_t word) noexcept {
    v3 ^= word;
    for (int i = 0; i < Rounds; ++i) round();
    v0 ^= word;
  }

  template <int Rounds>
  std::uint64_t finish() noexcept {
    v2 ^= 0xff;
    for (int i = 0; i < Rounds; ++i) round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

std::uint64_t load_le64(const unsigned char* bytes) noexcept {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

/// The last message word: the remaining 0 to 7 bytes, little-endian, with the length's low byte on top.
std::uint64_t tail_word(const unsigned char* bytes, std::size_t count, std::size_t total_size) noexcept {
  std::uint64_t word = static_cast<std::uint64_t>(total_size & 0xff) << 56;
  for (std::size_t i = 0; i < count; ++i) word |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  return word;
}

template <int C, int D>
std::uint64_t sip_hash_with_suffix(SipKey key, const unsigned char* data, std::size_t size,
                                   const unsigned char* suffix, std::size_t suffix_size) noexcept {
  SipState state(key);
  const std::size_t full_words = size / 8;
  for (std::size_t i = 0; i < full_words; ++i) state.compress<C>(load_le64(data + 8 * i));
  // What is left of the data plus the suffix fits one word, or fills one and leaves a tail.
  unsigned char rest[16] = {};
  const std::size_t data_left = size - 8 * full_words;
  // memcpy may not be handed a null pointer even for zero bytes.
  if (data_left != 0) std::memcpy(rest, data + 8 * full_words, data_left);
  if (suffix_size != 0) std::memcpy(rest + data_left, suffix, suffix_size);
  std::size_t rest_size = data_left + suffix_size;
  const unsigned char* cursor = rest;
  if (rest_size >= 8) {
    state.compress<C>(load_le64(cursor));
    cursor += 8;
    rest_size -= 8;
  }
  state.compress<C>(tail_word(cursor, rest_size, size + suffix_size));
  return state.finish<D>();
}

SipKey draw_random_key() noexcept {
  SipKey key;
  unsigned char bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled < sizeof bytes) {
    // No kernel source: fall back to the library's device, mixed with the clock.
    std::random_device device;
    for (std::size_t i = filled; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(device());
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (std::size_t i = 0; i < 8; ++i) bytes[i] ^= static_cast<unsigned char>(now >> (8 * i));
  }
  std::memcpy(&key.k0, bytes, 8);
  std::memcpy(&key.k1, bytes + 8, 8);
  return key;
}

}  // namespace

template <int C, int D>
std::uint64_t sip_hash(SipKey key, const unsigned char* data, std::size_t size) noexcept {
  return sip_hash_with_suffix<C, D>(key, data, size, nullptr, 0);
}

template std::uint64_t sip_hash<1, 3>(SipKey, const unsigned char*, std::size_t) noexcept;
template std::uint64_t sip_hash<2, 4>(SipKey, const unsigned char*, std::size_t) noexcept;

std::uint64_t hash_name(SipKey key, std::string_view name) noexcept {
  // The same as sip_hash_with_suffix over name + 0xFF, without staging the tail in a buffer:
  // names are short and this runs once per insert and per lookup.
  const auto* const bytes = reinterpret_cast<const unsigned char*>(name.data());
  const std::size_t size = name.size();
  SipState state(key);
  const std::size_t full_words = size / 8;
  for (std::size_t i = 0; i < full_words; ++i) state.compress<1>(load_le64(bytes + 8 * i));
  const std::size_t left = size % 8;
  const unsigned char* const rest = bytes + 8 * full_words;
  std::uint64_t tail = std::uint64_t{0xff} << (8 * left);
  switch (left) {  // falls through: byte i of the rest goes to bits 8i..8i+7
    case 7: tail |= static_cast<std::uint64_t>(rest[6]) << 48; [[fallthrough]];
    case 6: tail |= static_cast<std::uint64_t>(rest[5]) << 40; [[fallthrough]];
    case 5: tail |= static_cast<std::uint64_t>(rest[4]) << 32; [[fallthrough]];
    case 4: tail |= static_cast<std::uint64_t>(rest[3]) << 24; [[fallthrough]];
    case 3: tail |= static_cast<std::uint64_t>(rest[2]) << 16; [[fallthrough]];
    case 2: tail |= static_cast<std::uint64_t>(rest[1]) << 8; [[fallthrough]];
    case 1: tail |= static_cast<std::uint64_t>(rest[0]); break;
    default: break;
  }
  const std::uint64_t length_byte = static_cast<std::uint64_t>((size + 1) & 0xff) << 56;
  if (left == 7) {  // the terminator fills the word: the length goes into a word of its own
    state.compress<1>(tail);
    tail = 0;
  }
  state.compress<1>(tail | length_byte);
  return state.finish<3>();
}

SipKey next_registry_key() noexcept {
  thread_local SipKey thread_key = draw_random_key();
  const SipKey key = thread_key;
  thread_key.k0 += 1;  // wraps modulo 2^64
  return key;
}

}  // namespace vellora
