// SipHash (Aumasson and Bernstein) over byte strings, and per-thread random keys.
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

/// How many words SipHash compresses for a name of `size` bytes: the full words of the name and
/// its 0xFF, then the final one.
constexpr std::size_t message_word_count(std::size_t size) noexcept { return (size + 1) / 8 + 1; }

/// The message length's low byte (the name and its 0xFF) in the top byte of the final word.
constexpr std::uint64_t length_byte(std::size_t size) noexcept {
  return static_cast<std::uint64_t>((size + 1) & 0xff) << 56;
}

/// The message words of hash_name: the name's bytes, one 0xFF, then SipHash's final word.
struct NameWords {
  const unsigned char* bytes;
  std::size_t size;

  explicit NameWords(std::string_view name) noexcept
      : bytes(reinterpret_cast<const unsigned char*>(name.data())), size(name.size()) {}

  std::size_t count() const noexcept { return message_word_count(size); }

  /// Word `index` (below count()).
  std::uint64_t word(std::size_t index) const noexcept {
    const std::size_t start = 8 * index;
    if (start + 8 <= size) return load_le64(bytes + start);
    if (start > size) return length_byte(size);  // the terminator filled the word before
    const std::size_t left = size - start;
    const std::uint64_t word = load_partial_le(bytes + start, left) | std::uint64_t{0xff} << (8 * left);
    return left == 7 ? word : word | length_byte(size);
  }
};

/// The same words from a padded name: each is a whole load with the terminator and, in the last
/// word, the length put in by arithmetic, so neither the length nor the tail size is branched on.
struct PaddedWords {
  const unsigned char* bytes;
  std::size_t size;

  explicit PaddedWords(const PaddedName& name) noexcept : bytes(name.bytes()), size(name.view().size()) {}

  std::size_t count() const noexcept { return message_word_count(size); }

  /// Word `index` (below count(), so within the padding).
  std::uint64_t word(std::size_t index) const noexcept {
    const std::size_t start = 8 * index;
    const std::uint64_t loaded = load_le64(bytes + start);  // zeros past the name
    const std::size_t terminator = size - start;             // wraps round when before this word
    const std::uint64_t with_terminator = terminator < 8 ? loaded | std::uint64_t{0xff} << (8 * terminator) : loaded;
    return index + 1 == count() ? with_terminator | length_byte(size) : with_terminator;
  }
};

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

/// hash_name of four names at once, from their words (NameWords or PaddedWords); a lane whose name
/// has fewer words keeps its state unchanged while the others compress theirs.
template <class Words>
__attribute__((target("avx2"))) void hash_four(SipKey key, const Words (&lanes)[4], std::uint64_t* hashes) noexcept {
  const std::size_t counts[4] = {lanes[0].count(), lanes[1].count(), lanes[2].count(), lanes[3].count()};
  const std::size_t most = std::max(std::max(counts[0], counts[1]), std::max(counts[2], counts[3]));
  const std::size_t least = std::min(std::min(counts[0], counts[1]), std::min(counts[2], counts[3]));
  const __m256i word_counts = _mm256_setr_epi64x(static_cast<long long>(counts[0]), static_cast<long long>(counts[1]),
                                                 static_cast<long long>(counts[2]), static_cast<long long>(counts[3]));
  SipLanes state{_mm256_set1_epi64x(static_cast<long long>(key.k0 ^ 0x736f6d6570736575ULL)),
                 _mm256_set1_epi64x(static_cast<long long>(key.k1 ^ 0x646f72616e646f6dULL)),
                 _mm256_set1_epi64x(static_cast<long long>(key.k0 ^ 0x6c7967656e657261ULL)),
                 _mm256_set1_epi64x(static_cast<long long>(key.k1 ^ 0x7465646279746573ULL))};
  for (std::size_t i = 0; i < most; ++i) {
    const auto word_of = [i](const Words& lane, std::size_t count) {
      return static_cast<long long>(i < count ? lane.word(i) : 0);
    };
    const __m256i word = _mm256_setr_epi64x(word_of(lanes[0], counts[0]), word_of(lanes[1], counts[1]),
                                            word_of(lanes[2], counts[2]), word_of(lanes[3], counts[3]));
    compress_lanes(state, word, i, word_counts, i < least);
  }
  state.v2 = _mm256_xor_si256(state.v2, _mm256_set1_epi64x(0xff));
  state.round();
  state.round();
  state.round();
  const __m256i result =
      _mm256_xor_si256(_mm256_xor_si256(state.v0, state.v1), _mm256_xor_si256(state.v2, state.v3));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(hashes), result);
}

__attribute__((target("avx2"))) void hash_four_names(SipKey key, const std::string_view* names,
                                                     std::uint64_t* hashes) noexcept {
  const NameWords lanes[4] = {NameWords(names[0]), NameWords(names[1]), NameWords(names[2]), NameWords(names[3])};
  hash_four(key, lanes, hashes);
}

__attribute__((target("avx2"))) void hash_four_padded(SipKey key, const PaddedName* names,
                                                      std::uint64_t* hashes) noexcept {
  const PaddedWords lanes[4] = {PaddedWords(names[0]), PaddedWords(names[1]), PaddedWords(names[2]),
                                PaddedWords(names[3])};
  hash_four(key, lanes, hashes);
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
  std::uint64_t tail = load_partial_le(bytes + 8 * full_words, left) | std::uint64_t{0xff} << (8 * left);
  if (left == 7) {  // the terminator fills the word: the length goes into a word of its own
    state.compress<1>(tail);
    tail = 0;
  }
  state.compress<1>(tail | length_byte(size));
  return state.finish<3>();
}

void hash_names_scalar(SipKey key, std::span<const std::string_view> names, std::uint64_t* hashes) noexcept {
  for (std::size_t i = 0; i < names.size(); ++i) hashes[i] = hash_name(key, names[i]);
}

void hash_names(SipKey key, std::span<const std::string_view> names, std::uint64_t* hashes) noexcept {
  std::size_t done = 0;
#ifdef VELLORA_HAVE_AVX2_PATH
  if (processor_runs_avx2())
    for (; done + 4 <= names.size(); done += 4) hash_four_names(key, names.data() + done, hashes + done);
#endif
  hash_names_scalar(key, names.subspan(done), hashes + done);
}

PaddedName::PaddedName(std::string_view text) noexcept {
  assert(text.size() <= kCapacity);
  size_ = std::min(text.size(), kCapacity);
  if (size_ != 0) std::memcpy(bytes_, text.data(), size_);
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
