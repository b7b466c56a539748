// Tests of the listing order and of the lock-free name listing of a fresh seeded registry.
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

TEST(LexicographicOrder, SeededNamesAreTheStandardTable) {
  std::vector<std::string_view> listed = FormulasRegistry::seeded_names();
  std::vector<std::string> locked = FormulasRegistry::seeded().names();
  ASSERT_EQ(listed.size(), 17u);
  sort_by_bytes(listed);
  std::sort(locked.begin(), locked.end());
  EXPECT_TRUE(std::equal(listed.begin(), listed.end(), locked.begin(), locked.end()));
  EXPECT_EQ(listed.front(), "b3");
  EXPECT_EQ(listed.back(), "w0_central");
  EXPECT_TRUE(std::adjacent_find(listed.begin(), listed.end()) == listed.end());
}

}  // namespace
}  // namespace vellora
