#include "app/kwin/kwin_screenshot.h"

#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "app/bus_dictionary.h"

namespace app::kwin {
namespace {

constexpr const char* kService = "org.kde.KWin";
constexpr const char* kPath = "/org/kde/KWin/ScreenShot2";
constexpr const char* kInterface = "org.kde.KWin.ScreenShot2";
constexpr std::uint64_t kCallTimeoutUsec = 5'000'000;
constexpr int kPipeTimeoutMs = 5000;
// QImage formats KWin hands out: 32 bits a pixel, B,G,R,X in memory, or R,G,B,X.
constexpr std::uint32_t kRgb32 = 4, kArgb32 = 5, kArgb32Premultiplied = 6;
constexpr std::uint32_t kRgbx8888 = 16, kRgba8888 = 17, kRgba8888Premultiplied = 18;

struct Bus {
  sd_bus* bus = nullptr;
  ~Bus() { sd_bus_flush_close_unref(bus); }
};
struct Error {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~Error() { sd_bus_error_free(&error); }
};
struct Message {
  sd_bus_message* message = nullptr;
  ~Message() { sd_bus_message_unref(message); }
};
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

Failure unavailable(std::string message) { return Failure{FailureKind::kUnavailable, std::move(message)}; }

struct Metadata {
  std::string type;
  std::uint32_t width = 0, height = 0, stride = 0, format = 0;
};

int read_metadata(sd_bus_message* message, Metadata& metadata) {
  return read_dictionary(message, [&](const char* key) {
    const char* type = nullptr;
    int r = sd_bus_message_peek_type(message, nullptr, &type);
    if (r < 0) return r;
    std::uint32_t* number = std::strcmp(key, "width") == 0    ? &metadata.width
                            : std::strcmp(key, "height") == 0 ? &metadata.height
                            : std::strcmp(key, "stride") == 0 ? &metadata.stride
                            : std::strcmp(key, "format") == 0 ? &metadata.format
                                                              : nullptr;
    if (number && type && std::strcmp(type, "u") == 0) return sd_bus_message_read(message, "v", "u", number);
    if (std::strcmp(key, "type") == 0 && type && std::strcmp(type, "s") == 0) {
      const char* text = nullptr;
      r = sd_bus_message_read(message, "v", "s", &text);
      if (r >= 0) metadata.type = text;
      return r;
    }
    return sd_bus_message_skip(message, "v");
  });
}

std::string why_refused(const sd_bus_error& error, int code) {
  if (!sd_bus_error_is_set(&error)) return std::strerror(code < 0 ? -code : code);
  const std::string name = error.name;
  if (name.find("NoAuthorized") != std::string::npos) {
    return "KWin does not allow this program to take screenshots: install tirvane-app with "
           "`cmake --install` (its .desktop file grants the permission), run it from the "
           "installed path, and log in again";
  }
  if (name.find("InvalidScreen") != std::string::npos) return "KWin has no screen of that name";
  return "KWin refused the screenshot: " + name +
         (error.message ? std::string(" (") + error.message + ")" : std::string());
}

}  // namespace

bool kwin_screenshot_offered() {
  Bus bus;
  if (sd_bus_open_user(&bus.bus) < 0) return false;
  Error error;
  std::uint32_t version = 0;
  return sd_bus_get_property_trivial(bus.bus, kService, kPath, kInterface, "Version",
                                     &error.error, 'u', &version) >= 0;
}

Result<Image> kwin_capture(const std::optional<std::string>& output) {
  Bus bus;
  if (const int r = sd_bus_open_user(&bus.bus); r < 0) {
    return unavailable(std::string("cannot reach the session bus: ") + std::strerror(-r));
  }
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    return unavailable(std::string("cannot make a pipe: ") + std::strerror(errno));
  }
  Fd read_end{ends[0]};
  Fd write_end{ends[1]};

  Message call;
  int r = sd_bus_message_new_method_call(bus.bus, &call.message, kService, kPath, kInterface,
                                         output ? "CaptureScreen" : "CaptureActiveScreen");
  if (r >= 0 && output) r = sd_bus_message_append(call.message, "s", output->c_str());
  if (r >= 0) {
    r = sd_bus_message_append(call.message, "a{sv}", 2, "include-cursor", "b", 0,
                              "native-resolution", "b", 1);
  }
  if (r >= 0) r = sd_bus_message_append(call.message, "h", write_end.fd);
  if (r < 0) return unavailable(std::string("cannot build the screenshot call: ") + std::strerror(-r));

  // KWin may write the picture before it answers: read it meanwhile, so neither side waits on
  // the other with a full pipe.
  std::string bytes;
  std::jthread reader([&bytes, fd = read_end.fd] {
    char chunk[1 << 16];
    for (;;) {
      // A compositor that keeps the pipe open without writing is not waited for past this.
      pollfd ready{fd, POLLIN, 0};
      if (::poll(&ready, 1, kPipeTimeoutMs) <= 0) return;
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n > 0) {
        bytes.append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        return;
      }
    }
  });
  Error error;
  Message reply;
  r = sd_bus_call(bus.bus, call.message, kCallTimeoutUsec, &error.error, &reply.message);
  // Our copy of the write end goes, so the reader sees the end once KWin has closed its own.
  ::close(std::exchange(write_end.fd, -1));
  sd_bus_message_unref(std::exchange(call.message, nullptr));
  if (r < 0) {
    reader.join();
    return unavailable(why_refused(error.error, r));
  }
  reader.join();

  Metadata metadata;
  if (read_metadata(reply.message, metadata) < 0 || (metadata.type != "raw" && !metadata.type.empty())) {
    return unavailable("KWin answered the screenshot in a form that cannot be read");
  }
  const bool bgr = metadata.format == kRgb32 || metadata.format == kArgb32 ||
                   metadata.format == kArgb32Premultiplied;
  const bool rgb = metadata.format == kRgbx8888 || metadata.format == kRgba8888 ||
                   metadata.format == kRgba8888Premultiplied;
  if (!bgr && !rgb) {
    return unavailable("KWin sent the screenshot in a pixel format that cannot be used (" +
                       std::to_string(metadata.format) + ")");
  }
  const std::size_t width = metadata.width, height = metadata.height, stride = metadata.stride;
  if (width == 0 || height == 0 || stride < width * 4 || bytes.size() < stride * height) {
    return unavailable("KWin sent a screenshot of " + std::to_string(bytes.size()) +
                       " bytes, too short for " + std::to_string(width) + "x" +
                       std::to_string(height));
  }
  Image image = make_image(static_cast<int>(width), static_cast<int>(height), PixelFormat::kBgrx);
  for (std::size_t y = 0; y < height; ++y) {
    const auto* in = reinterpret_cast<const std::uint8_t*>(bytes.data()) + y * stride;
    std::uint8_t* out = image.pixels.data() + y * image.stride;
    if (bgr) {
      std::memcpy(out, in, width * 4);
      continue;
    }
    for (std::size_t x = 0; x < width * 4; x += 4) {
      out[x] = in[x + 2];
      out[x + 1] = in[x + 1];
      out[x + 2] = in[x];
      out[x + 3] = in[x + 3];
    }
  }
  return image;
}

}  // namespace app::kwin
