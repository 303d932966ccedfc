#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstddef>

#include "platform/base64.h"

namespace platform {

std::string base64_encode(std::string_view bytes) {
  std::string text;
  // CryptBinaryToStringA takes a DWORD count: large inputs go in pieces of a multiple of 3 bytes,
  // so the pieces join without padding in between.
  constexpr std::size_t kPiece = 3 * (1u << 20);
  constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
    const std::size_t count = std::min(kPiece, bytes.size() - at);
    const auto* data = reinterpret_cast<const BYTE*>(bytes.data() + at);
    DWORD length = 0;
    if (!::CryptBinaryToStringA(data, static_cast<DWORD>(count), kFlags, nullptr, &length)) break;
    const std::size_t start = text.size();
    text.resize(start + length);
    if (!::CryptBinaryToStringA(data, static_cast<DWORD>(count), kFlags, text.data() + start,
                                &length)) {
      text.resize(start);
      break;
    }
    text.resize(start + length);  // the count written, without the final NUL
  }
  return text;
}

}  // namespace platform
