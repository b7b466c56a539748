// Tests for the quark registry: the standard records, replacement, name ordering and table growth.
#include "quarks/quark_registry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vellora {
namespace {

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

struct StandardRecord {
  const char* name;
  double mass_mev;
  double scale_factor;
  std::uint32_t phi_exponent;
  std::uint8_t generation;
};

constexpr StandardRecord kStandard[] = {
    {"up", 764.665760128228, 0.003105620015141857, 12, 1},
    {"down", 1237.2551899207474, 0.005024998740641489, 11, 1},
    {"strange", 5241.0970900186985, 0.02128623625220818, 8, 2},
    {"charm", 22201.643549995544, 0.09016994374947422, 5, 2},
    {"bottom", 35923.013870002665, 0.14589803375031543, 4, 3},
    {"top", 246220.0, 1.0, 0, 3},
};

class StandardQuarkTest : public ::testing::TestWithParam<StandardRecord> {};

TEST_P(StandardQuarkTest, StoredBitExact) {
  const StandardRecord& want = GetParam();
  const QuarkRegistry registry = QuarkRegistry::standard_model();
  const Quark* q = registry.find(want.name);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q->name, want.name);
  EXPECT_EQ(bits(q->mass_mev), bits(want.mass_mev));
  EXPECT_EQ(bits(q->scale_factor), bits(want.scale_factor));
  EXPECT_EQ(q->phi_exponent, want.phi_exponent);
  EXPECT_EQ(q->generation, want.generation);
}

TEST_P(StandardQuarkTest, MassIsTopMassTimesScale) {
  const QuarkRegistry registry = QuarkRegistry::standard_model();
  const Quark* q = registry.find(GetParam().name);
  const Quark* top = registry.find("top");
  ASSERT_NE(q, nullptr);
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(bits(q->mass_mev), bits(top->mass_mev * q->scale_factor));
}

INSTANTIATE_TEST_SUITE_P(Records, StandardQuarkTest, ::testing::ValuesIn(kStandard),
                         [](const ::testing::TestParamInfo<StandardRecord>& info) {
                           return std::string(info.param.name);
                         });

TEST(QuarkRegistryTest, StandardModelHasSixSortedNames) {
  const QuarkRegistry registry = QuarkRegistry::standard_model();
  EXPECT_EQ(registry.size(), 6u);
  EXPECT_EQ(registry.sorted_names(),
            (std::vector<std::string>{"bottom", "charm", "down", "strange", "top", "up"}));
  EXPECT_EQ(registry.find("strange_"), nullptr);
  EXPECT_EQ(registry.find(""), nullptr);
}

TEST(QuarkRegistryTest, EmptyRegistry) {
  const QuarkRegistry registry;
  EXPECT_EQ(registry.size(), 0u);
  EXPECT_TRUE(registry.sorted_names().empty());
  EXPECT_EQ(registry.find("up"), nullptr);
}

TEST(QuarkRegistryTest, ReregisteringReplacesRecord) {
  QuarkRegistry registry = QuarkRegistry::standard_model();
  registry.register_quark({"top", 173000.0, 0.5, 7, 9});
  EXPECT_EQ(registry.size(), 6u);
  const Quark* top = registry.find("top");
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->mass_mev, 173000.0);
  EXPECT_EQ(top->scale_factor, 0.5);
  EXPECT_EQ(top->phi_exponent, 7u);
  EXPECT_EQ(top->generation, 9);
  EXPECT_EQ(registry.sorted_names().size(), 6u);
}

struct OrderCase {
  const char* label;
  std::vector<std::string> inserted;
  std::vector<std::string> sorted;
};

class SortedNamesTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(SortedNamesTest, AscendingByUnsignedBytes) {
  QuarkRegistry registry;
  for (const std::string& name : GetParam().inserted) registry.register_quark({name, 1.0, 1.0, 0, 1});
  EXPECT_EQ(registry.sorted_names(), GetParam().sorted);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, SortedNamesTest,
    ::testing::Values(
        OrderCase{"PrefixFirst", {"b", "ab", "a"}, {"a", "ab", "b"}},
        OrderCase{"HighBytesAfterAscii", {"\xC3\xA9", "z", "\x80", "A"}, {"A", "z", "\x80", "\xC3\xA9"}},
        OrderCase{"EmptyNameFirst", {"x", "", "\x7F"}, {"", "x", "\x7F"}},
        OrderCase{"EmbeddedNul", {std::string("a\0b", 3), "a", std::string("a\0", 2)},
                  {"a", std::string("a\0", 2), std::string("a\0b", 3)}},
        // More than fit the stack buffer used for small registries.
        OrderCase{"Seventeen",
                  {"q", "p", "o", "n", "m", "l", "k", "j", "i", "h", "g", "f", "e", "d", "c", "b", "a"},
                  {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o", "p", "q"}}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return std::string(info.param.label); });

// Each registry places the six by its own random key, wrapping round the table at random points:
// every placement must be where a lookup probes.
TEST(QuarkRegistryTest, EveryKeyPlacesEveryRecordWhereItIsFound) {
  for (int registry_number = 0; registry_number < 500; ++registry_number) {
    const QuarkRegistry registry = QuarkRegistry::standard_model();
    for (const StandardRecord& r : kStandard) {
      const Quark* quark = registry.find(r.name);
      ASSERT_NE(quark, nullptr) << r.name << " in registry " << registry_number;
      EXPECT_EQ(quark->name, r.name);
    }
  }
}

TEST(QuarkRegistryTest, RegistriesHaveDistinctKeysButEqualContents) {
  const QuarkRegistry a = QuarkRegistry::standard_model();
  const QuarkRegistry b = QuarkRegistry::standard_model();
  EXPECT_FALSE(a.key().k0 == b.key().k0 && a.key().k1 == b.key().k1);
  EXPECT_EQ(a.sorted_names(), b.sorted_names());
  for (const StandardRecord& r : kStandard) {
    ASSERT_NE(a.find(r.name), nullptr);
    ASSERT_NE(b.find(r.name), nullptr);
    EXPECT_EQ(bits(a.find(r.name)->mass_mev), bits(b.find(r.name)->mass_mev));
  }
}

// The first records and the smallest table live inside the registry object, so a move must
// carry them along: with the standard six (all inline) and with more than fit inline.
TEST(QuarkRegistryTest, MovedRegistryKeepsItsRecords) {
  for (const int extra : {0, 5}) {
    QuarkRegistry source = QuarkRegistry::standard_model();
    for (int i = 0; i < extra; ++i) source.register_quark({"extra" + std::to_string(i), double(i), 0.0, 0, 1});
    const std::vector<std::string> names = source.sorted_names();
    QuarkRegistry moved(std::move(source));
    QuarkRegistry assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.size(), 6u + extra);
    EXPECT_EQ(assigned.sorted_names(), names);
    for (const std::string& name : names) {
      const Quark* quark = assigned.find(name);
      ASSERT_NE(quark, nullptr) << name;
      EXPECT_EQ(quark->name, name);
    }
  }
}

TEST(QuarkRegistryTest, GrowsThroughManyInsertsAndReplacements) {
  QuarkRegistry registry;
  constexpr int kCount = 1000;
  for (int i = 0; i < kCount; ++i) registry.register_quark({"q" + std::to_string(i), double(i), 0.0, 0, 1});
  ASSERT_EQ(registry.size(), std::size_t{kCount});
  // Replace every other record after growth; the count must not move and values must follow.
  for (int i = 0; i < kCount; i += 2) registry.register_quark({"q" + std::to_string(i), -double(i), 0.0, 0, 2});
  EXPECT_EQ(registry.size(), std::size_t{kCount});
  for (int i = 0; i < kCount; ++i) {
    const Quark* q = registry.find("q" + std::to_string(i));
    ASSERT_NE(q, nullptr) << i;
    EXPECT_EQ(q->mass_mev, i % 2 == 0 ? -double(i) : double(i)) << i;
  }
  EXPECT_EQ(registry.find("q1000"), nullptr);
  const std::vector<std::string> names = registry.sorted_names();
  ASSERT_EQ(names.size(), std::size_t{kCount});
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
}

}  // namespace
}  // namespace vellora
