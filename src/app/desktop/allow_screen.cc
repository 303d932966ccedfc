#include "app/desktop/allow_screen.h"

#include <unistd.h>

#include "app/portal/consent_store.h"
#include "app/portal/screencast_portal.h"

namespace app::desktop {
namespace {

void say(const std::string& line) {
  const std::string text = "tirvane-app: " + line + "\n";
  [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

int allow_screen(const std::string& config_folder, std::chrono::milliseconds patience) {
  const portal::ConsentStore store(config_folder);
  if (store.file().empty()) {
    say("cannot keep the screen permission: no configuration folder (set HOME)");
    return 1;
  }
  if (!portal::screencast_offered()) {
    say("no desktop portal with screen casting (version 4 or later) on the session bus: run this "
        "inside your desktop session, with xdg-desktop-portal and your desktop's portal backend "
        "installed");
    return 1;
  }
  say("asking the desktop for permission to capture the screen: answer the dialog on your "
      "screen (choose every monitor the service may capture)");
  // No stored token is passed: the user is here to choose again.
  auto started = portal::start_screencast({std::nullopt, patience});
  if (const auto* failure = std::get_if<Failure>(&started)) {
    say(failure->message.substr(0, failure->message.find("; run `")));
    return 1;
  }
  portal::ScreenCast& cast = std::get<portal::ScreenCast>(started);
  if (!cast.restore_token) {
    say("the desktop granted this session but did not offer to keep the permission, so the "
        "service cannot capture the screen unattended");
    return 1;
  }
  if (auto failure = store.store(*cast.restore_token)) {
    say(failure->message);
    return 1;
  }
  say("permission kept in " + store.file() + " (" + std::to_string(cast.streams.size()) +
      (cast.streams.size() == 1 ? " monitor" : " monitors") +
      "); tirvane-app can now capture the screen without asking");
  return 0;
}

}  // namespace app::desktop
