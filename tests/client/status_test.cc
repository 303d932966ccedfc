// tirvane status, and the reading of refusals that every JSON command shares.
#include "client_test.h"

namespace testing_support {
namespace {

using StatusTest = ClientTest;

TEST_F(StatusTest, PrintsThreeLinesFromTheHealthDocument) {
  struct Case {
    std::string body;
    std::string out;
  };
  for (const Case& c : std::vector<Case>{
           {R"({"port":7777,"version":"0.2.0","settings":{"device":"0","width":1280,"height":720}})",
            "tirvane \"0.2.0\" on port 7777\n  camera  0\n  size    1280x720\n"},
           {R"({"version":"a\"b","port":"x","settings":{"device":"net:ph\u00f6ne","width":1280.0,"height":null}})",
            "tirvane \"a\\\"b\" on port \"x\"\n  camera  net:ph\xC3\xB6ne\n  size    1280.0xnull\n"},
           {R"({"settings":{"device":""}})",
            "tirvane null on port null\n  camera  (best available)\n  size    nullxnull\n"},
           {R"({"settings":{"device":7}})",
            "tirvane null on port null\n  camera  (best available)\n  size    nullxnull\n"},
           {R"({"settings":[1]})",
            "tirvane null on port null\n  camera  (best available)\n  size    nullxnull\n"},
           {"not json",
            "tirvane null on port null\n  camera  (best available)\n  size    nullxnull\n"},
           {std::string(R"({"version":"1","port":7})") + '\0',
            "tirvane null on port null\n  camera  (best available)\n  size    nullxnull\n"},
       }) {
    fake.add(json_reply(200, c.body));
    RunResult r = run({"status", "extra", "words"});
    EXPECT_EQ(r.exit_status, 0) << c.body << r.err;
    EXPECT_EQ(r.out, c.out) << c.body;
    EXPECT_EQ(r.err, "");
  }
  for (const std::string& request : fake.requests()) EXPECT_EQ(request, get("/api/health"));
}

TEST_F(StatusTest, JsonPrintsTheWholeDocumentPretty) {
  fake.add(json_reply(200, R"({"version":"0.2.0","port":7777,"extra":[1,{"b":2,"a":1}],"settings":{}})"));
  RunResult r = run({"--json", "status"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out,
            "{\n  \"extra\": [\n    1,\n    {\n      \"a\": 1,\n      \"b\": 2\n    }\n  ],\n"
            "  \"port\": 7777,\n  \"settings\": {},\n  \"version\": \"0.2.0\"\n}\n");
}

TEST_F(StatusTest, RefusalsEndWithTheServiceTextOrTheFallback) {
  struct Case {
    std::string response;
    std::string err;
  };
  auto answer = [](int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\n\r\n" + body;
  };
  for (const Case& c : std::vector<Case>{
           {answer(404, R"({"error":"no such camera"})"), "error: no such camera\n"},
           {answer(400, R"({"error":""})"), "error: \n"},
           {answer(400, R"({"error":"two\nlines"})"), "error: two\nlines\n"},
           {answer(500, "oops"), "error: the app rejected the request\n"},
           {answer(400, R"({"error":5})"), "error: the app rejected the request\n"},
           {answer(400, R"(["error"])"), "error: the app rejected the request\n"},
           {answer(65535, R"({"error":"big"})"), "error: big\n"},
           {answer(404, std::string(R"({"error":"no such camera"})") + '\0'),
            "error: the app rejected the request\n"},
       }) {
    fake.add(reply(c.response));
    RunResult r = run({"status", "--json"});
    EXPECT_EQ(r.exit_status, 1) << c.response;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err) << c.response;
  }
  // 399 is not a refusal, and neither is a status line without a code.
  fake.add(reply(answer(399, R"({"error":"x"})")));
  EXPECT_EQ(run({"status", "--json"}).out, "{\n  \"error\": \"x\"\n}\n");
  fake.add(reply("garbage\r\n\r\n{\"a\":1}\r\n"));
  EXPECT_EQ(run({"status", "--json"}).out, "{\n  \"a\": 1\n}\n");
}

TEST_F(StatusTest, PortComesFromTheOptionThenTheEnvironment) {
  fake.add(json_reply(200, "{}"));
  RunOptions options;
  options.env["TIRVANE_PORT"] = "1";
  options.working_dir = dir;
  RunResult r = run_client({"status", "--port", fake.port_text()}, options);
  EXPECT_EQ(r.exit_status, 0) << r.err;

  options.env["TIRVANE_PORT"] = "";
  r = run_client({"status"}, options);
  EXPECT_EQ(r.err, cannot_reach("http://127.0.0.1:/api", "invalid port value"));

  options.env["TIRVANE_PORT"] = "\xEF\xBC\x97";  // a fullwidth 7: Unicode text, but no port
  r = run_client({"status"}, options);
  EXPECT_EQ(r.err, cannot_reach("http://127.0.0.1:\xEF\xBC\x97/api", "invalid port value"));

  EXPECT_EQ(fake.requests().size(), 1u);

  // A value that is not valid Unicode is passed over, so the default port is used. (Under wine
  // the byte arrives already replaced by U+FFFD, which is valid, so this is a POSIX case.)
  if (!client_is_windows()) {
    options.env["TIRVANE_PORT"] = "12\xFF";
    r = run_client({"status"}, options);
    EXPECT_TRUE(r.err.starts_with("error: cannot reach Tirvane at http://127.0.0.1:7777/api ("))
        << r.err;
  }
}

}  // namespace
}  // namespace testing_support
