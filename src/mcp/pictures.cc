#include "mcp/pictures.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "platform/base64.h"

namespace mcp {
namespace {

// A try that comes out too large is asked again this much smaller than the bytes alone suggest,
// since JPEG bytes do not fall exactly with the area.
constexpr double kShrinkMargin = 0.9;
constexpr int kMinSide = 16;
constexpr int kMaxTries = 5;
constexpr int kLargestSide = 7680;

// "WxH"
std::optional<std::pair<int, int>> size_from(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const std::size_t x = text->find('x');
  if (x == std::string::npos) return std::nullopt;
  int width = 0, height = 0;
  const char* begin = text->data();
  const char* end = begin + text->size();
  auto first = std::from_chars(begin, begin + x, width);
  auto second = std::from_chars(begin + x + 1, end, height);
  if (first.ec != std::errc() || second.ec != std::errc() || first.ptr != begin + x ||
      second.ptr != end || width <= 0 || height <= 0) {
    return std::nullopt;
  }
  return std::make_pair(width, height);
}

std::optional<std::int64_t> whole(const JsonValue& arguments, const char* name) {
  const JsonValue& value = member(arguments, name);
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) return static_cast<std::int64_t>(value.get<double>());
  return std::nullopt;
}

bool ends_with_warning(const std::string& name) {
  constexpr std::string_view kSuffix = "-warning";
  if (name.size() < kSuffix.size()) return false;
  for (std::size_t i = 0; i < kSuffix.size(); ++i) {
    const char c = static_cast<char>(
        std::tolower(static_cast<unsigned char>(name[name.size() - kSuffix.size() + i])));
    if (c != kSuffix[i]) return false;
  }
  return true;
}

std::string kilobytes(std::size_t bytes) {
  return std::to_string((bytes + 512) / 1024) + " KB";
}

std::string number_text(double value) {
  char buffer[32];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return error == std::errc() ? std::string(buffer, end) : "?";
}

}  // namespace

std::vector<std::string> header_warnings(const ServiceAnswer& answer) {
  std::vector<std::string> warnings;
  for (const auto& [name, value] : answer.headers) {
    if (ends_with_warning(name)) warnings.push_back(value);
  }
  return warnings;
}

PictureAsk picture_ask(std::string target, const JsonValue& arguments, int default_side,
                       std::size_t max_bytes) {
  PictureAsk ask;
  ask.target = std::move(target);
  ask.max_side = whole(arguments, "max_side");
  ask.width = whole(arguments, "width");
  ask.height = whole(arguments, "height");
  const JsonValue& region = member(arguments, "region");
  if (region.is_object()) {
    ask.region = PictureRegion{*whole(region, "x"), *whole(region, "y"), *whole(region, "width"),
                               *whole(region, "height")};
  }
  ask.default_side = default_side;
  ask.max_bytes = max_bytes;
  return ask;
}

Outcome<Picture> fetch_picture(const std::string& port, const PictureAsk& ask) {
  // A call that names no size gets the default long side; one that does gets what it names. The
  // service fits with the aspect kept whenever max_side is in the request.
  std::int64_t side = ask.max_side.value_or(ask.width || ask.height ? kLargestSide : ask.default_side);
  for (int attempt = 0; attempt < kMaxTries; ++attempt) {
    std::string target = ask.target + "&max_side=" + std::to_string(side);
    if (ask.width) target += "&width=" + std::to_string(*ask.width);
    if (ask.height) target += "&height=" + std::to_string(*ask.height);
    if (ask.region) {
      target += "&region=" + std::to_string(ask.region->x) + "," + std::to_string(ask.region->y) +
                "," + std::to_string(ask.region->width) + "," + std::to_string(ask.region->height);
    }
    Outcome<ServiceAnswer> answer = accepted(service_get(port, target), port);
    if (auto* failed = std::get_if<ToolFailure>(&answer)) return *failed;
    ServiceAnswer& got = std::get<ServiceAnswer>(answer);
    const auto sent = size_from(header_of(got, "X-Frame-Size"));
    const auto own = size_from(header_of(got, "X-Source-Size"));
    if (!sent || !own) {
      return ToolFailure{"the service sent a picture without its sizes; it may be older than this "
                         "server (X-Frame-Size and X-Source-Size are missing)"};
    }
    const int long_side = std::max(sent->first, sent->second);
    if (got.body.size() > ask.max_bytes) {
      if (long_side <= kMinSide) {
        return ToolFailure{"the picture is " + kilobytes(got.body.size()) +
                           " even at its smallest size, more than the " +
                           kilobytes(ask.max_bytes) + " allowed"};
      }
      const double shrink =
          std::sqrt(static_cast<double>(ask.max_bytes) / static_cast<double>(got.body.size()));
      side = std::clamp<std::int64_t>(static_cast<std::int64_t>(long_side * shrink * kShrinkMargin),
                                      kMinSide, long_side - 1);
      continue;
    }
    Picture picture;
    picture.jpeg = std::move(got.body);
    picture.device = header_of(got, "X-Tirvane-Device").value_or("");
    picture.width = sent->first;
    picture.height = sent->second;
    picture.source_width = own->first;
    picture.source_height = own->second;
    picture.region = ask.region;
    const double shown_width =
        ask.region ? static_cast<double>(ask.region->width) : static_cast<double>(own->first);
    picture.scale = std::round(picture.width / shown_width * 10000.0) / 10000.0;
    picture.warnings = header_warnings(got);
    return picture;
  }
  return ToolFailure{"the picture stayed larger than " + kilobytes(ask.max_bytes) + " after " +
                     std::to_string(kMaxTries) + " tries at smaller sizes; ask for a smaller max_side"};
}

JsonValue picture_facts(const Picture& picture) {
  JsonValue facts{{"device", picture.device},
                  {"width", picture.width},
                  {"height", picture.height},
                  {"source_width", picture.source_width},
                  {"source_height", picture.source_height},
                  {"scale", picture.scale},
                  {"bytes", picture.jpeg.size()},
                  {"warnings", picture.warnings}};
  if (picture.region) {
    facts["region"] = {{"x", picture.region->x},
                       {"y", picture.region->y},
                       {"width", picture.region->width},
                       {"height", picture.region->height}};
  }
  return facts;
}

JsonValue image_block(const Picture& picture) {
  return {{"type", "image"},
          {"data", platform::base64_encode(picture.jpeg)},
          {"mimeType", "image/jpeg"}};
}

std::string picture_summary(const std::string& what, const Picture& picture) {
  std::string text = what + " from " + picture.device + ": " + std::to_string(picture.width) +
                     "x" + std::to_string(picture.height) + " JPEG (" +
                     kilobytes(picture.jpeg.size()) + ")";
  if (picture.region) {
    text += " of the region " + std::to_string(picture.region->x) + "," +
            std::to_string(picture.region->y) + " " + std::to_string(picture.region->width) + "x" +
            std::to_string(picture.region->height) + " of the device's " +
            std::to_string(picture.source_width) + "x" + std::to_string(picture.source_height);
  } else {
    text += "; the device's own size is " + std::to_string(picture.source_width) + "x" +
            std::to_string(picture.source_height);
  }
  text += ", scale " + number_text(picture.scale) + " (device pixel = region origin + picture pixel / scale).";
  for (const std::string& warning : picture.warnings) text += " Warning: " + warning + ".";
  return text;
}

}  // namespace mcp
