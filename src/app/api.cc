#include "app/api.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <mutex>

#include "app/focus_sweep.h"
#include "app/net/http_fetch.h"
#include "app/frame_fit.h"
#include "app/net/source_url.h"
#include "app/recording_request.h"
#include "app/text.h"
#include "protocol/app_contract.h"

#ifndef TIRVANE_VERSION
#define TIRVANE_VERSION "0.0.0"
#endif

namespace app {
namespace {

constexpr std::size_t kMaxControlName = 64;

std::string json_text(const JsonValue& value) {
  // Texts taken from requests may hold bytes that are not UTF-8; they are shown as U+FFFD
  // rather than making the answer fail.
  return value.dump(-1, ' ', false, JsonValue::error_handler_t::replace);
}

ApiAnswer json_answer(const JsonValue& document, int status = 200) {
  return ApiAnswer{status, "application/json", json_text(document), {}};
}

std::string path_after_base(std::string_view path) { return std::string(path.substr(kApiBase.size())); }

std::optional<std::string> query_value(const ApiRequest& request, const std::string& key) {
  auto found = request.query.find(key);
  if (found == request.query.end()) return std::nullopt;
  return found->second;
}

// The request body as a JSON object, or the refusal that says what is wrong with it.
Result<JsonValue> body_object(const ApiRequest& request) {
  JsonValue document;
  try {
    document = JsonValue::parse(request.body);
  } catch (const JsonValue::parse_error& error) {
    return Failure{FailureKind::kBadRequest,
                   "the body is not valid JSON (at byte " + std::to_string(error.byte) + ")"};
  } catch (const JsonValue::out_of_range&) {
    return Failure{FailureKind::kBadRequest,
                   "the body holds a number too large to read"};
  }
  if (!document.is_object())
    return Failure{FailureKind::kBadRequest, "the body must be a JSON object"};
  return document;
}

// A member that must be a string; `optional` members may also be null or absent (giving "").
Result<std::string> string_member(const JsonValue& body, const char* key, bool optional,
                                  const std::string& what) {
  auto found = body.find(key);
  if (found == body.end() || found->is_null()) {
    if (optional) return std::string();
    return Failure{FailureKind::kBadRequest, std::string(key) + " is missing: it must be " + what};
  }
  if (!found->is_string())
    return Failure{FailureKind::kBadRequest, std::string(key) + " must be " + what};
  return found->get<std::string>();
}

constexpr const char* kDeviceWhat = "a string naming a camera (see /api/devices), or null";

// A frame side from the query: digits only, within [kMinFrameSide, max].
Result<int> frame_side(const std::string& name, const std::string& text, int max) {
  const std::optional<int> value = parse_digits<int>(text);
  if (!value || *value < kMinFrameSide || *value > max) {
    return Failure{FailureKind::kBadRequest,
                   name + " must be a whole number from " + std::to_string(kMinFrameSide) + " to " +
                       std::to_string(max) + ", not \"" + clip_for_message(text, 20) + "\""};
  }
  return *value;
}

Result<FrameRequest> frame_size(const ApiRequest& request) {
  const auto width = query_value(request, "width");
  const auto height = query_value(request, "height");
  if (!width && !height) return FrameRequest{};
  if (!width || !height) {
    return Failure{FailureKind::kBadRequest,
                   "give both width and height, e.g. width=1280&height=720"};
  }
  Result<int> w = frame_side("width", *width, kMaxFrameWidth);
  if (auto* failure = std::get_if<Failure>(&w)) return *failure;
  Result<int> h = frame_side("height", *height, kMaxFrameHeight);
  if (auto* failure = std::get_if<Failure>(&h)) return *failure;
  return FrameRequest{std::get<int>(w), std::get<int>(h)};
}

// A frame asked for with `region` or `max_side` keeps its aspect: `width`, `height` and
// `max_side` are then only the most it may have, each alone or together.
bool wants_fitted_frame(const ApiRequest& request) {
  return request.query.contains("region") || request.query.contains("max_side");
}

Result<FitRequest> fit_request(const ApiRequest& request) {
  FitRequest fit;
  if (auto text = query_value(request, "region")) {
    Result<Region> region = parse_region(*text);
    if (auto* failure = std::get_if<Failure>(&region)) return *failure;
    fit.region = std::get<Region>(region);
  }
  const auto limit = [&](const char* name, int max, std::optional<int>& into) -> std::optional<Failure> {
    auto text = query_value(request, name);
    if (!text) return std::nullopt;
    Result<int> side = frame_side(name, *text, max);
    if (auto* failure = std::get_if<Failure>(&side)) return *failure;
    into = into ? std::min(*into, std::get<int>(side)) : std::get<int>(side);
    return std::nullopt;
  };
  if (auto failure = limit("width", kMaxFrameWidth, fit.max_width)) return *failure;
  if (auto failure = limit("height", kMaxFrameHeight, fit.max_height)) return *failure;
  std::optional<int> side;
  if (auto failure = limit("max_side", kMaxFrameWidth, side)) return *failure;
  if (side) {
    fit.max_width = std::min(fit.max_width.value_or(*side), *side);
    fit.max_height = std::min(fit.max_height.value_or(*side), *side);
  }
  return fit;
}

bool is_named(const Header& header, std::string_view name) {
  return header.first.size() == name.size() &&
         std::equal(name.begin(), name.end(), header.first.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

// A fitted picture as an answer: the device's own headers that still hold (warnings, not its
// sizes), then the sizes of what is sent.
ApiAnswer fitted_answer(FittedFrame fitted, std::vector<Header> device_headers,
                        const std::string& device_id) {
  ApiAnswer answer{200, "image/jpeg", std::move(fitted.bytes), {}};
  for (Header& header : device_headers) {
    if (!is_named(header, "X-Frame-Size") && !is_named(header, "X-Asked-Size")) {
      answer.headers.push_back(std::move(header));
    }
  }
  const std::string sent = size_text(fitted.width, fitted.height);
  answer.headers.emplace_back("X-Tirvane-Device", device_id);
  answer.headers.emplace_back("X-Tirvane-Size", sent);
  answer.headers.emplace_back("X-Frame-Size", sent);
  answer.headers.emplace_back("X-Source-Size", size_text(fitted.source_width, fitted.source_height));
  if (fitted.region) {
    const Region& r = *fitted.region;
    answer.headers.emplace_back("X-Region", std::to_string(r.x) + "," + std::to_string(r.y) + "," +
                                                std::to_string(r.width) + "," +
                                                std::to_string(r.height));
  }
  return answer;
}

bool is_control_name(const std::string& name) {
  return !name.empty() && name.size() <= kMaxControlName &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
         });
}

double rounded(double value) { return std::round(value * 100.0) / 100.0; }

JsonValue device_json(const DeviceInfo& info) {
  JsonValue entry{{"id", info.id}, {"name", info.name}, {"focusable", info.focusable}};
  if (info.width && info.height) {
    entry["width"] = *info.width;
    entry["height"] = *info.height;
  }
  return entry;
}

// A registered source as listed: its URL never shows a password.
JsonValue source_json(const NetworkCameraEntry& source) {
  JsonValue entry{{"name", source.name}, {"url", net::url_for_display(source.url)}};
  if (source.insecure) entry["insecure"] = true;
  return entry;
}

}  // namespace

ApiAnswer refusal(const Failure& failure) {
  // Messages quote cameras, files and requests; whatever of theirs slipped through unescaped
  // still never reaches a terminal raw.
  return json_answer(JsonValue{{"error", escape_controls(failure.message)}}, failure.status);
}

Api::Api(ServiceSettings settings, const DeviceRegistry& devices, SourceRegistry& sources,
         ScreenRecorder* recorder, std::function<JsonValue()> screen_status)
    : settings_(std::move(settings)),
      devices_(devices),
      sources_(sources),
      recorder_(recorder),
      screen_status_(std::move(screen_status)) {}

const std::vector<Api::Route>& Api::routes() {
  static const std::vector<Route> table{
      {contract::kHealth, "GET", &Api::health},
      {contract::kDevices, "GET", &Api::list_devices},
      {contract::kControls, "GET", &Api::list_controls},
      {contract::kControls, "POST", &Api::set_control},
      {"/frame.jpg", "GET", &Api::frame},
      {contract::kFocus, "POST", &Api::focus},
      {contract::kSources, "GET", &Api::list_sources},
      {contract::kSources, "POST", &Api::add_source},
      {contract::kSourcesRemove, "POST", &Api::remove_source},
      {contract::kScreenRecord, "POST", &Api::record},
      {kRecordingStill, "GET", &Api::recording_still},
  };
  return table;
}

std::optional<ApiAnswer> Api::check_route(const std::string& method,
                                          const std::string& path) const {
  if (!path.starts_with(kApiBase)) {
    return refusal(Failure{FailureKind::kNotFound,
                           "not found: " + clip_for_message(path) + " (the API is under /api)"});
  }
  const std::string endpoint = path_after_base(path);
  const std::string_view asked = method == "HEAD" ? "GET" : std::string_view(method);
  std::vector<std::string_view> allowed;
  for (const Route& route : routes()) {
    if (route.path != endpoint) continue;
    if (route.method == asked) return std::nullopt;
    allowed.push_back(route.method);
  }
  if (allowed.empty())
    return refusal(Failure{FailureKind::kNotFound, "no such endpoint: " + clip_for_message(path)});
  std::string list;
  for (std::string_view m : allowed) list += (list.empty() ? "" : ", ") + std::string(m);
  ApiAnswer answer = refusal(
      Failure{FailureKind::kMethodNotAllowed,
              clip_for_message(method, 16) + " is not allowed on " + path + "; use " + list});
  answer.headers.emplace_back("Allow", list);
  return answer;
}

ApiAnswer Api::handle(const ApiRequest& request) {
  if (auto refused = check_route(request.method, request.path)) return *refused;
  const std::string endpoint = path_after_base(request.path);
  const std::string_view method = request.method == "HEAD" ? "GET" : std::string_view(request.method);
  for (const Route& route : routes()) {
    if (route.path == endpoint && route.method == method) return (this->*route.handler)(request);
  }
  return refusal(
      Failure{FailureKind::kNotFound, "no such endpoint: " + clip_for_message(request.path)});
}

Result<std::shared_ptr<Device>> Api::device_for(std::string_view id) const {
  return devices_.find(id.empty() ? std::string_view(settings_.device) : id);
}

ApiAnswer Api::health(const ApiRequest&) {
  JsonValue document{
      {"version", TIRVANE_VERSION},
      {"port", settings_.port},
      {"settings",
       {{"device", settings_.device}, {"width", settings_.width}, {"height", settings_.height}}},
  };
  if (!sources_.problems().empty()) document["warnings"] = sources_.problems();
  // Which method serves the screen, or why none does.
  if (auto screen = recorder_ != nullptr ? recorder_->screen_status() : std::nullopt) {
    if (screen->method.empty()) {
      document["screen"] = {{"method", nullptr}, {"problem", screen->problem}};
    } else {
      JsonValue monitors = JsonValue::array();
      for (const ScreenStatus::Monitor& monitor : screen->monitors) {
        monitors.push_back({{"id", monitor.id},
                            {"width", monitor.width},
                            {"height", monitor.height},
                            {"primary", monitor.primary}});
      }
      document["screen"] = {
          {"method", screen->method}, {"display", screen->display}, {"monitors", monitors}};
    }
  }
  // What the desktop adds: the recordings' method, the stored permission.
  if (screen_status_ && document.contains("screen")) document["screen"].update(screen_status_());
  return json_answer(document);
}

ApiAnswer Api::list_devices(const ApiRequest&) {
  JsonValue list = JsonValue::array();
  for (const auto& device : devices_.devices()) list.push_back(device_json(device->info()));
  JsonValue document{{"devices", list}, {"default", nullptr}};
  Result<std::shared_ptr<Device>> chosen = device_for("");
  if (auto* device = std::get_if<std::shared_ptr<Device>>(&chosen)) {
    document["default"] = (*device)->info().id;
  }
  return json_answer(document);
}

ApiAnswer Api::list_controls(const ApiRequest& request) {
  Result<std::shared_ptr<Device>> found = device_for(query_value(request, "device").value_or(""));
  if (auto* failure = std::get_if<Failure>(&found)) return refusal(*failure);
  Device& device = *std::get<std::shared_ptr<Device>>(found);
  Result<std::vector<ControlInfo>> controls = device.controls();
  if (auto* failure = std::get_if<Failure>(&controls)) return refusal(*failure);
  JsonValue list = JsonValue::array();
  for (const ControlInfo& control : std::get<std::vector<ControlInfo>>(controls)) {
    list.push_back({{"name", control.name},
                    {"min", control.min},
                    {"max", control.max},
                    {"step", control.step},
                    {"default", control.default_value},
                    {"value", control.value}});
  }
  return json_answer(JsonValue{{"device", device.info().id}, {"controls", list}});
}

ApiAnswer Api::set_control(const ApiRequest& request) {
  Result<JsonValue> parsed = body_object(request);
  if (auto* failure = std::get_if<Failure>(&parsed)) return refusal(*failure);
  const JsonValue& body = std::get<JsonValue>(parsed);
  Result<std::string> id = string_member(body, "device", true, kDeviceWhat);
  if (auto* failure = std::get_if<Failure>(&id)) return refusal(*failure);
  Result<std::string> name = string_member(body, "name", false, "the control's name, e.g. focus");
  if (auto* failure = std::get_if<Failure>(&name)) return refusal(*failure);
  if (!is_control_name(std::get<std::string>(name))) {
    return refusal(
        Failure{FailureKind::kBadRequest, "name must be the control's name, a word such as focus"});
  }
  auto value = body.find("value");
  if (value == body.end() || !value->is_number_integer()) {
    return refusal(Failure{FailureKind::kBadRequest, "value must be a whole number"});
  }
  // A number beyond the 64-bit range is simply out of every control's range.
  const std::int64_t wanted = value->is_number_unsigned() &&
                                      value->get<std::uint64_t>() >
                                          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                                  ? std::numeric_limits<std::int64_t>::max()
                                  : value->get<std::int64_t>();

  Result<std::shared_ptr<Device>> found = device_for(std::get<std::string>(id));
  if (auto* failure = std::get_if<Failure>(&found)) return refusal(*failure);
  Device& device = *std::get<std::shared_ptr<Device>>(found);
  Result<ControlChange> change = device.set_control(std::get<std::string>(name), wanted);
  if (auto* failure = std::get_if<Failure>(&change)) return refusal(*failure);
  const ControlChange& done = std::get<ControlChange>(change);
  return json_answer(JsonValue{{"device", device.info().id},
                               {"control", done.control},
                               {"value", done.value},
                               {"was", done.was}});
}

ApiAnswer Api::frame(const ApiRequest& request) {
  if (wants_fitted_frame(request)) return fitted_frame(request);
  Result<FrameRequest> size = frame_size(request);
  if (auto* failure = std::get_if<Failure>(&size)) return refusal(*failure);
  const std::string id = query_value(request, "device").value_or("");
  FrameRequest wanted = std::get<FrameRequest>(size);
  Result<std::shared_ptr<Device>> found = device_for(id);
  if (auto* failure = std::get_if<Failure>(&found)) return refusal(*failure);
  Device& device = *std::get<std::shared_ptr<Device>>(found);
  // Without an asked size a camera takes the configured one; the device says whether it does.
  if (!wanted.width && device.default_frame_size() == DefaultFrameSize::kServiceSetting) {
    wanted = FrameRequest{settings_.width, settings_.height};
  }
  Result<JpegFrame> captured = device.capture_jpeg(wanted);
  if (auto* failure = std::get_if<Failure>(&captured)) return refusal(*failure);
  JpegFrame& frame = std::get<JpegFrame>(captured);
  ApiAnswer answer{200, "image/jpeg", std::move(frame.bytes), std::move(frame.headers)};
  answer.headers.emplace_back("X-Tirvane-Device", device.info().id);
  answer.headers.emplace_back("X-Tirvane-Size", size_text(frame.width, frame.height));
  const bool has_frame_size = std::any_of(answer.headers.begin(), answer.headers.end(),
                                          [](const Header& h) { return is_named(h, "X-Frame-Size"); });
  if (!has_frame_size) answer.headers.emplace_back("X-Frame-Size", size_text(frame.width, frame.height));
  // The device's own size: the frame itself when none was asked for, else what the device says.
  const DeviceInfo info = device.info();
  if (!std::get<FrameRequest>(size).width) {
    answer.headers.emplace_back("X-Source-Size", size_text(frame.width, frame.height));
  } else if (info.width && info.height) {
    answer.headers.emplace_back("X-Source-Size", size_text(*info.width, *info.height));
  }
  return answer;
}

ApiAnswer Api::fitted_frame(const ApiRequest& request) {
  Result<FitRequest> fit = fit_request(request);
  if (auto* failure = std::get_if<Failure>(&fit)) return refusal(*failure);
  Result<std::shared_ptr<Device>> found = device_for(query_value(request, "device").value_or(""));
  if (auto* failure = std::get_if<Failure>(&found)) return refusal(*failure);
  Device& device = *std::get<std::shared_ptr<Device>>(found);
  const std::string device_id = device.info().id;
  // The device's own picture, as a request without a size gets it; the region is in its pixels.
  FrameRequest own;
  if (device.default_frame_size() == DefaultFrameSize::kServiceSetting) {
    own = FrameRequest{settings_.width, settings_.height};
  }
  Result<JpegFrame> captured = device.capture_jpeg(own);
  if (auto* failure = std::get_if<Failure>(&captured)) return refusal(*failure);
  JpegFrame& frame = std::get<JpegFrame>(captured);
  Result<FittedFrame> fitted = fit_frame(frame.bytes, std::get<FitRequest>(fit), device_id);
  if (auto* failure = std::get_if<Failure>(&fitted)) return refusal(*failure);
  return fitted_answer(std::move(std::get<FittedFrame>(fitted)), std::move(frame.headers), device_id);
}

ApiAnswer Api::recording_still(const ApiRequest& request) {
  Result<FitRequest> fit = fit_request(request);
  if (auto* failure = std::get_if<Failure>(&fit)) return refusal(*failure);
  const std::string at = query_value(request, "at").value_or("");
  const std::vector<std::string> moments{"first", "middle", "last"};
  const auto index = std::find(moments.begin(), moments.end(), at);
  if (index == moments.end()) {
    return refusal(Failure{FailureKind::kBadRequest,
                           "at must be first, middle or last, not \"" + clip_for_message(at, 20) + "\""});
  }
  const std::string asked = query_value(request, "recording").value_or("");
  std::string still;
  {
    std::lock_guard lock(stills_lock_);
    if (stills_.empty() || asked != std::to_string(stills_id_)) {
      return refusal(Failure{FailureKind::kNotFound,
                             stills_.empty()
                                 ? "there are no stills: no screen recording has finished yet"
                                 : "no stills of recording \"" + clip_for_message(asked, 20) +
                                       "\": only the latest recording's are kept, and that is " +
                                       std::to_string(stills_id_)});
    }
    still = stills_[static_cast<std::size_t>(index - moments.begin())];
  }
  Result<FittedFrame> fitted = fit_frame(still, std::get<FitRequest>(fit), "screen");
  if (auto* failure = std::get_if<Failure>(&fitted)) return refusal(*failure);
  return fitted_answer(std::move(std::get<FittedFrame>(fitted)), {}, "screen");
}

ApiAnswer Api::focus(const ApiRequest& request) {
  Result<JsonValue> parsed = body_object(request);
  if (auto* failure = std::get_if<Failure>(&parsed)) return refusal(*failure);
  Result<std::string> id = string_member(std::get<JsonValue>(parsed), "device", true, kDeviceWhat);
  if (auto* failure = std::get_if<Failure>(&id)) return refusal(*failure);
  Result<std::shared_ptr<Device>> found = device_for(std::get<std::string>(id));
  if (auto* failure = std::get_if<Failure>(&found)) return refusal(*failure);
  Device& device = *std::get<std::shared_ptr<Device>>(found);
  if (!device.info().focusable) {
    return refusal(
        Failure{FailureKind::kConflict,
                "camera " + device.info().id + " has a fixed focus; there is nothing to sweep"});
  }
  Result<FocusSweep> swept = sweep_focus(device);
  if (auto* failure = std::get_if<Failure>(&swept)) return refusal(*failure);
  const FocusSweep& sweep = std::get<FocusSweep>(swept);
  JsonValue samples = JsonValue::array();
  for (const FocusSample& sample : sweep.samples) {
    samples.push_back({{"focus", sample.focus}, {"sharpness", rounded(sample.sharpness)}});
  }
  return json_answer(JsonValue{{"device", device.info().id},
                               {"sweep",
                                {{"focus", sweep.focus},
                                 {"sharpness", rounded(sweep.sharpness)},
                                 {"samples", samples},
                                 {"millis", sweep.took.count()}}}});
}

ApiAnswer Api::list_sources(const ApiRequest&) {
  JsonValue list = JsonValue::array();
  for (const NetworkCameraEntry& source : sources_.list()) list.push_back(source_json(source));
  JsonValue document{{"sources", list}, {"file", sources_.file()}};
  if (!sources_.problems().empty()) document["warnings"] = sources_.problems();
  return json_answer(document);
}

ApiAnswer Api::add_source(const ApiRequest& request) {
  Result<JsonValue> parsed = body_object(request);
  if (auto* failure = std::get_if<Failure>(&parsed)) return refusal(*failure);
  const JsonValue& body = std::get<JsonValue>(parsed);
  Result<std::string> name = string_member(body, "name", false, "a short name, e.g. phone");
  if (auto* failure = std::get_if<Failure>(&name)) return refusal(*failure);
  Result<std::string> url = string_member(body, "url", false,
                                          "the camera's http://, https://, rtsp:// or rtsps:// URL");
  if (auto* failure = std::get_if<Failure>(&url)) return refusal(*failure);
  if (net::url_points_at_own_port(std::get<std::string>(url), settings_.port)) {
    return refusal(Failure{FailureKind::kBadRequest,
                           "the URL leads back to this service itself (127.0.0.1:" +
                               std::to_string(settings_.port) +
                               "); register the camera's own address"});
  }
  NetworkCameraEntry source{std::get<std::string>(name), std::get<std::string>(url)};
  if (auto insecure = body.find("insecure"); insecure != body.end() && !insecure->is_null()) {
    if (!insecure->is_boolean()) {
      return refusal(Failure{FailureKind::kBadRequest,
                             "insecure must be true or false: true accepts the camera's "
                             "certificate without verifying it"});
    }
    source.insecure = insecure->get<bool>();
  }
  Result<SourceChange> added = sources_.add(source);
  if (auto* failure = std::get_if<Failure>(&added)) return refusal(*failure);
  const SourceChange& change = std::get<SourceChange>(added);
  JsonValue document = source_json(change.source);
  document.erase("name");
  document["added"] = change.source.name;
  document["was"] = change.was ? JsonValue(net::url_for_display(*change.was)) : JsonValue(nullptr);
  return json_answer(document);
}

ApiAnswer Api::remove_source(const ApiRequest& request) {
  Result<JsonValue> parsed = body_object(request);
  if (auto* failure = std::get_if<Failure>(&parsed)) return refusal(*failure);
  Result<std::string> name =
      string_member(std::get<JsonValue>(parsed), "name", false, "the name of a registered source");
  if (auto* failure = std::get_if<Failure>(&name)) return refusal(*failure);
  Result<NetworkCameraEntry> removed = sources_.remove(std::get<std::string>(name));
  if (auto* failure = std::get_if<Failure>(&removed)) return refusal(*failure);
  const NetworkCameraEntry& source = std::get<NetworkCameraEntry>(removed);
  return json_answer(JsonValue{{"removed", source.name}, {"url", net::url_for_display(source.url)}});
}

ApiAnswer Api::record(const ApiRequest& request) {
  if (recorder_ == nullptr) {
    return refusal(
        Failure{FailureKind::kUnavailable, "screen recording is not available in this build"});
  }
  Result<JsonValue> parsed = body_object(request);
  if (auto* failure = std::get_if<Failure>(&parsed)) return refusal(*failure);
  Result<Recording> recorded = record_screen(*recorder_, std::get<JsonValue>(parsed));
  if (auto* failure = std::get_if<Failure>(&recorded)) return refusal(*failure);
  Recording& recording = std::get<Recording>(recorded);
  ApiAnswer answer{200, recording.content_type, "", std::move(recording.headers),
                   std::move(recording.file)};
  if (recording.stills.size() == 3) {
    std::lock_guard lock(stills_lock_);
    stills_ = std::move(recording.stills);
    answer.headers.emplace_back("X-Recording-Id", std::to_string(++stills_id_));
  }
  return answer;
}

}  // namespace app
