#include "app/portal/screencast_portal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <utility>

namespace app::portal {
namespace {

constexpr std::uint32_t kMonitorSources = 1;
constexpr std::uint32_t kPersistUntilRevoked = 2;
constexpr std::uint32_t kCursorEmbedded = 2;
// Plain portal steps that involve no dialog.
constexpr std::chrono::milliseconds kStepPatience{10000};

Failure unavailable(std::string message) { return Failure{FailureKind::kUnavailable, std::move(message)}; }

// The refusal for a Response other than 0.
Failure not_granted(std::uint32_t response, const char* step) {
  if (response == 1) {
    return unavailable(std::string("screen capture was cancelled at the desktop's dialog (") +
                       step + "); " + kConsentHint);
  }
  return unavailable(std::string("the desktop refused screen capture (") + step + "); " +
                     kConsentHint);
}

int open_options(sd_bus_message* call) { return sd_bus_message_open_container(call, 'a', "{sv}"); }

}  // namespace

ScreenCast::ScreenCast(ScreenCast&& other) noexcept
    : bus(std::move(other.bus)),
      session_handle(std::move(other.session_handle)),
      streams(std::move(other.streams)),
      restore_token(std::move(other.restore_token)),
      pipewire_fd(std::exchange(other.pipewire_fd, -1)) {}

ScreenCast::~ScreenCast() { close_screencast(*this); }

bool screencast_offered() {
  auto opened = PortalBus::open();
  if (failed(opened)) return false;
  auto version = std::get<std::unique_ptr<PortalBus>>(opened)->interface_version(
      kScreenCastInterface, "version");
  return version && *version >= 4;
}

void close_screencast(ScreenCast& cast) {
  if (cast.pipewire_fd >= 0) ::close(std::exchange(cast.pipewire_fd, -1));
  if (cast.bus && !cast.session_handle.empty()) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_call_method(cast.bus->bus(), kPortalName, cast.session_handle.c_str(),
                       "org.freedesktop.portal.Session", "Close", &error, nullptr, "");
    sd_bus_error_free(&error);
  }
  cast.session_handle.clear();
  cast.bus.reset();
}

Result<ScreenCast> start_screencast(const ScreenCastOptions& options, bool* consent_rejected) {
  bool ignored = false;
  bool& rejected = consent_rejected ? *consent_rejected : ignored;
  rejected = false;
  auto opened = PortalBus::open();
  if (failed(opened)) return std::get<Failure>(opened);
  ScreenCast cast;
  cast.bus = std::move(std::get<std::unique_ptr<PortalBus>>(opened));
  PortalBus& bus = *cast.bus;

  const auto version = bus.interface_version(kScreenCastInterface, "version");
  if (!version) {
    return unavailable(
        "no desktop portal with screen casting on the session bus (is xdg-desktop-portal and "
        "your desktop's portal backend installed and running?)");
  }
  if (*version < 4) {
    return unavailable("the desktop portal's screen casting is version " +
                       std::to_string(*version) +
                       ", too old to keep the permission; version 4 or later is needed");
  }
  std::uint32_t cursor_modes = 0;
  if (auto modes = bus.interface_version(kScreenCastInterface, "AvailableCursorModes")) {
    cursor_modes = *modes;
  }

  const std::string session_token = bus.next_token();
  auto created = bus.request(
      kScreenCastInterface, "CreateSession",
      [&](sd_bus_message* call, const std::string& handle_token) {
        int r = open_options(call);
        if (r >= 0) r = sd_bus_message_append(call, "{sv}", "handle_token", "s", handle_token.c_str());
        if (r >= 0) {
          r = sd_bus_message_append(call, "{sv}", "session_handle_token", "s",
                                    session_token.c_str());
        }
        if (r >= 0) r = sd_bus_message_close_container(call);
        return r;
      },
      kStepPatience, "the desktop portal did not create a screen-cast session in time");
  if (failed(created)) return std::get<Failure>(created);
  const PortalAnswer& creation = std::get<PortalAnswer>(created);
  if (creation.response != 0) return not_granted(creation.response, "creating the session");
  if (!creation.results.session_handle) {
    return unavailable("the desktop portal created a screen-cast session without a handle");
  }
  cast.session_handle = *creation.results.session_handle;

  auto selected = bus.request(
      kScreenCastInterface, "SelectSources",
      [&](sd_bus_message* call, const std::string& handle_token) {
        int r = sd_bus_message_append(call, "o", cast.session_handle.c_str());
        if (r >= 0) r = open_options(call);
        if (r >= 0) r = sd_bus_message_append(call, "{sv}", "handle_token", "s", handle_token.c_str());
        if (r >= 0) r = sd_bus_message_append(call, "{sv}", "types", "u", kMonitorSources);
        if (r >= 0) r = sd_bus_message_append(call, "{sv}", "multiple", "b", 1);
        if (r >= 0 && (cursor_modes & kCursorEmbedded)) {
          r = sd_bus_message_append(call, "{sv}", "cursor_mode", "u", kCursorEmbedded);
        }
        if (r >= 0) r = sd_bus_message_append(call, "{sv}", "persist_mode", "u", kPersistUntilRevoked);
        if (r >= 0 && options.restore_token) {
          r = sd_bus_message_append(call, "{sv}", "restore_token", "s",
                                    options.restore_token->c_str());
        }
        if (r >= 0) r = sd_bus_message_close_container(call);
        return r;
      },
      kStepPatience, "the desktop portal did not take the choice of monitors in time");
  if (failed(selected)) return std::get<Failure>(selected);
  if (auto response = std::get<PortalAnswer>(selected).response; response != 0) {
    return not_granted(response, "choosing the monitors");
  }

  const std::string unanswered =
      std::string("the desktop is asking for consent to capture the screen and nobody answered "
                  "in time (the dialog was closed); ") +
      kConsentHint;
  auto started = bus.request(
      kScreenCastInterface, "Start",
      [&](sd_bus_message* call, const std::string& handle_token) {
        int r = sd_bus_message_append(call, "os", cast.session_handle.c_str(), "");
        if (r >= 0) r = open_options(call);
        if (r >= 0) r = sd_bus_message_append(call, "{sv}", "handle_token", "s", handle_token.c_str());
        if (r >= 0) r = sd_bus_message_close_container(call);
        return r;
      },
      options.patience, unanswered);
  if (failed(started)) {
    rejected = std::get<Failure>(started).message == unanswered;
    return std::get<Failure>(started);
  }
  PortalAnswer& start = std::get<PortalAnswer>(started);
  if (start.response != 0) {
    rejected = true;
    return not_granted(start.response, "starting the screen cast");
  }
  if (start.results.streams.empty()) {
    return unavailable("the desktop portal started a screen cast without any monitor in it");
  }
  cast.streams = std::move(start.results.streams);
  cast.restore_token = std::move(start.results.restore_token);

  auto remote = bus.call(kScreenCastInterface, "OpenPipeWireRemote",
                         [&](sd_bus_message* call, const std::string&) {
                           int r = sd_bus_message_append(call, "o", cast.session_handle.c_str());
                           if (r >= 0) r = sd_bus_message_append(call, "a{sv}", 0);
                           return r;
                         });
  if (failed(remote)) return std::get<Failure>(remote);
  int fd = -1;
  if (sd_bus_message_read(std::get<MessageRef>(remote).get(), "h", &fd) < 0 || fd < 0) {
    return unavailable("the desktop portal handed out no PipeWire connection");
  }
  // The message owns its descriptor: keep a copy of our own.
  cast.pipewire_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (cast.pipewire_fd < 0) {
    return unavailable(std::string("cannot keep the PipeWire connection: ") + std::strerror(errno));
  }
  return cast;
}

}  // namespace app::portal
