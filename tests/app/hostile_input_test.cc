// Text, numbers and names from outside the service that are built to hurt: control characters
// meant for a terminal, numbers beyond every range, names of 60 KB, browsers in disguise, a
// camera that speaks another protocol than its URL says, and pictures large enough to bloat the
// service.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/text.h"
#include "fake_phone.h"
#include "loopback.h"
#include "service_fixture.h"

namespace service_test {
namespace {

using testing_support::http_answer;
using testing_support::reply;

TEST(TextEscaping, ControlCharactersAreWrittenOutAndTextIsKept) {
  struct Case {
    std::string text;
    std::string shown;
  };
  for (const Case& c : std::vector<Case>{
           {"image/jpeg", "image/jpeg"},
           {"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x93\xB7", "caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x93\xB7"},
           {"a\x1B" "c", "a\\x1Bc"},
           {"\x1B[8mhidden", "\\x1B[8mhidden"},
           {"line\r\nnext\ttab\x7F", "line\\x0D\\x0Anext\\x09tab\\x7F"},
           {std::string("nul\0x", 5), "nul\\x00x"},
           {"c1 \xC2\x9B" "31m", "c1 \\xC2\\x9B31m"},           // CSI as a UTF-8 character
           {"raw \x9B" "31m", "raw \\x9B31m"},                  // CSI as a lone byte
           {"\xC0\x9B overlong", "\xC0\\x9B overlong"},     // not UTF-8, so not a letter
           {"cut \xE2\x80", "cut \xE2\\x80"},
           {"\xFF\xFE", "\xFF\xFE"},  // no control in any terminal; JSON shows U+FFFD
       }) {
    EXPECT_EQ(app::escape_controls(c.text), c.shown) << c.shown;
  }
  EXPECT_EQ(app::clip_for_message(std::string(100, 'a') + "\x1B", 10), "aaaaaaaaaa\xE2\x80\xA6");
  EXPECT_EQ(app::clip_for_message("\x1B" "c", 10), "\\x1Bc");
  EXPECT_EQ(app::replace_controls("a\x1B[2J\xC2\x9B\x9B\xC3\xA9\r\n", '?'), "a?[2J??\xC3\xA9??");
}

// A plain-HTTP server as a camera's web page is: whatever arrives, it answers with an HTTP
// error page and closes.
class PlainHttpServer {
 public:
  PlainHttpServer() {
    const testing_support::LoopbackListener listener = testing_support::listen_on_loopback(8);
    listener_ = listener.fd;
    port_ = listener.port;
    thread_ = std::thread([this] {
      for (;;) {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        pollfd ready{fd, POLLIN, 0};
        char buffer[4096];
        if (::poll(&ready, 1, 5000) > 0) ::recv(fd, buffer, sizeof buffer, 0);
        const std::string page = http_answer(400, "text/html", "<h1>Bad Request</h1>");
        ::send(fd, page.data(), page.size(), MSG_NOSIGNAL);
        ::close(fd);
      }
    });
  }
  ~PlainHttpServer() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

using HostileInput = ServiceTest;

void fs_write(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

TEST_F(HostileInput, ACamerasTextReachesMessagesAndTheLogEscaped) {
  testing_support::FakeService phone;
  const std::string url = "http://127.0.0.1:" + phone.port_text() + "/shot.jpg";
  ASSERT_EQ(post("/api/sources", R"({"name":"phone","url":")" + url + R"("})").status, 200);
  for (const auto& [type, shown] : std::vector<std::pair<std::string, std::string>>{
           {"text/html\x1B" "c", "text/html\\x1Bc"},
           {"\x1B[8mtext/plain", "\\x1B[8mtext/plain"},
       }) {
    phone.add(reply(http_answer(200, type, "<html></html>")));
    Answer answer = get("/api/frame.jpg?_=&device=net:phone");
    EXPECT_EQ(answer.status, 502);
    EXPECT_EQ(answer.error(), "net:phone at " + url + " answered with " + shown + " rather than a JPEG");
    EXPECT_EQ(answer.body.find('\x1B'), std::string::npos);
  }
  // A name from the request, in the answer and in the log line of the request.
  Answer unknown = post("/api/controls", "{\"device\":\"net:a\\u001bc\",\"name\":\"focus\",\"value\":1}");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.error().rfind("no source named a\\x1Bc: ", 0), 0u) << unknown.error();
  get("/api/frame.jpg?_=&device=\x1B" "c");
  const std::string log = service.log();
  EXPECT_EQ(log.find('\x1B'), std::string::npos) << log;
  EXPECT_NE(log.find("GET /api/frame.jpg?_=&device=?c "), std::string::npos) << log;
}

TEST_F(HostileInput, ANumberBeyondEveryRangeIsABadRequest) {
  for (const std::string body : {R"({"name":"focus","value":1e400})", R"({"name":"focus","value":-1e400})"}) {
    Answer answer = post("/api/controls", body);
    EXPECT_EQ(answer.status, 400) << body;
    EXPECT_EQ(answer.error(), "the body holds a number too large to read") << body;
  }
}

TEST_F(HostileInput, LongNamesAreClippedInMessages) {
  const std::string name(60'000, 'n');
  for (const std::string& target : {std::string("/api/controls"), std::string("/api/focus")}) {
    Answer answer = post(target, R"({"device":"net:)" + name + R"(","name":"focus","value":1})");
    EXPECT_EQ(answer.status, 404) << target;
    EXPECT_LT(answer.body.size(), 400u) << target;
    EXPECT_EQ(answer.error(), "no source named " + std::string(40, 'n') + "\xE2\x80\xA6: register it with tirvane add-source " +
                                  std::string(40, 'n') + "\xE2\x80\xA6 URL, or see tirvane sources");
  }
  Answer camera = post("/api/controls", R"({"device":")" + name + R"(","name":"focus","value":1})");
  EXPECT_EQ(camera.status, 404);
  EXPECT_LT(camera.body.size(), 400u);
}

TEST_F(HostileInput, ABrowsersUserAgentIsKnownInAnyCase) {
  for (const std::string agent : {"Mozilla/5.0 (X11; Linux x86_64)", "mozilla/5.0", "MOZILLA/5.0 (X11)",
                                  "  MoZiLlA/4.0"}) {
    Answer answer = get("/api/health", "User-Agent: " + agent + "\r\n");
    EXPECT_EQ(answer.status, 403) << agent;
    EXPECT_EQ(answer.error(), "refused: this request comes from a web browser (its User-Agent is a "
                              "browser's); the API serves only programs on this machine");
  }
  EXPECT_EQ(get("/api/health", "User-Agent: tirvane/0.1.0\r\n").status, 200);
}

TEST_F(HostileInput, HttpsToAPlainHttpCameraNamesTheMismatch) {
  PlainHttpServer camera;
  const std::string url = "https://127.0.0.1:" + std::to_string(camera.port()) + "/shot.jpg";
  ASSERT_EQ(post("/api/sources", R"({"name":"cam","url":")" + url + R"("})").status, 200);
  Answer answer = get("/api/frame.jpg?_=&device=net:cam");
  EXPECT_EQ(answer.status, 502);
  EXPECT_EQ(answer.error(),
            "net:cam at " + url + " answered in plain HTTP, not HTTPS: register it with http://");
}

TEST_F(HostileInput, ASourceLeadingBackToTheServiceIsRefused) {
  const std::string p = service.port_text();
  const std::string refusal =
      "the URL leads back to this service itself (127.0.0.1:" + p + "); register the camera's own address";
  for (const std::string host : {"127.0.0.1", "localhost", "LocalHost.", "127.1", "127.0.0.2", "0x7f.0.0.1",
                                  "2130706433", "0177.0.0.1", "[::1]", "[::ffff:127.0.0.1]", "0.0.0.0",
                                  "cam.localhost"}) {
    Answer answer = post("/api/sources", R"({"name":"loop","url":"http://)" + host + ":" + p +
                                             R"(/api/frame.jpg?device=net:loop"})");
    EXPECT_EQ(answer.status, 400) << host;
    EXPECT_EQ(answer.error(), refusal) << host;
  }
  EXPECT_EQ(get("/api/sources").json()["sources"], nlohmann::json::array());
  // Another port on this machine is a camera like any other.
  EXPECT_EQ(post("/api/sources", R"({"name":"other","url":"http://127.0.0.1:1/x.jpg"})").status, 200);

  // A camera that redirects to the service is refused on the spot, without a request to it.
  testing_support::FakeService camera;
  const std::string url = "http://127.0.0.1:" + camera.port_text() + "/shot.jpg";
  ASSERT_EQ(post("/api/sources", R"({"name":"cam","url":")" + url + R"("})").status, 200);
  for (const std::string& target : {"http://127.0.0.1:" + p + "/api/frame.jpg?device=net:cam",
                                    "http://127.1:" + p + "/api/health"}) {
    camera.add(reply(testing_support::redirect_to(target)));
    const auto started = std::chrono::steady_clock::now();
    Answer answer = get("/api/frame.jpg?_=&device=net:cam");
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(answer.status, 502) << target;
    EXPECT_EQ(answer.error(), "net:cam at " + url + " leads back to this service itself (127.0.0.1:" + p +
                                  "); register the camera's own address");
    EXPECT_LT(took, std::chrono::seconds(5));
  }
  const std::string log = service.log();
  EXPECT_EQ(log.find("GET /api/health"), std::string::npos) << log;
  EXPECT_EQ(log.find("GET /api/frame.jpg?device=net:cam "), std::string::npos) << log;

  // Whatever reaches the service from its own fetcher is answered at once.
  Answer fetcher = get("/api/frame.jpg?_=&device=test", "User-Agent: tirvane-app\r\n");
  EXPECT_EQ(fetcher.status, 403);
  EXPECT_EQ(fetcher.error(), "refused: this request comes from the service's own camera fetcher; a "
                             "network camera must not lead back to the service");
}

TEST(SelfLoop, ASourceInTheFileThatLeadsBackToTheServiceIsNeverFetched) {
  const std::string config = testing_support::make_temp_dir();
  const int port = static_cast<int>(testing_support::unused_port());
  fs_write(config + "/tirvane/sources.json",
           R"({"sources":[{"name":"loop","url":"http://127.1:)" + std::to_string(port) +
               R"(/api/frame.jpg?device=net:loop"}]})");
  ServiceProcess service(config, {"--port", std::to_string(port)});
  ASSERT_TRUE(service.started()) << service.log();
  Answer answer = get(port, "/api/frame.jpg?_=&device=net:loop");
  EXPECT_EQ(answer.status, 502);
  EXPECT_EQ(answer.error(), "net:loop at http://127.1:" + std::to_string(port) +
                                "/api/frame.jpg?device=net:loop leads back to this service itself "
                                "(127.0.0.1:" + std::to_string(port) + "); register the camera's own address");
  EXPECT_EQ(get(port, "/api/health").status, 200);
}

// The resident memory of a process, in MiB.
long resident_mib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6)) / 1024;
  }
  return -1;
}

TEST_F(HostileInput, LargeTestCameraFramesDoNotStayInMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "under AddressSanitizer freed memory is held in its quarantine";
#endif
  const long before = resident_mib(service.pid());
  ASSERT_GT(before, 0);
  // Three distinct sizes of about 28 MB of pixels each: at most one of them may be kept.
  for (const char* size : {"width=4096&height=2304", "width=4096&height=2296", "width=4088&height=2304"}) {
    Answer answer = get(std::string("/api/frame.jpg?_=&device=test&") + size);
    ASSERT_EQ(answer.status, 200) << size << answer.error();
  }
  const long after = resident_mib(service.pid());
  std::cerr << "test camera: resident " << before << " MiB before, " << after << " MiB after\n";
  EXPECT_LT(after - before, 60) << "resident memory grew from " << before << " to " << after << " MiB";
}

// The status of GET /api/health and its error, asked by a process running as `uid`.
std::pair<int, std::string> health_as(uid_t uid, int port) {
  int out[2];
  if (::pipe(out) != 0) return {-1, "no pipe"};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    if (::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(2);
    const Answer answer = get(port, "/api/health");
    const std::string text = std::to_string(answer.status) + " " + answer.error();
    [[maybe_unused]] const ssize_t n = ::write(out[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(out[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (text.empty()) return {-1, "the child failed"};
  return {std::stoi(text), text.substr(text.find(' ') + 1)};
}

TEST(PeerUser, OnlyTheServicesOwnUserAndRootAreServed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to connect as other users";
  constexpr uid_t kNobody = 65534;
  constexpr uid_t kOther = 65533;
  const std::string config = testing_support::make_temp_dir();
  ASSERT_EQ(::chown(config.c_str(), kNobody, kNobody), 0);
  // The service as root, then as an ordinary user.
  {
    ServiceProcess service(config);
    ASSERT_TRUE(service.started()) << service.log();
    EXPECT_EQ(health_as(0, service.port()).first, 200);
    const auto refused = health_as(kNobody, service.port());
    EXPECT_EQ(refused.first, 403);
    EXPECT_EQ(refused.second, "refused: the connection comes from another user (uid 65534); only "
                              "the user running the service (uid 0) and root may use it");
  }
  {
    ServiceProcess service(config, {}, {}, kNobody);
    ASSERT_TRUE(service.started()) << service.log();
    EXPECT_EQ(health_as(kNobody, service.port()).first, 200);
    EXPECT_EQ(health_as(0, service.port()).first, 200);
    const auto refused = health_as(kOther, service.port());
    EXPECT_EQ(refused.first, 403);
    EXPECT_EQ(refused.second, "refused: the connection comes from another user (uid 65533); only "
                              "the user running the service (uid 65534) and root may use it");
  }
}

}  // namespace
}  // namespace service_test
