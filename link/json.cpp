#include "link/json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace vistrel {
namespace {

constexpr int kMaxDepth = 16;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string& out, uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// from_chars reports both overflow and underflow as out of range; only the
// C library tells them apart, and underflow to zero is acceptable.
std::optional<double> ConvertOutOfRange(std::string_view text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (c_locale == static_cast<locale_t>(0)) return std::nullopt;
  std::string copy(text);
  double value = strtod_l(copy.c_str(), nullptr, c_locale);
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool ParseDocument(JsonValue& out) {
    SkipWhiteSpace();
    if (!ParseValue(out, 0)) return false;
    SkipWhiteSpace();
    return pos_ == text_.size() && out.kind == JsonValue::kObject;
  }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return text_[pos_]; }

  void SkipWhiteSpace() {
    while (!AtEnd()) {
      char c = Peek();
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      ++pos_;
    }
  }

  bool MatchLiteral(std::string_view literal) {
    if (text_.substr(pos_, literal.size()) != literal) return false;
    pos_ += literal.size();
    return true;
  }

  bool ParseValue(JsonValue& out, int depth) {
    if (depth > kMaxDepth || AtEnd()) return false;
    switch (Peek()) {
      case '{':
        return ParseObject(out, depth);
      case '[':
        return ParseArray(out, depth);
      case '"':
        ++pos_;
        out.kind = JsonValue::kString;
        return ParseString(out.string);
      case 't':
        out.kind = JsonValue::kBoolean;
        out.boolean = true;
        return MatchLiteral("true");
      case 'f':
        out.kind = JsonValue::kBoolean;
        out.boolean = false;
        return MatchLiteral("false");
      case 'n':
        out.kind = JsonValue::kNull;
        return MatchLiteral("null");
      default:
        out.kind = JsonValue::kNumber;
        return ParseNumber(out.number);
    }
  }

  bool ParseObject(JsonValue& out, int depth) {
    ++pos_;  // '{'
    out.kind = JsonValue::kObject;
    SkipWhiteSpace();
    if (!AtEnd() && Peek() == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipWhiteSpace();
      if (AtEnd() || Peek() != '"') return false;
      ++pos_;
      std::string name;
      if (!ParseString(name)) return false;
      SkipWhiteSpace();
      if (AtEnd() || Peek() != ':') return false;
      ++pos_;
      SkipWhiteSpace();
      JsonValue member;
      if (!ParseValue(member, depth + 1)) return false;
      if (!out.object.emplace(std::move(name), std::move(member)).second) return false;
      SkipWhiteSpace();
      if (AtEnd()) return false;
      char c = text_[pos_++];
      if (c == '}') return true;
      if (c != ',') return false;
    }
  }

  bool ParseArray(JsonValue& out, int depth) {
    ++pos_;  // '['
    out.kind = JsonValue::kArray;
    SkipWhiteSpace();
    if (!AtEnd() && Peek() == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipWhiteSpace();
      JsonValue element;
      if (!ParseValue(element, depth + 1)) return false;
      out.array.push_back(std::move(element));
      SkipWhiteSpace();
      if (AtEnd()) return false;
      char c = text_[pos_++];
      if (c == ']') return true;
      if (c != ',') return false;
    }
  }

  bool ParseHex4(uint32_t& value) {
    if (text_.size() - pos_ < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      int digit = HexValue(text_[pos_++]);
      if (digit < 0) return false;
      value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return true;
  }

  bool ParseUnicodeEscape(std::string& out) {
    uint32_t unit = 0;
    if (!ParseHex4(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      uint32_t low = 0;
      if (!MatchLiteral("\\u") || !ParseHex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    AppendUtf8(out, unit);
    return true;
  }

  // After the opening quote; ends after the closing one.
  bool ParseString(std::string& out) {
    for (;;) {
      // Copy plain runs at once; they are most of every string.
      size_t run_start = pos_;
      while (!AtEnd()) {
        auto c = static_cast<unsigned char>(Peek());
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++pos_;
      }
      out.append(text_.data() + run_start, pos_ - run_start);
      if (AtEnd()) return false;
      char c = text_[pos_++];
      if (c == '"') return true;
      if (c != '\\') return false;  // a raw control byte
      if (AtEnd()) return false;
      char escape = text_[pos_++];
      switch (escape) {
        case '"': out.push_back('"'); break;
        case '/': out.push_back('/'); break;
        case '\\': out.push_back('\\'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u':
          if (!ParseUnicodeEscape(out)) return false;
          break;
        default:
          return false;
      }
    }
  }

  void SkipDigits() {
    while (!AtEnd() && IsDigit(Peek())) ++pos_;
  }

  // The JSON number grammar first, then the conversion of exactly that text.
  bool ParseNumber(double& out) {
    const size_t start = pos_;
    if (!AtEnd() && Peek() == '-') ++pos_;
    if (AtEnd() || !IsDigit(Peek())) return false;
    if (Peek() == '0') {
      ++pos_;
    } else {
      SkipDigits();
    }
    if (!AtEnd() && Peek() == '.') {
      ++pos_;
      if (AtEnd() || !IsDigit(Peek())) return false;
      SkipDigits();
    }
    if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      ++pos_;
      if (!AtEnd() && (Peek() == '+' || Peek() == '-')) ++pos_;
      if (AtEnd() || !IsDigit(Peek())) return false;
      SkipDigits();
    }
    std::string_view number = text_.substr(start, pos_ - start);
    double value = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec == std::errc::result_out_of_range) {
      std::optional<double> converted = ConvertOutOfRange(number);
      if (!converted) return false;
      value = *converted;
    } else if (ec != std::errc() || end != number.data() + number.size()) {
      return false;
    }
    if (!std::isfinite(value)) return false;
    out = value;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

JsonParseResult JsonParse(std::string_view text) {
  JsonParseResult result;
  Parser parser(text);
  if (parser.ParseDocument(result.value)) {
    result.ok = true;
  } else {
    result.value = JsonValue();
  }
  return result;
}

const JsonValue* JsonFind(const JsonValue& value, std::string_view name) {
  if (value.kind != JsonValue::kObject) return nullptr;
  auto it = value.object.find(name);
  return it == value.object.end() ? nullptr : &it->second;
}

std::optional<std::string> JsonGetString(const JsonValue& object, std::string_view name) {
  const JsonValue* member = JsonFind(object, name);
  if (member == nullptr || member->kind != JsonValue::kString) return std::nullopt;
  return member->string;
}

std::optional<double> JsonGetNumber(const JsonValue& object, std::string_view name) {
  const JsonValue* member = JsonFind(object, name);
  if (member == nullptr || member->kind != JsonValue::kNumber) return std::nullopt;
  return member->number;
}

std::optional<uint32_t> JsonGetUint32(const JsonValue& object, std::string_view name) {
  std::optional<double> number = JsonGetNumber(object, name);
  if (!number || !(*number >= 0) || *number > 4294967295.0 || std::floor(*number) != *number) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(*number);
}

bool JsonIsNull(const JsonValue& object, std::string_view name) {
  const JsonValue* member = JsonFind(object, name);
  return member != nullptr && member->kind == JsonValue::kNull;
}

std::string JsonQuote(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.push_back('"');
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted.push_back('\\');
      quoted.push_back(c);
    } else if (byte < 0x20) {
      quoted += "\\u00";
      quoted.push_back(kHex[byte >> 4]);
      quoted.push_back(kHex[byte & 0x0F]);
    } else {
      quoted.push_back(c);
    }
  }
  quoted.push_back('"');
  return quoted;
}

std::string& JsonObject::Member(std::string_view name) {
  if (!members_.empty()) members_.push_back(',');
  members_ += JsonQuote(name);
  members_.push_back(':');
  return members_;
}

JsonObject& JsonObject::String(std::string_view name, std::string_view text) {
  Member(name) += JsonQuote(text);
  return *this;
}

JsonObject& JsonObject::Bool(std::string_view name, bool value) {
  Member(name) += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::Number(std::string_view name, uint64_t value) {
  Member(name) += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Object(std::string_view name, const JsonObject& value) {
  Member(name) += value.Text();
  return *this;
}

JsonObject& JsonObject::StringArray(std::string_view name,
                                    const std::vector<std::string_view>& texts) {
  std::string& out = Member(name);
  out.push_back('[');
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out.push_back(',');
    out += JsonQuote(texts[i]);
  }
  out.push_back(']');
  return *this;
}

}  // namespace vistrel
