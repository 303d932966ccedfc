// Base64 (RFC 4648, the standard alphabet, with padding, no line breaks), as JSON protocols carry
// binary data. Each platform has a well-tried encoder at hand, so none is written here: OpenSSL's
// EVP_EncodeBlock on POSIX (already on every machine that has libcurl with TLS) and the system's
// CryptBinaryToStringA on Windows (crypt32, part of every Windows), which keeps the static Windows
// program free of an OpenSSL build.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::string base64_encode(std::string_view bytes);

}  // namespace platform
