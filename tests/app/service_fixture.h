// The fixture of the service's black-box tests: a fresh tirvane-app with its own config folder,
// driven through real HTTP requests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "app/image.h"
#include "fake_service.h"
#include "raw_http.h"
#include "service_process.h"

namespace service_test {

class ServiceTest : public ::testing::Test {
 protected:
  explicit ServiceTest(std::vector<std::string> args = {})
      : config(testing_support::make_temp_dir()), service(config, std::move(args)) {}

  void SetUp() override { ASSERT_TRUE(service.started()) << service.log(); }

  int port() const { return service.port(); }
  Answer get(const std::string& target, const std::string& extra = "") {
    return service_test::get(port(), target, extra);
  }
  Answer post(const std::string& target, const std::string& body, const std::string& extra = "") {
    return service_test::post(port(), target, body, extra);
  }

  std::string config;
  ServiceProcess service;
};

// The picture in a JPEG answer, decoded; a test fails when it is not a JPEG.
inline app::Image decoded(const Answer& answer, app::PixelFormat format = app::PixelFormat::kRgb) {
  app::Result<app::Image> image = app::decode_jpeg(answer.body, format);
  if (auto* failure = std::get_if<app::Failure>(&image)) {
    ADD_FAILURE() << "not a JPEG: " << failure->message;
    return app::Image{};
  }
  return std::get<app::Image>(image);
}

inline double mean_level(const app::Image& image) {
  double sum = 0;
  for (std::uint8_t value : image.pixels) sum += value;
  return image.pixels.empty() ? 0 : sum / static_cast<double>(image.pixels.size());
}

}  // namespace service_test
