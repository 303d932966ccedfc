// Naming the portal's streams by connector: only when Mutter's layout tells it beyond doubt.
#include <gtest/gtest.h>

#include "app/portal/mutter_monitors.h"

namespace app::portal {
namespace {

using Names = std::optional<std::vector<std::string>>;

PortalStream at(int x, int y) {
  PortalStream stream;
  stream.x = x;
  stream.y = y;
  return stream;
}

TEST(ConnectorNames, EachStreamTakesTheConnectorShownAtItsPlace) {
  const std::vector<MutterPlace> layout{{1920, 0, {"HDMI-A-1"}}, {0, 0, {"DP-1"}}};
  EXPECT_EQ(connectors_of({at(0, 0), at(1920, 0)}, layout), Names({"DP-1", "HDMI-A-1"}));
  EXPECT_EQ(connectors_of({at(1920, 0)}, layout), Names({"HDMI-A-1"}));
}

TEST(ConnectorNames, AnyDoubtLeavesTheNamesByPosition) {
  struct Case {
    const char* what;
    std::vector<PortalStream> streams;
    std::vector<MutterPlace> layout;
  };
  const std::vector<Case> cases{
      {"a stream where no monitor is", {at(0, 0), at(1280, 0)}, {{0, 0, {"DP-1"}}}},
      {"mirrored monitors", {at(0, 0)}, {{0, 0, {"DP-1", "HDMI-A-1"}}}},
      {"two places at one spot", {at(0, 0)}, {{0, 0, {"DP-1"}}, {0, 0, {"DP-2"}}}},
      {"two streams at one place", {at(0, 0), at(0, 0)}, {{0, 0, {"DP-1"}}}},
      {"a place without a monitor", {at(0, 0)}, {{0, 0, {}}}},
      {"an unnamed connector", {at(0, 0)}, {{0, 0, {""}}}},
  };
  for (const Case& c : cases) EXPECT_EQ(connectors_of(c.streams, c.layout), std::nullopt) << c.what;
}

}  // namespace
}  // namespace app::portal
