// Strict, bounded JSON reading for link payloads, and the writer of the
// receiver's replies: what it sends is one flat pass, never a tree.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vistrel {

struct JsonValue {
  enum Kind : uint32_t { kNull = 0, kBoolean = 1, kNumber = 2, kString = 3, kArray = 4, kObject = 5 };
  Kind kind = kNull;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<JsonValue> array;
  std::map<std::string, JsonValue, std::less<>> object;  // byte-wise name order
};

struct JsonParseResult {
  bool ok = false;
  JsonValue value;  // empty unless ok
};

// A complete JSON text whose top level is an object; nesting at most 16 levels
// below it, no duplicate names, numbers as doubles.
JsonParseResult JsonParse(std::string_view text);

const JsonValue* JsonFind(const JsonValue& value, std::string_view name);
std::optional<std::string> JsonGetString(const JsonValue& object, std::string_view name);
std::optional<double> JsonGetNumber(const JsonValue& object, std::string_view name);
// Present only for a whole number in 0 to 4294967295.
std::optional<uint32_t> JsonGetUint32(const JsonValue& object, std::string_view name);
bool JsonIsNull(const JsonValue& object, std::string_view name);

// The JSON string literal of a UTF-8 text: quote and backslash escaped, bytes
// below 0x20 as \u00xx, everything else copied.
std::string JsonQuote(std::string_view text);

// One JSON object, members in the order they are added. Each kind of value has
// its own name, so a string literal can never turn into a boolean.
class JsonObject {
 public:
  JsonObject& String(std::string_view name, std::string_view text);
  JsonObject& Bool(std::string_view name, bool value);
  JsonObject& Number(std::string_view name, uint64_t value);
  JsonObject& Object(std::string_view name, const JsonObject& value);
  JsonObject& StringArray(std::string_view name, const std::vector<std::string_view>& texts);
  std::string Text() const { return "{" + members_ + "}"; }

 private:
  std::string& Member(std::string_view name);
  std::string members_;
};

}  // namespace vistrel
