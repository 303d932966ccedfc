// The option and operand texts the client turns into numbers. Each either gives the value the
// text spells or gives nothing; checked against a plain reading of the same rule.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/controls_commands.h"

namespace {

// One optional sign, then one or more ASCII digits, within the signed 64-bit range.
std::optional<std::int64_t> reference_whole_number(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  unsigned __int128 magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
    if (magnitude > (static_cast<unsigned __int128>(1) << 63)) return std::nullopt;
  }
  if (!negative && magnitude > INT64_MAX) return std::nullopt;
  return negative ? static_cast<std::int64_t>(-static_cast<__int128>(magnitude))
                  : static_cast<std::int64_t>(magnitude);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (whole_number(text) != reference_whole_number(text)) std::abort();
  return 0;
}
