// The standard table of seventeen constants with which every registry is built.
#include <array>
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

}  // namespace

FormulasRegistry FormulasRegistry::seeded() {
  FormulasRegistry registry;
  for (const SeedRow& row : kSeedRows)
    registry.insert(std::string(row.name), ConstantRecord::seed(row.name, row.value, row.units));

  // Formula constants are carried, never evaluated: each keeps value +0.0 and status Pending.
  // Those whose formula is a plain number get the number's shortest decimal text.
  ConstantRecord formulas[] = {
      ConstantRecord::derived("v_higgs_mev", plain_decimal_text(246220.0), "MeV"),
      ConstantRecord::derived("sterile_check", "roots_total - visible_sector", "count",
                              {"roots_total", "visible_sector"}),
      ConstantRecord::derived("n_gen_sq", "n_gen * n_gen", "count", {"n_gen"}),
      ConstantRecord::derived("h0_central", plain_decimal_text(70.0), "km/s/Mpc"),
      ConstantRecord::derived("w0_central", plain_decimal_text(-1.0), "dimensionless"),
      ConstantRecord::derived("m_tau_mev", plain_decimal_text(1776.86), "MeV"),
      ConstantRecord::derived("topo_gen_check", "chi_eff / b3", "count", {"chi_eff", "b3"}),
  };
  for (ConstantRecord& record : formulas) {
    std::string key = record.name;
    registry.insert(std::move(key), std::move(record));
  }
  return registry;
}

}  // namespace vellora
