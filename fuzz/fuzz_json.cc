// Any text either parses as one document or gives nothing. A parsed document printed in either
// form parses back to the same document, and printing again gives the same text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<JsonValue> parsed = parse_json_document(text);
  if (!parsed) return 0;
  const std::string compact = json_text(*parsed);
  std::optional<JsonValue> again = parse_json_document(compact);
  if (!again || *again != *parsed || json_text(*again) != compact) std::abort();
  std::optional<JsonValue> pretty = parse_json_document(pretty_json_text(*parsed));
  if (!pretty || json_text(*pretty) != compact) std::abort();
  return 0;
}
