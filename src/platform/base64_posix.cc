#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>

#include "platform/base64.h"

namespace platform {

std::string base64_encode(std::string_view bytes) {
  std::string text;
  // EVP_EncodeBlock takes an int count: large inputs go in pieces of a multiple of 3 bytes, so
  // the pieces join without padding in between.
  constexpr std::size_t kPiece = 3 * (1u << 20);
  text.reserve((bytes.size() + 2) / 3 * 4 + 1);
  for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
    const std::size_t count = std::min(kPiece, bytes.size() - at);
    const std::size_t start = text.size();
    text.resize(start + (count + 2) / 3 * 4 + 1);
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data() + start),
                                        reinterpret_cast<const unsigned char*>(bytes.data() + at),
                                        static_cast<int>(count));
    text.resize(start + static_cast<std::size_t>(written));
  }
  return text;
}

}  // namespace platform
