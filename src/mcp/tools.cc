#include "mcp/tools.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "mcp/files.h"
#include "mcp/pictures.h"
#include "mcp/tool_list.h"
#include "mcp/tool_result.h"

namespace mcp {
namespace {

// Three stills share one result with the link to the video, within what a host takes at once.
constexpr int kStillSide = 1024;
constexpr std::size_t kStillBytes = kMaxPictureBytes / 3;

std::optional<std::string> text_argument(const JsonValue& arguments, const char* name) {
  const JsonValue& value = member(arguments, name);
  if (!value.is_string()) return std::nullopt;
  return value.get<std::string>();
}

std::string device_fragment(const JsonValue& arguments) {
  const auto device = text_argument(arguments, "device");
  return device ? "device=" + query_text(*device) : "_=";
}

// The device as sent in a POST body: null when not given, which the service takes as its default.
JsonValue device_member(const JsonValue& arguments) {
  const auto device = text_argument(arguments, "device");
  return device ? JsonValue(*device) : JsonValue(nullptr);
}

// A result whose structured content is the service's answer as it came, with a text for the model.
JsonValue document_result(const Outcome<JsonValue>& answer, const std::string& summary) {
  if (auto* failed = std::get_if<ToolFailure>(&answer)) return failure(failed->message);
  const JsonValue& document = std::get<JsonValue>(answer);
  return success(JsonValue::array({text_block(summary + "\n" + json_text(document))}), document);
}

// The picture result shared by snap, screenshot and look: text, image, facts; saved when asked.
JsonValue picture_result(const std::string& what, Outcome<Picture> fetched,
                         const JsonValue& arguments, JsonValue extra = JsonValue::object()) {
  if (auto* failed = std::get_if<ToolFailure>(&fetched)) return failure(failed->message);
  const Picture& picture = std::get<Picture>(fetched);
  JsonValue facts = picture_facts(picture);
  if (auto path = text_argument(arguments, "path")) {
    if (auto problem = save_file(*path, picture.jpeg)) {
      return failure("took the picture but could not save it: " + *problem);
    }
    facts["saved"] = absolute_path(*path);
  }
  std::string text = picture_summary(what, picture);
  if (facts.contains("saved")) text += " Saved to " + facts["saved"].get<std::string>() + ".";
  for (auto& [key, value] : extra.items()) facts[key] = value;
  if (extra.contains("focus")) {
    const JsonValue& focus = extra["focus"];
    text += is_true(member(focus, "fixed"))
                ? " Focus: fixed (" + text_or(member(focus, "note"), "no focus control") + ")."
                : " Focus locked at " + json_text(member(focus, "position")) + " (sharpness " +
                      json_text(member(focus, "sharpness")) + ").";
  }
  return success(JsonValue::array({text_block(text), image_block(picture)}), facts);
}

JsonValue snap(const JsonValue& arguments, const CallContext& context) {
  PictureAsk ask = picture_ask("/frame.jpg?" + device_fragment(arguments), arguments,
                               kDefaultMaxSide, kMaxPictureBytes);
  return picture_result("Photo", fetch_picture(context.port, ask), arguments);
}

JsonValue screenshot(const JsonValue& arguments, const CallContext& context) {
  const std::string device = text_argument(arguments, "device").value_or("screen");
  PictureAsk ask = picture_ask("/frame.jpg?device=" + query_text(device), arguments,
                               kDefaultMaxSide, kMaxPictureBytes);
  return picture_result("Screenshot", fetch_picture(context.port, ask), arguments);
}

// The focus part of look: swept and locked, or fixed on a device that has no focus control.
Outcome<JsonValue> focus_for_look(const JsonValue& arguments, const CallContext& context) {
  Outcome<JsonValue> listed = accepted_json(service_get(context.port, "/devices"), context.port);
  if (auto* failed = std::get_if<ToolFailure>(&listed)) return *failed;
  const JsonValue& devices = std::get<JsonValue>(listed);
  const std::string wanted =
      text_argument(arguments, "device").value_or(text_or(member(devices, "default"), ""));
  for (const JsonValue& entry : list_of(member(devices, "devices"))) {
    if (text_or(member(entry, "id"), "") != wanted) continue;
    if (!is_true(member(entry, "focusable"))) {
      return JsonValue{{"fixed", true},
                       {"note", wanted + " has no focus control; its focus is fixed"}};
    }
    Outcome<JsonValue> swept = accepted_json(
        service_post(context.port, "/focus", {{"device", device_member(arguments)}}), context.port);
    if (auto* failed = std::get_if<ToolFailure>(&swept)) return *failed;
    const JsonValue& sweep = member(std::get<JsonValue>(swept), "sweep");
    return JsonValue{{"fixed", false},
                     {"position", member(sweep, "focus")},
                     {"sharpness", member(sweep, "sharpness")}};
  }
  // Not listed: the picture request gives the service's own word on the device.
  return JsonValue{{"fixed", true}, {"note", "the device is not among those listed; not focused"}};
}

JsonValue look(const JsonValue& arguments, const CallContext& context) {
  Outcome<JsonValue> focus = focus_for_look(arguments, context);
  if (auto* failed = std::get_if<ToolFailure>(&focus)) return failure(failed->message);
  PictureAsk ask = picture_ask("/frame.jpg?" + device_fragment(arguments), arguments,
                               kDefaultMaxSide, kMaxPictureBytes);
  return picture_result("Photo", fetch_picture(context.port, ask), arguments,
                        {{"focus", std::get<JsonValue>(focus)}});
}

JsonValue focus(const JsonValue& arguments, const CallContext& context) {
  Outcome<JsonValue> swept = accepted_json(
      service_post(context.port, "/focus", {{"device", device_member(arguments)}}), context.port);
  if (auto* failed = std::get_if<ToolFailure>(&swept)) return failure(failed->message);
  const JsonValue& answer = std::get<JsonValue>(swept);
  JsonValue result = member(answer, "sweep");
  if (!result.is_object()) return failure("the service's focus answer holds no sweep");
  result["device"] = member(answer, "device");
  return success(JsonValue::array({text_block(
                     "Focus of " + text_or(result["device"], "?") + " locked at " +
                     json_text(member(result, "focus")) + " (sharpness " +
                     json_text(member(result, "sharpness")) + ", " +
                     std::to_string(list_of(member(result, "samples")).size()) +
                     " positions measured).\n" + json_text(result))}),
                 result);
}

// Sends progress once a second while it lives.
class ProgressTicker {
 public:
  ProgressTicker(const CallContext& context, int total) {
    if (!context.progress) return;
    thread_ = std::thread([this, report = context.progress, total] {
      std::unique_lock lock(mutex_);
      for (int second = 1; !stopped_; ++second) {
        if (stop_.wait_for(lock, std::chrono::seconds(1), [this] { return stopped_; })) break;
        const int done = std::min(second, total);
        report(done, total, "recording the screen: " + std::to_string(done) + " of " +
                                std::to_string(total) + " s");
      }
    });
  }
  ~ProgressTicker() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    stop_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopped_ = false;
  std::thread thread_;
};

std::int64_t header_number(const ServiceAnswer& answer, std::string_view name) {
  const auto text = header_of(answer, name);
  try {
    return text ? std::stoll(*text) : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

JsonValue record(const JsonValue& arguments, const CallContext& context) {
  const JsonValue& secs = member(arguments, "secs");
  // Only for the progress reports; the service judges the value itself.
  const int total = secs.is_number() ? static_cast<int>(std::clamp(secs.get<double>(), 1.0, 120.0)) : 5;
  ServiceResult recorded;
  {
    ProgressTicker ticker(context, total);
    recorded = service_post(context.port, "/screen/record",
                            {{"format", member(arguments, "format")}, {"secs", secs}});
  }
  Outcome<ServiceAnswer> answer = accepted(std::move(recorded), context.port);
  if (auto* failed = std::get_if<ToolFailure>(&answer)) return failure(failed->message);
  const ServiceAnswer& video = std::get<ServiceAnswer>(answer);
  const std::string type = header_of(video, "Content-Type").value_or("video/webm");
  const std::string format = type.find("mp4") != std::string::npos ? "mp4" : "webm";
  const std::string path = absolute_path(text_argument(arguments, "path").value_or(new_recording_path(format)));
  if (auto problem = save_file(path, video.body)) {
    return failure("recorded the screen but could not save the video: " + *problem);
  }
  const std::string uri = file_uri(path);
  const std::int64_t recorded_frames = header_number(video, "X-Frames-Recorded");
  const std::int64_t dropped = header_number(video, "X-Frames-Dropped");
  JsonValue facts{{"path", path},
                  {"uri", uri},
                  {"format", format},
                  {"bytes", video.body.size()},
                  {"secs", total},
                  {"frames_recorded", recorded_frames},
                  {"frames_dropped", dropped},
                  {"frame_rate", header_number(video, "X-Frame-Rate")},
                  {"stills", JsonValue::array()},
                  {"warnings", header_warnings(video)}};
  if (dropped > 0) {
    facts["warnings"].push_back(std::to_string(dropped) + " of " +
                                std::to_string(dropped + recorded_frames) +
                                " frames were dropped (the picture before each stayed up)");
  }
  JsonValue content = JsonValue::array();
  std::string text = "Recorded " + std::to_string(total) + " s of the screen to " + path + " (" +
                     format + ", " + std::to_string(video.body.size()) + " bytes, " +
                     std::to_string(recorded_frames) + " frames).";
  for (const JsonValue& warning : facts["warnings"]) text += " Warning: " + warning.get<std::string>() + ".";
  const auto id = header_of(video, "X-Recording-Id");
  JsonValue images = JsonValue::array();
  if (!id) {
    text += " The service keeps no stills of its recordings, so none are shown.";
  } else {
    text += " Stills follow: first, middle and last.";
    JsonValue size_arguments{{"max_side", member(arguments, "max_side").is_null()
                                              ? JsonValue(kStillSide)
                                              : member(arguments, "max_side")}};
    for (const char* at : {"first", "middle", "last"}) {
      PictureAsk ask = picture_ask("/screen/record/still.jpg?recording=" + query_text(*id) + "&at=" + at,
                                   size_arguments, kStillSide, kStillBytes);
      Outcome<Picture> still = fetch_picture(context.port, ask);
      if (auto* failed = std::get_if<ToolFailure>(&still)) {
        text += " The " + std::string(at) + " still is missing: " + failed->message + ".";
        continue;
      }
      const Picture& picture = std::get<Picture>(still);
      facts["stills"].push_back({{"at", at},
                                 {"width", picture.width},
                                 {"height", picture.height},
                                 {"source_width", picture.source_width},
                                 {"source_height", picture.source_height},
                                 {"scale", picture.scale}});
      images.push_back(image_block(picture));
    }
  }
  content.push_back(text_block(text + "\n" + json_text(facts)));
  content.push_back({{"type", "resource_link"},
                     {"uri", uri},
                     {"name", "screen." + format},
                     {"title", "Screen recording"},
                     {"mimeType", type},
                     {"size", video.body.size()}});
  for (JsonValue& image : images) content.push_back(std::move(image));
  return success(std::move(content), std::move(facts));
}

JsonValue devices(const JsonValue&, const CallContext& context) {
  Outcome<JsonValue> answer = accepted_json(service_get(context.port, "/devices"), context.port);
  std::string summary = "Devices:";
  if (auto* document = std::get_if<JsonValue>(&answer)) {
    for (const JsonValue& device : list_of(member(*document, "devices"))) {
      summary += "\n- " + text_or(member(device, "id"), "?") + ": " + text_or(member(device, "name"), "?") +
                 (is_true(member(device, "focusable")) ? " (can focus)" : "");
    }
  }
  return document_result(answer, summary);
}

JsonValue controls(const JsonValue& arguments, const CallContext& context) {
  Outcome<JsonValue> answer = accepted_json(
      service_get(context.port, "/controls?" + device_fragment(arguments)), context.port);
  std::string summary = "Controls:";
  if (auto* document = std::get_if<JsonValue>(&answer)) {
    summary = "Controls of " + text_or(member(*document, "device"), "?") + ":";
    for (const JsonValue& control : list_of(member(*document, "controls"))) {
      summary += "\n- " + text_or(member(control, "name"), "?") + " = " +
                 json_text(member(control, "value")) + " (" + json_text(member(control, "min")) +
                 " to " + json_text(member(control, "max")) + ")";
    }
  }
  return document_result(answer, summary);
}

JsonValue set_control(const JsonValue& arguments, const CallContext& context) {
  Outcome<JsonValue> answer = accepted_json(
      service_post(context.port, "/controls",
                   {{"device", device_member(arguments)},
                    {"name", member(arguments, "name")},
                    {"value", member(arguments, "value")}}),
      context.port);
  std::string summary;
  if (auto* document = std::get_if<JsonValue>(&answer)) {
    summary = text_or(member(*document, "control"), "?") + " set to " +
              json_text(member(*document, "value")) + " (was " + json_text(member(*document, "was")) + ").";
  }
  return document_result(answer, summary);
}

JsonValue sources(const JsonValue&, const CallContext& context) {
  return document_result(accepted_json(service_get(context.port, "/sources"), context.port),
                         "Registered network cameras (each is the device net:NAME):");
}

JsonValue add_source(const JsonValue& arguments, const CallContext& context) {
  Outcome<JsonValue> answer = accepted_json(
      service_post(context.port, "/sources",
                   {{"name", member(arguments, "name")}, {"url", member(arguments, "url")}}),
      context.port);
  std::string summary;
  if (auto* document = std::get_if<JsonValue>(&answer)) {
    summary = "Registered as the device net:" + text_or(member(*document, "added"), "?") + ".";
  }
  return document_result(answer, summary);
}

JsonValue forget_source(const JsonValue& arguments, const CallContext& context) {
  Outcome<JsonValue> answer = accepted_json(
      service_post(context.port, "/sources/remove", {{"name", member(arguments, "name")}}),
      context.port);
  std::string summary;
  if (auto* document = std::get_if<JsonValue>(&answer)) {
    summary = "Forgot " + text_or(member(*document, "removed"), "?") + ".";
  }
  return document_result(answer, summary);
}

JsonValue status(const JsonValue&, const CallContext& context) {
  Outcome<JsonValue> answer = accepted_json(service_get(context.port, "/health"), context.port);
  std::string summary;
  if (auto* document = std::get_if<JsonValue>(&answer)) {
    summary = "The Tirvane service " + text_or(member(*document, "version"), "?") +
              " is running on port " + json_text(member(*document, "port")) + ".";
  }
  return document_result(answer, summary);
}

}  // namespace

JsonValue call_tool(const std::string& name, const JsonValue& arguments, const CallContext& context) {
  using Tool = JsonValue (*)(const JsonValue&, const CallContext&);
  static const std::map<std::string, Tool, std::less<>> tools{
      {"snap", snap},       {"look", look},           {"focus", focus},
      {"screenshot", screenshot}, {"record", record}, {"devices", devices},
      {"controls", controls}, {"set_control", set_control}, {"sources", sources},
      {"add_source", add_source}, {"forget_source", forget_source}, {"status", status},
  };
  auto found = tools.find(name);
  if (found == tools.end()) return failure("no tool named " + name);
  return found->second(arguments, context);
}

}  // namespace mcp
