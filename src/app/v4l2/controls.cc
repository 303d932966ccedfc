#include "app/v4l2/controls.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <string>

namespace app::v4l2 {
namespace {

struct NamedControl {
  std::uint32_t id;
  std::string_view name;
};

// In order of preference: the first id present takes a name, so a camera with both exposure
// controls offers the absolute one as "exposure".
constexpr NamedControl kShortNames[] = {
    {V4L2_CID_BRIGHTNESS, "brightness"},
    {V4L2_CID_CONTRAST, "contrast"},
    {V4L2_CID_SATURATION, "saturation"},
    {V4L2_CID_HUE, "hue"},
    {V4L2_CID_HUE_AUTO, "auto_hue"},
    {V4L2_CID_GAMMA, "gamma"},
    {V4L2_CID_GAIN, "gain"},
    {V4L2_CID_AUTOGAIN, "auto_gain"},
    {V4L2_CID_SHARPNESS, "sharpness"},
    {V4L2_CID_BACKLIGHT_COMPENSATION, "backlight_compensation"},
    {V4L2_CID_POWER_LINE_FREQUENCY, "power_line_frequency"},
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, "white_balance"},
    {V4L2_CID_AUTO_WHITE_BALANCE, "auto_white_balance"},
    {V4L2_CID_EXPOSURE_ABSOLUTE, "exposure"},
    {V4L2_CID_EXPOSURE, "exposure"},
    {V4L2_CID_EXPOSURE_AUTO, "auto_exposure"},
    {V4L2_CID_EXPOSURE_AUTO_PRIORITY, "exposure_priority"},
    {V4L2_CID_FOCUS_ABSOLUTE, "focus"},
    {V4L2_CID_FOCUS_AUTO, "autofocus"},
    {V4L2_CID_ZOOM_ABSOLUTE, "zoom"},
    {V4L2_CID_PAN_ABSOLUTE, "pan"},
    {V4L2_CID_TILT_ABSOLUTE, "tilt"},
    {V4L2_CID_IRIS_ABSOLUTE, "iris"},
    {V4L2_CID_PRIVACY, "privacy"},
};

// A manual control and the automatic mode that overrides it, with the mode's value for "off".
struct AutoMode {
  std::uint32_t manual;
  std::uint32_t automatic;
  std::int32_t off;
  std::string_view what;  // for messages: "switch <what> off"
};

constexpr AutoMode kAutoModes[] = {
    {V4L2_CID_FOCUS_ABSOLUTE, V4L2_CID_FOCUS_AUTO, 0, "autofocus"},
    {V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL, "auto exposure"},
    {V4L2_CID_EXPOSURE, V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL, "auto exposure"},
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_AUTO_WHITE_BALANCE, 0, "auto white balance"},
    {V4L2_CID_GAIN, V4L2_CID_AUTOGAIN, 0, "auto gain"},
    {V4L2_CID_HUE, V4L2_CID_HUE_AUTO, 0, "auto hue"},
};

bool offered_type(std::uint32_t type) {
  return type == V4L2_CTRL_TYPE_INTEGER || type == V4L2_CTRL_TYPE_BOOLEAN ||
         type == V4L2_CTRL_TYPE_MENU || type == V4L2_CTRL_TYPE_INTEGER_MENU;
}

bool is_menu(std::uint32_t type) {
  return type == V4L2_CTRL_TYPE_MENU || type == V4L2_CTRL_TYPE_INTEGER_MENU;
}

// "Exposure, Dynamic Framerate" -> "exposure_dynamic_framerate".
std::string word_of(const __u8* text, std::size_t capacity) {
  const std::size_t length = strnlen(reinterpret_cast<const char*>(text), capacity);
  std::string word;
  bool gap = false;
  for (std::size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (std::isalnum(c)) {
      if (gap && !word.empty()) word += '_';
      word += static_cast<char>(std::tolower(c));
      gap = false;
    } else {
      gap = true;
    }
  }
  return word;
}

std::optional<std::int32_t> read_value(DeviceLayer& layer, int fd, std::uint32_t id, int* error) {
  v4l2_control control{};
  control.id = id;
  const int result = layer.ioctl(fd, VIDIOC_G_CTRL, &control);
  if (result < 0) {
    *error = -result;
    return std::nullopt;
  }
  return control.value;
}

bool menu_has(DeviceLayer& layer, int fd, std::uint32_t id, std::int64_t index) {
  v4l2_querymenu item{};
  item.id = id;
  item.index = static_cast<std::uint32_t>(index);
  return layer.ioctl(fd, VIDIOC_QUERYMENU, &item) == 0;
}

std::string menu_choices(DeviceLayer& layer, int fd, const CameraControl& control) {
  std::string choices;
  for (std::int64_t index = control.info.min; index <= control.info.max; ++index) {
    if (!menu_has(layer, fd, control.id, index)) continue;
    if (!choices.empty()) choices += ", ";
    choices += std::to_string(index);
  }
  return choices;
}

std::string camera_label(const CameraRef& camera) { return "camera " + std::to_string(camera.node); }

// Why `value` is not a setting of `control`, or nothing when it is one.
std::optional<Failure> refuse_value(DeviceLayer& layer, int fd, const CameraRef& camera,
                                    const CameraControl& control, std::int64_t value) {
  const ControlInfo& info = control.info;
  const std::string on = " on " + camera_label(camera);
  if (control.flags & V4L2_CTRL_FLAG_READ_ONLY) {
    return Failure{FailureKind::kBadRequest, info.name + " is read-only" + on};
  }
  if (value < info.min || value > info.max) {
    return Failure{FailureKind::kBadRequest, info.name + " takes " + std::to_string(info.min) +
                                                 ".." + std::to_string(info.max) + on + ", not " +
                                                 std::to_string(value)};
  }
  if (is_menu(control.type)) {
    if (!menu_has(layer, fd, control.id, value)) {
      return Failure{FailureKind::kBadRequest, info.name + " has no setting " +
                                                   std::to_string(value) + on + " (it takes " +
                                                   menu_choices(layer, fd, control) + ")"};
    }
  } else if (info.step > 1 && (value - info.min) % info.step != 0) {
    const std::int64_t below = value - (value - info.min) % info.step;
    return Failure{FailureKind::kBadRequest,
                   info.name + " moves in steps of " + std::to_string(info.step) + on + ": take " +
                       std::to_string(below) + " or " +
                       std::to_string(std::min(below + info.step, info.max)) + ", not " +
                       std::to_string(value)};
  }
  return std::nullopt;
}

Failure set_failure(const CameraRef& camera, std::string_view name, std::int64_t value,
                    int error) {
  const std::string label = camera_label(camera);
  if (error == EACCES) {
    return Failure{FailureKind::kConflict, label + " refused to set " + std::string(name) +
                                               " (an automatic mode holds it)"};
  }
  if (error == EINVAL || error == ERANGE) {
    return Failure{FailureKind::kBadRequest, label + " refused " + std::string(name) + " " +
                                                 std::to_string(value) + ": " +
                                                 std::strerror(error)};
  }
  return camera_failure(camera, "set " + std::string(name), error);
}

}  // namespace

std::string_view short_control_name(std::uint32_t id) {
  for (const NamedControl& named : kShortNames) {
    if (named.id == id) return named.name;
  }
  return {};
}

Result<std::vector<CameraControl>> query_controls(DeviceLayer& layer, int fd,
                                                  const CameraRef& camera) {
  std::vector<CameraControl> found;
  std::vector<std::string> driver_words;
  std::uint32_t next = V4L2_CTRL_FLAG_NEXT_CTRL;
  for (;;) {
    v4l2_queryctrl query{};
    query.id = next;
    const int result = layer.ioctl(fd, VIDIOC_QUERYCTRL, &query);
    if (result == -EINVAL) break;  // past the last control
    if (result < 0) return camera_failure(camera, "list its controls", -result);
    next = query.id | V4L2_CTRL_FLAG_NEXT_CTRL;
    if ((query.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_WRITE_ONLY)) ||
        !offered_type(query.type)) {
      continue;
    }
    int error = 0;
    const auto value = read_value(layer, fd, query.id, &error);
    if (!value) {
      if (device_gone(error)) return camera_failure(camera, "read its controls", error);
      continue;  // some cameras fail to report one control; the others are still of use
    }
    CameraControl control;
    control.id = query.id;
    control.type = query.type;
    control.flags = query.flags;
    control.info.min = query.minimum;
    control.info.max = query.maximum;
    control.info.step = std::max<std::int64_t>(query.step, 1);
    control.info.default_value = query.default_value;
    control.info.value = *value;
    found.push_back(control);
    driver_words.push_back(word_of(query.name, sizeof query.name));
  }

  // Short names first, in preference order; then the driver's words, unless that word is one of
  // the short names (a private control called "Focus" is not the focus control) or taken.
  std::set<std::string, std::less<>> taken;
  for (const NamedControl& named : kShortNames) {
    if (taken.count(named.name)) continue;
    for (CameraControl& control : found) {
      if (control.id == named.id && control.info.name.empty()) {
        control.info.name = std::string(named.name);
        taken.insert(control.info.name);
        break;
      }
    }
  }
  std::vector<CameraControl> named;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (found[i].info.name.empty()) {
      const std::string& word = driver_words[i];
      const bool reserved = std::any_of(std::begin(kShortNames), std::end(kShortNames),
                                        [&](const NamedControl& n) { return n.name == word; });
      if (word.empty() || reserved || !taken.insert(word).second) continue;
      found[i].info.name = word;
    }
    named.push_back(std::move(found[i]));
  }
  return named;
}

Result<ControlChange> set_camera_control(DeviceLayer& layer, int fd, const CameraRef& camera,
                                         std::string_view name, std::int64_t value) {
  auto listed = query_controls(layer, fd, camera);
  if (failed(listed)) return std::get<Failure>(listed);
  const auto& controls = std::get<std::vector<CameraControl>>(listed);
  const auto target = std::find_if(controls.begin(), controls.end(),
                                   [&](const CameraControl& c) { return c.info.name == name; });
  if (target == controls.end()) {
    std::string names;
    for (const CameraControl& control : controls) {
      names += (names.empty() ? "" : ", ") + control.info.name;
    }
    return Failure{FailureKind::kBadRequest,
                   camera_label(camera) + " has no control named " + std::string(name) +
                       (names.empty() ? " (it has none)" : " (it has " + names + ")")};
  }
  if (auto refusal = refuse_value(layer, fd, camera, *target, value)) return *refusal;

  for (const AutoMode& mode : kAutoModes) {
    if (mode.manual != target->id) continue;
    const auto automatic = std::find_if(controls.begin(), controls.end(), [&](const auto& c) {
      return c.id == mode.automatic;
    });
    if (automatic == controls.end() || automatic->info.value == mode.off) continue;
    v4l2_control off{};
    off.id = mode.automatic;
    off.value = mode.off;
    if (const int result = layer.ioctl(fd, VIDIOC_S_CTRL, &off); result < 0) {
      return camera_failure(camera, "switch " + std::string(mode.what) + " off", -result);
    }
  }

  v4l2_control control{};
  control.id = target->id;
  control.value = static_cast<std::int32_t>(value);  // within the control's 32-bit range
  if (const int result = layer.ioctl(fd, VIDIOC_S_CTRL, &control); result < 0) {
    return set_failure(camera, name, value, -result);
  }
  int error = 0;
  const auto now = read_value(layer, fd, target->id, &error);
  return ControlChange{target->info.name, now ? *now : value, target->info.value};
}

}  // namespace app::v4l2
