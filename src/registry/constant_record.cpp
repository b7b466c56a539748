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
  return {Kind::LoadFailed, std::move(source), {}, io_error};
}
RegistryError RegistryError::invalid_schema(std::string source) { return {Kind::InvalidSchema, std::move(source)}; }
RegistryError RegistryError::cyclic_derivation(std::string name) {
  return {Kind::CyclicDerivation, std::move(name)};
}
RegistryError RegistryError::expression_parse(std::string expression, std::string detail) {
  return {Kind::ExpressionParse, std::move(expression), std::move(detail)};
}

namespace {

/// The pieces one after another, in one allocation: a missed lookup builds this message each time.
std::string joined(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (const std::string_view piece : pieces) size += piece.size();
  std::string text;
  text.reserve(size);
  for (const std::string_view piece : pieces) text.append(piece);
  return text;
}

}  // namespace

std::string RegistryError::message() const {
  switch (kind_) {
    case Kind::NotFound:
      return joined({"constant `", subject_, "` not found in registry"});
    case Kind::DerivationNotImplemented:
      return joined({"derivation of `", subject_, "` is not yet implemented in vellora_core"});
    case Kind::LoadFailed:
      return joined({"failed to load constants from `", subject_, "`: ", io_error_.message()});
    case Kind::InvalidSchema:
      return joined({"invalid JSON schema in `", subject_, "`"});
    case Kind::CyclicDerivation:
      return joined({"cyclic derivation involving `", subject_, "`"});
    case Kind::ExpressionParse:
      return joined({"expression parse error in `", subject_, "`: ", detail_});
  }
  return subject_;  // unreachable: every kind is written above
}

}  // namespace vellora
