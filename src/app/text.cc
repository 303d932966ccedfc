#include "app/text.h"

namespace app {

std::string clip_for_message(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  // Do not split a UTF-8 sequence.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "\xE2\x80\xA6";
}

}  // namespace app
