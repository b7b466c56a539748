// SipHash-1-3 (Aumasson and Bernstein) of names, one at a time or four at once, and per-thread random keys.
#include "support/siphash.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cassert>
#include <chrono>
#include <cstring>

#include "support/byte_loads.hpp"
#include "support/vector_units.hpp"

namespace vellora {
namespace {

/// SipHash-1-3's state: one round per message word, three to finish.
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

  void compress(std::uint64_t word) noexcept {
    v3 ^= word;
    round();
    v0 ^= word;
  }

  std::uint64_t finish() noexcept {
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

// The message a name of `size` bytes is hashed as, in little-endian words: its bytes, one 0xFF,
// zeros to the end of a word, and the message length's low byte in the top byte of the last word
// (a word of its own when the 0xFF fills the one before). Both the scalar and the four-lane hash
// take their words from message_word, and nothing else spells this layout out.

/// How many words SipHash compresses for a name of `size` bytes.
constexpr std::size_t message_word_count(std::size_t size) noexcept { return (size + 1) / 8 + 1; }

/// A message word of a name of `size` bytes, given `loaded` (the name's bytes that fall in the
/// word, zeros above them) and `left`: size - 8 * the word's index, the name's bytes from the word's
/// start on, which wraps round for a word after the one the name ends in (past the last word the
/// result means nothing).
constexpr std::uint64_t message_word(std::uint64_t loaded, std::size_t left, std::size_t size) noexcept {
  const std::uint64_t word = left < 8 ? loaded | std::uint64_t{0xff} << (8 * left) : loaded;  // the 0xFF
  // The last word: the 0xFF left it a byte free, or filled the word before. The shift keeps the low byte.
  return left + 1 < 8 ? word | static_cast<std::uint64_t>(size + 1) << 56 : word;
}

#ifdef VELLORA_HAVE_AVX2_PATH

__attribute__((target("avx2"))) inline __m256i rotate_left(__m256i x, int bits) noexcept {
  return _mm256_or_si256(_mm256_slli_epi64(x, bits), _mm256_srli_epi64(x, 64 - bits));
}

/// Four SipHash-1-3 states, one per 64-bit lane; rotations by 16 and 32 are byte shuffles.
struct SipLanes {
  __m256i v0, v1, v2, v3;

  __attribute__((target("avx2"))) void round() noexcept {
    const __m256i rotate16 = _mm256_setr_epi8(6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13,  //
                                              6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13);
    v0 = _mm256_add_epi64(v0, v1);
    v2 = _mm256_add_epi64(v2, v3);
    v1 = rotate_left(v1, 13);
    v3 = _mm256_shuffle_epi8(v3, rotate16);
    v1 = _mm256_xor_si256(v1, v0);
    v3 = _mm256_xor_si256(v3, v2);
    v0 = _mm256_shuffle_epi32(v0, _MM_SHUFFLE(2, 3, 0, 1));
    v2 = _mm256_add_epi64(v2, v1);
    v0 = _mm256_add_epi64(v0, v3);
    v1 = rotate_left(v1, 17);
    v3 = rotate_left(v3, 21);
    v1 = _mm256_xor_si256(v1, v2);
    v3 = _mm256_xor_si256(v3, v0);
    v2 = _mm256_shuffle_epi32(v2, _MM_SHUFFLE(2, 3, 0, 1));
  }
};

/// Compresses `words` (one per lane) into the lanes whose names have more than `index` words.
__attribute__((target("avx2"))) inline void compress_lanes(SipLanes& state, __m256i word, std::size_t index,
                                                           __m256i word_counts, bool every_lane) noexcept {
  const SipLanes before = state;
  state.v3 = _mm256_xor_si256(state.v3, word);
  state.round();
  state.v0 = _mm256_xor_si256(state.v0, word);
  if (every_lane) return;
  const __m256i active = _mm256_cmpgt_epi64(word_counts, _mm256_set1_epi64x(static_cast<long long>(index)));
  state.v0 = _mm256_blendv_epi8(before.v0, state.v0, active);
  state.v1 = _mm256_blendv_epi8(before.v1, state.v1, active);
  state.v2 = _mm256_blendv_epi8(before.v2, state.v2, active);
  state.v3 = _mm256_blendv_epi8(before.v3, state.v3, active);
}

/// hash_name of four padded names at once, from the message words each keeps; a lane whose name
/// has fewer words keeps its state unchanged while the others compress theirs.
__attribute__((target("avx2"))) void hash_four_padded(SipKey key, const PaddedName* names,
                                                      std::uint64_t* hashes) noexcept {
  std::size_t counts[4];
  for (std::size_t lane = 0; lane < 4; ++lane) counts[lane] = message_word_count(names[lane].view().size());
  const std::size_t most = std::max(std::max(counts[0], counts[1]), std::max(counts[2], counts[3]));
  const std::size_t least = std::min(std::min(counts[0], counts[1]), std::min(counts[2], counts[3]));
  const __m256i word_counts = _mm256_setr_epi64x(static_cast<long long>(counts[0]), static_cast<long long>(counts[1]),
                                                 static_cast<long long>(counts[2]), static_cast<long long>(counts[3]));
  const SipState start(key);
  SipLanes state{_mm256_set1_epi64x(static_cast<long long>(start.v0)),
                 _mm256_set1_epi64x(static_cast<long long>(start.v1)),
                 _mm256_set1_epi64x(static_cast<long long>(start.v2)),
                 _mm256_set1_epi64x(static_cast<long long>(start.v3))};
  for (std::size_t i = 0; i < most; ++i) {
    // A lane past its last word reads a zero word, and compress_lanes puts its state back.
    const auto word_of = [&](std::size_t lane) { return static_cast<long long>(names[lane].message_words()[i]); };
    const __m256i words = _mm256_setr_epi64x(word_of(0), word_of(1), word_of(2), word_of(3));
    compress_lanes(state, words, i, word_counts, i < least);
  }
  state.v2 = _mm256_xor_si256(state.v2, _mm256_set1_epi64x(0xff));
  state.round();
  state.round();
  state.round();
  const __m256i result =
      _mm256_xor_si256(_mm256_xor_si256(state.v0, state.v1), _mm256_xor_si256(state.v2, state.v3));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(hashes), result);
}

#endif  // VELLORA_HAVE_AVX2_PATH

SipKey draw_random_key() noexcept {
  SipKey key;
  unsigned char bytes[16] = {};
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    // The system call itself: glibc's getrandom() wrapper needs glibc 2.25 or later.
    const long got = ::syscall(SYS_getrandom, bytes + filled, sizeof bytes - filled, 0);
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled < sizeof bytes) {
    // No getrandom (an old kernel, a seccomp filter): the device file, with the clock mixed in.
    // Not std::random_device: it can throw, and it ties the extension to a newer C library.
    const int device = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (device >= 0) {
      while (filled < sizeof bytes) {
        const ssize_t got = ::read(device, bytes + filled, sizeof bytes - filled);
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
      }
      ::close(device);
    }
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (std::size_t i = 0; i < 8; ++i) bytes[i] ^= static_cast<unsigned char>(now >> (8 * i));
  }
  std::memcpy(&key.k0, bytes, 8);
  std::memcpy(&key.k1, bytes + 8, 8);
  return key;
}

}  // namespace

std::uint64_t hash_name(SipKey key, std::string_view name) noexcept {
  const auto* const bytes = reinterpret_cast<const unsigned char*>(name.data());
  const std::size_t size = name.size();
  SipState state(key);
  // A word wholly within the name is its message word as loaded (message_word leaves it as it is).
  const std::size_t whole_words = size / 8;
  for (std::size_t index = 0; index < whole_words; ++index) state.compress(load_le64(bytes + 8 * index));
  // The bytes left are read without going past the name: at most two overlapping loads.
  const std::size_t left = size % 8;
  state.compress(message_word(load_partial_le(bytes + 8 * whole_words, left), left, size));
  if (left == 7) state.compress(message_word(0, left - 8, size));  // the 0xFF filled the word
  return state.finish();
}

PaddedName::PaddedName(std::string_view text) noexcept {
  assert(text.size() <= kCapacity);
  size_ = std::min(text.size(), kCapacity);
  if (size_ != 0) std::memcpy(bytes_, text.data(), size_);
  for (std::size_t i = 0; i < message_word_count(size_); ++i)
    words_[i] = message_word(load_le64(reinterpret_cast<const unsigned char*>(bytes_) + 8 * i), size_ - 8 * i, size_);
}

void hash_padded_names(SipKey key, std::span<const PaddedName> names, std::uint64_t* hashes) noexcept {
  std::size_t done = 0;
#ifdef VELLORA_HAVE_AVX2_PATH
  if (processor_runs_avx2())
    for (; done + 4 <= names.size(); done += 4) hash_four_padded(key, names.data() + done, hashes + done);
#endif
  for (; done < names.size(); ++done) hashes[done] = hash_name(key, names[done].view());
}

SipKey next_registry_key() noexcept {
  thread_local SipKey thread_key = draw_random_key();
  const SipKey key = thread_key;
  thread_key.k0 += 1;  // wraps modulo 2^64
  return key;
}

}  // namespace vellora
