// The datasheet of one constant as compact JSON text.
#include "registry/datasheet_json.hpp"

#include <string_view>

#include "registry/number_format.hpp"

namespace vellora {

namespace {

// The second byte of the two-byte escape of a control byte, or 0 when it takes the \u00XX form.
constexpr char short_escape(unsigned char byte) noexcept {
  constexpr std::string_view kEscaped = "\b\t\n\f\r", kLetters = "btnfr";
  const std::size_t at = kEscaped.find(static_cast<char>(byte));
  return at == std::string_view::npos ? 0 : kLetters[at];
}

constexpr bool needs_escape(unsigned char byte) noexcept { return byte < 0x20 || byte == '"' || byte == '\\'; }

}  // namespace

void append_json_string(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  // Copy runs of plain bytes in one append; most names and units have no escapes at all.
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (!needs_escape(byte)) continue;
    out.append(bytes.data() + run_start, i - run_start);
    run_start = i + 1;
    if (byte == '"' || byte == '\\') {
      const char pair[2] = {'\\', static_cast<char>(byte)};
      out.append(pair, 2);
    } else if (const char letter = short_escape(byte); letter != 0) {
      const char pair[2] = {'\\', letter};
      out.append(pair, 2);
    } else {
      const char unicode[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0x0F]};
      out.append(unicode, 6);
    }
  }
  out.append(bytes.data() + run_start, bytes.size() - run_start);
  out.push_back('"');
}

void append_datasheet_json(std::string& out, const ConstantRecord& record) {
  // Fixed keys and punctuation (~70 bytes), two numbers (<= 24 bytes each), the two texts; escapes
  // are rare enough that growing past this is left to the string.
  out.reserve(out.size() + 128 + record.name.size() + record.units.size());

  out.append(R"({"name":)");
  append_json_string(out, record.name);
  out.append(R"(,"status":")");
  out.append(status_text(record.status));
  out.append(R"(","uncertainty":)");
  if (record.uncertainty.has_value()) {  // NaN and infinities are written as null too
    append_json_number(out, *record.uncertainty);
  } else {
    out.append("null", 4);
  }
  out.append(R"(,"units":)");
  append_json_string(out, record.units);
  out.append(R"(,"value":)");
  append_json_number(out, record.value);
  out.push_back('}');
}

std::string datasheet_json(const ConstantRecord& record) {
  std::string out;
  append_datasheet_json(out, record);
  return out;
}

}  // namespace vellora
