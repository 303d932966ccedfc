// The fixture of the end-to-end tests: the real tirvane client run as a user would, in a folder of
// its own, against a real tirvane-app with its own config folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/image.h"
#include "fake_service.h"
#include "run_program.h"
#include "service_process.h"

namespace service_test {

class ClientTest : public ::testing::Test {
 protected:
  // The service starts here, so a derived fixture's constructor can set `service_env`.
  void SetUp() override { start(); }
  ~ClientTest() override {
    service.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    std::filesystem::remove_all(config, ignored);
  }

  // Stops the service and starts it again on the same config folder.
  void restart() {
    service.reset();
    start();
  }

  // Runs `tirvane args...` in `folder`, pointed at the service.
  testing_support::RunResult tirvane(const std::vector<std::string>& args) const {
    testing_support::RunOptions options;
    options.env["TIRVANE_PORT"] = service->port_text();
    options.working_dir = folder;
    return testing_support::run_client(args, options);
  }

  std::string path(const std::string& name) const { return folder + "/" + name; }
  bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }

  // The bytes of a file the client wrote in its folder.
  std::string file(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    EXPECT_TRUE(in) << "no file " << name;
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  // A JPEG file the client wrote, decoded; the test fails when it is not a JPEG.
  app::Image picture(const std::string& name, app::PixelFormat format = app::PixelFormat::kRgb) const {
    app::Result<app::Image> image = app::decode_jpeg(file(name), format);
    if (auto* failure = std::get_if<app::Failure>(&image)) {
      ADD_FAILURE() << name << " is not a JPEG: " << failure->message;
      return app::Image{};
    }
    return std::get<app::Image>(image);
  }

  // What the client prints after writing a file.
  std::string written(const std::string& name) const {
    return name + "  " + std::to_string(std::filesystem::file_size(path(name))) + " bytes\n";
  }

  std::string config = testing_support::make_temp_dir();
  std::string folder = testing_support::make_temp_dir();  // where the client runs
  std::map<std::string, std::optional<std::string>> service_env;  // a DISPLAY, for one
  std::vector<std::string> service_args;  // given to tirvane-app, set before SetUp
  std::optional<uid_t> service_user;  // the user tirvane-app runs as (the test must be root)
  std::string service_program;        // a copy of tirvane-app to run instead of the built one
  std::unique_ptr<ServiceProcess> service;

 private:
  void start() {
    service = std::make_unique<ServiceProcess>(config, service_args, service_env, service_user,
                                               service_program);
    ASSERT_TRUE(service->started()) << service->log();
  }
};

}  // namespace service_test
