// What the running service is made of: its capture sources in listing order.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/device_registry.h"
#include "app/recorder.h"
#include "app/source_registry.h"
#include "protocol/json.h"

namespace app {

// The screen as the session offers it (X11, or the desktop's own ways on Wayland), shared by
// the screen devices, the recorder and /health.
struct ScreenParts {
  std::shared_ptr<DeviceProvider> provider;
  std::unique_ptr<ScreenRecorder> recorder;
  std::function<JsonValue()> status;  // what /health says about the screen
};
// `config_folder` keeps the desktop's permission to capture the screen.
ScreenParts build_screen(const std::string& config_folder);

// Webcams, the screen, network cameras, the test camera: one line each. Frames are `width` x
// `height` when a request names no size; a network camera has `camera_timeout` to deliver a
// picture; a webcam stays open `camera_idle` after a request. `own_port` is where the service
// listens, which network cameras must never fetch from.
std::vector<RegisteredProvider> build_device_providers(SourceRegistry& registry,
                                                       std::shared_ptr<DeviceProvider> screen,
                                                       int width, int height,
                                                       std::chrono::seconds camera_timeout,
                                                       std::chrono::seconds camera_idle,
                                                       int own_port = 0);

}  // namespace app
