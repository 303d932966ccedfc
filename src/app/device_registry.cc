#include "app/device_registry.h"

#include <string>

namespace app {

DeviceRegistry::DeviceRegistry(std::vector<RegisteredSource> sources)
    : sources_(std::move(sources)) {}

std::vector<std::shared_ptr<Device>> DeviceRegistry::devices() const {
  std::vector<std::shared_ptr<Device>> all;
  for (const RegisteredSource& entry : sources_) {
    for (auto& device : entry.source->devices()) all.push_back(std::move(device));
  }
  return all;
}

Result<std::shared_ptr<Device>> DeviceRegistry::best() const {
  for (const RegisteredSource& entry : sources_) {
    if (entry.use != DefaultUse::kCandidate) continue;
    auto devices = entry.source->devices();
    if (!devices.empty()) return devices.front();
  }
  return Failure{503, "no camera is available"};
}

Result<std::shared_ptr<Device>> DeviceRegistry::find(std::string_view id) const {
  if (id.empty()) return best();
  for (const RegisteredSource& entry : sources_) {
    if (auto found = entry.source->find(id)) return *found;
  }
  return Failure{404, "no such camera: " + clip_for_message(id)};
}

std::string clip_for_message(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  // Do not split a UTF-8 sequence.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "\xE2\x80\xA6";
}

}  // namespace app
