// Time from request to JPEG for each kind of network camera, through the running service, beside
// the ffmpeg program fetching one frame of the same source (what a person would otherwise run).
//
//   net_bench [--runs N]
//
// Starts the cameras of the tests on 127.0.0.1 (tests/app_net/fixtures: an HTTP camera with a
// single JPEG, a PNG and an MJPEG stream; an RTSP camera with H.264 and H.265 at 1280x720,
// 15 fps, a key frame every second), a tirvane-app of its own with a scratch config folder, and
// prints the median of N runs of each, alternating between the two.
#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/image.h"
#include "fixture_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::FixtureProcess;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// The service, on a free port, with its own config folder.
class Service {
 public:
  explicit Service(const std::string& config) {
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(err[1], STDERR_FILENO);
      ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
      ::execl(TIRVANE_APP_PATH, TIRVANE_APP_PATH, "--port", "0", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(err[1]);
    std::string log;
    const auto give_up = Clock::now() + std::chrono::seconds(10);
    while (port_ == 0 && Clock::now() < give_up) {
      pollfd wait{err[0], POLLIN, 0};
      if (::poll(&wait, 1, 200) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(err[0], buffer, sizeof buffer);
      if (n <= 0) break;
      log.append(buffer, static_cast<std::size_t>(n));
      const std::size_t at = log.find("listening on http://127.0.0.1:");
      if (at != std::string::npos) port_ = std::atoi(log.c_str() + at + 30);
    }
    // Its request log is not read further: it goes to a pipe nobody drains, so it is sent to
    // /dev/null by a small thread instead of filling the pipe and stalling the service.
    drain_ = std::thread([fd = err[0]] {
      char buffer[4096];
      while (::read(fd, buffer, sizeof buffer) > 0) {
      }
      ::close(fd);
    });
    if (port_ == 0) throw std::runtime_error("tirvane-app did not start: " + log);
  }
  ~Service() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    drain_.join();
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::thread drain_;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// One connection to the service, kept alive between requests as the client would not (its own
// start is about 7 ms and the same for every kind).
class Client {
 public:
  explicit Client(int port) : base_("http://127.0.0.1:" + std::to_string(port) + "/api") {
    curl_ = curl_easy_init();
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body_);
    curl_easy_setopt(curl_, CURLOPT_PROXY, "");
  }
  ~Client() { curl_easy_cleanup(curl_); }

  long request(const std::string& path, const std::string& post_body = "") {
    body_.clear();
    const std::string url = base_ + path;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    if (post_body.empty()) {
      curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
    } else {
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, post_body.c_str());
    }
    long status = 0;
    if (curl_easy_perform(curl_) == CURLE_OK) curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    return status;
  }
  const std::string& body() const { return body_; }

  void add(const std::string& name, const std::string& url) {
    if (request("/sources", R"({"name":")" + name + R"(","url":")" + url + R"("})") != 200) {
      throw std::runtime_error("cannot register " + name + ": " + body_);
    }
  }
  void forget(const std::string& name) { request("/sources/remove", R"({"name":")" + name + R"("})"); }

  // Milliseconds from request to the whole JPEG of net:`name`.
  double snap(const std::string& name) {
    const auto start = Clock::now();
    const long status = request("/frame.jpg?device=net:" + name);
    const double took = ms_since(start);
    if (status != 200 || !app::looks_like_jpeg(body_)) {
      throw std::runtime_error("net:" + name + " gave " + std::to_string(status) + ": " + body_.substr(0, 200));
    }
    return took;
  }

 private:
  std::string base_;
  CURL* curl_ = nullptr;
  std::string body_;
};

// Milliseconds for `ffmpeg -frames:v 1` to write one JPEG of `url`.
double ffmpeg_frame(const std::string& url, const std::string& out) {
  std::vector<std::string> words{"ffmpeg", "-nostdin", "-v", "error", "-y"};
  if (url.starts_with("rtsp")) words.insert(words.end(), {"-rtsp_transport", "tcp"});
  words.insert(words.end(), {"-i", url, "-frames:v", "1", out});
  std::filesystem::remove(out);
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execvp("ffmpeg", argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double took = ms_since(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !std::filesystem::exists(out)) {
    throw std::runtime_error("ffmpeg failed on " + url);
  }
  return took;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 9;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
  }
  try {
    const std::string scratch =
        std::filesystem::temp_directory_path() / ("tirvane-net-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(scratch);
    FixtureProcess http("http_camera.py", {"--size", "1280x720"});
    FixtureProcess rtsp("rtsp_camera.py", {"--width", "1280", "--height", "720"});
    if (!http.started() || !rtsp.started()) {
      throw std::runtime_error("a camera of the tests did not start: " + http.output() + rtsp.output());
    }
    Service service(scratch);
    Client client(service.port());
    const std::string h = "http://127.0.0.1:" + http.port_text();
    const std::string r = "rtsp://127.0.0.1:" + rtsp.port_text();
    const std::string out = scratch + "/ffmpeg.jpg";

    struct Kind {
      std::string label, url;
      std::function<double()> service;
    };
    int cold = 0;
    // A cold RTSP snap is a source seen for the first time: no session of it is open.
    auto cold_snap = [&](const std::string& url) {
      const std::string name = "cold" + std::to_string(++cold);
      client.add(name, url);
      const double took = client.snap(name);
      client.forget(name);
      return took;
    };
    client.add("jpeg", h + "/shot.jpg");
    client.add("png", h + "/shot.png");
    client.add("mjpeg", h + "/video");
    client.add("warm", r + "/h264");
    const std::vector<Kind> kinds{
        {"HTTP single JPEG", h + "/shot.jpg", [&] { return client.snap("jpeg"); }},
        {"HTTP PNG snapshot", h + "/shot.png", [&] { return client.snap("png"); }},
        {"MJPEG stream, first frame", h + "/video", [&] { return client.snap("mjpeg"); }},
        {"RTSP H.264, cold", r + "/h264", [&] { return cold_snap(r + "/h264"); }},
        {"RTSP H.265, cold", r + "/h265", [&] { return cold_snap(r + "/h265"); }},
        {"RTSP H.264, session kept open", r + "/h264", [&] {
           std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a person's pace
           return client.snap("warm");
         }},
    };
    client.snap("warm");  // opens the session the kept-open rows use
    client.snap("jpeg");

    std::printf("| kind (1280x720) | tirvane-app, request to JPEG | ffmpeg -frames:v 1 | ffmpeg / service |\n");
    std::printf("|---|---|---|---|\n");
    for (const Kind& kind : kinds) {
      std::vector<double> ours, theirs;
      for (int i = 0; i < runs; ++i) {
        ours.push_back(kind.service());
        theirs.push_back(ffmpeg_frame(kind.url, out));
      }
      const double a = median(ours), b = median(theirs);
      std::printf("| %s | %.1f ms | %.1f ms | %.1fx |\n", kind.label.c_str(), a, b, b / a);
      std::fflush(stdout);
    }
    std::filesystem::remove_all(scratch);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "net_bench: %s\n", error.what());
    return 1;
  }
  return 0;
}
