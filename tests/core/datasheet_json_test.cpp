// Tests of the datasheet JSON text: string escaping byte by byte and the exact datasheet layout.
#include "registry/datasheet_json.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <optional>
#include <ostream>
#include <string>

namespace vellora {
namespace {

std::string json_string(std::string_view bytes) {
  std::string out;
  append_json_string(out, bytes);
  return out;
}

struct EscapeCase {
  std::string input;
  std::string expected;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.input); }

class JsonStringEscapes : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonStringEscapes, WritesExactText) {
  EXPECT_EQ(json_string(GetParam().input), GetParam().expected);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Bytes, JsonStringEscapes,
    ::testing::Values(
        EscapeCase{"", R"("")"}, EscapeCase{"plain", R"("plain")"},
        EscapeCase{"a\tb", R"("a\tb")"}, EscapeCase{"\x01", R"("\u0001")"}, EscapeCase{"\x1f", R"("\u001f")"},
        EscapeCase{"\x1b[0m", R"("\u001b[0m")"}, EscapeCase{"\x0b", R"("\u000b")"},
        EscapeCase{"\0x"s, R"("\u0000x")"},
        EscapeCase{"say \"hi\"", R"("say \"hi\"")"}, EscapeCase{"C:\\dir\\", R"("C:\\dir\\")"},
        EscapeCase{"\b\f\n\r", R"("\b\f\n\r")"},
        // Not escaped: solidus, DEL, and UTF-8 bytes, which pass through raw.
        EscapeCase{"m/s", R"("m/s")"}, EscapeCase{"\x7f", "\"\x7f\""}, EscapeCase{"\xc2\xb5m", "\"\xc2\xb5m\""},
        EscapeCase{"\xff\x80", "\"\xff\x80\""},
        // Escapes at both ends and back to back, around plain runs.
        EscapeCase{"\"\\\n", R"("\"\\\n")"}, EscapeCase{"\tx\ty\t", R"("\tx\ty\t")"}));

// Every byte on its own: the seven short escapes, \u00xx for the other controls, raw otherwise.
TEST(JsonString, EveryByteFollowsItsClass) {
  for (int b = 0; b < 256; ++b) {
    const char byte = static_cast<char>(b);
    const std::string text = json_string(std::string_view(&byte, 1));
    ASSERT_GE(text.size(), 3u) << b;
    ASSERT_EQ(text.front(), '"') << b;
    ASSERT_EQ(text.back(), '"') << b;
    const std::string body = text.substr(1, text.size() - 2);
    switch (b) {
      case '"': EXPECT_EQ(body, "\\\""); break;
      case '\\': EXPECT_EQ(body, "\\\\"); break;
      case '\b': EXPECT_EQ(body, "\\b"); break;
      case '\t': EXPECT_EQ(body, "\\t"); break;
      case '\n': EXPECT_EQ(body, "\\n"); break;
      case '\f': EXPECT_EQ(body, "\\f"); break;
      case '\r': EXPECT_EQ(body, "\\r"); break;
      default:
        if (b < 0x20) {
          char expected[8];
          std::snprintf(expected, sizeof expected, "\\u%04x", b);
          EXPECT_EQ(body, expected) << b;
        } else {
          EXPECT_EQ(body, std::string(1, byte)) << b;
        }
    }
  }
}

TEST(JsonString, AppendsAfterExistingText) {
  std::string out = "[";
  append_json_string(out, "a\"");
  append_json_string(out, "b");
  EXPECT_EQ(out, R"(["a\"""b")");
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

ConstantRecord record(std::string name, double value, std::string units, std::optional<double> uncertainty,
                      ConstantStatus status) {
  ConstantRecord r = ConstantRecord::seed(name, value, units);
  r.uncertainty = uncertainty;
  r.status = status;
  return r;
}

struct DatasheetCase {
  const char* label;
  ConstantRecord record;
  std::string expected;
};

void PrintTo(const DatasheetCase& c, std::ostream* os) { *os << c.label; }

class Datasheets : public ::testing::TestWithParam<DatasheetCase> {};

TEST_P(Datasheets, WritesExactText) {
  EXPECT_EQ(datasheet_json(GetParam().record), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Records, Datasheets,
    ::testing::Values(
        DatasheetCase{"seed", ConstantRecord::seed("n_gen", 3.0, "count"),
                      R"({"name":"n_gen","status":"Seed","uncertainty":null,"units":"count","value":3.0})"},
        DatasheetCase{"with_uncertainty",
                      record("m_e", 0.51099895, "MeV", 1.5e-10, ConstantStatus::Cached),
                      R"({"name":"m_e","status":"Cached","uncertainty":1.5e-10,"units":"MeV","value":0.51099895})"},
        DatasheetCase{"pending_formula", ConstantRecord::derived("ratio", "a / b", "", {"a", "b"}),
                      R"({"name":"ratio","status":"Pending","uncertainty":null,"units":"","value":0.0})"},
        DatasheetCase{"external_large", record("G", -6.6743e22, "m3", 0.0, ConstantStatus::External),
                      R"({"name":"G","status":"External","uncertainty":0.0,"units":"m3","value":-6.6743e+22})"},
        DatasheetCase{"nan_value", record("x", kNaN, "1", std::nullopt, ConstantStatus::Seed),
                      R"({"name":"x","status":"Seed","uncertainty":null,"units":"1","value":null})"},
        DatasheetCase{"infinite_numbers", record("x", -kInf, "1", kInf, ConstantStatus::Seed),
                      R"({"name":"x","status":"Seed","uncertainty":null,"units":"1","value":null})"},
        DatasheetCase{"nan_uncertainty", record("x", -0.0, "1", kNaN, ConstantStatus::Seed),
                      R"({"name":"x","status":"Seed","uncertainty":null,"units":"1","value":-0.0})"},
        DatasheetCase{"escaped_texts", record("a\"b\\c", 288.0, "\xc2\xb5m/s\t", 2.0, ConstantStatus::Seed),
                      "{\"name\":\"a\\\"b\\\\c\",\"status\":\"Seed\",\"uncertainty\":2.0,"
                      "\"units\":\"\xc2\xb5m/s\\t\",\"value\":288.0}"}),
    [](const ::testing::TestParamInfo<DatasheetCase>& info) { return std::string(info.param.label); });

TEST(Datasheet, AppendKeepsExistingTextAndMatchesTheStringForm) {
  const ConstantRecord r = record("alpha", 0.0072973525693, "", 1.1e-12, ConstantStatus::Cached);
  std::string out = "prefix:";
  append_datasheet_json(out, r);
  EXPECT_EQ(out, "prefix:" + datasheet_json(r));
}

}  // namespace
}  // namespace vellora
