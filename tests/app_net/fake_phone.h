// Answers a fake phone on 127.0.0.1 gives, as raw HTTP bytes for the scripted FakeService, and
// the pictures it serves.
#pragma once

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <string>

#include "app/image.h"
#include "fake_service.h"

namespace testing_support {

// An RGB picture of `width` x `height` with a gradient, as a JPEG.
inline std::string test_jpeg(int width, int height) {
  app::Image image = app::make_image(width, height, app::PixelFormat::kRgb);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* pixel = image.pixels.data() + static_cast<std::size_t>(y) * image.stride +
                            3 * static_cast<std::size_t>(x);
      pixel[0] = static_cast<std::uint8_t>(x * 255 / width);
      pixel[1] = static_cast<std::uint8_t>(y * 255 / height);
      pixel[2] = 128;
    }
  }
  app::Result<std::string> jpeg = app::encode_jpeg(app::view_of(image));
  EXPECT_FALSE(app::failed(jpeg));
  return app::failed(jpeg) ? std::string() : std::get<std::string>(jpeg);
}

// A progressive JPEG of `width` x `height`, 4:4:4: the kind whose decoding needs the most memory,
// since every coefficient of the whole picture is held until the last scan. Mostly flat grey,
// so even a large one is small.
inline std::string progressive_jpeg(int width, int height) {
  app::Image image = app::make_image(width, height, app::PixelFormat::kRgb);
  std::fill(image.pixels.begin(), image.pixels.end(), std::uint8_t{90});
  tjhandle handle = tjInitCompress();
  unsigned char* bytes = nullptr;
  unsigned long size = 0;
  const int status = tjCompress2(handle, image.pixels.data(), width, 0, height, TJPF_RGB, &bytes,
                                 &size, TJSAMP_444, 80, TJFLAG_PROGRESSIVE);
  EXPECT_EQ(status, 0) << tjGetErrorStr2(handle);
  std::string jpeg = status == 0 ? std::string(reinterpret_cast<char*>(bytes), size) : "";
  tjFree(bytes);
  tjDestroy(handle);
  return jpeg;
}

// `jpeg` with the size in its frame header replaced by `width` x `height`: a few hundred bytes
// that declare a picture of any size.
inline std::string declaring_size(std::string jpeg, int width, int height) {
  for (std::size_t at = 2; at + 9 < jpeg.size(); ++at) {
    const auto marker = static_cast<unsigned char>(jpeg[at + 1]);
    if (static_cast<unsigned char>(jpeg[at]) == 0xFF && (marker == 0xC0 || marker == 0xC2)) {
      jpeg[at + 5] = static_cast<char>(height >> 8);
      jpeg[at + 6] = static_cast<char>(height & 0xFF);
      jpeg[at + 7] = static_cast<char>(width >> 8);
      jpeg[at + 8] = static_cast<char>(width & 0xFF);
      return jpeg;
    }
  }
  ADD_FAILURE() << "no frame header found";
  return jpeg;
}

// A complete answer; `length` false leaves out Content-Length, so the body ends when the
// connection closes.
inline std::string http_answer(int status, const std::string& content_type, const std::string& body,
                               bool length = true, const std::string& more_headers = "") {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " X\r\n";
  if (!content_type.empty()) head += "Content-Type: " + content_type + "\r\n";
  if (length) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return head + more_headers + "Connection: close\r\n\r\n" + body;
}

inline std::string redirect_to(const std::string& location) {
  return http_answer(302, "text/plain", "moved", true, "Location: " + location + "\r\n");
}

}  // namespace testing_support
