// The fixture of the client's black-box tests: a fresh fake service, and the built client
// pointed at it through TIRVANE_PORT, run in a fresh working folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app_client/utf8.h"
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

// True when every argument is well-formed UTF-8.
inline bool all_utf8(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (!utf8::is_valid(arg)) return false;
  }
  return true;
}

inline std::string cannot_reach(const std::string& base, const std::string& reason) {
  return "error: cannot reach Tirvane at " + base + " (" + reason +
         ")\n"
         "  Is the app running? Start it from your applications menu, or: tirvane-app &\n"
         "  Different port?     tirvane --port=7999 \xE2\x80\xA6  or set TIRVANE_PORT\n";
}

// A platform error as the client reports it, "{description} (os error {code})": the Linux build's
// description and number, and the Windows build's number.
struct OsErrorText {
  std::string description;
  int code;
  int windows_code;
};

inline const OsErrorText kConnectionRefused{"Connection refused", 111, 10061};

// The address space given to the client in the tests of answers without end: ample for the
// client itself, small enough that an endless answer exhausts it within a second.
inline constexpr std::size_t kClientMemoryLimit = std::size_t{64} << 20;

// Whether the client under test can run under an address space limit at all. The sanitizers
// reserve terabytes of address space at start-up, and so does wine.
inline bool client_takes_memory_limit() {
#if defined(__SANITIZE_ADDRESS__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return false;
#endif
#endif
  return !client_is_windows();
}

// Checks that `actual` is `layout` with the platform error in place of its "{}". The Linux build's
// descriptions are the C library's and are compared whole. The Windows build's come from the
// system's message table, whose words differ between systems (and under wine), so there the
// layout and the number are compared, and the description must be one line of text.
inline ::testing::AssertionResult reports_os_error(const std::string& actual,
                                                   const std::string& layout,
                                                   const OsErrorText& error) {
  const std::size_t at = layout.find("{}");
  const std::string before = layout.substr(0, at);
  const std::string after = layout.substr(at + 2);
  const int code = client_is_windows() ? error.windows_code : error.code;
  const std::string tail = " (os error " + std::to_string(code) + ")" + after;
  if (!client_is_windows()) {
    const std::string expected = before + error.description + tail;
    if (actual == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected\n" << expected << "got\n" << actual;
  }
  if (actual.size() > before.size() + tail.size() && actual.starts_with(before) &&
      actual.ends_with(tail)) {
    const std::string description =
        actual.substr(before.size(), actual.size() - before.size() - tail.size());
    if (description.find_first_of("\r\n") == std::string::npos) {
      return ::testing::AssertionSuccess();
    }
  }
  return ::testing::AssertionFailure() << "expected\n" << before << "{description}" << tail
                                       << "got\n" << actual;
}

class ClientTest : public ::testing::Test {
 protected:
  ClientTest() : dir(make_temp_dir()) {}
  ~ClientTest() override { std::filesystem::remove_all(dir); }

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
