// A small, strict JSON reader (RFC 8259) used to check the datasheet writer's output.
// It is deliberately independent of the writer: it decodes escapes itself and keeps each number's
// text so the caller can read it back with std::from_chars.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellora::fuzz {

struct JsonValue {
  enum class Kind { Null, False, True, Number, String, Array, Object };
  Kind kind = Kind::Null;
  std::string text;  // String: the decoded bytes; Number: the lexeme as written
  std::vector<JsonValue> items;        // Array: the elements; Object: the member values
  std::vector<std::string> keys;       // Object: the member names, in document order, duplicates kept
};

struct JsonOptions {
  bool allow_whitespace = true;  // false: any white space between tokens is an error
  bool require_utf8 = true;      // false: bytes >= 0x80 in strings pass through unchecked
};

class StrictJsonReader {
 public:
  StrictJsonReader(std::string_view text, JsonOptions options) : text_(text), options_(options) {}

  /// The document's single value, or nullopt with error() describing the first fault.
  std::optional<JsonValue> parse() {
    JsonValue value;
    skip_whitespace();
    if (!parse_value(value, 0)) return std::nullopt;
    skip_whitespace();
    if (pos_ != text_.size()) return fail("trailing bytes after the value");
    return value;
  }

  const std::string& error() const { return error_; }
  std::size_t position() const { return pos_; }

 private:
  static constexpr int kMaxDepth = 64;

  std::nullopt_t fail(const char* what) {
    if (error_.empty()) error_ = std::string(what) + " at byte " + std::to_string(pos_);
    return std::nullopt;
  }
  bool failed(const char* what) {
    fail(what);
    return false;
  }

  bool at_end() const { return pos_ >= text_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(text_[pos_]); }

  void skip_whitespace() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
      if (!options_.allow_whitespace) {
        fail("white space in compact text");
        return;
      }
      ++pos_;
    }
  }

  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return failed("bad literal");
    pos_ += word.size();
    return true;
  }

  bool parse_value(JsonValue& out, int depth) {
    if (!error_.empty()) return false;
    if (depth > kMaxDepth) return failed("nesting too deep");
    if (at_end()) return failed("value expected");
    switch (peek()) {
      case 'n':
        out.kind = JsonValue::Kind::Null;
        return literal("null");
      case 't':
        out.kind = JsonValue::Kind::True;
        return literal("true");
      case 'f':
        out.kind = JsonValue::Kind::False;
        return literal("false");
      case '"':
        out.kind = JsonValue::Kind::String;
        return parse_string(out.text);
      case '[':
        out.kind = JsonValue::Kind::Array;
        return parse_array(out, depth);
      case '{':
        out.kind = JsonValue::Kind::Object;
        return parse_object(out, depth);
      default:
        out.kind = JsonValue::Kind::Number;
        return parse_number(out.text);
    }
  }

  bool parse_array(JsonValue& out, int depth) {
    ++pos_;  // '['
    skip_whitespace();
    if (!at_end() && peek() == ']') {
      ++pos_;
      return error_.empty();
    }
    for (;;) {
      out.items.emplace_back();
      if (!parse_value(out.items.back(), depth + 1)) return false;
      skip_whitespace();
      if (at_end()) return failed("unterminated array");
      if (peek() == ']') {
        ++pos_;
        return error_.empty();
      }
      if (peek() != ',') return failed("',' or ']' expected");
      ++pos_;
      skip_whitespace();
    }
  }

  bool parse_object(JsonValue& out, int depth) {
    ++pos_;  // '{'
    skip_whitespace();
    if (!at_end() && peek() == '}') {
      ++pos_;
      return error_.empty();
    }
    for (;;) {
      if (at_end() || peek() != '"') return failed("member name expected");
      std::string key;
      if (!parse_string(key)) return false;
      skip_whitespace();
      if (at_end() || peek() != ':') return failed("':' expected");
      ++pos_;
      skip_whitespace();
      out.keys.push_back(std::move(key));
      out.items.emplace_back();
      if (!parse_value(out.items.back(), depth + 1)) return false;
      skip_whitespace();
      if (at_end()) return failed("unterminated object");
      if (peek() == '}') {
        ++pos_;
        return error_.empty();
      }
      if (peek() != ',') return failed("',' or '}' expected");
      ++pos_;
      skip_whitespace();
    }
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  bool parse_number(std::string& lexeme) {
    const std::size_t start = pos_;
    auto digits = [this] {
      std::size_t count = 0;
      while (!at_end() && peek() >= '0' && peek() <= '9') ++pos_, ++count;
      return count;
    };
    if (!at_end() && peek() == '-') ++pos_;
    if (at_end()) return failed("digit expected");
    if (peek() == '0') {
      ++pos_;
    } else if (peek() >= '1' && peek() <= '9') {
      digits();
    } else {
      return failed("digit expected");
    }
    if (!at_end() && peek() == '.') {
      ++pos_;
      if (digits() == 0) return failed("digit expected after '.'");
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      ++pos_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
      if (digits() == 0) return failed("digit expected in exponent");
    }
    lexeme.assign(text_.substr(start, pos_ - start));
    return true;
  }

  static int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool hex4(std::uint32_t& unit) {
    if (text_.size() - pos_ < 4) return failed("short \\u escape");
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int v = hex_value(peek());
      if (v < 0) return failed("bad hex digit in \\u escape");
      unit = unit * 16 + static_cast<std::uint32_t>(v);
      ++pos_;
    }
    return true;
  }

  static void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  // One UTF-8 sequence starting at pos_: shortest form, no surrogates, at most U+10FFFF.
  bool utf8_sequence(std::string& out) {
    const unsigned char lead = peek();
    int length;
    std::uint32_t cp;
    std::uint32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
      return failed("invalid UTF-8 lead byte");
    }
    if (text_.size() - pos_ < static_cast<std::size_t>(length)) return failed("truncated UTF-8 sequence");
    for (int i = 1; i < length; ++i) {
      const auto c = static_cast<unsigned char>(text_[pos_ + i]);
      if ((c & 0xC0) != 0x80) return failed("invalid UTF-8 continuation byte");
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return failed("invalid UTF-8 code point");
    out.append(text_.substr(pos_, static_cast<std::size_t>(length)));
    pos_ += static_cast<std::size_t>(length);
    return true;
  }

  bool parse_string(std::string& out) {
    ++pos_;  // opening quote
    for (;;) {
      if (at_end()) return failed("unterminated string");
      const unsigned char c = peek();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return failed("raw control byte in string");
      if (c >= 0x80 && options_.require_utf8) {
        if (!utf8_sequence(out)) return false;
        continue;
      }
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        ++pos_;
        continue;
      }
      ++pos_;
      if (at_end()) return failed("unterminated escape");
      const unsigned char e = peek();
      ++pos_;
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          std::uint32_t unit = 0;
          if (!hex4(unit)) return false;
          if (unit >= 0xDC00 && unit <= 0xDFFF) return failed("lone low surrogate escape");
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            std::uint32_t low = 0;
            if (text_.substr(pos_, 2) != "\\u") return failed("lone high surrogate escape");
            pos_ += 2;
            if (!hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return failed("high surrogate without low surrogate");
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(out, unit);
          break;
        }
        default:
          return failed("unknown escape");
      }
    }
  }

  std::string_view text_;
  JsonOptions options_;
  std::size_t pos_ = 0;
  std::string error_;
};

}  // namespace vellora::fuzz
