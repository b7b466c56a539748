// Tests of the shortest round-trip number text: fixed examples and a randomized round-trip property.
#include "registry/number_format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vellora {
namespace {

std::string json_number(double value) {
  std::string out;
  append_json_number(out, value);
  return out;
}

struct TextCase {
  double value;
  const char* text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << std::hexfloat << c.value << " -> " << c.text; }

class JsonNumberExamples : public ::testing::TestWithParam<TextCase> {};

TEST_P(JsonNumberExamples, WritesExactText) {
  EXPECT_EQ(json_number(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, JsonNumberExamples,
    ::testing::Values(
        // Zeros keep their sign and a fractional digit.
        TextCase{0.0, "0.0"}, TextCase{-0.0, "-0.0"},
        // Integral values in plain range end in ".0", padded with zeros up to E = 15.
        TextCase{3.0, "3.0"}, TextCase{288.0, "288.0"}, TextCase{-1.0, "-1.0"}, TextCase{246220.0, "246220.0"},
        TextCase{1e15, "1000000000000000.0"}, TextCase{-1e15, "-1000000000000000.0"},
        TextCase{9007199254740992.0 / 8, "1125899906842624.0"},
        // Fractional values with E >= 0.
        TextCase{1.618033988749895, "1.618033988749895"}, TextCase{1776.86, "1776.86"},
        TextCase{999999999999999.9, "999999999999999.9"}, TextCase{-2.5, "-2.5"},
        // Small values down to E = -5 stay plain.
        TextCase{0.5772156649015329, "0.5772156649015329"}, TextCase{0.1, "0.1"}, TextCase{0.00001, "0.00001"},
        TextCase{-0.00001, "-0.00001"}, TextCase{1.25e-5, "0.0000125"}, TextCase{9.9999e-5, "0.000099999"},
        // Beyond the plain range: scientific with a signed exponent and no leading zeros.
        TextCase{1e16, "1e+16"}, TextCase{1.5e16, "1.5e+16"}, TextCase{-1.5e16, "-1.5e+16"}, TextCase{1e100, "1e+100"},
        TextCase{1e-6, "1e-6"}, TextCase{1.25e-7, "1.25e-7"}, TextCase{9.9999e-6, "9.9999e-6"},
        TextCase{-1e-6, "-1e-6"}, TextCase{1e-100, "1e-100"},
        TextCase{std::numeric_limits<double>::denorm_min(), "5e-324"},
        TextCase{-std::numeric_limits<double>::denorm_min(), "-5e-324"},
        TextCase{std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        TextCase{std::numeric_limits<double>::lowest(), "-1.7976931348623157e+308"},
        TextCase{std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        // Values with no finite text.
        TextCase{std::numeric_limits<double>::quiet_NaN(), "null"}, TextCase{-std::numeric_limits<double>::quiet_NaN(), "null"},
        TextCase{std::numeric_limits<double>::infinity(), "null"},
        TextCase{-std::numeric_limits<double>::infinity(), "null"}));

TEST(JsonNumber, AppendsWithoutDisturbingExistingText) {
  std::string out = "[1.0,";
  append_json_number(out, 0.25);
  append_json_number(out, 1e20);
  EXPECT_EQ(out, "[1.0,0.251e+20");
}

class PlainDecimalExamples : public ::testing::TestWithParam<TextCase> {};

TEST_P(PlainDecimalExamples, WritesExactText) {
  EXPECT_EQ(plain_decimal_text(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, PlainDecimalExamples,
    ::testing::Values(TextCase{246220.0, "246220"}, TextCase{70.0, "70"}, TextCase{-1.0, "-1"},
                      TextCase{1776.86, "1776.86"}, TextCase{0.0, "0"}, TextCase{3.0, "3"},
                      TextCase{0.5, "0.5"}, TextCase{-0.00125, "-0.00125"}, TextCase{1e-7, "0.0000001"},
                      TextCase{1e16, "10000000000000000"}, TextCase{1.5e17, "150000000000000000"},
                      TextCase{123456.789, "123456.789"}));

TEST(ShortestDecimal, DescribesDigitsExponentAndSign) {
  struct Case {
    double value;
    const char* digits;
    int exponent;
    bool negative;
  };
  const Case cases[] = {
      {288.0, "288", 2, false},
      {-0.0125, "125", -2, true},
      {1e16, "1", 16, false},
      {std::numeric_limits<double>::denorm_min(), "5", -324, false},
      {std::numeric_limits<double>::max(), "17976931348623157", 308, false},
  };
  for (const Case& c : cases) {
    const ShortestDecimal d = shortest_decimal(c.value);
    EXPECT_EQ(std::string(d.digits, static_cast<std::size_t>(d.digit_count)), c.digits) << c.value;
    EXPECT_EQ(d.exponent, c.exponent) << c.value;
    EXPECT_EQ(d.negative, c.negative) << c.value;
  }
}

// ---- Property: every finite double's text reads back exactly, is shortest and is laid out by its exponent.

// What the test reads from a number's text on its own, without the formatter's help.
struct ParsedText {
  std::string digits;  // significant digits, leading and trailing zeros removed
  int exponent = 0;    // decimal exponent of the first significant digit
};

// Parses `text` and checks the layout rules as it goes; returns false (after recording a failure)
// when the text breaks one of them.
bool parse_and_check_layout(const std::string& text, ParsedText& parsed) {
  std::size_t i = 0;
  if (i < text.size() && text[i] == '-') ++i;
  const std::size_t body = i;
  const std::size_t e_pos = text.find('e');

  if (e_pos != std::string::npos) {
    // d[.ddd]e±X with d != 0, no trailing zero in the fraction, exponent without leading zeros.
    const std::string mantissa = text.substr(body, e_pos - body);
    const std::string exp_text = text.substr(e_pos + 1);
    if (mantissa.empty() || mantissa[0] < '1' || mantissa[0] > '9') {
      ADD_FAILURE() << "scientific mantissa must start with a nonzero digit: " << text;
      return false;
    }
    parsed.digits = mantissa.substr(0, 1);
    if (mantissa.size() > 1) {
      if (mantissa[1] != '.' || mantissa.size() < 3) {
        ADD_FAILURE() << "bad mantissa: " << text;
        return false;
      }
      parsed.digits += mantissa.substr(2);
      if (mantissa.back() == '0') {
        ADD_FAILURE() << "trailing zero in mantissa: " << text;
        return false;
      }
    }
    if (exp_text.size() < 2 || (exp_text[0] != '+' && exp_text[0] != '-') || exp_text[1] == '0') {
      ADD_FAILURE() << "exponent needs a sign and no leading zeros: " << text;
      return false;
    }
    for (std::size_t k = 1; k < exp_text.size(); ++k) {
      if (exp_text[k] < '0' || exp_text[k] > '9') {
        ADD_FAILURE() << "bad exponent: " << text;
        return false;
      }
    }
    parsed.exponent = std::atoi(exp_text.c_str() + 1) * (exp_text[0] == '-' ? -1 : 1);
    for (char c : parsed.digits) {
      if (c < '0' || c > '9') {
        ADD_FAILURE() << "bad digit: " << text;
        return false;
      }
    }
    if (parsed.exponent >= -5 && parsed.exponent <= 15) {
      ADD_FAILURE() << "exponent in plain range written in scientific form: " << text;
      return false;
    }
    return true;
  }

  // Plain: integer part, '.', at least one fractional digit.
  const std::size_t dot = text.find('.', body);
  if (dot == std::string::npos || dot == body || dot + 1 >= text.size()) {
    ADD_FAILURE() << "plain text needs digits on both sides of '.': " << text;
    return false;
  }
  const std::string int_part = text.substr(body, dot - body);
  const std::string frac_part = text.substr(dot + 1);
  for (char c : int_part + frac_part) {
    if (c < '0' || c > '9') {
      ADD_FAILURE() << "bad digit: " << text;
      return false;
    }
  }
  if (int_part.size() > 1 && int_part[0] == '0') {
    ADD_FAILURE() << "leading zero in integer part: " << text;
    return false;
  }
  const bool integral = frac_part == "0";
  if (!integral && frac_part.back() == '0') {
    ADD_FAILURE() << "trailing zero in fraction: " << text;
    return false;
  }
  std::string all = int_part + frac_part;
  const std::size_t first = all.find_first_not_of('0');
  if (first == std::string::npos) {
    ADD_FAILURE() << "zero reached the property check: " << text;
    return false;
  }
  parsed.exponent = static_cast<int>(int_part.size()) - 1 - static_cast<int>(first);
  all = all.substr(first);
  all.erase(all.find_last_not_of('0') + 1);
  parsed.digits = all;
  if (parsed.exponent < -5 || parsed.exponent > 15) {
    ADD_FAILURE() << "exponent outside plain range written plainly: " << text;
    return false;
  }
  if (integral != (static_cast<int>(parsed.digits.size()) <= parsed.exponent + 1)) {
    ADD_FAILURE() << "\".0\" must mark exactly the integral values: " << text;
    return false;
  }
  return true;
}

// Reads a text this library wrote; it must be a complete, in-range number.
double read_double(std::string_view text) {
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  EXPECT_TRUE(ec == std::errc{} && end == text.data() + text.size()) << "unreadable number text: " << text;
  return value;
}

// The decimal `digits` x 10^scale read as a double; NaN when it overflows or underflows to zero,
// so it never equals a finite nonzero value.
double read_scaled(std::uint64_t digits, int scale) {
  char text[48];
  // 20 digits at most, then 'e' and at most 11 characters of exponent: no room checks needed.
  const char* digits_end = std::to_chars(text, text + 24, digits).ptr;
  text[digits_end - text] = 'e';
  const char* end = std::to_chars(text + (digits_end - text) + 1, text + sizeof text, scale).ptr;
  double value = 0.0;
  if (std::from_chars(text, end, value).ec != std::errc{}) return std::numeric_limits<double>::quiet_NaN();
  return value;
}

// One value through every check; returns false after the first failure so a broken build does
// not flood the log.
bool check_value(double value) {
  const std::string text = json_number(value);
  if (!std::isfinite(value)) {
    EXPECT_EQ(text, "null");
    return text == "null";
  }
  if (value == 0.0) {
    const char* expected = std::signbit(value) ? "-0.0" : "0.0";
    EXPECT_EQ(text, expected);
    return text == expected;
  }

  // (a) Reads back to the identical bits.
  const double back = read_double(text);
  if (std::bit_cast<std::uint64_t>(back) != std::bit_cast<std::uint64_t>(value)) {
    ADD_FAILURE() << "text " << text << " reads back as a different double";
    return false;
  }
  if ((text[0] == '-') != std::signbit(value)) {
    ADD_FAILURE() << "sign lost: " << text;
    return false;
  }

  // (c) Layout, from the text alone.
  ParsedText parsed;
  if (!parse_and_check_layout(text, parsed)) return false;
  const int n = static_cast<int>(parsed.digits.size());
  if (n > 17) {
    ADD_FAILURE() << "more than 17 significant digits: " << text;
    return false;
  }

  // (b) Shortest: neither n-1 digit neighbour of the value (the digits cut, and cut plus one unit in
  // the last place) reads back as it. Any shorter string that did would lie between them.
  if (n >= 2) {
    const double magnitude = std::fabs(value);
    const std::uint64_t all_digits = std::strtoull(parsed.digits.c_str(), nullptr, 10);
    const std::uint64_t cut = all_digits / 10;
    const int scale = parsed.exponent - (n - 2);
    if ((cut != 0 && read_scaled(cut, scale) == magnitude) || read_scaled(cut + 1, scale) == magnitude) {
      ADD_FAILURE() << "a shorter text reads back as " << text;
      return false;
    }
  }

  // Nearest: when the correctly rounded n-digit text reads back, the digits must be exactly it.
  char rounded[40];
  const auto rounded_end =
      std::to_chars(rounded, rounded + sizeof rounded, std::fabs(value), std::chars_format::scientific, n - 1).ptr;
  if (read_double(std::string_view(rounded, static_cast<std::size_t>(rounded_end - rounded))) == std::fabs(value)) {
    std::string rounded_digits;
    for (const char* p = rounded; *p != 'e'; ++p) {
      if (*p != '.') rounded_digits.push_back(*p);
    }
    if (rounded_digits != parsed.digits) {
      ADD_FAILURE() << "digits of " << text << " are not the nearest; expected " << rounded;
      return false;
    }
  }

  // The struct agrees with the text.
  const ShortestDecimal d = shortest_decimal(value);
  if (std::string(d.digits, static_cast<std::size_t>(d.digit_count)) != parsed.digits ||
      d.exponent != parsed.exponent || d.negative != std::signbit(value)) {
    ADD_FAILURE() << "shortest_decimal disagrees with text " << text;
    return false;
  }

  // The plain layout reads back too and carries the same digits.
  const std::string plain = plain_decimal_text(value);
  if (plain.find_first_of("eE") != std::string::npos ||
      std::bit_cast<std::uint64_t>(read_double(plain)) != std::bit_cast<std::uint64_t>(value)) {
    ADD_FAILURE() << "plain text " << plain << " does not read back as " << text;
    return false;
  }
  return true;
}

double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

std::vector<double> boundary_values() {
  std::vector<double> anchors = {9.9999e-6, 1e-5, 1e-6, 9.99999999999999e-6, 0.999999e16, 1e16, 1e15,
                                 9.999999999999999e15, 9.999999999999998e14, 999999999999999.9, 1e17,
                                 std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
                                 std::numeric_limits<double>::denorm_min(), 9007199254740992.0, 0.1, 1.0};
  std::vector<double> out;
  for (double anchor : anchors) {
    // Walk a few hundred representable steps each way from every anchor.
    double up = anchor;
    double down = anchor;
    for (int k = 0; k < 300; ++k) {
      out.push_back(up);
      out.push_back(down);
      out.push_back(-up);
      up = std::nextafter(up, std::numeric_limits<double>::infinity());
      down = std::nextafter(down, 0.0);
    }
  }
  // Powers of ten across the whole range, each with its neighbours.
  for (int k = -320; k <= 308; ++k) {
    const double p = read_scaled(1, k);
    out.push_back(p);
    out.push_back(std::nextafter(p, 0.0));
    out.push_back(std::nextafter(p, std::numeric_limits<double>::infinity()));
  }
  return out;
}

TEST(JsonNumberProperty, FixedBoundaryValues) {
  for (double value : boundary_values()) {
    ASSERT_TRUE(check_value(value)) << std::hexfloat << value;
  }
}

TEST(JsonNumberProperty, MillionRandomDoublesOfEveryClass) {
  std::mt19937_64 rng(0x5eed2024u);
  std::uniform_int_distribution<std::uint64_t> mantissa(0, (std::uint64_t{1} << 52) - 1);
  std::uniform_int_distribution<std::uint64_t> exponent(1, 2046);
  std::uniform_int_distribution<int> sign(0, 1);
  std::uniform_int_distribution<std::int64_t> big_integer(-(std::int64_t{1} << 62), std::int64_t{1} << 62);
  std::uniform_int_distribution<int> small_width(1, 16);
  std::uniform_real_distribution<double> near_small(0.5e-6, 2e-5);
  std::uniform_real_distribution<double> near_large(0.5e15, 2e16);

  constexpr int kCount = 1'000'000;
  for (int i = 0; i < kCount; ++i) {
    double value = 0.0;
    const std::uint64_t signbit = std::uint64_t(sign(rng)) << 63;
    switch (i % 7) {
      case 0:  // any bit pattern, NaN and infinity included
        value = from_bits(rng());
        break;
      case 1:  // subnormal
        value = from_bits(signbit | mantissa(rng));
        break;
      case 2:  // normal, any exponent
        value = from_bits(signbit | (exponent(rng) << 52) | mantissa(rng));
        break;
      case 3:  // integral: full 62-bit range, and a narrower one where every integer is exact
        value = (i & 8) ? static_cast<double>(big_integer(rng))
                        : static_cast<double>(big_integer(rng) >> (62 - small_width(rng) * 3));
        break;
      case 4:  // around E = -6 / -5
        value = near_small(rng);
        break;
      case 5:  // around E = 15 / 16
        value = near_large(rng);
        break;
      case 6: {  // power of ten, a few steps off
        const int k = static_cast<int>(rng() % 629) - 320;
        value = read_scaled(1, k);
        for (int steps = static_cast<int>(rng() % 4); steps > 0; --steps) {
          value = std::nextafter(value, (rng() & 1) ? 0.0 : std::numeric_limits<double>::infinity());
        }
        break;
      }
    }
    ASSERT_TRUE(check_value(value)) << "case " << i << ": " << std::hexfloat << value;
  }
}

// A decimal of at most 15 significant digits in the normal range is recovered exactly from its
// double, so its own digits are the shortest ones.
TEST(JsonNumberProperty, ShortDecimalsKeepTheirDigits) {
  std::mt19937_64 rng(77);
  for (int i = 0; i < 100'000; ++i) {
    const int width = 1 + static_cast<int>(rng() % 15);
    std::uint64_t digits = rng() % 1'000'000'000'000'000ull;
    for (int k = width; k < 15; ++k) digits /= 10;
    if (digits == 0) continue;
    while (digits % 10 == 0) digits /= 10;
    const int scale = static_cast<int>(rng() % 581) - 290;
    const double value = read_scaled(digits, scale);
    const ShortestDecimal d = shortest_decimal(value);
    ASSERT_EQ(std::string(d.digits, static_cast<std::size_t>(d.digit_count)), std::to_string(digits))
        << digits << "e" << scale;
  }
}

}  // namespace
}  // namespace vellora
