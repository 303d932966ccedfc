// The command line of tirvane-app.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace app {

inline constexpr int kDefaultServicePort = 7777;

struct ServiceOptions {
  int port = kDefaultServicePort;  // 0: any free port
  std::string device;              // "" means the best available
  int width = 1280;
  int height = 720;
  int request_timeout = 10;  // seconds a client has to send its request head, and its body
  int camera_timeout = 20;   // seconds a network camera has to deliver a picture
  int camera_idle = 3;       // seconds a webcam keeps streaming after a request; 0: released at once
  bool help = false;
  bool version = false;
  bool allow_screen = false;  // ask the desktop for permission to capture the screen, then exit
};

inline constexpr const char* kServiceUsage =
    "usage: tirvane-app [--port N] [--device ID] [--size WxH]\n"
    "       tirvane-app --allow-screen\n"
    "\n"
    "The capture service that the tirvane client talks to, on http://127.0.0.1:PORT/api.\n"
    "\n"
    "  --port N      the port to listen on (default 7777, or TIRVANE_PORT); 0 picks a free one\n"
    "  --device ID   the camera used when a request names none (default: the best available,\n"
    "                the first webcam, else the built-in test camera `test`)\n"
    "  --size WxH    the frame size used when a request names none (default 1280x720)\n"
    "  --request-timeout S\n"
    "                seconds a client has to send its request, head and body each (default 10)\n"
    "  --camera-timeout S\n"
    "                seconds a network camera has to deliver a picture (default 20)\n"
    "  --camera-idle S\n"
    "                seconds a webcam stays open and streaming after a request, so that the next\n"
    "                one is served at once (default 3); 0 releases it after every request\n"
    "  --version     print the version\n"
    "  --allow-screen\n"
    "                on GNOME, KDE and other desktops that share the screen through their portal:\n"
    "                show the desktop's dialog once, keep the permission it grants, and exit;\n"
    "                run it inside your desktop session before capturing the screen\n"
    "\n"
    "Network cameras registered with `tirvane add-source` are kept in\n"
    "$XDG_CONFIG_HOME/tirvane/sources.json (else ~/.config/tirvane/sources.json); the screen\n"
    "permission given with --allow-screen is kept beside it, in screen-consent.\n";

// `args` without the program name; `port_variable` is TIRVANE_PORT when set. The options, or
// a message saying what is wrong.
std::variant<ServiceOptions, std::string> parse_service_options(
    const std::vector<std::string>& args, const std::optional<std::string>& port_variable);

}  // namespace app
