#include "app/service_options.h"

#include <algorithm>
#include <charconv>

#include "app/api.h"
#include "app/device_registry.h"
#include "app/text.h"

namespace app {
namespace {

std::optional<int> whole_number(const std::string& text, int min, int max) {
  if (text.size() > 6) return std::nullopt;
  const std::optional<int> value = parse_digits<int>(text);
  if (!value || *value < min || *value > max) return std::nullopt;
  return value;
}

std::string port_problem(const std::string& text, const std::string& where) {
  return "invalid port \"" + clip_for_message(text, 20) + "\"" + where +
         ": give a whole number from 1 to 65535 (0 picks a free port)";
}

}  // namespace

std::variant<ServiceOptions, std::string> parse_service_options(
    const std::vector<std::string>& args, const std::optional<std::string>& port_variable) {
  ServiceOptions options;
  std::optional<std::string> port_text;
  std::string port_where;
  if (port_variable) {
    port_text = *port_variable;
    port_where = " in TIRVANE_PORT";
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string word = args[i];
    std::optional<std::string> value;
    if (const auto equals = word.find('='); word.starts_with("--") && equals != std::string::npos) {
      value = word.substr(equals + 1);
      word = word.substr(0, equals);
    }
    auto take_value = [&]() -> std::optional<std::string> {
      if (value) return value;
      if (i + 1 < args.size()) return args[++i];
      return std::nullopt;
    };
    if (word == "-h" || word == "--help") {
      options.help = true;
    } else if (word == "--version") {
      options.version = true;
    } else if (word == "--allow-screen") {
      options.allow_screen = true;
    } else if (word == "--port" || word == "--device" || word == "--size" ||
               word == "--request-timeout" || word == "--camera-timeout" ||
               word == "--camera-idle") {
      const std::optional<std::string> given = take_value();
      if (!given) return word + " needs a value";
      if (word == "--port") {
        port_text = *given;
        port_where.clear();
      } else if (word == "--device") {
        options.device = *given;
      } else if (word == "--request-timeout") {
        const std::optional<int> seconds = whole_number(*given, 1, 300);
        if (!seconds) {
          return "invalid --request-timeout \"" + clip_for_message(*given, 20) +
                 "\": give whole seconds from 1 to 300";
        }
        options.request_timeout = *seconds;
      } else if (word == "--camera-timeout") {
        const std::optional<int> seconds = whole_number(*given, 1, 300);
        if (!seconds) {
          return "invalid --camera-timeout \"" + clip_for_message(*given, 20) +
                 "\": give whole seconds from 1 to 300";
        }
        options.camera_timeout = *seconds;
      } else if (word == "--camera-idle") {
        const std::optional<int> seconds = whole_number(*given, 0, 3600);
        if (!seconds) {
          return "invalid --camera-idle \"" + clip_for_message(*given, 20) +
                 "\": give whole seconds from 0 to 3600";
        }
        options.camera_idle = *seconds;
      } else {
        const auto x = given->find_first_of("xX");
        const auto width = x == std::string::npos ? std::nullopt
                                                  : whole_number(given->substr(0, x), kMinFrameSide, kMaxFrameWidth);
        const auto height = x == std::string::npos ? std::nullopt
                                                   : whole_number(given->substr(x + 1), kMinFrameSide, kMaxFrameHeight);
        if (!width || !height) {
          return "invalid size \"" + clip_for_message(*given, 20) + "\": give WxH, e.g. 1280x720, from " +
                 std::to_string(kMinFrameSide) + "x" + std::to_string(kMinFrameSide) + " to " +
                 std::to_string(kMaxFrameWidth) + "x" + std::to_string(kMaxFrameHeight);
        }
        options.width = *width;
        options.height = *height;
      }
    } else {
      return "unknown argument \"" + clip_for_message(args[i], 40) + "\"";
    }
  }
  if (port_text) {
    const std::optional<int> port = whole_number(*port_text, 0, 65535);
    if (!port) return port_problem(*port_text, port_where);
    options.port = *port;
  }
  return options;
}

}  // namespace app
