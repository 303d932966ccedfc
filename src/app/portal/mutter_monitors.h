// GNOME's own names for the monitors of a portal session. The portal tells each stream's place
// in the desktop's layout but not which monitor it shows; Mutter's display configuration
// (org.gnome.Mutter.DisplayConfig) tells the place of every monitor and its connector ("DP-1",
// "HDMI-A-1"), the name the other capture methods use too. Streams are named by connector only
// when every one of them sits exactly where one monitor, and only one, is shown; otherwise
// (another desktop, mirrored monitors, a layout that changed in between) by position.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/portal/portal_bus.h"

namespace app::portal {

// A place of Mutter's layout and the connectors of the monitors shown there (more than one
// when they mirror each other).
struct MutterPlace {
  int x = 0;
  int y = 0;
  std::vector<std::string> connectors;
};

// The places of the desktop's layout, or nothing when no Mutter answers on the session bus.
std::optional<std::vector<MutterPlace>> mutter_places();

// The connector of each stream, in the streams' order, or nothing when not every stream
// matches exactly one place with exactly one monitor, each place used once.
std::optional<std::vector<std::string>> connectors_of(const std::vector<PortalStream>& streams,
                                                      const std::vector<MutterPlace>& places);

// An OutputNamer: by connector where Mutter tells them safely, else name_by_position().
std::vector<std::string> name_by_connector(const std::vector<PortalStream>& streams);

}  // namespace app::portal
