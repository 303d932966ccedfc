#include "app/desktop/desktop_screen_source.h"

#include <functional>
#include <string>
#include <utility>

#include "app/desktop/method_probe.h"
#include "app/kwin/kwin_screenshot.h"
#include "app/screen/screen_device.h"

namespace app::desktop {
namespace {

constexpr std::string_view kScreenId = "screen";
constexpr std::string_view kOutputPrefix = "screen:";

// A screen whose pictures come from one capture call per shot.
class CapturedScreen final : public Device {
 public:
  using Grab = std::function<Result<JpegFrame>(const FrameRequest&, PixelScaler&)>;
  CapturedScreen(DeviceInfo info, Grab grab) : info_(std::move(info)), grab_(std::move(grab)) {}

  DeviceInfo info() const override { return info_; }
  Result<JpegFrame> capture_jpeg(const FrameRequest& request) override {
    // A bad size is refused before the desktop is asked for anything.
    if (auto checked = shot_size(request, 1, 1); failed(checked)) {
      return std::get<Failure>(checked);
    }
    return grab_(request, scaler_);
  }
  Result<Image> capture_gray() override { return Failure{400, "the screen has no focus to sweep"}; }
  Result<std::vector<ControlInfo>> controls() override { return std::vector<ControlInfo>{}; }
  Result<ControlChange> set_control(std::string_view name, std::int64_t) override {
    return Failure{400, "the screen has no controls (no " + std::string(name) + " to set)"};
  }

 private:
  const DeviceInfo info_;
  const Grab grab_;
  PixelScaler scaler_;
};

std::string output_of(std::string_view id) {
  return id.starts_with(kOutputPrefix) ? std::string(id.substr(kOutputPrefix.size())) : "";
}

std::shared_ptr<Device> kwin_device(std::string_view id) {
  const std::string output = output_of(id);
  DeviceInfo info{std::string(id), output.empty() ? "Screen (KWin)" : "Screen " + output + " (KWin)",
                  false, std::nullopt, std::nullopt};
  return std::make_shared<CapturedScreen>(
      std::move(info), [output](const FrameRequest& request, PixelScaler& scaler) -> Result<JpegFrame> {
        auto captured = kwin::kwin_capture(output.empty() ? std::nullopt : std::optional(output));
        if (failed(captured)) return std::get<Failure>(captured);
        return encode_shot(view_of(std::get<Image>(captured)), request, scaler);
      });
}

std::shared_ptr<Device> portal_device(std::shared_ptr<portal::PortalScreen> portal,
                                      std::string_view id, std::optional<int> width,
                                      std::optional<int> height) {
  const std::string output = output_of(id);
  DeviceInfo info{std::string(id),
                  output.empty() ? "Screen (desktop portal)" : "Screen " + output + " (desktop portal)",
                  false, width, height};
  return std::make_shared<CapturedScreen>(
      std::move(info),
      [portal = std::move(portal), output](const FrameRequest& request,
                                           PixelScaler& scaler) -> Result<JpegFrame> {
        Result<JpegFrame> shot = Failure{500, "no picture"};
        auto failure = portal->with_picture(output, [&](const PixelView& picture) {
          shot = encode_shot(picture, request, scaler);
        });
        if (failure) return *failure;
        return shot;
      });
}

}  // namespace

DesktopScreenSource::DesktopScreenSource(DisplayEnvironment environment,
                                         std::shared_ptr<portal::PortalScreen> portal)
    : environment_(environment), portal_(std::move(portal)), x11_(std::move(environment)) {}

std::vector<std::shared_ptr<Device>> DesktopScreenSource::devices() {
  const ScreenMethods methods = probe_screen_methods(environment_);
  switch (methods.shots) {
    case ScreenMethod::kKwin:
      return {kwin_device(kScreenId)};
    case ScreenMethod::kPortal: {
      if (!portal_->consent_stored()) return {};
      auto outputs = portal_->outputs();
      if (failed(outputs)) return {};
      const auto& list = std::get<std::vector<portal::PortalOutput>>(outputs);
      std::vector<std::shared_ptr<Device>> devices;
      if (list.empty()) return devices;
      devices.push_back(portal_device(portal_, kScreenId, list.front().width, list.front().height));
      for (const auto& output : list) {
        devices.push_back(portal_device(portal_, std::string(kOutputPrefix) + output.name,
                                        output.width, output.height));
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
  const ScreenMethods methods = probe_screen_methods(environment_);
  switch (methods.shots) {
    case ScreenMethod::kKwin:
      return Found(kwin_device(id));
    case ScreenMethod::kPortal:
      // Refused at once without consent: a request never waits on a dialog.
      if (!portal_->consent_stored()) return Found(Failure{503, portal::consent_missing_message()});
      return Found(portal_device(portal_, id, std::nullopt, std::nullopt));
    case ScreenMethod::kNone:
      return Found(Failure{503, kNoWaylandMethodMessage});
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
