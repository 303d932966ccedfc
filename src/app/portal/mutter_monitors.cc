#include "app/portal/mutter_monitors.h"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <set>

#include "app/portal/portal_screen.h"

namespace app::portal {
namespace {

constexpr const char* kDisplayConfig = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";
// The answer comes from the compositor's main loop; a busy one is not waited on for long.
constexpr std::uint64_t kCallTimeoutUs = 1'000'000;

// Reads the logical monitors of a GetCurrentState reply, past its serial and physical monitors:
// a(iiduba(ssss)a{sv}) of x, y, scale, transform, primary, [(connector, vendor, product,
// serial)], properties.
std::optional<std::vector<MutterPlace>> read_places(sd_bus_message* reply) {
  std::uint32_t serial = 0;
  if (sd_bus_message_read(reply, "u", &serial) < 0 ||
      sd_bus_message_skip(reply, "a((ssss)a(siiddada{sv})a{sv})") < 0 ||
      sd_bus_message_enter_container(reply, 'a', "(iiduba(ssss)a{sv})") < 0) {
    return std::nullopt;
  }
  std::vector<MutterPlace> places;
  int r = 0;
  while ((r = sd_bus_message_enter_container(reply, 'r', "iiduba(ssss)a{sv}")) > 0) {
    MutterPlace place;
    double scale = 1;
    std::uint32_t transform = 0;
    int primary = 0;
    if (sd_bus_message_read(reply, "iidub", &place.x, &place.y, &scale, &transform, &primary) < 0 ||
        sd_bus_message_enter_container(reply, 'a', "(ssss)") < 0) {
      return std::nullopt;
    }
    const char* connector = nullptr;
    const char* vendor = nullptr;
    const char* product = nullptr;
    const char* serial_number = nullptr;
    while ((r = sd_bus_message_read(reply, "(ssss)", &connector, &vendor, &product, &serial_number)) > 0) {
      place.connectors.emplace_back(connector);
    }
    if (r < 0 || sd_bus_message_exit_container(reply) < 0 || sd_bus_message_skip(reply, "a{sv}") < 0 ||
        sd_bus_message_exit_container(reply) < 0) {
      return std::nullopt;
    }
    places.push_back(std::move(place));
  }
  if (r < 0) return std::nullopt;
  return places;
}

}  // namespace

std::optional<std::vector<MutterPlace>> mutter_places() {
  auto opened = PortalBus::open();
  if (failed(opened)) return std::nullopt;
  sd_bus* bus = std::get<std::unique_ptr<PortalBus>>(opened)->bus();
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call_method(bus, kDisplayConfig, kDisplayConfigPath, kDisplayConfig,
                                   "GetCurrentState", &error, &reply, "");
  sd_bus_error_free(&error);
  if (r < 0) return std::nullopt;
  auto places = read_places(reply);
  sd_bus_message_unref(reply);
  return places;
}

std::optional<std::vector<std::string>> connectors_of(const std::vector<PortalStream>& streams,
                                                      const std::vector<MutterPlace>& places) {
  std::vector<std::string> names;
  std::set<const MutterPlace*> used;
  for (const PortalStream& stream : streams) {
    const MutterPlace* match = nullptr;
    for (const MutterPlace& place : places) {
      if (place.x != stream.x || place.y != stream.y) continue;
      if (match != nullptr) return std::nullopt;  // two places at one spot: cannot tell
      match = &place;
    }
    if (match == nullptr || match->connectors.size() != 1 || match->connectors[0].empty() ||
        !used.insert(match).second) {
      return std::nullopt;
    }
    names.push_back(match->connectors[0]);
  }
  return names;
}

std::vector<std::string> name_by_connector(const std::vector<PortalStream>& streams) {
  if (const auto places = mutter_places()) {
    if (auto names = connectors_of(streams, *places)) return *names;
  }
  return name_by_position(streams);
}

}  // namespace app::portal
