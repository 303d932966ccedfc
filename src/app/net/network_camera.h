// A registered phone or IP camera as a capture device: every frame is one HTTP(S) fetch of its
// snapshot URL. It has no focus to drive and no controls; its settings are made on the camera.
#pragma once

#include "app/device.h"
#include "app/net/http_fetch.h"
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

  // Fetches the picture and checks it is a JPEG. With no size asked the bytes are passed on as
  // the camera sent them; with `width` and `height` the picture is scaled to exactly that size,
  // with only one of them to that side keeping the aspect ratio. Any failure of the camera is a
  // 502 whose message names the source and the reason; a size out of range is a 400.
  Result<JpegFrame> take_jpeg(const FrameRequest& request) override;

  // The fetched picture decoded to gray, reduced so its width is at most 640.
  Result<Image> take_gray() override;

  // No controls: setting one is refused with a word on where its settings are made.
  Result<ControlChange> change_control(std::string_view name, std::int64_t value) override;

  // The picture is passed on as the camera sent it unless a size is asked.
  DefaultFrameSize frame_size_rule() const override { return DefaultFrameSize::kNatural; }

  // The fetched and checked JPEG with its natural size.
  Result<JpegFrame> fetch_frame();
  Failure source_failure(const std::string& reason) const;

  NetworkCameraEntry source_;
  FetchLimits limits_;
};

}  // namespace app::net
