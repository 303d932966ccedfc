// The fixture of the client's black-box tests: a fresh fake service, and the built client
// pointed at it through TIRVANE_PORT, run in a fresh working folder.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_service.h"
#include "run_program.h"

namespace testing_support {

// The request head the client sends for a GET of `target` to the fake service on `port`.
inline std::string get_request(const std::string& target, std::uint16_t port) {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
}

// The request the client sends for a POST of the JSON text `body`.
inline std::string post_request(const std::string& target, std::uint16_t port,
                                const std::string& body) {
  return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nConnection: close\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline std::string cannot_reach(const std::string& base, const std::string& reason) {
  return "error: cannot reach Tirvane at " + base + " (" + reason +
         ")\n"
         "  Is the app running? Start it from your applications menu, or: tirvane-app &\n"
         "  Different port?     tirvane --port=7999 \xE2\x80\xA6  or set TIRVANE_PORT\n";
}

class ClientTest : public ::testing::Test {
 protected:
  ClientTest() : dir(make_temp_dir()) {}

  RunResult run(const std::vector<std::string>& args) {
    RunOptions options;
    options.env["TIRVANE_PORT"] = fake.port_text();
    options.working_dir = dir;
    return run_client(args, options);
  }

  std::string get(const std::string& target) const { return get_request(target, fake.port()); }
  std::string post(const std::string& target, const std::string& body) const {
    return post_request(target, fake.port(), body);
  }

  FakeService fake;
  std::string dir;
};

}  // namespace testing_support
