#include "app/screen/screen_provider.h"

#include <utility>

namespace app {

ScreenProvider::ScreenProvider(DisplayEnvironment environment)
    : ScreenProvider(screen_frame_sources(std::move(environment))) {}

ScreenProvider::ScreenProvider(FrameSourceOpener open)
    : ScreenProvider(std::make_shared<ScreenConnection>(std::move(open))) {}

ScreenProvider::ScreenProvider(std::shared_ptr<ScreenConnection> connection)
    : connection_(std::move(connection)) {}

std::shared_ptr<ScreenDevice> ScreenProvider::device_for(const std::string& output) {
  std::shared_ptr<ScreenDevice> device;
  {
    std::lock_guard lock(mutex_);
    auto& known = devices_[output];
    if (!known) known = std::make_shared<ScreenDevice>(connection_, output);
    device = known;
  }
  device->refresh();
  return device;
}

std::vector<std::shared_ptr<Device>> ScreenProvider::devices() {
  auto seen = connection_->look();
  if (failed(seen)) return {};
  std::vector<std::shared_ptr<Device>> list{device_for("")};
  for (const ScreenOutput& output : std::get<ScreenState>(seen).outputs) {
    list.push_back(device_for(output.name));
  }
  return list;
}

std::optional<Result<std::shared_ptr<Device>>> ScreenProvider::find(std::string_view id) {
  constexpr std::string_view kPrefix = "screen:";
  if (id != "screen" && !id.starts_with(kPrefix)) return std::nullopt;
  auto seen = connection_->look();
  if (failed(seen)) return Result<std::shared_ptr<Device>>(std::get<Failure>(seen));
  if (id == "screen") return Result<std::shared_ptr<Device>>(device_for(""));

  const std::string name(id.substr(kPrefix.size()));
  const ScreenState& state = std::get<ScreenState>(seen);
  if (!state.outputs_listed) return Result<std::shared_ptr<Device>>(device_for(name));
  std::string names;
  for (const ScreenOutput& output : state.outputs) {
    if (output.name == name) return Result<std::shared_ptr<Device>>(device_for(name));
    names += (names.empty() ? "" : ", ") + output.name;
  }
  return Result<std::shared_ptr<Device>>(
      Failure{FailureKind::kNotFound, "no monitor named \"" + name + "\" on display " +
                                          state.display + " (its monitors: " + names + ")"});
}

}  // namespace app
