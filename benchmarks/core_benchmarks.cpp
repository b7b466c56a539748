// Google Benchmark suite of the core. Absolute times drift on shared machines, so every project
// benchmark names a plain-C++ baseline of the same binary in its label ("vs <baseline>");
// benchmarks/core_ratios.py turns a JSON run into project/baseline ratios.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ckm/ckm_matrix.hpp"
#include "quarks/quark_registry.hpp"
#include "registry/datasheet_json.hpp"
#include "registry/formulas_registry.hpp"
#include "registry/number_format.hpp"
#include "support/lexicographic_order.hpp"
#include "support/siphash.hpp"

namespace {

using vellora::CKMMatrix;
using vellora::ConstantRecord;
using vellora::FormulasRegistry;
using vellora::QuarkRegistry;

// The seventeen names of the standard table, so the baselines handle the same strings.
constexpr std::array<const char*, 17> kConstantNames{
    "b3",          "chi_eff",       "n_gen",      "roots_total",   "visible_sector", "sterile_sector",
    "phi",         "gamma_em",      "jc_constant", "logic_closure", "v_higgs_mev",    "sterile_check",
    "n_gen_sq",    "h0_central",    "w0_central", "m_tau_mev",     "topo_gen_check",
};
constexpr std::array<const char*, 6> kQuarkNames{"up", "down", "strange", "charm", "bottom", "top"};

// Integers, fractions, tiny, huge and subnormal values, both signs: every layout the writer has.
constexpr std::array<double, 16> kNumbers{
    0.0,     3.0,      246220.0, 1e15,    -1.0,     1.618033988749895, 0.1,      -1776.86,
    5e-7,    1.25e-7,  1e-300,   1e16,    1e300,    1.7976931348623157e308, 5e-324, 2.2250738585072009e-308,
};

bool precedes_by_bytes(const std::string& left, const std::string& right) {
  // std::char_traits<char>::compare orders bytes as unsigned char, the listing order itself.
  return std::string_view(left).compare(right) < 0;
}

std::unordered_map<std::string, double> map_of_17() {
  std::unordered_map<std::string, double> map;
  double value = 1.0;
  for (const char* name : kConstantNames) map.emplace(name, value += 1.0);
  return map;
}

ConstantRecord record_of(const char* name) { return FormulasRegistry::seeded().get(name).value(); }

void label_vs(benchmark::State& state, const char* baseline) { state.SetLabel(std::string("vs ") + baseline); }

// ---- baselines: what a plain C++ program pays for comparable work ----

void BM_Baseline_Vector17Strings(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<std::string> names(kConstantNames.begin(), kConstantNames.end());
    benchmark::DoNotOptimize(names.data());
  }
}
BENCHMARK(BM_Baseline_Vector17Strings);

void BM_Baseline_Vector17StringsSorted(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<std::string> names(kConstantNames.begin(), kConstantNames.end());
    std::sort(names.begin(), names.end(), precedes_by_bytes);
    benchmark::DoNotOptimize(names.data());
  }
}
BENCHMARK(BM_Baseline_Vector17StringsSorted);

void BM_Baseline_UnorderedMap17BuildLookup(benchmark::State& state) {
  for (auto _ : state) {
    auto map = map_of_17();
    benchmark::DoNotOptimize(map.find("phi"));
  }
}
BENCHMARK(BM_Baseline_UnorderedMap17BuildLookup);

void BM_Baseline_UnorderedMap17FindHit(benchmark::State& state) {
  const auto map = map_of_17();
  std::string_view key = "phi";
  for (auto _ : state) {
    benchmark::DoNotOptimize(key);
    benchmark::DoNotOptimize(map.find(std::string(key)));
  }
}
BENCHMARK(BM_Baseline_UnorderedMap17FindHit);

void BM_Baseline_UnorderedMap17FindMiss(benchmark::State& state) {
  const auto map = map_of_17();
  std::string_view key = "nope";
  for (auto _ : state) {
    benchmark::DoNotOptimize(key);
    benchmark::DoNotOptimize(map.find(std::string(key)));
  }
}
BENCHMARK(BM_Baseline_UnorderedMap17FindMiss);

void BM_Baseline_UnorderedMap6SortedKeys(benchmark::State& state) {
  for (auto _ : state) {
    std::unordered_map<std::string, double> map;
    double value = 1.0;
    for (const char* name : kQuarkNames) map.emplace(name, value += 1.0);
    std::vector<std::string> names;
    names.reserve(map.size());
    for (const auto& entry : map) names.push_back(entry.first);
    std::sort(names.begin(), names.end(), precedes_by_bytes);
    benchmark::DoNotOptimize(names.data());
  }
}
BENCHMARK(BM_Baseline_UnorderedMap6SortedKeys);

// std::to_chars gives the shortest round-trip digits too, with no JSON layout rules.
void BM_Baseline_ToCharsNumbers(benchmark::State& state) {
  std::string out;
  for (auto _ : state) {
    out.clear();
    for (double value : kNumbers) {
      char buffer[32];
      const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
      out.append(buffer, result.ptr);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kNumbers.size()));
}
BENCHMARK(BM_Baseline_ToCharsNumbers);

// A hand-written writer of the same five members, without escaping or the number layout rules.
void BM_Baseline_ConcatDatasheets(benchmark::State& state) {
  const ConstantRecord records[] = {record_of("n_gen"), record_of("phi")};
  for (auto _ : state) {
    for (const ConstantRecord& record : records) {
      std::string out;
      out.reserve(96);
      out += "{\"name\":\"";
      out += record.name;
      out += "\",\"status\":\"Seed\",\"uncertainty\":null,\"units\":\"";
      out += record.units;
      out += "\",\"value\":";
      char buffer[32];
      out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, record.value).ptr);
      out += '}';
      benchmark::DoNotOptimize(out.data());
    }
  }
}
BENCHMARK(BM_Baseline_ConcatDatasheets);

void BM_Baseline_Matrix3x3Unitarity(benchmark::State& state) {
  for (auto _ : state) {
    std::array<std::array<double, 3>, 3> v{};
    for (int i = 0; i < 3; ++i) v[i][i] = 1.0;
    benchmark::DoNotOptimize(v);
    double deviation = 0.0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double sum = 0.0;
        for (int k = 0; k < 3; ++k) sum += v[i][k] * v[j][k];
        deviation = std::max(deviation, std::abs(sum - (i == j ? 1.0 : 0.0)));
      }
    benchmark::DoNotOptimize(deviation <= 0.5);
  }
}
BENCHMARK(BM_Baseline_Matrix3x3Unitarity);

// The seventeen names, held as `Name` (views, or padded copies), hashed by `hash_all` under a
// fresh key each run.
template <class Name, void (*hash_all)(vellora::SipKey, std::span<const Name>, std::uint64_t*) noexcept>
void hash_seventeen_names(benchmark::State& state) {
  const std::vector<Name> names(kConstantNames.begin(), kConstantNames.end());
  vellora::SipKey key = vellora::next_registry_key();
  std::uint64_t hashes[kConstantNames.size()];
  for (auto _ : state) {
    benchmark::DoNotOptimize(key);
    hash_all(key, names, hashes);
    benchmark::DoNotOptimize(hashes);
  }
}

// One name at a time: the baseline of the batched hash.
void hash_each(vellora::SipKey key, std::span<const std::string_view> names, std::uint64_t* hashes) noexcept {
  for (std::size_t i = 0; i < names.size(); ++i) hashes[i] = vellora::hash_name(key, names[i]);
}

void BM_Baseline_HashNames17Scalar(benchmark::State& state) { hash_seventeen_names<std::string_view, hash_each>(state); }
BENCHMARK(BM_Baseline_HashNames17Scalar);

// The seventeen names in 1024 orders, as registries with their own keys list them: a comparison
// sort handed one order again and again would have its branches learnt.
std::vector<std::vector<std::string_view>> shuffled_constant_names() {
  std::vector<std::vector<std::string_view>> orders(1024, std::vector<std::string_view>(kConstantNames.begin(), kConstantNames.end()));
  std::mt19937 shuffler(17);
  for (auto& order : orders) std::shuffle(order.begin(), order.end(), shuffler);
  return orders;
}

// Each run sorts the next of the orders with `sort`.
template <class Sort>
void sort_seventeen_views(benchmark::State& state, Sort sort) {
  const auto orders = shuffled_constant_names();
  std::vector<std::string_view> names(kConstantNames.size());
  std::size_t next = 0;
  for (auto _ : state) {
    const auto& unsorted = orders[next++ % orders.size()];
    std::copy(unsorted.begin(), unsorted.end(), names.begin());
    benchmark::DoNotOptimize(names.data());
    sort(names);
    benchmark::DoNotOptimize(names.data());
  }
}

void BM_Baseline_StdSort17Views(benchmark::State& state) {
  sort_seventeen_views(state, [](std::vector<std::string_view>& names) {
    std::sort(names.begin(), names.end(),
              [](std::string_view a, std::string_view b) { return vellora::precedes_by_bytes(a, b); });
  });
}
BENCHMARK(BM_Baseline_StdSort17Views);

// ---- the core ----

void BM_Registry_SeededBuildDestroy(benchmark::State& state) {
  for (auto _ : state) {
    FormulasRegistry registry = FormulasRegistry::seeded();
    benchmark::DoNotOptimize(&registry);
  }
  label_vs(state, "BM_Baseline_UnorderedMap17BuildLookup");
}
BENCHMARK(BM_Registry_SeededBuildDestroy);

// The same names kept padded to whole words, as the standard table keeps them for seeded builds.
void BM_HashPaddedNames17(benchmark::State& state) {
  hash_seventeen_names<vellora::PaddedName, vellora::hash_padded_names>(state);
  label_vs(state, "BM_Baseline_HashNames17Scalar");
}
BENCHMARK(BM_HashPaddedNames17);

void BM_SortByBytes17Views(benchmark::State& state) {
  sort_seventeen_views(state, [](std::vector<std::string_view>& names) { vellora::sort_by_bytes(names); });
  label_vs(state, "BM_Baseline_StdSort17Views");
}
BENCHMARK(BM_SortByBytes17Views);

void BM_Registry_GetHit(benchmark::State& state) {
  const FormulasRegistry registry = FormulasRegistry::seeded();
  std::string_view key = "phi";
  for (auto _ : state) {
    benchmark::DoNotOptimize(key);
    auto record = registry.get(key);
    benchmark::DoNotOptimize(record);
  }
  label_vs(state, "BM_Baseline_UnorderedMap17FindHit");
}
BENCHMARK(BM_Registry_GetHit);

void BM_Registry_GetMiss(benchmark::State& state) {
  const FormulasRegistry registry = FormulasRegistry::seeded();
  std::string_view key = "nope";
  for (auto _ : state) {
    benchmark::DoNotOptimize(key);
    auto record = registry.get(key);
    benchmark::DoNotOptimize(record);
  }
  label_vs(state, "BM_Baseline_UnorderedMap17FindMiss");
}
BENCHMARK(BM_Registry_GetMiss);

void BM_Registry_NamesSorted(benchmark::State& state) {
  const FormulasRegistry registry = FormulasRegistry::seeded();
  for (auto _ : state) {
    std::vector<std::string> names = registry.names();
    std::sort(names.begin(), names.end(), precedes_by_bytes);
    benchmark::DoNotOptimize(names.data());
  }
  label_vs(state, "BM_Baseline_Vector17StringsSorted");
}
BENCHMARK(BM_Registry_NamesSorted);

void BM_Registry_Len(benchmark::State& state) {
  const FormulasRegistry registry = FormulasRegistry::seeded();
  for (auto _ : state) benchmark::DoNotOptimize(registry.len());
  label_vs(state, "BM_Baseline_UnorderedMap17FindHit");
}
BENCHMARK(BM_Registry_Len);

void BM_DatasheetJson_NGenAndPhi(benchmark::State& state) {
  const ConstantRecord records[] = {record_of("n_gen"), record_of("phi")};
  for (auto _ : state)
    for (const ConstantRecord& record : records) {
      std::string text = vellora::datasheet_json(record);
      benchmark::DoNotOptimize(text.data());
    }
  label_vs(state, "BM_Baseline_ConcatDatasheets");
}
BENCHMARK(BM_DatasheetJson_NGenAndPhi);

void BM_AppendJsonNumber_Spread(benchmark::State& state) {
  std::string out;
  for (auto _ : state) {
    out.clear();
    for (double value : kNumbers) vellora::append_json_number(out, value);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kNumbers.size()));
  label_vs(state, "BM_Baseline_ToCharsNumbers");
}
BENCHMARK(BM_AppendJsonNumber_Spread);

void BM_QuarkRegistry_StandardModelSortedNames(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<std::string> names = QuarkRegistry::standard_model().sorted_names();
    benchmark::DoNotOptimize(names.data());
  }
  label_vs(state, "BM_Baseline_UnorderedMap6SortedKeys");
}
BENCHMARK(BM_QuarkRegistry_StandardModelSortedNames);

void BM_CKMMatrix_FromTopologyIsUnitary(benchmark::State& state) {
  double tol = 0.5;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tol);
    const CKMMatrix matrix = CKMMatrix::from_topology();
    benchmark::DoNotOptimize(matrix.is_unitary(tol));
  }
  label_vs(state, "BM_Baseline_Matrix3x3Unitarity");
}
BENCHMARK(BM_CKMMatrix_FromTopologyIsUnitary);

}  // namespace
