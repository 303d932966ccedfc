// Pictures sized for a reader that sees them scaled: a part of the device's picture (a region in
// the device's own pixels) cut out first, then fitted inside a box with its aspect kept and never
// enlarged. Used by GET /frame.jpg when it carries `region` or `max_side`, and by the stills of a
// screen recording.
#pragma once

#include <optional>
#include <string>

#include "app/device.h"
#include "app/failure.h"

namespace app {

struct Region {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// What to make of a picture: the part to keep (all of it when absent) and the largest size the
// result may have on each side (absent: no limit).
struct FitRequest {
  std::optional<Region> region;
  std::optional<int> max_width;
  std::optional<int> max_height;
};

// "x,y,w,h" as four whole numbers, x and y from 0, w and h from 1; else a 400 naming the form.
Result<Region> parse_region(const std::string& text);

// The largest size with the aspect of width x height that fits inside the limits and is no
// larger than width x height itself; each side at least 1.
struct FitSize {
  int width = 0;
  int height = 0;
};
FitSize fitted_size(int width, int height, std::optional<int> max_width,
                    std::optional<int> max_height);

// `source` (a whole JPEG from the device) cut and fitted as asked. The answer's `width` and
// `height` are the size sent; `source_width`/`source_height` the device's own. A region that
// does not lie inside the picture is a 400 that names the picture's bounds.
struct FittedFrame {
  std::string bytes;
  int width = 0;
  int height = 0;
  int source_width = 0;
  int source_height = 0;
  std::optional<Region> region;
};
Result<FittedFrame> fit_frame(const std::string& source, const FitRequest& request,
                              const std::string& device_id);

// "WxH".
std::string size_text(int width, int height);

}  // namespace app
