#include "app/v4l2/camera_failure.h"

#include <cerrno>
#include <cstring>

namespace app::v4l2 {
namespace {

std::string camera_name(const CameraRef& camera) { return "camera " + std::to_string(camera.node); }

}  // namespace

bool device_gone(int error) { return error == ENODEV || error == ENOENT || error == ENXIO; }

Failure camera_failure(const CameraRef& camera, std::string_view doing, int error) {
  if (error == EBUSY)
    return Failure{FailureKind::kBusy, camera_name(camera) + " is busy (used by another program)"};
  if (error == EACCES || error == EPERM) {
    return Failure{FailureKind::kForbidden,
                   "no permission to use " + camera_name(camera) + " (" + camera.path +
                       "): the service's user must be allowed to open it, usually by "
                       "being in the video group"};
  }
  if (device_gone(error))
    return Failure{FailureKind::kNotFound, camera_name(camera) + " was disconnected"};
  return Failure{FailureKind::kDeviceFailed, camera_name(camera) + " could not " +
                                                 std::string(doing) + ": " + std::strerror(error)};
}

Failure camera_timeout(const CameraRef& camera, int timeout_ms) {
  return Failure{FailureKind::kTimedOut, camera_name(camera) + " sent no frame within " +
                                             std::to_string(timeout_ms) + " ms"};
}

}  // namespace app::v4l2
