// The fuzzers' checks in the ordinary suite: every checked-in corpus file (seeds and any input
// that once crashed) is replayed, and the checks themselves are shown to reject faulty text.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "../../fuzz/datasheet_checks.hpp"

namespace vellora::fuzz {
namespace {

namespace fs = std::filesystem;

fs::path corpus_root() { return VELLORA_FUZZ_CORPUS; }

std::vector<std::uint8_t> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct CorpusCase {
  const char* target;
  std::string (*check)(const std::uint8_t*, std::size_t);
};

void PrintTo(const CorpusCase& c, std::ostream* os) { *os << c.target; }

class CorpusReplay : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(CorpusReplay, EveryFilePassesItsChecks) {
  const fs::path dir = corpus_root() / GetParam().target;
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  int files = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::vector<std::uint8_t> bytes = read_bytes(entry.path());
    EXPECT_EQ(GetParam().check(bytes.data(), bytes.size()), "") << entry.path();
    ++files;
  }
  EXPECT_GE(files, 5) << "the seed corpus went missing";
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay,
                         ::testing::Values(CorpusCase{"datasheet_json", check_datasheet_input},
                                           CorpusCase{"number_format", check_number_input}),
                         [](const ::testing::TestParamInfo<CorpusCase>& info) { return std::string(info.param.target); });

// ---- The strict reader ----

struct JsonCase {
  const char* text;
  bool compact_ok;  // accepted with no white space allowed and UTF-8 required
};

void PrintTo(const JsonCase& c, std::ostream* os) { *os << c.text; }

class StrictReader : public ::testing::TestWithParam<JsonCase> {};

TEST_P(StrictReader, AcceptsExactlyTheGrammar) {
  StrictJsonReader reader(GetParam().text, {false, true});
  EXPECT_EQ(reader.parse().has_value(), GetParam().compact_ok) << reader.error();
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StrictReader,
    ::testing::Values(JsonCase{R"({"a":[1,-0.5,2e+3,1E-2,true,false,null,"x"]})", true}, JsonCase{"0", true},
                      JsonCase{"-0.0", true}, JsonCase{R"("\u00e9\ud83d\ude00\/")", true},
                      JsonCase{"01", false}, JsonCase{"1.", false}, JsonCase{".5", false}, JsonCase{"+1", false},
                      JsonCase{"1e", false}, JsonCase{"NaN", false}, JsonCase{"Infinity", false},
                      JsonCase{"nul", false}, JsonCase{R"({"a":1,})", false}, JsonCase{"[1,]", false},
                      JsonCase{R"({"a" :1})", false}, JsonCase{"[1] ", false}, JsonCase{"\"tab\there\"", false},
                      JsonCase{R"("\x")", false}, JsonCase{R"("\u12")", false}, JsonCase{R"("\ud800")", false},
                      JsonCase{R"("\udc00\ud800")", false}, JsonCase{"\"\xc0\x80\"", false},
                      JsonCase{"\"\xed\xa0\x80\"", false}, JsonCase{"\"\xff\"", false}, JsonCase{"\"open", false},
                      JsonCase{"", false}, JsonCase{"{} {}", false}));

TEST(StrictReader, DecodesEscapesToBytes) {
  const auto value = StrictJsonReader(R"("a\"\\\/\b\f\n\r\t\u0000\u001f\u00e9")", {false, true}).parse();
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->text, std::string("a\"\\/\b\f\n\r\t\0\x1f\xc3\xa9", 13));
}

TEST(StrictReader, PassesRawHighBytesOnlyWhenUtf8IsNotRequired) {
  EXPECT_FALSE(StrictJsonReader("\"\xff\xfe\"", {false, true}).parse().has_value());
  const auto value = StrictJsonReader("\"\xff\xfe\"", {false, false}).parse();
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->text, "\xff\xfe");
}

// ---- The number checks reject every kind of wrong text ----

struct WrongNumber {
  double value;
  const char* text;
};

void PrintTo(const WrongNumber& c, std::ostream* os) { *os << c.text; }

class NumberCheckRejects : public ::testing::TestWithParam<WrongNumber> {};

TEST_P(NumberCheckRejects, WrongText) { EXPECT_NE(check_json_number(GetParam().value, GetParam().text), ""); }

INSTANTIATE_TEST_SUITE_P(
    Texts, NumberCheckRejects,
    ::testing::Values(WrongNumber{3.0, "3"},                       // reads as an integer
                      WrongNumber{0.1, "0.10000000000000001"},     // not the shortest digits
                      WrongNumber{0.1, "0.2"},                     // another double
                      WrongNumber{-0.0, "0.0"},                    // sign of zero lost
                      WrongNumber{1e16, "10000000000000000.0"},    // plain beyond the range
                      WrongNumber{1e15, "1e+15"},                  // scientific inside the range
                      WrongNumber{1e-6, "0.000001"},               // plain below the range
                      WrongNumber{1e16, "1e16"},                   // unsigned exponent
                      WrongNumber{1e-7, "1e-07"},                  // padded exponent
                      WrongNumber{1.5, "1.5 "},                    // trailing space
                      WrongNumber{std::numeric_limits<double>::infinity(), "1e+999"}));

TEST(NumberCheck, AcceptsTheWritersText) {
  for (const double value : {0.0, -0.0, 1.0, 0.1, 1e15, 1e16, 1e-5, 1e-6, 5e-324, 1.7976931348623157e308}) {
    std::string text;
    append_json_number(text, value);
    EXPECT_EQ(check_json_number(value, text), "") << text;
    EXPECT_EQ(check_number(value), "") << text;
  }
}

TEST(DatasheetCheck, DecodesTheRecordLayout) {
  // flags: status External, uncertainty present, formula present; value 2.5, uncertainty 0.25.
  std::vector<std::uint8_t> bytes = {0x03 | 0x04 | 0x08};
  for (const double d : {2.5, 0.25})
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(std::bit_cast<std::uint64_t>(d) >> (8 * i)));
  bytes.insert(bytes.end(), {2, 0, 'a', 'b', 'M', 'e', 'V'});
  const ConstantRecord record = decode_record(bytes.data(), bytes.size());
  EXPECT_EQ(record.status, ConstantStatus::External);
  EXPECT_EQ(record.value, 2.5);
  EXPECT_EQ(record.uncertainty, 0.25);
  EXPECT_EQ(record.name, "ab");
  EXPECT_EQ(record.units, "MeV");
  EXPECT_TRUE(record.formula.has_value());
  EXPECT_EQ(check_datasheet_input(bytes.data(), bytes.size()), "");
  // Short input reads as zeros: still a record, still a valid datasheet.
  EXPECT_EQ(check_datasheet_input(bytes.data(), 3), "");
  EXPECT_EQ(check_datasheet_input(nullptr, 0), "");
}

}  // namespace
}  // namespace vellora::fuzz
