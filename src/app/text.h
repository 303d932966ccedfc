// Small text helpers for building the messages the service sends back.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace app {

// Shortens text taken from a request for use inside a message: at most `limit` bytes, then "…".
// Never splits a UTF-8 sequence.
std::string clip_for_message(std::string_view text, std::size_t limit = 80);

}  // namespace app
