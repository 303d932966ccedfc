#include "app/desktop/desktop_screen_source.h"

#include <string>
#include <utility>

#include "app/desktop/method_probe.h"
#include "app/desktop/monitor_device.h"
#include "app/kwin/kwin_frame_source.h"
#include "app/portal/portal_frame_source.h"

namespace app::desktop {
namespace {

constexpr std::string_view kScreenId = "screen";
constexpr std::string_view kOutputPrefix = "screen:";

}  // namespace

DesktopScreenSource::DesktopScreenSource(DisplayEnvironment environment,
                                         std::shared_ptr<portal::PortalScreen> portal)
    : environment_(environment), portal_(std::move(portal)), x11_(std::move(environment)) {}

std::shared_ptr<MonitorDevice> DesktopScreenSource::device_for(bool kwin, const std::string& output) {
  std::lock_guard lock(mutex_);
  auto& device = devices_[{kwin, output}];
  if (!device) {
    FrameSourceOpener open;
    if (kwin) {
      open = []() -> Result<std::unique_ptr<FrameSource>> {
        return std::unique_ptr<FrameSource>(std::make_unique<kwin::KwinFrameSource>());
      };
    } else {
      open = [portal = portal_]() -> Result<std::unique_ptr<FrameSource>> {
        return std::unique_ptr<FrameSource>(std::make_unique<portal::PortalFrameSource>(
            portal, portal::PortalFrameSource::Use::kShots));
      };
    }
    device = std::make_shared<MonitorDevice>(std::move(open), output);
  }
  return device;
}

std::vector<std::shared_ptr<Device>> DesktopScreenSource::devices() {
  switch (probe_screen_methods(environment_).shots) {
    case ScreenMethod::kKwin:
      return {device_for(true, "")};
    case ScreenMethod::kPortal: {
      if (!portal_->consent_stored()) return {};
      auto outputs = portal_->outputs();
      if (failed(outputs) || std::get<std::vector<portal::PortalOutput>>(outputs).empty()) return {};
      const auto& list = std::get<std::vector<portal::PortalOutput>>(outputs);
      std::vector<std::shared_ptr<Device>> devices;
      for (std::size_t i = 0; i <= list.size(); ++i) {
        // "screen" first: the first monitor again.
        const portal::PortalOutput& output = list[i == 0 ? 0 : i - 1];
        auto device = device_for(false, i == 0 ? "" : output.name);
        device->know_size(output.width, output.height);
        devices.push_back(std::move(device));
      }
      return devices;
    }
    case ScreenMethod::kNone:
      return {};
    case ScreenMethod::kWlrScreencopy:
    case ScreenMethod::kX11:
      break;
  }
  return x11_.devices();
}

std::optional<Result<std::shared_ptr<Device>>> DesktopScreenSource::find(std::string_view id) {
  if (id != kScreenId && !(id.starts_with(kOutputPrefix) && id.size() > kOutputPrefix.size())) {
    return std::nullopt;
  }
  using Found = Result<std::shared_ptr<Device>>;
  const std::string output = id == kScreenId ? "" : std::string(id.substr(kOutputPrefix.size()));
  switch (probe_screen_methods(environment_).shots) {
    case ScreenMethod::kKwin:
      return Found(device_for(true, output));
    case ScreenMethod::kPortal:
      // Refused at once without consent: a request never waits on a dialog.
      if (!portal_->consent_stored()) {
        return Found(Failure{FailureKind::kUnavailable, portal::consent_missing_message()});
      }
      return Found(device_for(false, output));
    case ScreenMethod::kNone:
      return Found(Failure{FailureKind::kUnavailable, kNoWaylandMethodMessage});
    case ScreenMethod::kWlrScreencopy:
    case ScreenMethod::kX11:
      break;
  }
  return x11_.find(id);
}

JsonValue DesktopScreenSource::status() const {
  const ScreenMethods methods = probe_screen_methods(environment_);
  JsonValue status{{"method", method_name(methods.shots)},
                   {"recording", method_name(methods.recordings)}};
  if (methods.shots == ScreenMethod::kPortal || methods.recordings == ScreenMethod::kPortal) {
    const bool given = portal_->consent_stored();
    status["consent"] = given ? "given" : "missing";
    if (!given) status["hint"] = portal::consent_missing_message();
  }
  if (methods.shots == ScreenMethod::kNone) status["problem"] = kNoWaylandMethodMessage;
  return status;
}

}  // namespace app::desktop
