// Tests of the listing order and of the lock-free name listing of a fresh registry from seeded().
#include "support/lexicographic_order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "registry/formulas_registry.hpp"

namespace vellora {
namespace {

TEST(LexicographicOrder, PrefixFirstThenUnsignedBytes) {
  using namespace std::string_literals;
  const std::vector<std::string> expected = {
      ""s, "\0"s, "\0a"s, "A"s, "Z"s, "_"s, "a"s, "ab"s, "ab\0"s, "abc"s, "b"s, "\x7f"s, "\xc2\xb5"s, "\xff"s};
  std::vector<std::string_view> names(expected.begin(), expected.end());
  std::mt19937 shuffler(7);
  for (int round = 0; round < 50; ++round) {
    std::shuffle(names.begin(), names.end(), shuffler);
    sort_by_bytes(names);
    ASSERT_TRUE(std::equal(names.begin(), names.end(), expected.begin(), expected.end())) << "round " << round;
  }
}

// Names drawn to make leading words tie: shared 8-byte and shorter prefixes, prefixes of each
// other, NUL and high bytes, empty names and repeats. The sort must agree with a stable sort by
// the byte comparator, also past the count where it hands over to one.
TEST(LexicographicOrder, AgreesWithStableComparisonSort) {
  const std::string alphabet("\0\x01a_b\x7f\x80\xc2\xff", 9);
  const std::string stems[] = {"", "sterile_", "sterile_s", "abcdefgh", "ab", std::string(8, '\xff'),
                               std::string(8, '\0')};
  std::mt19937_64 random(11);
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> texts(random() % 80);
    for (std::string& text : texts) {
      text = stems[random() % std::size(stems)];
      for (std::size_t tail = random() % 4; tail > 0; --tail) text += alphabet[random() % alphabet.size()];
    }
    std::vector<std::string_view> expected(texts.begin(), texts.end());
    std::stable_sort(expected.begin(), expected.end(), precedes_by_bytes);
    for (const CountingUnits units : {CountingUnits::Detected, CountingUnits::ScalarOnly}) {
      std::vector<std::string_view> names(texts.begin(), texts.end());
      sort_by_bytes(names, units);
      ASSERT_EQ(names.size(), expected.size());
      for (std::size_t i = 0; i < names.size(); ++i)  // the same views, so equal names kept their order
        ASSERT_EQ(names[i].data(), expected[i].data())
            << "round " << round << ", place " << i << (units == CountingUnits::ScalarOnly ? ", scalar" : "");
    }
  }
}

TEST(LexicographicOrder, SeededNamesAreTheStandardTable) {
  auto listed = FormulasRegistry::seeded_names();
  std::vector<std::string> locked = FormulasRegistry::seeded().names();
  sort_by_bytes(listed);
  std::sort(locked.begin(), locked.end());
  EXPECT_TRUE(std::equal(listed.begin(), listed.end(), locked.begin(), locked.end()));
  EXPECT_EQ(listed.front(), "b3");
  EXPECT_EQ(listed.back(), "w0_central");
  EXPECT_TRUE(std::adjacent_find(listed.begin(), listed.end()) == listed.end());
}

}  // namespace
}  // namespace vellora
