// The option and operand texts the client turns into numbers. Each either gives the value the
// text spells or gives nothing; checked against a plain reading of the same rule.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/capture_output.h"
#include "cli/controls_commands.h"
#include "cli/record_command.h"

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

// An optional "+" and one or more ASCII digits, at most 4294967295.
std::optional<std::uint32_t> reference_secs(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// Width before the first "x" or "X", height after it; nothing without one.
std::optional<std::string> reference_size(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == 'x' || text[i] == 'X') {
      return "&width=" + std::string(text.substr(0, i)) + "&height=" +
             std::string(text.substr(i + 1));
    }
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (parse_whole_number(text) != reference_whole_number(text)) std::abort();
  if (secs_value(text) != reference_secs(text)) std::abort();
  if (size_fragment(text) != reference_size(text)) std::abort();
  return 0;
}
