#include "app/service_setup.h"

#include "app/test_camera.h"
#include "app/unavailable_sources.h"

namespace app {

std::vector<RegisteredSource> build_device_sources(SourceRegistry& registry, int width, int height) {
  auto registered = [&registry] { return registry.list(); };
  return {
      {std::make_shared<NoScreenSource>(), DefaultUse::kNamedOnly},
      {std::make_shared<UnlinkedNetworkSource>(registered), DefaultUse::kNamedOnly},
      {std::make_shared<TestCameraSource>(std::make_shared<TestCamera>(width, height)),
       DefaultUse::kCandidate},
  };
}

std::unique_ptr<ScreenRecorder> build_recorder() { return nullptr; }

}  // namespace app
