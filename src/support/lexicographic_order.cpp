// Sorting names into byte order by counting, for each name, the names that precede it.
#include "support/lexicographic_order.hpp"

#include <algorithm>
#include <array>

#include "support/vector_units.hpp"


namespace vellora {
namespace {

constexpr std::size_t kCountedAtMost = 64;
// Room for the vector loop's last block of four; its padding words never count as smaller.
constexpr std::size_t kWordCapacity = kCountedAtMost + 3;

/// For each name, how many leading words are smaller and how many are equal (its own included).
struct WordCounts {
  std::size_t smaller;
  std::size_t equal;
};

WordCounts count_words_scalar(const std::uint64_t* words, std::size_t count, std::uint64_t word) noexcept {
  WordCounts counts{0, 0};
  for (std::size_t j = 0; j < count; ++j) {
    counts.smaller += words[j] < word;
    counts.equal += words[j] == word;
  }
  return counts;
}

#ifdef VELLORA_HAVE_AVX2_PATH
/// count_words_scalar four words per compare; `words` holds padding up to a multiple of four.
/// AVX2 compares signed words, so both sides are offset by the sign bit first.
__attribute__((target("avx2"))) void place_all_avx2(const std::uint64_t* words, std::size_t count,
                                                    WordCounts* counts) noexcept {
  const __m256i sign = _mm256_set1_epi64x(static_cast<long long>(0x8000000000000000ULL));
  for (std::size_t i = 0; i < count; ++i) {
    const __m256i word = _mm256_xor_si256(_mm256_set1_epi64x(static_cast<long long>(words[i])), sign);
    __m256i smaller = _mm256_setzero_si256();
    __m256i equal = _mm256_setzero_si256();
    for (std::size_t j = 0; j < count; j += 4) {
      const __m256i other =
          _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + j)), sign);
      smaller = _mm256_sub_epi64(smaller, _mm256_cmpgt_epi64(word, other));  // a true lane is -1
      equal = _mm256_sub_epi64(equal, _mm256_cmpeq_epi64(word, other));
    }
    alignas(32) std::uint64_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), smaller);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 4), equal);
    counts[i] = {static_cast<std::size_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]),
                 static_cast<std::size_t>(lanes[4] + lanes[5] + lanes[6] + lanes[7])};
  }
}
#endif

}  // namespace

void sort_by_bytes(std::span<std::string_view> names, CountingUnits units) {
  const std::size_t count = names.size();
  if (count > kCountedAtMost) {
    std::stable_sort(names.begin(), names.end(),
                     [](std::string_view a, std::string_view b) { return precedes_by_bytes(a, b); });
    return;
  }
  std::array<std::uint64_t, kWordCapacity> words;
  std::array<WordCounts, kCountedAtMost> counts;
  // The names in their first order. A trivial type, so the array costs nothing until written
  // (string_view's constructor would zero all of it).
  struct Span {
    const char* data;
    std::size_t size;
    operator std::string_view() const noexcept { return {data, size}; }
  };
  Span unsorted[kCountedAtMost];
  for (std::size_t i = 0; i < count; ++i) {
    words[i] = leading_word(names[i]);
    unsorted[i] = Span{names[i].data(), names[i].size()};
  }
  bool counted = false;
#ifdef VELLORA_HAVE_AVX2_PATH
  if (units == CountingUnits::Detected && processor_runs_avx2()) {
    // Padding words are the largest, so never smaller; any equal to them are sorted out below.
    for (std::size_t j = count; j % 4 != 0; ++j) words[j] = ~std::uint64_t{0};
    place_all_avx2(words.data(), count, counts.data());
    counted = true;
  }
#endif
  if (!counted)
    for (std::size_t i = 0; i < count; ++i) counts[i] = count_words_scalar(words.data(), count, words[i]);

  for (std::size_t i = 0; i < count; ++i) {
    std::size_t place = counts[i].smaller;
    if (counts[i].equal > 1) [[unlikely]] {  // the name's own word is one of them
      const std::uint64_t next_word = leading_word(unsorted[i], 8);
      for (std::size_t j = 0; j < count; ++j) {
        if (j == i || words[j] != words[i]) continue;
        // The next eight bytes settle most ties; the rest, and the lengths, settle the others.
        const std::uint64_t other_next_word = leading_word(unsorted[j], 8);
        if (other_next_word != next_word) {
          place += other_next_word < next_word;
          continue;
        }
        place += precedes_by_bytes(unsorted[j], unsorted[i]) ||
                 (j < i && !precedes_by_bytes(unsorted[i], unsorted[j]));  // equal names keep their order
      }
    }
    names[place] = unsorted[i];
  }
}

}  // namespace vellora
