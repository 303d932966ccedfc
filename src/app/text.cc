#include "app/text.h"

#include <cstdint>

namespace app {
namespace {

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3Fu);
  }
  // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
  constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

// Calls `on_control(bytes)` for each thing in `text` a terminal would act on (a C0 control, DEL,
// a C1 control as a UTF-8 character or as a lone byte) and `on_text(bytes)` for the rest. Other
// bytes that are not UTF-8 count as text: they are no instruction to a terminal, and JSON shows
// them as U+FFFD.
template <class OnText, class OnControl>
void split_controls(std::string_view text, OnText on_text, OnControl on_control) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<std::uint8_t>(text[i]);
    const std::size_t length = utf8_length(text.substr(i));
    const bool c1_character =
        length == 2 && byte == 0xC2 && static_cast<std::uint8_t>(text[i + 1]) <= 0x9F;
    const bool lone_c1 = length == 0 && byte >= 0x80 && byte <= 0x9F;
    const std::size_t step = length == 0 ? 1 : length;
    if (byte < 0x20 || byte == 0x7F || c1_character || lone_c1) {
      on_control(text.substr(i, step));
    } else {
      on_text(text.substr(i, step));
    }
    i += step;
  }
}

}  // namespace

std::string escape_controls(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  split_controls(
      text, [&](std::string_view run) { out.append(run); },
      [&](std::string_view control) {
        for (char c : control) {
          const auto byte = static_cast<std::uint8_t>(c);
          out += "\\x";
          out += kHex[byte >> 4];
          out += kHex[byte & 0x0F];
        }
      });
  return out;
}

std::string replace_controls(std::string_view text, char with) {
  std::string out;
  out.reserve(text.size());
  split_controls(
      text, [&](std::string_view run) { out.append(run); }, [&](std::string_view) { out += with; });
  return out;
}

std::string clip_for_message(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return escape_controls(text);
  std::size_t cut = limit;
  // Do not split a UTF-8 sequence.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return escape_controls(text.substr(0, cut)) + "\xE2\x80\xA6";
}

}  // namespace app
