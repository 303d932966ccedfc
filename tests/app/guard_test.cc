// The guards against web pages and bad clients, with the headers real browsers send.
#include <signal.h>

#include <atomic>
#include <regex>
#include <thread>

#include "service_fixture.h"

namespace service_test {
namespace {

using GuardTest = ServiceTest;

const std::string kBrowserRefusal =
    "); the API serves only programs on this machine";

TEST_F(GuardTest, HostMustBeThisServicesLoopbackAuthority) {
  const std::string p = service.port_text();
  struct Case {
    std::string host_lines;
    int status;
    std::string error;
  };
  const std::string must = "; it must be 127.0.0.1:" + p;
  const std::string foreign = " is not this service" + must + " (a web page cannot reach the cameras under another name)";
  for (const Case& c : std::vector<Case>{
           {"Host: 127.0.0.1:" + p + "\r\n", 200, ""},
           {"Host: localhost:" + p + "\r\n", 200, ""},
           {"Host: LocalHost:" + p + "\r\n", 200, ""},
           {"Host: [::1]:" + p + "\r\n", 200, ""},
           {"", 403, "refused: the request has no Host" + must},
           {"Host:\r\n", 403, "refused: the request has no Host" + must},
           {"Host: evil.example\r\n", 403, "refused: Host evil.example" + foreign},
           {"Host: evil.example:" + p + "\r\n", 403, "refused: Host evil.example:" + p + foreign},
           {"Host: 127.0.0.1\r\n", 403, "refused: Host 127.0.0.1" + foreign},
           {"Host: 127.0.0.1:1\r\n", 403, "refused: Host 127.0.0.1:1" + foreign},
           {"Host: 127.0.0.2:" + p + "\r\n", 403, "refused: Host 127.0.0.2:" + p + foreign},
           {"Host: localhost.:" + p + "\r\n", 403, "refused: Host localhost.:" + p + foreign},
           {"Host: 127.0.0.1:" + p + "\r\nHost: evil.example\r\n", 400,
            "refused: the request has more than one Host header"},
           {"Host: 127.0.0.1:" + p + "\r\nHost: 127.0.0.1:" + p + "\r\n", 400,
            "refused: the request has more than one Host header"},
       }) {
    for (const std::string version : {"HTTP/1.1", "HTTP/1.0"}) {
      Answer answer = round_trip(port(), "GET /api/frame.jpg?_=&width=64&height=64 " + version +
                                           "\r\n" + c.host_lines + "Connection: close\r\n\r\n");
      EXPECT_EQ(answer.status, c.status) << c.host_lines << version;
      EXPECT_EQ(answer.error(), c.error) << c.host_lines;
      if (c.status == 200) {
        EXPECT_EQ(answer.header("Content-Type"), "image/jpeg");
      }
    }
  }
}

TEST_F(GuardTest, HeadersOnlyBrowsersSendAreRefused) {
  // What a page's <img src="http://127.0.0.1:PORT/api/frame.jpg"> makes a browser send, one
  // header at a time, then whole.
  struct Case {
    std::string lines;
    std::string why;
  };
  const std::string chrome_ua =
      "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36";
  for (const Case& c : std::vector<Case>{
           {"Origin: https://evil.example\r\n", "it carries Origin"},
           {"Origin: null\r\n", "it carries Origin"},
           {"origin: http://127.0.0.1\r\n", "it carries origin"},
           {"Referer: https://evil.example/page\r\n", "it carries Referer"},
           {"Sec-Fetch-Site: cross-site\r\n", "it carries Sec-Fetch-Site"},
           {"Sec-Fetch-Mode: no-cors\r\n", "it carries Sec-Fetch-Mode"},
           {"Sec-Fetch-Dest: image\r\n", "it carries Sec-Fetch-Dest"},
           {"Sec-Fetch-User: ?1\r\n", "it carries Sec-Fetch-User"},
           {"sec-ch-ua: \"Chromium\";v=\"120\"\r\n", "it carries sec-ch-ua"},
           {"User-Agent: " + chrome_ua + "\r\n", "its User-Agent is a browser's"},
           {"User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0\r\n",
            "its User-Agent is a browser's"},
           {"Accept: image/avif,image/webp,*/*\r\nSec-Fetch-Dest: image\r\nSec-Fetch-Mode: no-cors\r\n"
            "Sec-Fetch-Site: cross-site\r\nReferer: https://evil.example/\r\nUser-Agent: " + chrome_ua + "\r\n",
            "it carries Referer"},
       }) {
    for (const std::string target : {"/api/frame.jpg?_=", "/api/health", "/api/nothing"}) {
      Answer answer = get(target, c.lines);
      EXPECT_EQ(answer.status, 403) << c.lines << target;
      EXPECT_EQ(answer.error(), "refused: this request comes from a web browser (" + c.why + kBrowserRefusal)
          << c.lines;
      EXPECT_NE(answer.header("Content-Type"), "image/jpeg");
    }
    Answer posted = post("/api/controls", R"({"name":"focus","value":5})", c.lines);
    EXPECT_EQ(posted.status, 403) << c.lines;
  }
  EXPECT_EQ(get("/api/controls?_=").json()["controls"][0]["value"], 110) << "no control was changed";
  // Programs that say who they are, are welcome.
  EXPECT_EQ(get("/api/health", "User-Agent: curl/7.88.1\r\nAccept: */*\r\n").status, 200);
}

TEST_F(GuardTest, PostsMustBeJsonWithALength) {
  const std::string body = R"({"name":"focus","value":5})";
  struct Case {
    std::string request;
    int status;
    std::string error;
  };
  const std::string head = "POST /api/controls HTTP/1.1\r\nHost: 127.0.0.1:" + service.port_text() + "\r\n";
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  const std::string not_json = "a POST body must be JSON, sent with Content-Type: application/json";
  for (const Case& c : std::vector<Case>{
           // What an HTML form on another site can send without the browser asking first.
           {head + length + "Content-Type: text/plain\r\n\r\n" + body, 415, not_json},
           {head + length + "Content-Type: application/x-www-form-urlencoded\r\n\r\n" + body, 415, not_json},
           {head + length + "Content-Type: multipart/form-data; boundary=x\r\n\r\n" + body, 415, not_json},
           {head + length + "\r\n" + body, 415, not_json},
           {head + length + "Content-Type: application/jsonp\r\n\r\n" + body, 415, not_json},
           {head + length + "Content-Type: application/json\r\nContent-Type: text/plain\r\n\r\n" + body, 415, not_json},
           {head + "Content-Type: application/json\r\n\r\n" + body, 411, "a POST needs a Content-Length"},
           {head + "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n1a\r\n" + body + "\r\n0\r\n\r\n",
            411, "send the body with a Content-Length, not Transfer-Encoding"},
           {head + length + "Content-Type: application/json\r\nContent-Encoding: gzip\r\n\r\n" + body, 415,
            "compressed bodies are not accepted"},
           {head + length + length + "Content-Type: application/json\r\n\r\n" + body, 400,
            "the request has more than one Content-Length"},
           {head + "Content-Length: 2x\r\nContent-Type: application/json\r\n\r\n" + body, 400,
            "Content-Length must be a number of bytes"},
       }) {
    Answer answer = round_trip(port(), c.request);
    EXPECT_EQ(answer.status, c.status) << c.request;
    EXPECT_EQ(answer.error(), c.error) << c.request;
  }
  EXPECT_EQ(get("/api/controls?_=").json()["controls"][0]["value"], 110);
  // Parameters after the media type are fine.
  EXPECT_EQ(round_trip(port(), head + length + "Content-Type: Application/JSON; charset=utf-8\r\n\r\n" + body).status, 200);
}

TEST_F(GuardTest, OversizedHeadsAndBodiesAreRefused) {
  // Announced too large: refused without reading it.
  Answer announced = round_trip(port(), "POST /api/sources HTTP/1.1\r\nHost: 127.0.0.1:" + service.port_text() +
                                          "\r\nContent-Type: application/json\r\nContent-Length: 10000000000\r\n\r\n{");
  EXPECT_EQ(announced.status, 413);
  EXPECT_EQ(announced.error(), "the body is larger than 64 KiB");

  // Sent in full: refused, and the answer still reaches the client.
  const std::string big = R"({"name":"phone","url":"http://a/)" + std::string(70000, 'a') + R"("})";
  Answer sent = post("/api/sources", big);
  EXPECT_TRUE(sent.closed);
  EXPECT_EQ(sent.status, 413);
  EXPECT_EQ(sent.error(), "the body is larger than 64 KiB");

  // Many headers, or one long one, or a long request line.
  std::string headers;
  for (int i = 0; i < 800; ++i) headers += "X-Filler-" + std::to_string(i) + ": some text here\r\n";
  for (const std::string& request :
       {get_request(port(), "/api/health", headers),
        get_request(port(), "/api/health", "X-Long: " + std::string(20000, 'a') + "\r\n"),
        get_request(port(), "/api/health?x=" + std::string(20000, 'a'))}) {
    Answer answer = round_trip(port(), request);
    EXPECT_EQ(answer.status, 413);
    EXPECT_EQ(answer.error(), "the request head is larger than 16 KiB");
  }
  Answer long_target = get("/api/health?x=" + std::string(9000, 'a'));
  EXPECT_EQ(long_target.status, 414);
  EXPECT_EQ(long_target.error(), "the request target is too long");
  EXPECT_EQ(get("/api/sources").json()["sources"].size(), 0u);
  EXPECT_EQ(get("/api/health").status, 200);
}

TEST_F(GuardTest, StalledClientsAreCutOffWhileOthersAreAnswered) {
  // Half a head, half a body, and a connection that says nothing, all left hanging.
  std::vector<std::unique_ptr<RawConnection>> stalled;
  for (int i = 0; i < 8; ++i) {
    stalled.push_back(std::make_unique<RawConnection>(port()));
    if (i % 3 == 0) stalled.back()->send("GET /api/health HTTP/1.1\r\nHost: 127.0.0.1:" + service.port_text() + "\r\n");
    if (i % 3 == 1) {
      stalled.back()->send(post_request(port(), "/api/focus", "{\"device\":null}").substr(0, 120));
    }
    if (i % 3 == 2) stalled.back()->send("GE");
  }
  for (int i = 0; i < 20; ++i) EXPECT_EQ(get("/api/health").status, 200);
  for (std::size_t i = 0; i < stalled.size(); ++i) {
    Answer answer = stalled[i]->read_answer();
    EXPECT_EQ(answer.status, 408) << i;
    EXPECT_EQ(answer.error(), "the request did not arrive in time") << i;
  }
  // A connection that sends nothing at all is closed without a word.
  RawConnection silent(port());
  EXPECT_EQ(silent.read_answer().status, 0);
  EXPECT_EQ(get("/api/health").status, 200);
}

TEST_F(GuardTest, ManyRequestsAtOnceAreAllAnswered) {
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 48; ++i) {
    clients.emplace_back([&, i] {
      Answer answer = i % 4 == 0 ? get("/api/frame.jpg?_=&width=160&height=90")
                      : i % 4 == 1 ? post("/api/controls", R"({"name":"brightness","value":3})")
                      : i % 4 == 2 ? round_trip(port(), "junk\r\n\r\n")
                                   : get("/api/devices");
      if (answer.status == (i % 4 == 2 ? 400 : 200)) ++answered;
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(answered, 48);
}

TEST_F(GuardTest, EveryRequestIsLoggedOnce) {
  get("/api/health");
  get("/api/frame.jpg?_=&width=64&height=64");
  post("/api/focus", "nope");
  get("/api/health", "Origin: x\r\n");
  round_trip(port(), "GET /api/\x1b[2Jx HTTP/1.1\r\nHost: 127.0.0.1:" + service.port_text() + "\r\n\r\n");
  service.stop(SIGTERM);
  const std::string log = service.log();
  for (const std::string line :
       {"GET /api/health 200", "GET /api/frame\\.jpg\\?_=&width=64&height=64 200", "POST /api/focus 400",
        "GET /api/health 403", "GET /api/\\?\\[2Jx 404"}) {
    const std::regex pattern(R"(\d\d:\d\d:\d\d\.\d\d\d )" + line + R"( \d+ bytes \d+\.\d ms\n)");
    auto begin = std::sregex_iterator(log.begin(), log.end(), pattern);
    EXPECT_EQ(std::distance(begin, std::sregex_iterator()), 1) << line << "\n" << log;
  }
  EXPECT_NE(log.find("tirvane-app: stopping (SIGTERM)\ntirvane-app: stopped\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace service_test
