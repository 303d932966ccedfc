// The one size rule for pictures a device cannot make at any size itself (the screen, network
// cameras, a webcam without the asked mode): the picture is fitted inside the asked box with its
// aspect kept, never stretched and never enlarged. And the rescaling of a JPEG to such a size,
// guarded against pictures whose header declares more pixels than the service will decode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/device.h"
#include "app/image.h"

namespace app {

// The size a width x height picture is sent at for `request`: its own size when no side is
// asked; otherwise the largest size inside the asked width and/or height with the aspect kept
// (a side not asked is free), never larger than the picture itself and never below 1.
JpegSize fitted_size(const FrameRequest& request, int width, int height);

// `jpeg`, a picture of `natural` size, re-encoded at `size` (at most `natural` on each side).
// The decoder scales down by 2, 4 or 8 where that still leaves at least `size`, so a large
// picture is never held whole when a small one is asked. Refuses (kDeviceFailed, with the
// reason alone, for the caller to name the source) a picture beyond kMaxDecodedPixels or one that
// does not decode.
Result<std::string> rescale_jpeg(std::string_view jpeg, JpegSize natural, JpegSize size);

}  // namespace app
