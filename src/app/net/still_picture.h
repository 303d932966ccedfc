// Pictures cameras send that are not JPEG (PNG above all; also GIF, BMP, WebP, TIFF), decoded
// through FFmpeg's image decoders so they can be passed on as the JPEG every client expects.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/failure.h"
#include "app/image.h"

namespace app::net {

// The name of the still format `bytes` start like ("PNG", "GIF", ...), or nothing.
std::optional<std::string> still_format(std::string_view bytes);

// The picture decoded to RGB. A failure's message reads after "answered with": "a PNG picture
// that does not decode (...)".
Result<Image> decode_still(std::string_view bytes);

}  // namespace app::net
