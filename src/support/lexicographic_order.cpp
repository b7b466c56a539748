// Sorting names into byte order: insertion on leading words for the short lists every listing has.
#include "support/lexicographic_order.hpp"

#include <algorithm>

namespace vellora {
namespace {

constexpr std::size_t kInsertedAtMost = 32;

/// A name and its leading word: the word decides all but a tie, and is compared without a load
/// of the name's bytes.
struct Keyed {
  std::uint64_t word;
  const char* data;
  std::size_t size;

  std::string_view view() const noexcept { return {data, size}; }
};

/// True when `left` sorts after `right`; a name equal to another never does, so the insertion
/// that moves only these past a new name keeps equal names in their order.
bool sorts_after(const Keyed& left, const Keyed& right) noexcept {
  if (left.word != right.word) return left.word > right.word;
  return precedes_by_bytes(right.view(), left.view());
}

}  // namespace

void sort_by_bytes(std::span<std::string_view> names) {
  const std::size_t count = names.size();
  if (count > kInsertedAtMost) {
    std::stable_sort(names.begin(), names.end(),
                     [](std::string_view a, std::string_view b) { return precedes_by_bytes(a, b); });
    return;
  }
  // Trivial, so the array costs nothing until written.
  Keyed sorted[kInsertedAtMost];
  for (std::size_t i = 0; i < count; ++i) {
    const Keyed name{leading_word(names[i]), names[i].data(), names[i].size()};
    std::size_t place = i;
    for (; place > 0 && sorts_after(sorted[place - 1], name); --place) sorted[place] = sorted[place - 1];
    sorted[place] = name;
  }
  for (std::size_t i = 0; i < count; ++i) names[i] = sorted[i].view();
}

}  // namespace vellora
