// Record constructors, status texts and error messages of the constants registry.
#include "registry/constant_record.hpp"

#include <utility>

namespace vellora {

std::string_view status_text(ConstantStatus status) noexcept {
  switch (status) {
    case ConstantStatus::Seed:
      return "Seed";
    case ConstantStatus::Cached:
      return "Cached";
    case ConstantStatus::Pending:
      return "Pending";
    case ConstantStatus::External:
      return "External";
  }
  return "Seed";  // unreachable: the enumeration has four values
}

ConstantRecord ConstantRecord::seed(std::string_view name, double value, std::string_view units) {
  ConstantRecord record;
  record.name = name;
  record.value = value;
  record.units = units;
  record.status = ConstantStatus::Seed;
  return record;
}

ConstantRecord ConstantRecord::derived(std::string_view name, std::string_view formula, std::string_view units,
                                       std::initializer_list<std::string_view> dependencies) {
  ConstantRecord record;
  record.name = name;
  record.value = +0.0;
  record.units = units;
  record.status = ConstantStatus::Pending;
  record.formula = std::string(formula);
  record.dependencies.reserve(dependencies.size());
  for (const std::string_view dependency : dependencies) record.dependencies.emplace_back(dependency);
  return record;
}

RegistryError RegistryError::not_found(std::string name) { return {Kind::NotFound, std::move(name)}; }
RegistryError RegistryError::derivation_not_implemented(std::string name) {
  return {Kind::DerivationNotImplemented, std::move(name)};
}
RegistryError RegistryError::load_failed(std::string source, std::error_code io_error) {
  return {Kind::LoadFailed, std::move(source), io_error.message()};
}
RegistryError RegistryError::invalid_schema(std::string source) { return {Kind::InvalidSchema, std::move(source)}; }
RegistryError RegistryError::cyclic_derivation(std::string name) {
  return {Kind::CyclicDerivation, std::move(name)};
}
RegistryError RegistryError::expression_parse(std::string expression, std::string detail) {
  return {Kind::ExpressionParse, std::move(expression), std::move(detail)};
}

std::array<std::string_view, 4> RegistryError::message_pieces() const noexcept {
  // The words before and after the subject, by kind, in the order of Kind.
  static constexpr std::string_view kAround[][2] = {
      {"constant `", "` not found in registry"},
      {"derivation of `", "` is not yet implemented in vellora_core"},
      {"failed to load constants from `", "`: "},
      {"invalid JSON schema in `", "`"},
      {"cyclic derivation involving `", "`"},
      {"expression parse error in `", "`: "},
  };
  const auto& around = kAround[static_cast<std::size_t>(kind_)];
  return {around[0], subject_, around[1], detail_};
}

std::string RegistryError::message() const {
  std::string text;
  for (const std::string_view piece : message_pieces()) text.append(piece);
  return text;
}

}  // namespace vellora
