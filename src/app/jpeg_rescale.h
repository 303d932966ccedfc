// Rescaling a whole JPEG from a device to a smaller size, guarded against pictures whose header
// declares more pixels than the service will decode.
#pragma once

#include <string>
#include <string_view>

#include "app/failure.h"
#include "app/image.h"

namespace app {

// `jpeg`, a picture of `natural` size, re-encoded at `size` (at most `natural` on each side).
// The decoder scales down by 2, 4 or 8 where that still leaves at least `size`, so a large
// picture is never held whole when a small one is asked. Refuses (kDeviceFailed, with the
// reason alone, for the caller to name the source) a picture beyond kMaxDecodedPixels or one
// that does not decode.
Result<std::string> rescale_jpeg(std::string_view jpeg, JpegSize natural, JpegSize size);

}  // namespace app
