// The service's endpoints under "/api", apart from the HTTP transport: a request (method, path,
// query parameters, body) goes in, an answer (status, content type, body, extra headers) comes
// out. Refusals are JSON objects {"error": "..."} with a status of 400 or more.
//
// Safe to call from many request threads at once: each device serialises the calls made on it,
// different devices run side by side.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/device.h"
#include "app/device_registry.h"
#include "app/recorder.h"
#include "app/source_registry.h"
#include "protocol/json.h"

namespace app {

inline constexpr std::string_view kApiBase = "/api";
// GET ?recording=ID&at=first|middle|last: a still of the latest finished screen recording.
inline constexpr std::string_view kRecordingStill = "/screen/record/still.jpg";

// Frame sizes a request may ask for.
inline constexpr int kMinFrameSide = 16;
inline constexpr int kMaxFrameWidth = 7680;
inline constexpr int kMaxFrameHeight = 4320;

// What the service uses when a request leaves something out.
struct ServiceSettings {
  std::string device;  // "" means the best available
  int width = 1280;
  int height = 720;
  int port = 7777;
};

struct ApiRequest {
  std::string method;  // "GET", "HEAD" or "POST"
  std::string path;    // the whole path, "/api/..."
  std::multimap<std::string, std::string> query;  // decoded
  std::string body;
};

struct ApiAnswer {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  std::vector<Header> headers;
  // When set, the body is this file (sent from disk) and `body` is empty.
  std::shared_ptr<const FileBody> file = nullptr;
};

// {"error": message} with the status of the failure's kind.
ApiAnswer refusal(const Failure& failure);

class Api {
 public:
  // `recorder` may be null: recording is then refused. /health's "screen" is the recorder's
  // screen_status(); `screen_status`, when given, adds its members to it (the recordings' method,
  // and whether the desktop's permission is stored).
  Api(ServiceSettings settings, const DeviceRegistry& devices, SourceRegistry& sources,
      ScreenRecorder* recorder, std::function<JsonValue()> screen_status = {});

  // The refusal for a path that is not an endpoint (404) or a method it does not take (405),
  // decided before any body is read.
  std::optional<ApiAnswer> check_route(const std::string& method, const std::string& path) const;

  ApiAnswer handle(const ApiRequest& request);

  const ServiceSettings& settings() const { return settings_; }

 private:
  using Handler = ApiAnswer (Api::*)(const ApiRequest&);
  struct Route {
    std::string_view path;  // after kApiBase
    std::string_view method;
    Handler handler;
  };
  static const std::vector<Route>& routes();

  ApiAnswer health(const ApiRequest& request);
  ApiAnswer list_devices(const ApiRequest& request);
  ApiAnswer list_controls(const ApiRequest& request);
  ApiAnswer set_control(const ApiRequest& request);
  ApiAnswer frame(const ApiRequest& request);
  ApiAnswer fitted_frame(const ApiRequest& request);
  ApiAnswer recording_still(const ApiRequest& request);
  ApiAnswer focus(const ApiRequest& request);
  ApiAnswer list_sources(const ApiRequest& request);
  ApiAnswer add_source(const ApiRequest& request);
  ApiAnswer remove_source(const ApiRequest& request);
  ApiAnswer record(const ApiRequest& request);

  // The device a request names ("" or absent: the configured one, else the best available).
  Result<std::shared_ptr<Device>> device_for(std::string_view id) const;

  ServiceSettings settings_;
  const DeviceRegistry& devices_;
  SourceRegistry& sources_;
  ScreenRecorder* recorder_;
  std::function<JsonValue()> screen_status_;
  // The first, middle and last pictures of the latest finished recording, and its number.
  std::mutex stills_lock_;
  std::vector<std::string> stills_;
  std::uint64_t stills_id_ = 0;
};

}  // namespace app
