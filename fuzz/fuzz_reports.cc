// The human reports over arbitrary documents: each must come out as valid UTF-8 lines, whatever
// members are missing, mistyped or nested.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app_client/utf8.h"
#include "cli/controls_commands.h"
#include "cli/devices_command.h"
#include "cli/focus_commands.h"
#include "cli/sources_commands.h"
#include "cli/status_command.h"
#include "protocol/json.h"

namespace {

void check(const std::string& report, bool may_be_empty) {
  if (!utf8::is_valid(report)) std::abort();
  if (report.empty() ? !may_be_empty : report.back() != '\n') std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const JsonValue document = parse_json_document(text).value_or(JsonValue());
  check(status_report(document), false);
  check(devices_report(document), false);
  check(controls_report(document), true);
  check(set_report(document), false);
  check(sources_report(document), false);
  check(added_report(document), false);
  check(removed_report(document), false);
  check(focus_report(document), false);
  check(look_line(document), false);
  // look's one-line object must itself be a document that reads back.
  const std::string look = json_text(look_document(document, SavedFile{"tirvane.jpg", size}));
  if (!parse_json_document(look)) std::abort();
  return 0;
}
