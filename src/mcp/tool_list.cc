#include "mcp/tool_list.h"

#include <cmath>

namespace mcp {
namespace {

JsonValue text_property(const std::string& description) {
  return {{"type", "string"}, {"description", description}};
}

JsonValue whole_property(const std::string& description) {
  return {{"type", "integer"}, {"description", description}};
}

const char* const kDeviceText =
    "The device: a webcam's number as the devices tool lists it (e.g. \"0\"), \"test\" for the "
    "built-in test chart, \"screen\" for the main display or \"screen:NAME\" for one output, or "
    "\"net:NAME\" for a registered phone or IP camera. Leave it out for the service's default "
    "camera.";

JsonValue region_property() {
  return {{"type", "object"},
          {"description",
           "Zoom: the part of the picture to return, in the device's own pixels (source_width x "
           "source_height of an earlier picture; a point (px, py) of a scaled picture is at "
           "region.x + px / scale, region.y + py / scale). It is cut out before any scaling, so a "
           "detail comes back at full resolution."},
          {"properties",
           {{"x", whole_property("Left edge, from 0")},
            {"y", whole_property("Top edge, from 0")},
            {"width", whole_property("Width, at least 1")},
            {"height", whole_property("Height, at least 1")}}},
          {"required", {"x", "y", "width", "height"}},
          {"additionalProperties", false}};
}

// The arguments every picture takes.
JsonValue picture_properties(bool with_device) {
  JsonValue properties{
      {"max_side",
       whole_property("The longest side the returned picture may have, in pixels (16 to 7680; "
                      "default " + std::to_string(kDefaultMaxSide) +
                      "). The aspect is always kept and a picture is never enlarged.")},
      {"width", whole_property("The most the returned picture may be wide, in pixels.")},
      {"height", whole_property("The most the returned picture may be high, in pixels.")},
      {"region", region_property()},
      {"path", text_property("Also save the JPEG to this file (created or replaced).")},
  };
  if (with_device) properties["device"] = text_property(kDeviceText);
  return properties;
}

JsonValue screen_properties() {
  JsonValue properties = picture_properties(false);
  properties["device"] =
      text_property("\"screen\" (the default) or \"screen:NAME\" for one output");
  return properties;
}

JsonValue object_schema(JsonValue properties, JsonValue required = JsonValue::array()) {
  return {{"type", "object"},
          {"properties", std::move(properties)},
          {"required", std::move(required)},
          {"additionalProperties", false}};
}

JsonValue size_members() {
  return {{"x", {{"type", "integer"}}},
          {"y", {{"type", "integer"}}},
          {"width", {{"type", "integer"}}},
          {"height", {{"type", "integer"}}}};
}

// What every picture result states.
JsonValue picture_output_properties() {
  return {
      {"device", {{"type", "string"}, {"description", "The device the picture came from"}}},
      {"width", {{"type", "integer"}, {"description", "Width of the picture sent"}}},
      {"height", {{"type", "integer"}, {"description", "Height of the picture sent"}}},
      {"source_width", {{"type", "integer"}, {"description", "The device's own width"}}},
      {"source_height", {{"type", "integer"}, {"description", "The device's own height"}}},
      {"scale",
       {{"type", "number"},
        {"description", "Picture pixels per device pixel (width / the width of the part shown)"}}},
      {"region", {{"type", "object"}, {"properties", size_members()}}},
      {"bytes", {{"type", "integer"}, {"description", "Size of the JPEG"}}},
      {"saved", {{"type", "string"}, {"description", "Where the JPEG was saved, when asked"}}},
      {"warnings", {{"type", "array"}, {"items", {{"type", "string"}}}}},
  };
}

JsonValue picture_output(JsonValue extra = JsonValue::object()) {
  JsonValue properties = picture_output_properties();
  for (auto& [key, value] : extra.items()) properties[key] = value;
  return {{"type", "object"},
          {"properties", properties},
          {"required", {"device", "width", "height", "source_width", "source_height", "scale",
                        "bytes", "warnings"}}};
}

JsonValue annotations(bool read_only, bool destructive, bool idempotent) {
  JsonValue result{{"readOnlyHint", read_only}, {"openWorldHint", false}};
  if (!read_only) {
    result["destructiveHint"] = destructive;
    result["idempotentHint"] = idempotent;
  }
  return result;
}

JsonValue tool(const char* name, const char* title, std::string description, JsonValue input,
               JsonValue output, JsonValue hints) {
  hints["title"] = title;
  return {{"name", name},
          {"title", title},
          {"description", std::move(description)},
          {"inputSchema", std::move(input)},
          {"outputSchema", std::move(output)},
          {"annotations", std::move(hints)}};
}

JsonValue focus_output_properties() {
  return {{"device", {{"type", "string"}}},
          {"focus", {{"type", "integer"}, {"description", "The locked lens position"}}},
          {"sharpness", {{"type", "number"}}},
          {"samples",
           {{"type", "array"},
            {"items",
             {{"type", "object"},
              {"properties", {{"focus", {{"type", "integer"}}}, {"sharpness", {{"type", "number"}}}}}}}}},
          {"millis", {{"type", "integer"}}}};
}

JsonValue build_tools() {
  const JsonValue any_object{{"type", "object"}};
  JsonValue list = JsonValue::array();
  list.push_back(tool(
      "snap", "Take a photo",
      "Take a fresh photo with a camera (webcam, phone or IP camera, or the test chart) and see "
      "it. Returns the picture as a JPEG image, by default at most " +
          std::to_string(kDefaultMaxSide) +
          " px on its long side, with its size, the camera's own size and the scale between them. "
          "Use region to look closer at a part at full resolution. Does not focus first: use look "
          "for a sharp picture of something close.",
      object_schema(picture_properties(true)), picture_output(), annotations(true, false, true)));
  list.push_back(tool(
      "look", "Focus and take a photo",
      "Focus a camera on what is in front of it (a sweep of the lens that locks the sharpest "
      "position), then take a photo and see it. Returns the picture like snap, plus the locked "
      "focus. On a device without a focus control (the screen, most network cameras) it returns "
      "the picture and says the focus is fixed.",
      object_schema(picture_properties(true)),
      picture_output({{"focus",
                       {{"type", "object"},
                        {"properties",
                         {{"fixed", {{"type", "boolean"}}},
                          {"position", {{"type", "integer"}}},
                          {"sharpness", {{"type", "number"}}},
                          {"note", {{"type", "string"}}}}},
                        {"required", {"fixed"}}}}}),
      annotations(false, false, true)));
  list.push_back(tool(
      "focus", "Focus a camera",
      "Sweep a camera's lens over its range, measure the sharpness at each position and lock the "
      "sharpest. Returns the locked position and every sample. Fails on a device without a focus "
      "control.",
      object_schema({{"device", text_property(kDeviceText)}}),
      {{"type", "object"},
       {"properties", focus_output_properties()},
       {"required", {"device", "focus", "sharpness", "samples"}}},
      annotations(false, false, true)));
  list.push_back(tool(
      "screenshot", "Capture the screen",
      "Capture the screen and see it. Returns the picture as a JPEG image, by default at most " +
          std::to_string(kDefaultMaxSide) +
          " px on its long side, with the screen's own size and the scale between them: a point "
          "(px, py) of the picture is at (px / scale, py / scale) on the screen. Use region to "
          "read small text at full resolution.",
      object_schema(screen_properties()),
      picture_output(), annotations(true, false, true)));
  list.push_back(tool(
      "record", "Record the screen",
      "Record the screen to a video file (WebM/VP9 or MP4/H.264, 30 frames a second) for secs "
      "seconds. Returns a link to the file and three stills from the recording (first, middle, "
      "last) as images. Sends progress once a second when the call carries a progress token.",
      object_schema({{"secs", whole_property("Length in seconds, 1 to 120 (default 5)")},
                     {"format", {{"type", "string"},
                                 {"enum", {"webm", "mp4"}},
                                 {"description", "webm (default) or mp4"}}},
                     {"path", text_property("Where to save the video (default: a new file in the "
                                            "temporary folder)")},
                     {"max_side", whole_property("The longest side of each still (default 1024)")}}),
      {{"type", "object"},
       {"properties",
        {{"path", {{"type", "string"}}},
         {"uri", {{"type", "string"}}},
         {"format", {{"type", "string"}}},
         {"bytes", {{"type", "integer"}}},
         {"secs", {{"type", "integer"}}},
         {"frames_recorded", {{"type", "integer"}}},
         {"frames_dropped", {{"type", "integer"}}},
         {"frame_rate", {{"type", "integer"}}},
         {"stills",
          {{"type", "array"},
           {"items",
            {{"type", "object"},
             {"properties",
              {{"at", {{"type", "string"}}},
               {"width", {{"type", "integer"}}},
               {"height", {{"type", "integer"}}},
               {"source_width", {{"type", "integer"}}},
               {"source_height", {{"type", "integer"}}},
               {"scale", {{"type", "number"}}}}}}}}},
         {"warnings", {{"type", "array"}, {"items", {{"type", "string"}}}}}}},
       {"required", {"path", "uri", "format", "bytes", "stills", "warnings"}}},
      annotations(false, false, false)));
  list.push_back(tool(
      "devices", "List capture devices",
      "List the devices the service can capture from: webcams, the test chart, the screen and "
      "registered network cameras, with their ids (for the device argument of the other tools), "
      "names, sizes and whether they can focus.",
      object_schema(JsonValue::object()),
      {{"type", "object"},
       {"properties",
        {{"devices",
          {{"type", "array"},
           {"items",
            {{"type", "object"},
             {"properties",
              {{"id", {{"type", "string"}}},
               {"name", {{"type", "string"}}},
               {"focusable", {{"type", "boolean"}}},
               {"width", {{"type", "integer"}}},
               {"height", {{"type", "integer"}}}}}}}}},
         {"default", {{"type", {"string", "null"}}}}}},
       {"required", {"devices"}}},
      annotations(true, false, true)));
  list.push_back(tool(
      "controls", "List a camera's controls",
      "List a camera's controls (focus, zoom, exposure, brightness, ...) with their ranges, steps, "
      "defaults and current values.",
      object_schema({{"device", text_property(kDeviceText)}}),
      {{"type", "object"},
       {"properties",
        {{"device", {{"type", "string"}}},
         {"controls",
          {{"type", "array"},
           {"items",
            {{"type", "object"},
             {"properties",
              {{"name", {{"type", "string"}}},
               {"min", {{"type", "integer"}}},
               {"max", {{"type", "integer"}}},
               {"step", {{"type", "integer"}}},
               {"default", {{"type", "integer"}}},
               {"value", {{"type", "integer"}}}}}}}}}}},
       {"required", {"device", "controls"}}},
      annotations(true, false, true)));
  list.push_back(tool(
      "set_control", "Set a camera control",
      "Set one of a camera's controls to a value within its range (see controls). Returns the new "
      "value and the one before.",
      object_schema({{"device", text_property(kDeviceText)},
                     {"name", text_property("The control, e.g. focus, zoom, exposure")},
                     {"value", whole_property("The new value, within the control's range")}},
                    {"name", "value"}),
      {{"type", "object"},
       {"properties",
        {{"device", {{"type", "string"}}},
         {"control", {{"type", "string"}}},
         {"value", {{"type", "integer"}}},
         {"was", {{"type", "integer"}}}}},
       {"required", {"control", "value", "was"}}},
      annotations(false, false, true)));
  list.push_back(tool(
      "sources", "List network cameras",
      "List the registered phone and IP cameras (each is the device net:NAME).",
      object_schema(JsonValue::object()),
      {{"type", "object"},
       {"properties",
        {{"sources",
          {{"type", "array"},
           {"items",
            {{"type", "object"},
             {"properties", {{"name", {{"type", "string"}}}, {"url", {{"type", "string"}}}}}}}}},
         {"file", {{"type", "string"}}},
         {"warnings", {{"type", "array"}, {"items", {{"type", "string"}}}}}}},
       {"required", {"sources"}}},
      annotations(true, false, true)));
  list.push_back(tool(
      "add_source", "Register a network camera",
      "Register a phone or IP camera that serves JPEG snapshots over HTTP, as the device net:NAME. "
      "A source of the same name is replaced.",
      object_schema({{"name", text_property("A short name, e.g. phone")},
                     {"url", text_property("The camera's http:// or https:// snapshot URL")}},
                    {"name", "url"}),
      {{"type", "object"},
       {"properties",
        {{"added", {{"type", "string"}}},
         {"url", {{"type", "string"}}},
         {"was", {{"type", {"string", "null"}}}}}},
       {"required", {"added", "url"}}},
      annotations(false, true, true)));
  list.push_back(tool(
      "forget_source", "Forget a network camera",
      "Remove a registered phone or IP camera, so the device net:NAME is gone (sources lists "
      "the registered ones).",
      object_schema({{"name", text_property("The name of a registered source")}}, {"name"}),
      {{"type", "object"},
       {"properties", {{"removed", {{"type", "string"}}}, {"url", {{"type", "string"}}}}},
       {"required", {"removed"}}},
      annotations(false, true, true)));
  list.push_back(tool(
      "status", "Service status",
      "Report the capture service's version, port and default settings (device and size), and "
      "any problems it has noticed.",
      object_schema(JsonValue::object()),
      {{"type", "object"},
       {"properties",
        {{"version", {{"type", "string"}}},
         {"port", {{"type", "integer"}}},
         {"settings", any_object},
         {"warnings", {{"type", "array"}}}}},
       {"required", {"version"}}},
      annotations(true, false, true)));
  return list;
}

bool has_type(const JsonValue& value, const std::string& type) {
  if (type == "string") return value.is_string();
  if (type == "boolean") return value.is_boolean();
  if (type == "object") return value.is_object();
  if (type == "number") return value.is_number();
  if (type == "integer") {
    if (value.is_number_integer()) return true;
    // JSON Schema counts 3.0 as an integer.
    return value.is_number_float() && std::isfinite(value.get<double>()) &&
           std::floor(value.get<double>()) == value.get<double>() &&
           std::fabs(value.get<double>()) < 9.0e15;
  }
  return false;
}

std::optional<std::string> check_object(const JsonValue& value, const JsonValue& schema,
                                        const std::string& where) {
  const JsonValue& properties = member(schema, "properties");
  for (const auto& [key, argument] : value.items()) {
    const JsonValue& declared = member(properties, key);
    if (declared.is_null()) {
      if (!where.empty()) {
        return "argument " + where.substr(0, where.size() - 1) + " has no member \"" + key + "\"";
      }
      return "the tool has no argument \"" + key + "\"" +
             (properties.empty() ? " (it takes none)" : "");
    }
    const std::string type = text_or(member(declared, "type"), "");
    if (!has_type(argument, type)) {
      return "argument " + where + key + " must be " + (type == "integer" ? "a whole number" : "a " + type);
    }
    if (type == "object") {
      if (auto problem = check_object(argument, declared, where + key + ".")) return problem;
    }
  }
  for (const JsonValue& required : list_of(member(schema, "required"))) {
    if (!value.contains(required.get<std::string>())) {
      return "argument " + where + required.get<std::string>() + " is missing";
    }
  }
  return std::nullopt;
}

}  // namespace

const JsonValue& tool_definitions() {
  static const JsonValue tools = build_tools();
  return tools;
}

const JsonValue* find_tool(const std::string& name) {
  for (const JsonValue& tool : tool_definitions()) {
    if (text_or(tool["name"], "") == name) return &tool;
  }
  return nullptr;
}

std::optional<std::string> check_arguments(const JsonValue& arguments, const JsonValue& schema) {
  if (!arguments.is_object()) return "arguments must be an object";
  return check_object(arguments, schema, "");
}

}  // namespace mcp
