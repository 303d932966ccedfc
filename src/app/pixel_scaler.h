// Resizing and colour conversion of pixels through libswscale: every picture the service scales
// (screenshots, screen video frames, network camera pictures) goes through here. One PixelScaler
// keeps the conversion tables for the sizes it last saw, so repeated calls at one size cost only
// the conversion. Not thread-safe: one per user.
#pragma once

#include <optional>

#include "app/failure.h"
#include "app/image.h"

struct AVFrame;
struct SwsContext;

namespace app {

class PixelScaler {
 public:
  PixelScaler() = default;
  ~PixelScaler();
  PixelScaler(const PixelScaler&) = delete;
  PixelScaler& operator=(const PixelScaler&) = delete;

  // An image resized to exactly width x height (both at least 1), bilinear, widened when
  // shrinking so that every source pixel counts. BGRX and RGB come out as RGB, gray as gray.
  Result<Image> resize(const PixelView& source, int width, int height);

  // A BGRX image converted into `frame`, an allocated YUV 4:2:0 frame, and resized to the frame's
  // size on the way: limited (video) range, with the BT.709 matrix when the frame is labelled
  // so, else BT.601.
  // Nothing, or what went wrong.
  std::optional<Failure> to_video_frame(const PixelView& source, AVFrame& frame);

  // A decoded frame (a camera's video or a still picture, in whatever pixel format FFmpeg
  // decoded it to, limited or full range) converted to `format` (RGB or gray) and resized to
  // exactly width x height on the way.
  Result<Image> from_video_frame(const AVFrame& frame, PixelFormat format, int width, int height);

 private:
  struct Shape {
    int source_width = 0;
    int source_height = 0;
    int width = 0;
    int height = 0;
    int source_format = -1;
    int format = -1;
    int colorspace = 0;
    bool source_full_range = false;  // a decoded frame labelled full range
    bool operator==(const Shape&) const = default;
  };
  SwsContext* context_for(const Shape& shape);

  SwsContext* context_ = nullptr;
  Shape shape_;
};

}  // namespace app
