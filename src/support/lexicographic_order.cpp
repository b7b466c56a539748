// Sorting names into byte order by counting, for each name, the leading words smaller than its own.
#include "support/lexicographic_order.hpp"

#include <algorithm>
#include <utility>

#include "support/vector_units.hpp"

namespace vellora {
namespace {

constexpr std::size_t kCountedAtMost = 32;
// Room for the vector loop's last block of four.
constexpr std::size_t kWordCapacity = kCountedAtMost + 3;

/// A leading word offset by its sign bit: compared as signed, such words keep the unsigned order,
/// which is the only order AVX2 compares in.
std::int64_t signed_order(std::uint64_t word) noexcept {
  return static_cast<std::int64_t>(word ^ (std::uint64_t{1} << 63));
}

/// A name and its leading word: the word decides all but a tie, and is compared without a load
/// of the name's bytes.
struct Keyed {
  std::int64_t word;
  const char* data;
  std::size_t size;

  std::string_view view() const noexcept { return {data, size}; }
};

void count_smaller_scalar(const std::int64_t* words, std::size_t count, std::uint64_t* smaller) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t below = 0;
    for (std::size_t j = 0; j < count; ++j) below += words[j] < words[i];
    smaller[i] = below;
  }
}

#ifdef VELLORA_HAVE_AVX2_PATH
/// count_smaller_scalar for four words at once: each other word is compared with all four, so
/// nothing is added across lanes. `words` is padded to a multiple of four.
__attribute__((target("avx2"))) void count_smaller_avx2(const std::int64_t* words, std::size_t count,
                                                        std::uint64_t* smaller) noexcept {
  for (std::size_t i = 0; i < count; i += 4) {
    const __m256i four = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + i));
    __m256i below = _mm256_setzero_si256();
    for (std::size_t j = 0; j < count; ++j)  // a true lane is -1
      below = _mm256_sub_epi64(below, _mm256_cmpgt_epi64(four, _mm256_set1_epi64x(words[j])));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(smaller + i), below);
  }
}
#endif

}  // namespace

void sort_by_bytes(std::span<std::string_view> names, [[maybe_unused]] CountingUnits units) {
  const std::size_t count = names.size();
  if (count > kCountedAtMost) {
    std::stable_sort(names.begin(), names.end(),
                     [](std::string_view a, std::string_view b) { return precedes_by_bytes(a, b); });
    return;
  }
  // Trivial types, so the arrays cost nothing until written.
  std::int64_t words[kWordCapacity];
  std::uint64_t smaller[kWordCapacity];
  for (std::size_t i = 0; i < count; ++i) words[i] = signed_order(leading_word(names[i]));
  bool counted = false;
#ifdef VELLORA_HAVE_AVX2_PATH
  if (units == CountingUnits::Detected && processor_runs_avx2()) {
    for (std::size_t i = count; i % 4 != 0; ++i) words[i] = 0;  // their counts are never read
    count_smaller_avx2(words, count, smaller);
    counted = true;
  }
#endif
  if (!counted) count_smaller_scalar(words, count, smaller);

  // Names of equal words have the same count: they take that place and the ones after it, in
  // their first order.
  Keyed sorted[kCountedAtMost];
  unsigned char placed_at[kCountedAtMost] = {};
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t place = smaller[i] + placed_at[smaller[i]]++;
    sorted[place] = Keyed{words[i], names[i].data(), names[i].size()};
  }
  // Names of one word now stand together in their first order: their bytes decide among them,
  // a name moving back only past names it strictly precedes, which keeps equal names in order.
  for (std::size_t i = 1; i < count; ++i) {
    if (sorted[i].word != sorted[i - 1].word) [[likely]]
      continue;
    for (std::size_t place = i; place > 0 && sorted[place - 1].word == sorted[place].word &&
                                precedes_by_bytes(sorted[place].view(), sorted[place - 1].view());
         --place)
      std::swap(sorted[place], sorted[place - 1]);
  }
  for (std::size_t i = 0; i < count; ++i) names[i] = sorted[i].view();
}

}  // namespace vellora
