// Feeds arbitrary bytes to the JSON parser and reads every member through the
// typed accessors, as the link code does with a phone's payloads.
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/json.h"

namespace {

void Walk(const vistrel::JsonValue& value, int depth) {
  if (depth > 32) __builtin_trap();  // the parser bounds nesting well below this
  for (const auto& [name, member] : value.object) {
    (void)vistrel::JsonGetString(value, name);
    (void)vistrel::JsonGetNumber(value, name);
    (void)vistrel::JsonGetUint32(value, name);
    (void)vistrel::JsonIsNull(value, name);
    (void)vistrel::JsonQuote(name);
    Walk(member, depth + 1);
  }
  for (const vistrel::JsonValue& element : value.array) Walk(element, depth + 1);
  if (value.kind == vistrel::JsonValue::kString) {
    // Quoting and parsing again must give the same bytes back.
    std::string document = "{\"v\":" + vistrel::JsonQuote(value.string) + "}";
    vistrel::JsonParseResult again = vistrel::JsonParse(document);
    if (!again.ok || vistrel::JsonGetString(again.value, "v") != value.string) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  vistrel::JsonParseResult result = vistrel::JsonParse(text);
  if (result.ok) {
    if (result.value.kind != vistrel::JsonValue::kObject) __builtin_trap();
    Walk(result.value, 0);
  }
  return 0;
}
