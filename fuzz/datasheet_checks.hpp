// Properties of the datasheet writer and the number format, checked on records decoded from
// arbitrary bytes. Shared by the libFuzzer targets and the GoogleTest replay of the seed corpus,
// so every corpus file is a regression test of the ordinary suite too.
#pragma once

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "registry/constant_record.hpp"
#include "registry/datasheet_json.hpp"
#include "registry/number_format.hpp"
#include "strict_json.hpp"

namespace vellora::fuzz {

/// Reads the input front to back; missing bytes read as zero, so every input decodes.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(byte()) << (8 * i);
    return v;
  }
  std::uint16_t u16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
  }
  std::string_view take(std::size_t count) {
    const std::size_t n = std::min(count, remaining());
    const std::string_view out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }
  std::size_t remaining() const { return size_ - pos_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

inline bool valid_utf8(std::string_view bytes) {
  const std::string quoted = "\"" + std::string(bytes) + "\"";
  // Control bytes are not a UTF-8 question; hide them from the string grammar.
  std::string masked = quoted;
  for (std::size_t i = 1; i + 1 < masked.size(); ++i)
    if (static_cast<unsigned char>(masked[i]) < 0x20 || masked[i] == '"' || masked[i] == '\\') masked[i] = 'x';
  return StrictJsonReader(masked, {true, true}).parse().has_value();
}

/// The significant digits of a decimal text (sign, point, exponent, leading and trailing zeros
/// dropped): "0.000120" and "1.2e-4" both give "12".
inline std::string significant_digits(std::string_view text) {
  std::string digits;
  for (const char c : text) {
    if (c == 'e' || c == 'E') break;
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return "0";
  const std::size_t last = digits.find_last_not_of('0');
  return digits.substr(first, last - first + 1);
}

/// The shortest round-trip digits and decimal exponent as the standard library computes them.
struct Reference {
  std::string digits;
  int exponent;
};

inline Reference reference_decimal(double value) {
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  const std::string_view text(buf, static_cast<std::size_t>(result.ptr - buf));
  const std::size_t e = text.find('e');
  int exponent = 0;
  const char* first = text.data() + e + 1;
  if (*first == '+') ++first;  // from_chars takes no '+'
  std::from_chars(first, text.data() + text.size(), exponent);
  return {significant_digits(text), exponent};
}

inline std::optional<double> read_double(std::string_view text) {
  double parsed = 0.0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return parsed;
}

/// Checks one JSON number text written for `value`; returns the fault, empty when all holds.
inline std::string check_json_number(double value, std::string_view text) {
  if (!std::isfinite(value)) return text == "null" ? "" : "non-finite value not written as null";
  std::string lexeme;
  const auto parsed = StrictJsonReader(text, {false, true}).parse();
  if (!parsed || parsed->kind != JsonValue::Kind::Number) return "not a JSON number: " + std::string(text);
  const auto back = read_double(text);
  if (!back) return "from_chars rejects " + std::string(text);
  if (std::bit_cast<std::uint64_t>(*back) != std::bit_cast<std::uint64_t>(value))
    return "does not read back bit for bit: " + std::string(text);
  if (text.find('.') == std::string_view::npos && text.find('e') == std::string_view::npos)
    return "integral text without '.0' or exponent: " + std::string(text);
  if (value != 0.0) {
    // Plain layout exactly for decimal exponents -5..15, always with the shortest digits.
    const Reference reference = reference_decimal(value);
    const bool scientific = text.find('e') != std::string_view::npos;
    const bool plain_range = reference.exponent >= -5 && reference.exponent <= 15;
    if (scientific == plain_range) return "layout does not match the exponent: " + std::string(text);
    if (scientific) {
      const std::string_view exponent = text.substr(text.find('e') + 1);
      if (exponent.size() < 2 || (exponent[0] != '+' && exponent[0] != '-') || exponent[1] == '0')
        return "exponent not signed or has leading zeros: " + std::string(text);
    }
    if (significant_digits(text) != reference.digits)
      return "digits are not the shortest: " + std::string(text) + " vs " + reference.digits;
  }
  return "";
}

/// Checks the plain decimal text of a finite value.
inline std::string check_plain_decimal(double value) {
  const std::string text = plain_decimal_text(value);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || c == '.' || (c == '-' && i == 0))) return "unexpected byte in " + text;
  }
  const auto back = read_double(text);
  if (!back) return "from_chars rejects plain text " + text;
  if (*back != value) return "plain text does not read back: " + text;  // -0.0 is written "0"
  if (std::floor(value) == value && text.find('.') != std::string::npos) return "integral with a point: " + text;
  if (value != 0.0 && significant_digits(text) != reference_decimal(value).digits) return "plain digits not shortest: " + text;
  return "";
}

inline std::string check_shortest_decimal(double value) {
  if (!std::isfinite(value) || value == 0.0) return "";
  const ShortestDecimal d = shortest_decimal(value);
  if (d.negative != std::signbit(value)) return "sign lost";
  if (d.digit_count < 1 || d.digit_count > 17) return "digit count out of range";
  for (int i = 0; i < d.digit_count; ++i)
    if (d.digits[i] < '0' || d.digits[i] > '9') return "non-digit in digits";
  if (d.digits[0] == '0' || d.digits[d.digit_count - 1] == '0') return "leading or trailing zero digit";
  std::string text(d.digits, static_cast<std::size_t>(d.digit_count));
  text.insert(1, ".");
  text += "e" + std::to_string(d.exponent);
  const auto back = read_double(text);
  if (!back || *back != std::fabs(value)) return "shortest digits do not read back: " + text;
  return "";
}

/// One double: every layout of it.
inline std::string check_number(double value) {
  std::string out = "[";  // appending must keep what was there
  append_json_number(out, value);
  if (out.compare(0, 1, "[") != 0) return "append_json_number overwrote the prefix";
  if (std::string fault = check_json_number(value, std::string_view(out).substr(1)); !fault.empty()) return fault;
  if (std::string fault = check_shortest_decimal(value); !fault.empty()) return fault;
  if (std::isfinite(value)) return check_plain_decimal(value);
  return "";
}

/// Number input: '#' then a decimal text, or any other bytes as a run of 8-byte doubles.
inline std::string check_number_input(const std::uint8_t* data, std::size_t size) {
  if (size > 0 && data[0] == '#') {
    const char* const first = reinterpret_cast<const char*>(data + 1);
    double value = 0.0;
    const auto result = std::from_chars(first, first + (size - 1), value);
    if (result.ec != std::errc()) return "";  // not a number; nothing to check
    return check_number(value);
  }
  ByteReader reader(data, size);
  do {
    if (std::string fault = check_number(std::bit_cast<double>(reader.u64())); !fault.empty()) return fault;
  } while (reader.remaining() > 0);
  return "";
}

inline ConstantRecord decode_record(const std::uint8_t* data, std::size_t size) {
  ByteReader reader(data, size);
  const std::uint8_t flags = reader.byte();
  ConstantRecord record;
  record.status = static_cast<ConstantStatus>(flags & 0x03);
  record.value = std::bit_cast<double>(reader.u64());
  const double uncertainty = std::bit_cast<double>(reader.u64());
  if ((flags & 0x04) != 0) record.uncertainty = uncertainty;
  const std::size_t name_size = reader.u16();
  record.name = std::string(reader.take(name_size));
  record.units = std::string(reader.take(reader.remaining()));
  // Fields the datasheet leaves out must not leak into it.
  if ((flags & 0x08) != 0) record.formula = "a + b";
  if ((flags & 0x10) != 0) record.dependencies = {"a", "b"};
  return record;
}

inline std::string check_number_member(const JsonValue& member, std::optional<double> expected, const char* key) {
  const bool expect_null = !expected.has_value() || !std::isfinite(*expected);
  if (expect_null) return member.kind == JsonValue::Kind::Null ? "" : std::string(key) + " should be null";
  if (member.kind != JsonValue::Kind::Number) return std::string(key) + " should be a number";
  return check_json_number(*expected, member.text);
}

/// Datasheet input: a flags byte, value and uncertainty bits, a name length, then name and units.
inline std::string check_datasheet_input(const std::uint8_t* data, std::size_t size) {
  const ConstantRecord record = decode_record(data, size);
  const std::string prefix = "prefix";
  std::string text = prefix;
  append_datasheet_json(text, record);
  if (text.compare(0, prefix.size(), prefix) != 0) return "append_datasheet_json overwrote the prefix";
  text.erase(0, prefix.size());
  if (text != datasheet_json(record)) return "append and datasheet_json disagree";

  const bool utf8 = valid_utf8(record.name) && valid_utf8(record.units);
  StrictJsonReader reader(text, {false, utf8});
  const auto document = reader.parse();
  if (!document) return "invalid JSON (" + reader.error() + "): " + text;
  if (document->kind != JsonValue::Kind::Object) return "not an object";
  static constexpr const char* kKeys[] = {"name", "status", "uncertainty", "units", "value"};
  if (document->keys.size() != 5) return "member count is not 5";
  for (std::size_t i = 0; i < 5; ++i)
    if (document->keys[i] != kKeys[i]) return "keys out of order or misnamed";
  const JsonValue& name = document->items[0];
  const JsonValue& status = document->items[1];
  const JsonValue& units = document->items[3];
  if (name.kind != JsonValue::Kind::String || name.text != record.name) return "name does not read back";
  if (units.kind != JsonValue::Kind::String || units.text != record.units) return "units do not read back";
  if (status.kind != JsonValue::Kind::String || status.text != status_text(record.status)) return "status text wrong";
  if (std::string fault = check_number_member(document->items[2], record.uncertainty, "uncertainty");
      !fault.empty())
    return fault;
  if (std::string fault = check_number_member(document->items[4], record.value, "value"); !fault.empty())
    return fault;

  // The string writer alone, on the name bytes.
  std::string quoted;
  append_json_string(quoted, record.name);
  StrictJsonReader string_reader(quoted, {false, utf8});
  const auto string_value = string_reader.parse();
  if (!string_value || string_value->kind != JsonValue::Kind::String || string_value->text != record.name)
    return "append_json_string does not read back";
  return "";
}

}  // namespace vellora::fuzz
