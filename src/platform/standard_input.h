// Standard input as bytes, for programs that read a stream of messages from it. Like the rest of
// the platform layer, failures come back as values.
#pragma once

#include <cstddef>
#include <variant>

#include "platform/platform.h"

namespace platform {

// Blocks until some bytes arrive: the count read, 0 at the end of the input (including a pipe
// whose writer has gone), or the error. Interrupted reads are repeated.
std::variant<std::size_t, OsError> read_stdin_some(char* buffer, std::size_t capacity);

}  // namespace platform
