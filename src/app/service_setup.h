// What the running service is made of: its capture sources in listing order.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/device_registry.h"
#include "app/recorder.h"
#include "app/source_registry.h"

namespace app {

// The screen as the session offers it (X11, or the desktop's own ways on Wayland), shared by
// the screen devices, the recorder and /health.
struct ScreenParts {
  std::shared_ptr<DeviceSource> source;
  std::unique_ptr<ScreenRecorder> recorder;
  std::function<JsonValue()> status;  // what /health says about the screen
};
ScreenParts build_screen(const std::string& config_folder);

// Webcams, the screen, network cameras, the test camera: one line each.
std::vector<RegisteredSource> build_device_sources(SourceRegistry& registry,
                                                   std::shared_ptr<DeviceSource> screen, int width,
                                                   int height);

}  // namespace app
