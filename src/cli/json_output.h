// The service's documents printed back to the user under --json.
#pragma once

#include "protocol/json.h"

// The pretty form and one line break, on standard output.
void print_json(const JsonValue& value);
