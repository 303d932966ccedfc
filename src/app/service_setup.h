// What the running service is made of: its capture sources in listing order.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "app/device_registry.h"
#include "app/recorder.h"
#include "app/source_registry.h"

namespace app {

// Webcams, the screen, network cameras, the test camera: one line each. Frames are `width` x
// `height` when a request names no size; a network camera has `camera_timeout` to deliver a
// picture; a webcam stays open `camera_idle` after a request. `own_port` is where the service
// listens, which network cameras must never fetch from.
std::vector<RegisteredProvider> build_device_providers(SourceRegistry& registry, int width,
                                                     int height, std::chrono::seconds camera_timeout,
                                                     std::chrono::seconds camera_idle,
                                                     int own_port = 0);

// The screen recorder of the display the service was started for.
std::unique_ptr<ScreenRecorder> build_recorder();

}  // namespace app
