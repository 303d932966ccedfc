#include "cli/json_output.h"

#include "platform/platform.h"

void print_json(const JsonValue& value) { platform::write_stdout(pretty_json_text(value) + "\n"); }
