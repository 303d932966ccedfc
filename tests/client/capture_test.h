// Helpers for the tests of the capture commands: answers that carry an image or a video, the
// files in the test's working folder, and a port on which nothing listens.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "client_test.h"

namespace testing_support {

// "HTTP/1.1 {status} X", an image type, and `body` as it is.
inline Reply media_reply(int status, const std::string& body) {
  return reply("HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: image/jpeg\r\n\r\n" +
               body);
}

// The whole content of `path`, or nothing when it cannot be opened.
inline std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// The report of a file that could not be written because of `posix_reason` ("No such file or
// directory (os error 2)"). Under Windows the words differ: only the prefix and the layout of
// the reason are checked there.
inline void expect_cannot_write(const RunResult& r, const std::string& path,
                                const std::string& posix_reason) {
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  const std::string prefix = "error: cannot write " + path + ": ";
  if (client_is_windows()) {
    EXPECT_TRUE(r.err.starts_with(prefix)) << r.err;
    EXPECT_TRUE(r.err.find(" (os error ") != std::string::npos && r.err.ends_with(")\n"))
        << r.err;
  } else {
    EXPECT_EQ(r.err, prefix + posix_reason + "\n");
  }
}

}  // namespace testing_support
