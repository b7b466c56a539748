// The standard table of seventeen constants with which every registry is built.
#include <array>
#include <cassert>
#include <string>
#include <string_view>

#include "registry/formulas_registry.hpp"
#include "registry/number_format.hpp"

namespace vellora {
namespace {

struct SeedRow {
  std::string_view name;
  double value;
  std::string_view units;
};

// phi and gamma_em are the doubles nearest the golden ratio and the Euler-Mascheroni constant
// (bits 0x3ff9e3779b97f4a8 and 0x3fe2788cfc6fb619).
constexpr std::array<SeedRow, 10> kSeedRows{{
    {"b3", 24.0, "dimensionless"},
    {"chi_eff", 72.0, "dimensionless"},
    {"n_gen", 3.0, "count"},
    {"roots_total", 288.0, "count"},
    {"visible_sector", 125.0, "count"},
    {"sterile_sector", 163.0, "count"},
    {"phi", 1.618033988749895, "dimensionless"},
    {"gamma_em", 0.5772156649015329, "dimensionless"},
    {"jc_constant", 153.0, "count"},
    {"logic_closure", 288.0, "count"},
}};

/// The decimal texts of the formulas that are plain numbers. Written by the shortest round-trip
/// rule rather than typed in; the texts never change, so they are written once per process.
struct NumericFormulas {
  std::string v_higgs_mev = plain_decimal_text(246220.0);
  std::string h0_central = plain_decimal_text(70.0);
  std::string w0_central = plain_decimal_text(-1.0);
  std::string m_tau_mev = plain_decimal_text(1776.86);
};

constexpr std::size_t kFormulaCount = 7;

constexpr std::string_view kSterileCheckDependencies[] = {"roots_total", "visible_sector"};
constexpr std::string_view kNGenSqDependencies[] = {"n_gen"};
constexpr std::string_view kTopoGenCheckDependencies[] = {"chi_eff", "b3"};

/// A formula constant: carried, never evaluated, so its value is +0.0 and its status Pending.
RecordParts formula_parts(std::string_view name, std::string_view formula, std::string_view units,
                          std::span<const std::string_view> dependencies = {}) {
  return RecordParts{name, +0.0, units, std::nullopt, ConstantStatus::Pending, formula, dependencies};
}

/// The standard table as the store takes it: built once per process from the rows above and the
/// formula texts, and read by every seeded() build. It holds only the table's own texts and values.
struct StandardRecords {
  NumericFormulas numbers;
  std::array<RecordParts, kSeedRows.size() + kFormulaCount> records;
  // The records' names, padded for hashing: every seeded() build hashes all of them with its own key.
  std::array<PaddedName, kSeedRows.size() + kFormulaCount> names;

  StandardRecords() {
    for (std::size_t i = 0; i < kSeedRows.size(); ++i) {
      const SeedRow& row = kSeedRows[i];
      records[i] = RecordParts{row.name, row.value, row.units, std::nullopt, ConstantStatus::Seed, std::nullopt, {}};
    }
    const auto formulas = records.begin() + kSeedRows.size();
    formulas[0] = formula_parts("v_higgs_mev", numbers.v_higgs_mev, "MeV");
    formulas[1] = formula_parts("sterile_check", "roots_total - visible_sector", "count", kSterileCheckDependencies);
    formulas[2] = formula_parts("n_gen_sq", "n_gen * n_gen", "count", kNGenSqDependencies);
    formulas[3] = formula_parts("h0_central", numbers.h0_central, "km/s/Mpc");
    formulas[4] = formula_parts("w0_central", numbers.w0_central, "dimensionless");
    formulas[5] = formula_parts("m_tau_mev", numbers.m_tau_mev, "MeV");
    formulas[6] = formula_parts("topo_gen_check", "chi_eff / b3", "count", kTopoGenCheckDependencies);
    for (std::size_t i = 0; i < records.size(); ++i) {  // each record then names itself by its padded copy
      names[i] = PaddedName(records[i].name);
      records[i].name = names[i].view();
    }
  }
  StandardRecords(const StandardRecords&) = delete;
  StandardRecords& operator=(const StandardRecords&) = delete;
};

}  // namespace

FormulasRegistry FormulasRegistry::seeded(std::size_t shard_count) {
  static_assert(kSeedRows.size() + kFormulaCount <= kPrivateRecordsAtMost);
  static_assert(kSeedRows.size() + kFormulaCount == kStandardSize);
  static const StandardRecords standard;
  FormulasRegistry registry(next_registry_key(), shard_count);
  // Records go straight from the table into the store: no other thread can see it yet, and every
  // text is a literal or lives in `standard`, which lasts as long as the process.
  registry.insert_static_while_private(standard.records, standard.names);
  return registry;
}

std::array<std::string_view, FormulasRegistry::kStandardSize> FormulasRegistry::seeded_names() {
  std::array<std::string_view, kStandardSize> names;
  [[maybe_unused]] const std::size_t written = seeded().write_keys_while_private(names.data());
  assert(written == kStandardSize);
  return names;
}

}  // namespace vellora
