// Shortest round-trip decimal text of doubles, laid out as JSON numbers or as plain decimals.
#include "registry/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vellora {

namespace {

// Plain notation covers decimal exponents in this range; beyond it the text switches to "e".
constexpr int kMinPlainExponent = -5;
constexpr int kMaxPlainExponent = 15;

/// Appends the digits of `d` without an exponent: "0.000ddd", "ddd000" or "dd.ddd".
void append_plain(std::string& out, const ShortestDecimal& d) {
  const int n = d.digit_count;
  const int e = d.exponent;
  if (d.negative) out.push_back('-');
  if (e < 0) {
    out.append("0.", 2);
    out.append(static_cast<std::size_t>(-e - 1), '0');
    out.append(d.digits, static_cast<std::size_t>(n));
  } else if (n <= e + 1) {
    out.append(d.digits, static_cast<std::size_t>(n));
    out.append(static_cast<std::size_t>(e + 1 - n), '0');
  } else {
    out.append(d.digits, static_cast<std::size_t>(e + 1));
    out.push_back('.');
    out.append(d.digits + e + 1, static_cast<std::size_t>(n - e - 1));
  }
}

}  // namespace

ShortestDecimal shortest_decimal(double value) noexcept {
  ShortestDecimal result{};
  result.negative = std::signbit(value);

  // Without a precision, to_chars gives the fewest digits that read back as `value`, the one
  // nearest the exact value among those; scientific form writes them as "d[.ddd]e±XX" with no
  // trailing zeros.
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, std::fabs(value), std::chars_format::scientific);
  (void)ec;  // 32 bytes always suffice for a double in scientific form

  const char* p = text;
  int count = 0;
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') result.digits[count++] = *p;
  }
  result.digit_count = count;

  int exponent = 0;
  if (p != end) {
    ++p;  // 'e'
    const bool negative_exponent = *p == '-';
    ++p;  // sign, always present
    for (; p != end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative_exponent) exponent = -exponent;
  }
  result.exponent = exponent;
  return result;
}

void append_json_number(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null", 4);
    return;
  }
  if (value == 0.0) {
    out.append(std::signbit(value) ? "-0.0" : "0.0");
    return;
  }
  const ShortestDecimal d = shortest_decimal(value);
  if (d.exponent >= kMinPlainExponent && d.exponent <= kMaxPlainExponent) {
    append_plain(out, d);
    if (d.digit_count <= d.exponent + 1) out.append(".0", 2);  // integral: still reads as a float
    return;
  }
  if (d.negative) out.push_back('-');
  out.push_back(d.digits[0]);
  if (d.digit_count >= 2) {
    out.push_back('.');
    out.append(d.digits + 1, static_cast<std::size_t>(d.digit_count - 1));
  }
  char exponent[8] = {'e', d.exponent < 0 ? '-' : '+'};
  const auto [end, ec] = std::to_chars(exponent + 2, exponent + sizeof exponent, std::abs(d.exponent));
  (void)ec;  // at most three digits
  out.append(exponent, static_cast<std::size_t>(end - exponent));
}

std::string plain_decimal_text(double value) {
  if (value == 0.0) return "0";
  std::string out;
  append_plain(out, shortest_decimal(value));
  return out;
}

}  // namespace vellora
