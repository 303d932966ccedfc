// Pictures for a model: asked of the service at a size every agent host takes (the long side at
// most 1568 px unless the call says otherwise, the JPEG at most about 750 KB, asked again smaller
// when it comes out larger), with what the model needs to relate it to the device: the size sent,
// the device's own size, the scale, the region shown and the service's warnings.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "mcp/json.h"
#include "mcp/tool_result.h"

namespace mcp {

struct PictureRegion {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
};

struct PictureAsk {
  // The endpoint and its own query, e.g. "/frame.jpg?device=test"; the size goes after it.
  std::string target;
  std::optional<std::int64_t> max_side;
  std::optional<std::int64_t> width;
  std::optional<std::int64_t> height;
  std::optional<PictureRegion> region;
  std::size_t max_bytes = 0;
  int default_side = 0;  // the long side when the call names no size
};

struct Picture {
  std::string jpeg;
  std::string device;
  int width = 0;
  int height = 0;
  int source_width = 0;
  int source_height = 0;
  double scale = 1;
  std::optional<PictureRegion> region;
  std::vector<std::string> warnings;
};

// The size arguments of a picture tool (max_side, width, height, region), already type-checked.
PictureAsk picture_ask(std::string target, const JsonValue& arguments, int default_side,
                       std::size_t max_bytes);

Outcome<Picture> fetch_picture(const std::string& port, const PictureAsk& ask);

// The picture's facts for structuredContent: device, width, height, source_width,
// source_height, scale, region, bytes, warnings.
JsonValue picture_facts(const Picture& picture);
// {"type": "image", "data": <base64>, "mimeType": "image/jpeg"}
JsonValue image_block(const Picture& picture);
// One line for the model: what it sees and how it relates to the device.
std::string picture_summary(const std::string& what, const Picture& picture);

// The warnings an answer carries in its headers (each header named "...-Warning").
std::vector<std::string> header_warnings(const ServiceAnswer& answer);

}  // namespace mcp
