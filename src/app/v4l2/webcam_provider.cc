#include "app/v4l2/webcam_provider.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>

#include "app/text.h"
#include "app/v4l2/camera_failure.h"
#include "app/v4l2/capabilities.h"

namespace app::v4l2 {
namespace {

// What a quick look at a node tells: opened, asked what it is, closed again.
struct Probe {
  int error = 0;  // errno when the node could not be opened or asked
  bool capture = false;
  bool metadata = false;
  std::string card;
  std::string identity;
  bool focusable = false;
  std::optional<int> width;
  std::optional<int> height;
};

std::string text_of(const __u8* text, std::size_t capacity) {
  return std::string(reinterpret_cast<const char*>(text),
                     strnlen(reinterpret_cast<const char*>(text), capacity));
}

Probe probe_node(DeviceLayer& layer, const std::string& path) {
  Probe probe;
  const int fd = layer.open(path);
  if (fd < 0) {
    probe.error = -fd;
    return probe;
  }
  v4l2_capability caps{};
  if (const int result = layer.ioctl(fd, VIDIOC_QUERYCAP, &caps); result < 0) {
    layer.close(fd);
    probe.error = result == -ENOTTY ? 0 : -result;  // not a V4L2 node at all: simply not a camera
    return probe;
  }
  probe.capture = captures_by_streaming(caps);
  probe.metadata = (offered_capabilities(caps) & V4L2_CAP_META_CAPTURE) != 0;
  probe.card = text_of(caps.card, sizeof caps.card);
  probe.identity = text_of(caps.driver, sizeof caps.driver) + "\n" + probe.card + "\n" +
                   text_of(caps.bus_info, sizeof caps.bus_info);
  if (probe.capture) {
    v4l2_queryctrl focus{};
    focus.id = V4L2_CID_FOCUS_ABSOLUTE;
    probe.focusable = layer.ioctl(fd, VIDIOC_QUERYCTRL, &focus) == 0 &&
                      !(focus.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY));
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (layer.ioctl(fd, VIDIOC_G_FMT, &format) == 0 && format.fmt.pix.width > 0) {
      probe.width = static_cast<int>(format.fmt.pix.width);
      probe.height = static_cast<int>(format.fmt.pix.height);
    }
  }
  layer.close(fd);
  return probe;
}

// The name listed for a node that could not be looked at.
std::string unusable_name(const std::string& path, int error) {
  if (error == EACCES || error == EPERM) return "camera without permission to open " + path;
  if (error == EBUSY) return "camera busy (used by another program)";
  return "camera failing on " + path + " (" + std::strerror(error) + ")";
}

// "video12" -> 12; other names are not video nodes.
std::optional<int> node_number(std::string_view text) {
  if (text.size() > 9) return std::nullopt;
  return parse_digits<int>(text);
}

std::set<int> list_nodes(const std::filesystem::path& root) {
  std::set<int> nodes;
  std::error_code error;
  for (std::filesystem::directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("video", 0) != 0) continue;
    if (auto number = node_number(std::string_view(name).substr(5))) nodes.insert(*number);
  }
  return nodes;
}

}  // namespace

WebcamProvider::WebcamProvider(std::shared_ptr<DeviceLayer> layer, WebcamOptions options)
    : layer_(std::move(layer)), options_(std::move(options)) {}

std::shared_ptr<V4l2Camera> WebcamProvider::camera_for(int node, const std::string& identity,
                                                       DeviceInfo info) {
  auto known = known_.find(node);
  if (known != known_.end() && known->second.identity == identity) return known->second.camera;
  CameraRef ref{node, (options_.root / ("video" + std::to_string(node))).string()};
  auto camera = std::make_shared<V4l2Camera>(layer_, ref, std::move(info), options_.camera);
  known_[node] = Known{identity, camera};
  return camera;
}

std::vector<std::shared_ptr<Device>> WebcamProvider::devices() {
  std::lock_guard lock(mutex_);
  const std::set<int> nodes = list_nodes(options_.root);
  std::erase_if(known_, [&](const auto& entry) { return !nodes.count(entry.first); });

  std::vector<std::shared_ptr<Device>> listed;
  for (int node : nodes) {
    // A camera streaming for us is known good; looking at it again could only disturb it.
    if (auto known = known_.find(node); known != known_.end() && known->second.camera->in_use()) {
      listed.push_back(known->second.camera);
      continue;
    }
    const std::string path = (options_.root / ("video" + std::to_string(node))).string();
    const Probe probe = probe_node(*layer_, path);
    if (probe.error && !device_gone(probe.error)) {
      DeviceInfo info{std::to_string(node), unusable_name(path, probe.error), false, {}, {}};
      listed.push_back(camera_for(node, "unusable\n" + std::to_string(probe.error), info));
      continue;
    }
    if (probe.error || !probe.capture) {
      known_.erase(node);
      continue;
    }
    DeviceInfo info{std::to_string(node), probe.card, probe.focusable, probe.width, probe.height};
    listed.push_back(camera_for(node, probe.identity, info));
  }
  return listed;
}

std::optional<Result<std::shared_ptr<Device>>> WebcamProvider::find(std::string_view id) {
  const auto node = node_number(id);
  if (!node) return std::nullopt;
  std::lock_guard lock(mutex_);
  const std::string path = (options_.root / ("video" + std::to_string(*node))).string();
  const std::string missing = "no such camera: " + std::string(id);
  std::error_code error;
  if (!std::filesystem::exists(path, error)) {
    known_.erase(*node);
    return Result<std::shared_ptr<Device>>(Failure{FailureKind::kNotFound, missing});
  }
  if (auto known = known_.find(*node); known != known_.end() && known->second.camera->in_use()) {
    return Result<std::shared_ptr<Device>>(std::shared_ptr<Device>(known->second.camera));
  }
  const Probe probe = probe_node(*layer_, path);
  const CameraRef ref{*node, path};
  if (probe.error) {
    if (device_gone(probe.error)) known_.erase(*node);
    return Result<std::shared_ptr<Device>>(device_gone(probe.error)
                                               ? Failure{FailureKind::kNotFound, missing}
                                               : camera_failure(ref, "be opened", probe.error));
  }
  if (!probe.capture) {
    known_.erase(*node);
    const std::string what =
        probe.metadata ? " carries metadata only, not pictures" : " does not capture video";
    return Result<std::shared_ptr<Device>>(
        Failure{FailureKind::kNotFound, "camera " + std::string(id) + " (" + path + ")" + what});
  }
  DeviceInfo info{std::to_string(*node), probe.card, probe.focusable, probe.width, probe.height};
  return Result<std::shared_ptr<Device>>(
      std::shared_ptr<Device>(camera_for(*node, probe.identity, std::move(info))));
}

}  // namespace app::v4l2
