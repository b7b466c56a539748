// Tests of the sharded constants registry: sharding, lookups, the standard table, growth and concurrency.
#include "registry/formulas_registry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vellora {
namespace {

constexpr SipKey kKey{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// The standard table's names in byte order.
const std::vector<std::string> kStandardNames = {
    "b3",          "chi_eff",      "gamma_em",       "h0_central",  "jc_constant", "logic_closure",
    "m_tau_mev",   "n_gen",        "n_gen_sq",       "phi",         "roots_total", "sterile_check",
    "sterile_sector", "topo_gen_check", "v_higgs_mev", "visible_sector", "w0_central"};

// ---- Shard counts and shard selection ----

struct ShardCountCase {
  std::size_t processors;
  std::size_t shards;
};

void PrintTo(const ShardCountCase& c, std::ostream* os) { *os << c.processors << " -> " << c.shards; }

class ShardCountFor : public ::testing::TestWithParam<ShardCountCase> {};

TEST_P(ShardCountFor, SmallestPowerOfTwoOfFourPerProcessor) {
  EXPECT_EQ(shard_count_for(GetParam().processors), GetParam().shards);
}

INSTANTIATE_TEST_SUITE_P(Processors, ShardCountFor,
                         ::testing::Values(ShardCountCase{0, 4}, ShardCountCase{1, 4}, ShardCountCase{2, 8},
                                           ShardCountCase{3, 16}, ShardCountCase{4, 16}, ShardCountCase{5, 32},
                                           ShardCountCase{6, 32}, ShardCountCase{8, 32}, ShardCountCase{9, 64},
                                           ShardCountCase{64, 256}, ShardCountCase{100, 512}));

TEST(ProcessShardCount, PowerOfTwoAtLeastFourAndStable) {
  const std::size_t count = process_shard_count();
  EXPECT_GE(count, 4u);
  EXPECT_TRUE(std::has_single_bit(count)) << count;
  EXPECT_EQ(process_shard_count(), count);
  EXPECT_EQ(FormulasRegistry::seeded().shard_count(), count);
  EXPECT_EQ(FormulasRegistry().shard_count(), count);
}

// A default-built registry takes the thread's next key, so its shard choice is predictable from it.
TEST(DefaultRegistry, UsesTheThreadsNextKey) {
  const SipKey before = next_registry_key();
  const FormulasRegistry registry;
  const SipKey after = next_registry_key();
  EXPECT_EQ(after.k0, before.k0 + 2);  // the registry drew exactly one key in between

  const FormulasRegistry reference(SipKey{before.k0 + 1, before.k1}, process_shard_count());
  for (int i = 0; i < 256; ++i) {
    const std::string name = "name" + std::to_string(i);
    ASSERT_EQ(registry.shard_index(name), reference.shard_index(name)) << name;
  }
}

class ShardIndexTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ShardIndexTest, TakesHashBitsBelowTheTopSeven) {
  const std::size_t shards = GetParam();
  const FormulasRegistry registry(kKey, shards);
  EXPECT_EQ(registry.shard_count(), shards);
  const int log2 = std::countr_zero(shards);
  std::set<std::size_t> seen;
  for (std::size_t i = 0; i < 500 + 16 * shards; ++i) {
    const std::string name = "c" + std::to_string(i * 7919);
    const std::uint64_t h = hash_name(kKey, name);
    const std::size_t want = log2 == 0 ? 0 : static_cast<std::size_t>((h << 7) >> (64 - log2));
    ASSERT_EQ(registry.shard_index(name), want) << name;
    seen.insert(want);
  }
  EXPECT_EQ(seen.size(), shards);  // enough names to reach every shard
}

// names() lists shard by shard in ascending index: the stored shard must be the one shard_index names.
TEST_P(ShardIndexTest, NamesAreListedInShardOrder) {
  const std::size_t shards = GetParam();
  FormulasRegistry registry(kKey, shards);
  for (int i = 0; i < 300; ++i) registry.insert("k" + std::to_string(i), ConstantRecord::seed("k", i, "u"));
  const std::vector<std::string> names = registry.names();
  ASSERT_EQ(names.size(), 300u);
  for (std::size_t i = 1; i < names.size(); ++i)
    ASSERT_LE(registry.shard_index(names[i - 1]), registry.shard_index(names[i])) << names[i - 1] << ", " << names[i];
}

// The standard table is built one way at every shard count, the ones of large machines included:
// under many keys every record is found where a lookup probes, whole, and listed once in shard
// order. One shard takes all seventeen (a table past its inline cells, records past the arena),
// 1024 shards mostly one each.
TEST_P(ShardIndexTest, StandardTableIsFoundUnderEveryKey) {
  const FormulasRegistry reference = FormulasRegistry::seeded();
  for (int build = 0; build < 100; ++build) {
    const FormulasRegistry registry = FormulasRegistry::seeded(GetParam());
    ASSERT_EQ(registry.shard_count(), GetParam());
    ASSERT_EQ(registry.len(), 17u);
    const std::vector<std::string> names = registry.names();
    ASSERT_EQ(sorted(names), kStandardNames) << "build " << build;
    for (std::size_t i = 1; i < names.size(); ++i)
      ASSERT_LE(registry.shard_index(names[i - 1]), registry.shard_index(names[i]));
    for (const std::string& name : kStandardNames) {
      const auto got = registry.get(name);
      ASSERT_TRUE(got.has_value()) << name << " in build " << build;
      ASSERT_EQ(*got, reference.get(name).value());
      const auto value = registry.value_of(name);
      ASSERT_TRUE(value.has_value()) << name << " in build " << build;
      ASSERT_EQ(bits(*value), bits(got->value)) << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shards, ShardIndexTest, ::testing::Values(1u, 4u, 8u, 32u, 64u, 128u, 1024u));

// ---- Insert, replace, lookup ----

TEST(FormulasRegistry, InsertThenGet) {
  FormulasRegistry registry(kKey, 4);
  EXPECT_EQ(registry.len(), 0u);
  EXPECT_TRUE(registry.names().empty());
  const ConstantRecord record = ConstantRecord::derived("x", "a + b", "MeV", {"a", "b"});
  EXPECT_FALSE(registry.insert("x", record).has_value());
  EXPECT_EQ(registry.len(), 1u);
  const auto got = registry.get("x");
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, record);
}

TEST(FormulasRegistry, ReplacingReturnsPreviousAndKeepsLength) {
  FormulasRegistry registry = FormulasRegistry::seeded();
  const ConstantRecord old_phi = registry.get("phi").value();
  ConstantRecord new_phi = ConstantRecord::seed("phi", 2.5, "other");
  new_phi.uncertainty = 0.25;

  const std::optional<ConstantRecord> previous = registry.insert("phi", new_phi);
  ASSERT_TRUE(previous.has_value());
  EXPECT_EQ(*previous, old_phi);
  EXPECT_EQ(registry.len(), 17u);
  EXPECT_EQ(registry.names().size(), 17u);
  EXPECT_EQ(registry.get("phi").value(), new_phi);

  // A second replacement hands back the first replacement.
  const std::optional<ConstantRecord> again = registry.insert("phi", old_phi);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, new_phi);
  EXPECT_EQ(registry.get("phi").value(), old_phi);
}

// The stored key is the argument, not the record's own name field.
TEST(FormulasRegistry, KeyIsIndependentOfRecordName) {
  FormulasRegistry registry(kKey, 4);
  EXPECT_FALSE(registry.insert("alias", ConstantRecord::seed("real", 1.0, "u")).has_value());
  EXPECT_EQ(registry.get("alias").value().name, "real");
  EXPECT_FALSE(registry.get("real").has_value());
}

class MissingNameTest : public ::testing::TestWithParam<std::string> {};

TEST_P(MissingNameTest, NotFoundCarriesTheExactName) {
  const FormulasRegistry registry = FormulasRegistry::seeded();
  const std::string& name = GetParam();
  const auto got = registry.get(name);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().kind(), RegistryError::Kind::NotFound);
  EXPECT_EQ(got.error().subject(), name);
  EXPECT_EQ(got.error().message(), "constant `" + name + "` not found in registry");
  const auto value = registry.value_of(name);
  ASSERT_FALSE(value.has_value());
  EXPECT_EQ(value.error().kind(), RegistryError::Kind::NotFound);
  EXPECT_EQ(value.error().subject(), name);
}

INSTANTIATE_TEST_SUITE_P(
    Names, MissingNameTest,
    ::testing::Values(std::string("PHI"), std::string("phi "), std::string(" phi"), std::string("ph"),
                      std::string(""), std::string("phi\0", 4), std::string("p\0hi", 4), std::string("n_gen_sq2"),
                      std::string(1 << 20, 'x')),
    [](const ::testing::TestParamInfo<std::string>& info) { return "case" + std::to_string(info.index); });

TEST(FormulasRegistry, NamesWithNulBytesAreDistinctKeys) {
  FormulasRegistry registry(kKey, 1);
  const std::string with_nul("a\0b", 3);
  registry.insert("a", ConstantRecord::seed("a", 1.0, "u"));
  registry.insert(with_nul, ConstantRecord::seed(with_nul, 2.0, "u"));
  EXPECT_EQ(registry.len(), 2u);
  EXPECT_EQ(registry.get("a").value().value, 1.0);
  EXPECT_EQ(registry.get(with_nul).value().value, 2.0);
  EXPECT_FALSE(registry.get(std::string("a\0", 2)).has_value());
}

TEST(FormulasRegistry, LookupsReturnIndependentCopies) {
  const FormulasRegistry registry = FormulasRegistry::seeded();
  auto first = registry.get("sterile_check");
  ASSERT_TRUE(first.has_value());
  first->units = "changed";
  first->dependencies.clear();
  first->dependencies.push_back("other");
  first->formula->assign("1");
  first->value = 9.0;

  const auto second = registry.get("sterile_check");
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->units, "count");
  EXPECT_EQ(second->dependencies, (std::vector<std::string>{"roots_total", "visible_sector"}));
  EXPECT_EQ(*second->formula, "roots_total - visible_sector");
  EXPECT_EQ(bits(second->value), 0u);
}

TEST(FormulasRegistry, RegistriesDoNotShareState) {
  FormulasRegistry a = FormulasRegistry::seeded();
  const FormulasRegistry b = FormulasRegistry::seeded();
  a.insert("extra", ConstantRecord::seed("extra", 1.0, "u"));
  a.insert("b3", ConstantRecord::seed("b3", 1.0, "u"));
  EXPECT_EQ(a.len(), 18u);
  EXPECT_EQ(b.len(), 17u);
  EXPECT_FALSE(b.get("extra").has_value());
  EXPECT_EQ(b.get("b3").value().value, 24.0);
}

TEST(FormulasRegistry, MovedRegistryKeepsItsRecords) {
  FormulasRegistry source = FormulasRegistry::seeded();
  source.insert("extra", ConstantRecord::seed("extra", 5.0, "u"));
  FormulasRegistry moved(std::move(source));
  EXPECT_EQ(moved.len(), 18u);
  EXPECT_EQ(moved.get("extra").value().value, 5.0);

  FormulasRegistry assigned(kKey, 1);
  assigned = std::move(moved);
  EXPECT_EQ(assigned.len(), 18u);
  EXPECT_EQ(assigned.shard_count(), process_shard_count());
  EXPECT_EQ(assigned.get("phi").value().name, "phi");
}

// ---- Stored copies of every field ----

struct RoundTripCase {
  const char* label;
  ConstantRecord record;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.label; }

ConstantRecord with(ConstantRecord record, void (*change)(ConstantRecord&)) {
  change(record);
  return record;
}

class RecordRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

// Each record goes in once while the registry is fresh and once after filler records have used up
// its first memory, so both places a record can be stored are read back.
TEST_P(RecordRoundTrip, GetReturnsEveryFieldAsInserted) {
  const ConstantRecord& record = GetParam().record;
  FormulasRegistry registry(kKey, 4);
  EXPECT_FALSE(registry.insert("first", record).has_value());
  for (int i = 0; i < 64; ++i) {
    const std::string name = "filler" + std::to_string(i);
    registry.insert(name, ConstantRecord::derived(name, std::string(150, 'f'), "u", {"a", "b"}));
  }
  EXPECT_FALSE(registry.insert("last", record).has_value());

  for (const char* key : {"first", "last"}) {
    const auto got = registry.get(key);
    ASSERT_TRUE(got.has_value()) << key;
    EXPECT_EQ(*got, record) << key;
    EXPECT_EQ(bits(got->value), bits(record.value)) << key;
  }
  for (int i = 0; i < 64; i += 9) EXPECT_EQ(registry.get("filler" + std::to_string(i)).value().units, "u");

  const std::optional<ConstantRecord> previous = registry.insert("first", ConstantRecord::seed("x", 1.0, "u"));
  ASSERT_TRUE(previous.has_value());
  EXPECT_EQ(*previous, record);
  EXPECT_EQ(registry.len(), 66u);
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordRoundTrip,
    ::testing::Values(
        RoundTripCase{"Seed", ConstantRecord::seed("phi", 1.618033988749895, "dimensionless")},
        RoundTripCase{"EmptyTexts", ConstantRecord::seed("", 0.0, "")},
        RoundTripCase{"NegativeZero", ConstantRecord::seed("z", -0.0, "u")},
        RoundTripCase{"ZeroUncertainty",
                      with(ConstantRecord::seed("u", 2.0, "MeV"), [](ConstantRecord& r) { r.uncertainty = 0.0; })},
        RoundTripCase{"Uncertainty",
                      with(ConstantRecord::seed("u", -3.5, "MeV"), [](ConstantRecord& r) { r.uncertainty = 1e-300; })},
        // An empty formula is still a formula: the optional stays engaged.
        RoundTripCase{"EmptyFormula", ConstantRecord::derived("f", "", "count")},
        RoundTripCase{"Derived", ConstantRecord::derived("t", "chi_eff / b3", "count", {"chi_eff", "b3"})},
        RoundTripCase{"CachedStatus",
                      with(ConstantRecord::seed("c", 5.0, "u"), [](ConstantRecord& r) { r.status = ConstantStatus::Cached; })},
        RoundTripCase{"ExternalWithEverything",
                      with(ConstantRecord::derived("e", "a", "u", {"a"}),
                           [](ConstantRecord& r) {
                             r.status = ConstantStatus::External;
                             r.uncertainty = 0.5;
                             r.value = 7.25;
                           })},
        RoundTripCase{"OddDependencies",
                      ConstantRecord::derived("d", "x", "u", {"", std::string_view("n\0l", 3), "dup", "dup"})},
        RoundTripCase{"NulInTexts", ConstantRecord::derived(std::string_view("n\0m", 3), std::string_view("f\0", 2),
                                                            std::string_view("\0", 1))},
        RoundTripCase{"LargeTexts", with(ConstantRecord::derived("big", "", "u"),
                                         [](ConstantRecord& r) {
                                           r.name.assign(1 << 20, 'n');
                                           r.units.assign(5000, 'u');
                                           r.formula->assign(3000, 'f');
                                           for (int i = 0; i < 1000; ++i) r.dependencies.push_back("dep" + std::to_string(i));
                                         })}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) { return std::string(info.param.label); });

TEST(FormulasRegistry, EveryReplacementReturnsThePreviousRecord) {
  FormulasRegistry registry(kKey, 1);
  const auto record_for = [](int i) {
    ConstantRecord record = ConstantRecord::derived("x", "f" + std::to_string(i), "u" + std::to_string(i), {"d"});
    record.value = i;
    return record;
  };
  EXPECT_FALSE(registry.insert("x", record_for(0)).has_value());
  for (int i = 1; i < 2000; ++i) {
    const std::optional<ConstantRecord> previous = registry.insert("x", record_for(i));
    ASSERT_TRUE(previous.has_value()) << i;
    ASSERT_EQ(*previous, record_for(i - 1)) << i;
  }
  EXPECT_EQ(registry.len(), 1u);
  EXPECT_EQ(registry.get("x").value(), record_for(1999));
}

TEST(Insert, CopiesEveryTextAndReportsReplacement) {
  FormulasRegistry registry(kKey, 4);
  ConstantRecord expected = ConstantRecord::derived("alpha", "a + b", "MeV", {"a", "bb"});
  expected.value = 1.5;
  expected.uncertainty = 0.25;
  expected.status = ConstantStatus::Cached;
  {
    // The arguments are gone (and their texts overwritten) before the lookup: the store must hold
    // its own copies.
    std::string key = "key";
    ConstantRecord record = expected;
    EXPECT_FALSE(registry.insert(key, record).has_value());
    for (std::string* text : {&key, &record.name, &record.units, &*record.formula, &record.dependencies[0],
                              &record.dependencies[1]})
      std::fill(text->begin(), text->end(), '#');
  }
  EXPECT_EQ(registry.get("key").value(), expected);
  EXPECT_EQ(registry.names(), std::vector<std::string>{"key"});

  ConstantRecord replaced = ConstantRecord::seed("beta", -2.0, "");
  replaced.status = ConstantStatus::External;
  const std::optional<ConstantRecord> previous = registry.insert("key", replaced);
  ASSERT_TRUE(previous.has_value());
  EXPECT_EQ(*previous, expected);
  EXPECT_EQ(registry.len(), 1u);
  EXPECT_EQ(registry.get("key").value(), replaced);
}

TEST(Insert, EmptyFormulaIsAFormula) {
  FormulasRegistry registry(kKey, 1);
  ConstantRecord record = ConstantRecord::derived("n", "", "u");
  EXPECT_FALSE(registry.insert("n", record).has_value());
  const auto got = registry.get("n");
  ASSERT_TRUE(got.has_value());
  ASSERT_TRUE(got->formula.has_value());
  EXPECT_EQ(*got->formula, "");
}

// ---- The standard table ----

TEST(StandardTable, HoldsSeventeenDistinctNames) {
  const FormulasRegistry registry = FormulasRegistry::seeded();
  EXPECT_EQ(registry.len(), 17u);
  const std::vector<std::string> names = registry.names();
  EXPECT_EQ(names.size(), 17u);
  EXPECT_EQ(sorted(names), kStandardNames);
}

struct StandardRow {
  const char* name;
  std::uint64_t value_bits;
  const char* units;
  ConstantStatus status;
  std::optional<std::string> formula;
  std::vector<std::string> dependencies;
};

void PrintTo(const StandardRow& row, std::ostream* os) { *os << row.name; }

StandardRow seed_row(const char* name, double value, const char* units) {
  return {name, bits(value), units, ConstantStatus::Seed, std::nullopt, {}};
}

StandardRow formula_row(const char* name, const char* formula, const char* units, std::vector<std::string> deps) {
  return {name, bits(+0.0), units, ConstantStatus::Pending, std::string(formula), std::move(deps)};
}

class StandardTableRecord : public ::testing::TestWithParam<StandardRow> {};

TEST_P(StandardTableRecord, EveryFieldMatches) {
  const StandardRow& want = GetParam();
  const FormulasRegistry registry = FormulasRegistry::seeded();
  const auto got = registry.get(want.name);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->name, want.name);
  EXPECT_EQ(bits(got->value), want.value_bits) << got->value;  // bit-exact, sign of zero included
  EXPECT_EQ(got->units, want.units);
  EXPECT_FALSE(got->uncertainty.has_value());
  EXPECT_EQ(got->status, want.status);
  EXPECT_EQ(got->formula, want.formula);
  EXPECT_EQ(got->dependencies, want.dependencies);
}

INSTANTIATE_TEST_SUITE_P(
    Records, StandardTableRecord,
    ::testing::Values(seed_row("b3", 24.0, "dimensionless"), seed_row("chi_eff", 72.0, "dimensionless"),
                      seed_row("n_gen", 3.0, "count"), seed_row("roots_total", 288.0, "count"),
                      seed_row("visible_sector", 125.0, "count"), seed_row("sterile_sector", 163.0, "count"),
                      seed_row("phi", std::bit_cast<double>(0x3ff9e3779b97f4a8ULL), "dimensionless"),
                      seed_row("gamma_em", std::bit_cast<double>(0x3fe2788cfc6fb619ULL), "dimensionless"),
                      seed_row("jc_constant", 153.0, "count"), seed_row("logic_closure", 288.0, "count"),
                      formula_row("v_higgs_mev", "246220", "MeV", {}),
                      formula_row("sterile_check", "roots_total - visible_sector", "count",
                                  {"roots_total", "visible_sector"}),
                      formula_row("n_gen_sq", "n_gen * n_gen", "count", {"n_gen"}),
                      formula_row("h0_central", "70", "km/s/Mpc", {}),
                      formula_row("w0_central", "-1", "dimensionless", {}),
                      formula_row("m_tau_mev", "1776.86", "MeV", {}),
                      formula_row("topo_gen_check", "chi_eff / b3", "count", {"chi_eff", "b3"})),
    [](const ::testing::TestParamInfo<StandardRow>& info) { return std::string(info.param.name); });

// ---- Growth ----

class ManyRecords : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ManyRecords, FiveThousandNamesRoundTrip) {
  constexpr int kCount = 5000;
  FormulasRegistry registry(kKey, GetParam());
  std::vector<std::string> expected;
  for (int i = 0; i < kCount; ++i) {
    const std::string name = "const_" + std::to_string(i);
    expected.push_back(name);
    ASSERT_FALSE(registry.insert(name, ConstantRecord::seed(name, i, "u")).has_value()) << name;
  }
  EXPECT_EQ(registry.len(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    const auto got = registry.get(expected[i]);
    ASSERT_TRUE(got.has_value()) << expected[i];
    EXPECT_EQ(got->name, expected[i]);
    EXPECT_EQ(got->value, i);
  }
  EXPECT_EQ(sorted(registry.names()), sorted(expected));

  // After every growth step the existing keys are still found, not inserted twice.
  for (int i = 0; i < kCount; i += 7) {
    const auto previous = registry.insert(expected[i], ConstantRecord::seed(expected[i], -i, "v"));
    ASSERT_TRUE(previous.has_value()) << expected[i];
    EXPECT_EQ(previous->value, i);
  }
  EXPECT_EQ(registry.len(), static_cast<std::size_t>(kCount));
  EXPECT_EQ(registry.get(expected[7]).value().units, "v");
}

INSTANTIATE_TEST_SUITE_P(Shards, ManyRecords, ::testing::Values(1u, 4u, 32u));

TEST(ManyRecordsStandard, DefaultRegistryGrowsFromTheStandardTable) {
  FormulasRegistry registry = FormulasRegistry::seeded();
  for (int i = 0; i < 5000; ++i) registry.insert("n" + std::to_string(i), ConstantRecord::seed("n", i, "u"));
  EXPECT_EQ(registry.len(), 5017u);
  EXPECT_EQ(registry.get("n4999").value().value, 4999.0);
  EXPECT_EQ(bits(registry.get("phi").value().value), 0x3ff9e3779b97f4a8ULL);
}

// ---- Concurrency ----

ConstantRecord writer_record(const std::string& name, int writer, int serial) {
  ConstantRecord record = ConstantRecord::seed(name, writer * 1000000.0 + serial, "w" + std::to_string(writer));
  record.dependencies = {"dep" + std::to_string(writer)};
  return record;
}

// A record as some writer wrote it whole: name equals the key, and units, dependency and value
// all name the same writer.
bool consistent(const ConstantRecord& record, const std::string& key) {
  if (record.name != key) return false;
  const int writer = static_cast<int>(record.value / 1000000.0);
  return writer >= 0 && writer < 4 && record.units == "w" + std::to_string(writer) &&
         record.dependencies == std::vector<std::string>{"dep" + std::to_string(writer)};
}

TEST(FormulasRegistryConcurrency, WritersAndReadersSeeWholeRecords) {
  constexpr int kWriters = 4;
  constexpr int kReaders = 4;
  constexpr int kPerWriter = 1500;
  constexpr int kShared = 64;
  FormulasRegistry registry = FormulasRegistry::seeded();

  std::atomic<int> writers_left{kWriters};
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;

  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kPerWriter; ++i) {
        const std::string own = "w" + std::to_string(w) + "_" + std::to_string(i);
        if (registry.insert(own, writer_record(own, w, i)).has_value()) faults.fetch_add(1);
        // Every writer also replaces the shared names, in a different order per writer.
        const std::string shared = "shared_" + std::to_string((i * (w + 1)) % kShared);
        registry.insert(shared, writer_record(shared, w, i));
      }
      writers_left.fetch_sub(1);
    });
  }

  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      std::size_t last_len = 0;
      for (int iteration = 0; iteration < 200 || writers_left.load() > 0; ++iteration) {
        const int w = (iteration + r) % kWriters;
        const std::string own = "w" + std::to_string(w) + "_" + std::to_string((iteration * 37) % kPerWriter);
        const std::string shared = "shared_" + std::to_string((iteration * 13 + r) % kShared);
        for (const std::string& name : {own, shared}) {
          const auto got = registry.get(name);
          if (got.has_value() && !consistent(*got, name)) faults.fetch_add(1);
          if (!got.has_value() && got.error().subject() != name) faults.fetch_add(1);
        }
        const auto phi = registry.get("phi");
        if (!phi.has_value() || bits(phi->value) != 0x3ff9e3779b97f4a8ULL) faults.fetch_add(1);

        // Records are never removed, so the count a reader sees never shrinks.
        const std::size_t len = registry.len();
        if (len < last_len || len < 17) faults.fetch_add(1);
        last_len = len;
        if (iteration % 50 == 0) {
          std::vector<std::string> names = sorted(registry.names());
          if (std::adjacent_find(names.begin(), names.end()) != names.end() || names.size() < 17)
            faults.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(faults.load(), 0);
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kPerWriter; ++i) {
      const std::string own = "w" + std::to_string(w) + "_" + std::to_string(i);
      const auto got = registry.get(own);
      ASSERT_TRUE(got.has_value()) << own;
      EXPECT_EQ(*got, writer_record(own, w, i));
    }
  }
  for (int s = 0; s < kShared; ++s) {
    const std::string shared = "shared_" + std::to_string(s);
    const auto got = registry.get(shared);
    ASSERT_TRUE(got.has_value()) << shared;
    EXPECT_TRUE(consistent(*got, shared)) << shared;
  }
  const std::size_t expected = 17 + kWriters * kPerWriter + kShared;
  EXPECT_EQ(registry.len(), expected);
  const std::vector<std::string> names = sorted(registry.names());
  EXPECT_EQ(names.size(), expected);
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
}

TEST(FormulasRegistryConcurrency, RegistriesBuiltOnManyThreads) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 8;
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        const FormulasRegistry registry = FormulasRegistry::seeded();
        if (registry.len() != 17 || sorted(registry.names()) != kStandardNames) faults.fetch_add(1);
        for (const std::string& name : kStandardNames) {
          const auto got = registry.get(name);
          if (!got.has_value() || got->name != name) faults.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(faults.load(), 0);
}

}  // namespace
}  // namespace vellora
