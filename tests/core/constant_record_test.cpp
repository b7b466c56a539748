// Tests of constant records, status texts and the registry's error kinds and messages.
#include "registry/constant_record.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

namespace vellora {
namespace {

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

TEST(StatusText, NamesEveryStatus) {
  EXPECT_EQ(status_text(ConstantStatus::Seed), "Seed");
  EXPECT_EQ(status_text(ConstantStatus::Cached), "Cached");
  EXPECT_EQ(status_text(ConstantStatus::Pending), "Pending");
  EXPECT_EQ(status_text(ConstantStatus::External), "External");
}

struct ErrorCase {
  const char* label;
  std::function<RegistryError()> make;
  RegistryError::Kind kind;
  std::string subject;
  std::string message;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.label; }

class RegistryErrorMessages : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(RegistryErrorMessages, CarriesKindSubjectAndExactMessage) {
  const ErrorCase& c = GetParam();
  const RegistryError error = c.make();
  EXPECT_EQ(error.kind(), c.kind);
  EXPECT_EQ(error.subject(), c.subject);
  EXPECT_EQ(error.message(), c.message);
}

using Kind = RegistryError::Kind;

const std::string kLineBreakName = "two\nlines";
const std::string kNulName("a\0b", 3);

INSTANTIATE_TEST_SUITE_P(
    AllKinds, RegistryErrorMessages,
    ::testing::Values(
        ErrorCase{"not_found", [] { return RegistryError::not_found("phi"); }, Kind::NotFound, "phi",
                  "constant `phi` not found in registry"},
        ErrorCase{"not_found_empty", [] { return RegistryError::not_found(""); }, Kind::NotFound, "",
                  "constant `` not found in registry"},
        // Carried texts go in verbatim: no escaping of backticks, quotes, line breaks or NULs.
        ErrorCase{"not_found_backtick", [] { return RegistryError::not_found("a`b"); }, Kind::NotFound, "a`b",
                  "constant `a`b` not found in registry"},
        ErrorCase{"not_found_quote", [] { return RegistryError::not_found("say \"hi\"'"); }, Kind::NotFound,
                  "say \"hi\"'", "constant `say \"hi\"'` not found in registry"},
        ErrorCase{"not_found_line_break", [] { return RegistryError::not_found(kLineBreakName); }, Kind::NotFound,
                  kLineBreakName, "constant `two\nlines` not found in registry"},
        ErrorCase{"not_found_nul", [] { return RegistryError::not_found(kNulName); }, Kind::NotFound, kNulName,
                  std::string("constant `a\0b` not found in registry", 36)},
        ErrorCase{"derivation_not_implemented", [] { return RegistryError::derivation_not_implemented("n_gen_sq"); },
                  Kind::DerivationNotImplemented, "n_gen_sq",
                  "derivation of `n_gen_sq` is not yet implemented in vellora_core"},
        ErrorCase{"derivation_not_implemented_backtick",
                  [] { return RegistryError::derivation_not_implemented("`x`"); }, Kind::DerivationNotImplemented,
                  "`x`", "derivation of ``x`` is not yet implemented in vellora_core"},
        ErrorCase{"load_failed_missing_file",
                  [] {
                    return RegistryError::load_failed("/no/such/file.json",
                                                      std::make_error_code(std::errc::no_such_file_or_directory));
                  },
                  Kind::LoadFailed, "/no/such/file.json",
                  "failed to load constants from `/no/such/file.json`: No such file or directory"},
        ErrorCase{"load_failed_permission",
                  [] {
                    return RegistryError::load_failed("data\n.json",
                                                      std::make_error_code(std::errc::permission_denied));
                  },
                  Kind::LoadFailed, "data\n.json",
                  "failed to load constants from `data\n.json`: " +
                      std::make_error_code(std::errc::permission_denied).message()},
        ErrorCase{"invalid_schema", [] { return RegistryError::invalid_schema("constants.json"); },
                  Kind::InvalidSchema, "constants.json", "invalid JSON schema in `constants.json`"},
        ErrorCase{"invalid_schema_empty", [] { return RegistryError::invalid_schema(""); }, Kind::InvalidSchema, "",
                  "invalid JSON schema in ``"},
        ErrorCase{"cyclic_derivation", [] { return RegistryError::cyclic_derivation("sterile_check"); },
                  Kind::CyclicDerivation, "sterile_check", "cyclic derivation involving `sterile_check`"},
        ErrorCase{"cyclic_derivation_quote", [] { return RegistryError::cyclic_derivation("\"q\""); },
                  Kind::CyclicDerivation, "\"q\"", "cyclic derivation involving `\"q\"`"},
        ErrorCase{"expression_parse",
                  [] { return RegistryError::expression_parse("chi_eff / ", "unexpected end of input"); },
                  Kind::ExpressionParse, "chi_eff / ",
                  "expression parse error in `chi_eff / `: unexpected end of input"},
        ErrorCase{"expression_parse_empty_detail", [] { return RegistryError::expression_parse("a`b\n", ""); },
                  Kind::ExpressionParse, "a`b\n", "expression parse error in `a`b\n`: "}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.label); });

TEST(RegistryErrorMessage, LongNameIsNotTruncated) {
  const std::string name(100000, 'n');
  EXPECT_EQ(RegistryError::not_found(name).message(), "constant `" + name + "` not found in registry");
}

TEST(ConstantRecord, SeedSetsEveryField) {
  const ConstantRecord record = ConstantRecord::seed("phi", 1.618033988749895, "dimensionless");
  EXPECT_EQ(record.name, "phi");
  EXPECT_EQ(bits(record.value), 0x3ff9e3779b97f4a8ULL);
  EXPECT_EQ(record.units, "dimensionless");
  EXPECT_FALSE(record.uncertainty.has_value());
  EXPECT_EQ(record.status, ConstantStatus::Seed);
  EXPECT_FALSE(record.formula.has_value());
  EXPECT_TRUE(record.dependencies.empty());
}

TEST(ConstantRecord, SeedKeepsNegativeZeroAndEmptyTexts) {
  const ConstantRecord record = ConstantRecord::seed("", -0.0, "");
  EXPECT_EQ(record.name, "");
  EXPECT_EQ(bits(record.value), bits(-0.0));
  EXPECT_EQ(record.units, "");
}

TEST(ConstantRecord, DerivedSetsEveryField) {
  const ConstantRecord record =
      ConstantRecord::derived("topo_gen_check", "chi_eff / b3", "count", {"chi_eff", "b3"});
  EXPECT_EQ(record.name, "topo_gen_check");
  EXPECT_EQ(bits(record.value), 0u);  // +0.0, sign bit clear
  EXPECT_EQ(record.units, "count");
  EXPECT_FALSE(record.uncertainty.has_value());
  EXPECT_EQ(record.status, ConstantStatus::Pending);
  ASSERT_TRUE(record.formula.has_value());
  EXPECT_EQ(*record.formula, "chi_eff / b3");
  EXPECT_EQ(record.dependencies, (std::vector<std::string>{"chi_eff", "b3"}));
}

TEST(ConstantRecord, DerivedWithoutDependenciesStillHasFormula) {
  // An empty formula text is still a formula: the optional is engaged.
  const ConstantRecord record = ConstantRecord::derived("x", "", "MeV");
  ASSERT_TRUE(record.formula.has_value());
  EXPECT_EQ(*record.formula, "");
  EXPECT_TRUE(record.dependencies.empty());
  EXPECT_EQ(bits(record.value), 0u);
  EXPECT_EQ(record.status, ConstantStatus::Pending);
}

TEST(ConstantRecord, DerivedKeepsDependencyOrderAndDuplicates) {
  const ConstantRecord record = ConstantRecord::derived("n_gen_sq", "n_gen * n_gen", "count", {"n_gen", "a", "n_gen"});
  EXPECT_EQ(record.dependencies, (std::vector<std::string>{"n_gen", "a", "n_gen"}));
}

TEST(ConstantRecord, CopyIsDeep) {
  ConstantRecord original = ConstantRecord::derived("sterile_check", "roots_total - visible_sector", "count",
                                                    {"roots_total", "visible_sector"});
  original.uncertainty = 0.5;
  const ConstantRecord snapshot = original;

  ConstantRecord copy = original;
  copy.name += "_copy";
  copy.units[0] = 'X';
  copy.formula->append(" + 1");
  copy.dependencies[0] = "changed";
  copy.dependencies.push_back("extra");
  *copy.uncertainty = 2.0;

  EXPECT_EQ(original, snapshot);
  EXPECT_EQ(original.units, "count");
  EXPECT_EQ(*original.formula, "roots_total - visible_sector");
  EXPECT_EQ(original.dependencies, (std::vector<std::string>{"roots_total", "visible_sector"}));
  EXPECT_EQ(*original.uncertainty, 0.5);
  EXPECT_NE(copy, original);
}

}  // namespace
}  // namespace vellora
