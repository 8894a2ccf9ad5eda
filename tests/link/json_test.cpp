#include "link/json.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vistrel {
namespace {

using namespace std::literals;

std::string Nested(int arrays, std::string_view inner = "") {
  return "{\"a\":" + std::string(static_cast<size_t>(arrays), '[') + std::string(inner) +
         std::string(static_cast<size_t>(arrays), ']') + "}";
}

TEST(JsonParse, AcceptsAndRejectsDocuments) {
  struct Case {
    std::string text;
    bool ok;
  };
  const Case cases[] = {
      {"{}", true},
      {" \t\r\n{ } \n", true},
      {"[]", false},
      {"\"s\"", false},
      {"1", false},
      {"true", false},
      {"null", false},
      {"", false},
      {"   ", false},
      {"{} x", false},
      {"{}{}", false},
      {"{}\f", false},
      {"\v{}", false},
      {"{\"a\":1,\"a\":2}", false},
      {"{\"a\":{\"b\":1,\"b\":1}}", false},
      {"{\"a\":1,\"b\":{\"a\":1}}", true},
      {"{\"a\":[1,]}", false},
      {"{\"a\":1,}", false},
      {"{,}", false},
      {"{\"a\":[,1]}", false},
      {"{\"a\" 1}", false},
      {"{a:1}", false},
      {"{'a':1}", false},
      {"{\"a\":1", false},
      {"{\"a\":[1,2", false},
      {"{\"a\":tru}", false},
      {"{\"a\":truex}", false},
      {"{\"a\":nul}", false},
      {"{\"a\":True}", false},
      {"{\"a\":[true,false,null]}", true},
      {"{\"a\":\"unterminated}", false},
      {"{\"a\":\"tab\there\"}", false},
      {"{\"a\":\"tab\\there\"}", true},
      {"{\"a\":\"\\x\"}", false},
      {"{\"a\":\"\\u12\"}", false},
      {"{\"a\":\"\\u12G4\"}", false},
      {"{\"a\":\"\\ude00\"}", false},
      {"{\"a\":\"\\ud83d\"}", false},
      {"{\"a\":\"\\ud83dx\"}", false},
      {"{\"a\":\"\\ud83d\\u0041\"}", false},
      {"{\"a\":\"\\ud83d\\ud83d\"}", false},
      {"{\"a\":\"\x7f\xff\"}", true},
      {Nested(16), true},
      {Nested(17), false},
      {Nested(15, "1"), true},
      {Nested(16, "1"), false},
      {Nested(16, "{}"), false},
      {Nested(1000), false},
  };
  for (const Case& c : cases) {
    JsonParseResult result = JsonParse(c.text);
    EXPECT_EQ(result.ok, c.ok) << c.text;
    if (!result.ok) {
      EXPECT_EQ(result.value.kind, JsonValue::kNull) << c.text;
      EXPECT_TRUE(result.value.object.empty()) << c.text;
    }
  }
}

TEST(JsonParse, Numbers) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"0", 0.0},        {"-0", -0.0},        {"12", 12.0},      {"-3.25", -3.25},
      {"1e3", 1000.0},   {"1E+3", 1000.0},    {"25e-1", 2.5},    {"0.5", 0.5},
      {"1e-400", 0.0},   {"4.9e-324", 4.9e-324},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"01", std::nullopt}, {"1.", std::nullopt},  {".5", std::nullopt}, {"+1", std::nullopt},
      {"-", std::nullopt},  {"1e", std::nullopt},  {"1e+", std::nullopt}, {"1e400", std::nullopt},
      {"-1e400", std::nullopt}, {"0x10", std::nullopt}, {"Infinity", std::nullopt},
      {"NaN", std::nullopt}, {"1.5.2", std::nullopt}, {"- 1", std::nullopt}, {"00", std::nullopt},
  };
  for (const Case& c : cases) {
    JsonParseResult result = JsonParse("{\"n\":"s + c.text + "}");
    ASSERT_EQ(result.ok, c.value.has_value()) << c.text;
    if (!c.value) continue;
    std::optional<double> number = JsonGetNumber(result.value, "n");
    ASSERT_TRUE(number) << c.text;
    EXPECT_EQ(*number, *c.value) << c.text;
    EXPECT_EQ(std::signbit(*number), std::signbit(*c.value)) << c.text;
  }
}

TEST(JsonParse, StringEscapes) {
  struct Case {
    const char* escaped;
    std::string expected;
  };
  const Case cases[] = {
      {R"(\"\/\\\b\f\n\r\t)", "\"/\\\b\f\n\r\t"},
      {R"(\u0041\u00e9\u20AC)", "A\xc3\xa9\xe2\x82\xac"},
      {R"(\ud83d\ude00)", "\xf0\x9f\x98\x80"},
      {R"(\uDBFF\uDFFF)", "\xf4\x8f\xbf\xbf"},
      {R"(a\u0000b)", "a\0b"s},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
  };
  for (const Case& c : cases) {
    JsonParseResult result = JsonParse("{\"s\":\""s + c.escaped + "\"}");
    ASSERT_TRUE(result.ok) << c.escaped;
    EXPECT_EQ(JsonGetString(result.value, "s"), c.expected) << c.escaped;
  }
}

TEST(JsonParse, TreeAndNameOrder) {
  JsonParseResult result = JsonParse(
      R"({"b":{"x":[1,"two",null,true,{}]},"a":false,"ab":null,"\u0041":"key escaped"})");
  ASSERT_TRUE(result.ok);
  const JsonValue& root = result.value;
  std::vector<std::string> names;
  for (const auto& [name, value] : root.object) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"A", "a", "ab", "b"}));
  const JsonValue* b = JsonFind(root, "b");
  ASSERT_TRUE(b);
  const JsonValue* x = JsonFind(*b, "x");
  ASSERT_TRUE(x && x->kind == JsonValue::kArray && x->array.size() == 5);
  EXPECT_EQ(x->array[0].number, 1);
  EXPECT_EQ(x->array[1].string, "two");
  EXPECT_EQ(x->array[2].kind, JsonValue::kNull);
  EXPECT_TRUE(x->array[3].boolean);
  EXPECT_EQ(x->array[4].kind, JsonValue::kObject);
  EXPECT_EQ(JsonFind(*x, "0"), nullptr);  // not an object
  EXPECT_EQ(JsonFind(root, "B"), nullptr);
}

TEST(JsonAccessors, TypedMembers) {
  JsonParseResult result = JsonParse(
      R"({"s":"text","n":30.0,"f":30.5,"neg":-1,"big":4294967296,"max":4294967295,)"
      R"("z":-0,"null":null,"t":true})");
  ASSERT_TRUE(result.ok);
  const JsonValue& v = result.value;
  EXPECT_EQ(JsonGetString(v, "s"), "text");
  EXPECT_EQ(JsonGetString(v, "n"), std::nullopt);
  EXPECT_EQ(JsonGetString(v, "missing"), std::nullopt);
  EXPECT_EQ(JsonGetNumber(v, "f"), 30.5);
  EXPECT_EQ(JsonGetNumber(v, "s"), std::nullopt);
  EXPECT_EQ(JsonGetUint32(v, "n"), 30u);
  EXPECT_EQ(JsonGetUint32(v, "f"), std::nullopt);
  EXPECT_EQ(JsonGetUint32(v, "neg"), std::nullopt);
  EXPECT_EQ(JsonGetUint32(v, "big"), std::nullopt);
  EXPECT_EQ(JsonGetUint32(v, "max"), 4294967295u);
  EXPECT_EQ(JsonGetUint32(v, "z"), 0u);
  EXPECT_EQ(JsonGetUint32(v, "t"), std::nullopt);
  EXPECT_TRUE(JsonIsNull(v, "null"));
  EXPECT_FALSE(JsonIsNull(v, "missing"));
  EXPECT_FALSE(JsonIsNull(v, "t"));
}

TEST(JsonQuote, EscapesOnlyWhatItMust) {
  EXPECT_EQ(JsonQuote("a\nb\"c"), R"("a\u000ab\"c")");
  EXPECT_EQ(JsonQuote("\xc3\xa9/\x7f"), "\"\xc3\xa9/\x7f\"");
  EXPECT_EQ(JsonQuote("\\\x01\x1f"s + '\0'), R"("\\\u0001\u001f\u0000")");
  EXPECT_EQ(JsonQuote(""), "\"\"");
  // What it writes reads back to the same bytes.
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  JsonParseResult result = JsonParse("{\"v\":" + JsonQuote(all) + "}");
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(JsonGetString(result.value, "v"), all);
}

}  // namespace
}  // namespace vistrel
