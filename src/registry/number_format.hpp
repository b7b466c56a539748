// Shortest round-trip decimal text of doubles: the JSON number layout and the plain decimal layout.
#pragma once

#include <string>

namespace vellora {

/// The shortest significant digits d1..dn (no trailing zeros) that read back as the same double,
/// the one nearest the exact value when several qualify, with the value = d1.d2..dn x 10^exponent.
struct ShortestDecimal {
  char digits[17];
  int digit_count;
  int exponent;
  bool negative;
};

/// Digits of a finite, nonzero double (its sign goes to `negative`).
ShortestDecimal shortest_decimal(double value) noexcept;

/// Appends the JSON number text of a finite double: "0.0"/"-0.0" for zeros, plain notation with
/// at least one fractional digit for -5 <= E <= 15, scientific ("1e+16", "1.25e-7") otherwise.
void append_json_number(std::string& out, double value);

/// The shortest digits with no exponent, no decimal point when integral and "-" when negative
/// (246220.0 gives "246220", 1776.86 gives "1776.86", -1.0 gives "-1"). For finite values.
std::string plain_decimal_text(double value);

}  // namespace vellora
