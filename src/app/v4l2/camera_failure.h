// What a failed device call means to the person who asked for a picture: the HTTP status and a
// sentence naming the camera. Every V4L2 failure of the backend goes through here.
#pragma once

#include <string>
#include <string_view>

#include "app/failure.h"

namespace app::v4l2 {

// A camera as messages name it: its number and its device node.
struct CameraRef {
  int node = 0;
  std::string path;  // "/dev/video0"
};

// `error` is a positive errno value; `doing` says what failed, e.g. "start streaming".
//   EBUSY                  409 "camera 0 is busy (used by another program)"
//   EACCES, EPERM          403 no permission, naming the node's path
//   ENODEV, ENOENT, ENXIO  404 "camera 0 was disconnected"
//   anything else          502 "camera 0 could not <doing>: <strerror>"
Failure camera_failure(const CameraRef& camera, std::string_view doing, int error);

// The camera delivered no frame in time.
Failure camera_timeout(const CameraRef& camera, int timeout_ms);

// True for the errno values that mean the device node went away.
bool device_gone(int error);

}  // namespace app::v4l2
