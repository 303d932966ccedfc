// A registered phone or IP camera as a capture device. An http(s) URL is fetched for every frame:
// a single picture (JPEG, or PNG and other still formats, converted) or the first picture of an
// MJPEG stream. An rtsp(s) URL is read as a video stream whose session stays open for a few
// seconds after each frame (an rtsps:// one only when marked insecure: its certificate cannot be
// checked). It has no focus to drive and no controls; its settings are made on the camera.
#pragma once

#include <memory>
#include <optional>
#include <variant>

#include "app/device.h"
#include "app/net/http_fetch.h"
#include "app/net/rtsp_session.h"
#include "app/net/source_url.h"
#include "app/network_camera_entry.h"

namespace app::net {

// Asked sizes beyond this are refused before anything is fetched.
inline constexpr int kMaxFrameSide = 8192;

class NetworkCamera : public Device {
 public:
  NetworkCamera(NetworkCameraEntry source, FetchLimits limits);

  const NetworkCameraEntry& source() const { return source_; }

 private:
  // id "net:<name>", named after the host it is fetched from; its size is not known before a
  // fetch.
  DeviceInfo describe() const override;

  // A fresh picture as a JPEG. With no size asked a JPEG the camera sent is passed on as it
  // came; with a width and/or height the picture is fitted inside that box with its aspect
  // kept, never stretched or enlarged (fitted_size()). A JPEG declaring more than
  // kMaxDecodedPixels is refused rather than decoded. Any failure of the camera is a 502 (504 when
  // an RTSP camera's time ran out) whose message names the source and the reason; a size out of
  // range is a 400.
  Result<JpegFrame> take_jpeg(const FrameRequest& request) override;

  // The picture decoded to gray, reduced so its width is at most 640.
  Result<Image> take_gray() override;

  // No controls: setting one is refused with a word on where its settings are made.
  Result<ControlChange> change_control(std::string_view name, std::int64_t value) override;

  // The picture is passed on as the camera sent it unless a size is asked.
  DefaultFrameSize frame_size_rule() const override { return DefaultFrameSize::kNatural; }

  // A picture as it arrived: the camera's own JPEG bytes, or pixels decoded from a PNG and the
  // like, or a decoded video frame.
  struct Picture {
    std::string jpeg;
    std::optional<Image> rgb;
    FramePointer frame;
    int width = 0;
    int height = 0;
  };

  Result<Picture> fetch_picture();
  Result<Picture> fetch_http(const SourceTarget& target);
  Result<Picture> fetch_rtsp(const SourceTarget& target);
  Failure source_failure(const Failure& reason) const;
  Failure source_failure(const std::string& reason) const;

  NetworkCameraEntry source_;
  FetchLimits limits_;
  std::variant<SourceTarget, std::string> target_;
  std::unique_ptr<RtspSession> rtsp_;  // the open session, or the last one, closed
};

}  // namespace app::net
