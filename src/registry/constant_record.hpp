// The vocabulary of the constants registry: one constant's record, its status, the error value.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vellora {

/// Where a constant's value stands. Stored in one byte; each value's text is its own name.
enum class ConstantStatus : std::uint8_t { Seed = 0, Cached = 1, Pending = 2, External = 3 };

/// "Seed", "Cached", "Pending" or "External"; the bare text, no quotes.
std::string_view status_text(ConstantStatus status) noexcept;

/// One named constant. A plain value: copying it copies every text and the dependency list.
struct ConstantRecord {
  std::string name;
  double value = 0.0;
  std::string units;
  std::optional<double> uncertainty;
  ConstantStatus status = ConstantStatus::Seed;
  std::optional<std::string> formula;
  std::vector<std::string> dependencies;

  /// A seeded constant: given value, no uncertainty, status Seed, no formula, no dependencies.
  static ConstantRecord seed(std::string_view name, double value, std::string_view units);

  /// A formula constant, never evaluated: value +0.0, no uncertainty, status Pending.
  static ConstantRecord derived(std::string_view name, std::string_view formula, std::string_view units,
                                std::initializer_list<std::string_view> dependencies = {});

  friend bool operator==(const ConstantRecord&, const ConstantRecord&) = default;
};

/// The registry's error value. Lookups produce only `NotFound`; the other kinds complete the
/// vocabulary that callers of this library may meet.
class RegistryError {
 public:
  enum class Kind : std::uint8_t {
    NotFound,
    DerivationNotImplemented,
    LoadFailed,
    InvalidSchema,
    CyclicDerivation,
    ExpressionParse,
  };

  static RegistryError not_found(std::string name);
  static RegistryError derivation_not_implemented(std::string name);
  static RegistryError load_failed(std::string source, std::error_code io_error);
  static RegistryError invalid_schema(std::string source);
  static RegistryError cyclic_derivation(std::string name);
  static RegistryError expression_parse(std::string expression, std::string detail);

  Kind kind() const noexcept { return kind_; }
  /// The first text the error carries (for `NotFound`, the name that was asked for).
  const std::string& subject() const noexcept { return subject_; }

  /// The message, with the carried texts inserted verbatim: no quoting, escaping or truncation.
  std::string message() const;

  /// The message in its four pieces, in order: the kind's opening words, the subject, the kind's
  /// closing words and the detail (for LoadFailed, the system's description of the error), so a
  /// caller can lay it out in a buffer of its own without building a std::string first.
  std::array<std::string_view, 4> message_pieces() const noexcept;

 private:
  RegistryError(Kind kind, std::string subject, std::string detail = {})
      : kind_(kind), subject_(std::move(subject)), detail_(std::move(detail)) {}

  Kind kind_;
  std::string subject_;
  std::string detail_;
};

}  // namespace vellora
