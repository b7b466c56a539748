// Shortest round-trip decimal text of doubles, laid out as JSON numbers or as plain decimals.
#include "registry/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace vellora {

namespace {

// Plain notation covers decimal exponents in this range; beyond it the text switches to "e".
constexpr int kMinPlainExponent = -5;
constexpr int kMaxPlainExponent = 15;

// Longest JSON number text: "-1.2345678901234567e-308" (24) or "-0.00001234567890123456" (24).
constexpr int kJsonBufferSize = 32;

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
    if (std::signbit(value)) {
      out.append("-0.0", 4);
    } else {
      out.append("0.0", 3);
    }
    return;
  }

  const ShortestDecimal d = shortest_decimal(value);
  const int n = d.digit_count;
  const int e = d.exponent;

  char buf[kJsonBufferSize];
  char* p = buf;
  if (d.negative) *p++ = '-';

  if (e >= kMinPlainExponent && e <= kMaxPlainExponent) {
    if (e < 0) {
      // 0.000ddd
      *p++ = '0';
      *p++ = '.';
      for (int i = 0; i < -e - 1; ++i) *p++ = '0';
      std::memcpy(p, d.digits, static_cast<std::size_t>(n));
      p += n;
    } else if (n <= e + 1) {
      // Integral: digits, padding zeros, then ".0" so the text still reads as a float.
      std::memcpy(p, d.digits, static_cast<std::size_t>(n));
      p += n;
      for (int i = 0; i < e + 1 - n; ++i) *p++ = '0';
      *p++ = '.';
      *p++ = '0';
    } else {
      const int int_digits = e + 1;
      std::memcpy(p, d.digits, static_cast<std::size_t>(int_digits));
      p += int_digits;
      *p++ = '.';
      std::memcpy(p, d.digits + int_digits, static_cast<std::size_t>(n - int_digits));
      p += n - int_digits;
    }
  } else {
    *p++ = d.digits[0];
    if (n >= 2) {
      *p++ = '.';
      std::memcpy(p, d.digits + 1, static_cast<std::size_t>(n - 1));
      p += n - 1;
    }
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    const auto [exp_end, ec] = std::to_chars(p, buf + kJsonBufferSize, e < 0 ? -e : e);
    (void)ec;  // at most three digits, room is reserved above
    p = exp_end;
  }
  out.append(buf, static_cast<std::size_t>(p - buf));
}

std::string plain_decimal_text(double value) {
  std::string out;
  if (value == 0.0) {
    out.push_back('0');
    return out;
  }

  const ShortestDecimal d = shortest_decimal(value);
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
  return out;
}

}  // namespace vellora
