// tirvane sources, add-source and forget-source: the listing, the bodies and the report lines.
#include "client_test.h"

namespace testing_support {
namespace {

using SourcesTest = ClientTest;

std::string spaces(std::size_t n) { return std::string(n, ' '); }

const std::string kHint =
    "no phone / IP cameras registered\n"
    "  add one: tirvane add-source phone http://<phone-ip>:8080/shot.jpg\n";

TEST_F(SourcesTest, LinesShowTheNameColumnAndTheUrl) {
  struct Case {
    std::string sources;  // the "sources" member
    std::string out;
  };
  const std::string url30 = "http://192.168.1.50:8080/s.jpg";
  const std::string long_name = "kitchen-window-camera";  // 21 characters
  const std::string accented = "t\xC3\xA9l\xC3\xA9phone";  // nine characters, eleven bytes
  for (const Case& c : std::vector<Case>{
           {R"([{"name":"phone","url":")" + url30 + R"("}])",
            "  net:phone" + spaces(11) + " " + url30 + "\n"},
           {R"([{"name":")" + long_name + R"(","url":"rtsp://x"}])",
            "  net:" + long_name + " rtsp://x\n"},
           {R"([{"name":"sixteen-chars-ok","url":"u"}])", "  net:sixteen-chars-ok u\n"},
           {R"([{"name":")" + accented + R"(","url":"http://h/\u00e9"}])",
            "  net:" + accented + spaces(7) + " http://h/\xC3\xA9\n"},
           {R"([{"name":"phone"}])", "  net:phone" + spaces(11) + " ?\n"},
           {R"([{"name":1,"url":["u"]},"x",{"url":"http://a b/\"q\""}])",
            "  net:?" + spaces(15) + " ?\n  net:?" + spaces(15) + " ?\n  net:?" + spaces(15) +
                " http://a b/\"q\"\n"},
           {R"([{"name":"b","url":"2"},{"name":"a","url":"1"}])",
            "  net:b" + spaces(15) + " 2\n  net:a" + spaces(15) + " 1\n"},
       }) {
    fake.add(json_reply(200, R"({"sources":)" + c.sources + "}"));
    RunResult r = run({"sources", "extra", "--device=0"});
    EXPECT_EQ(r.exit_status, 0) << c.sources << r.err;
    EXPECT_EQ(r.out, c.out) << c.sources;
    EXPECT_EQ(r.err, "");
  }
  for (const std::string& request : fake.requests()) EXPECT_EQ(request, get("/api/sources"));
}

TEST_F(SourcesTest, EmptyRegistryPrintsTheHint) {
  for (const std::string body :
       {"{}", R"({"sources":null})", R"({"sources":{}})", R"({"sources":[]})",
        R"({"sources":"phone"})", "not json"}) {
    fake.add(json_reply(200, body));
    RunResult r = run({"sources"});
    EXPECT_EQ(r.exit_status, 0) << body;
    EXPECT_EQ(r.out, kHint) << body;
    EXPECT_EQ(r.err, "");
  }
  fake.add(json_reply(200, R"({"sources":[]})"));
  RunResult r = run({"sources", "--json"});
  EXPECT_EQ(r.out, "{\n  \"sources\": []\n}\n");
}

TEST_F(SourcesTest, AddSourceSendsNameAndUrlVerbatim) {
  struct Case {
    std::vector<std::string> args;
    std::string body;
  };
  for (const Case& c : std::vector<Case>{
           {{"add-source", "phone", "http://192.168.1.50:8080/shot.jpg"},
            R"({"name":"phone","url":"http://192.168.1.50:8080/shot.jpg"})"},
           {{"add-source", "phone", "u", "extra", "--device=1"}, R"({"name":"phone","url":"u"})"},
           {{"--port=" + fake.port_text(), "add-source", " a b ", ""}, R"({"name":" a b ","url":""})"},
           {{"add-source", "t\xC3\xA9l\xC3\xA9phone", "http://h/\"q\"\\\n"},
            "{\"name\":\"t\xC3\xA9l\xC3\xA9phone\",\"url\":\"http://h/\\\"q\\\"\\\\\\n\"}"},
           {{"add-source", "caf\xE9", "-"}, "{\"name\":\"caf\xEF\xBF\xBD\",\"url\":\"-\"}"},
       }) {
    // Windows passes arguments as UTF-16, so bytes that are not UTF-8 cannot reach its client.
    if (client_is_windows() && !all_utf8(c.args)) continue;
    fake.add(json_reply(200, R"({"added":"phone"})"));
    RunResult r = run(c.args);
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.exit_status, 0) << what << r.err;
    EXPECT_EQ(r.out, "added \"phone\" \xE2\x80\x94 use it with --device net:phone\n") << what;
    ASSERT_FALSE(fake.requests().empty());
    EXPECT_EQ(fake.requests().back(), post("/api/sources", c.body)) << what;
  }
}

TEST_F(SourcesTest, AddedLineQuotesTheNameThenShowsItBare) {
  struct Case {
    std::string answer;
    std::string out;
  };
  const std::string dash = " \xE2\x80\x94 use it with --device net:";
  for (const Case& c : std::vector<Case>{
           {R"({"added":"phone"})", "added \"phone\"" + dash + "phone\n"},
           {R"({"added":"a\"b\u00e9"})", "added \"a\\\"b\xC3\xA9\"" + dash + "a\"b\xC3\xA9\n"},
           {"{}", "added null" + dash + "?\n"},
           {R"({"added":true})", "added true" + dash + "?\n"},
           {R"({"added":{"name":"phone"}})", "added {\"name\":\"phone\"}" + dash + "?\n"},
           {"\"phone\"", "added null" + dash + "?\n"},
       }) {
    fake.add(json_reply(201, c.answer));
    RunResult r = run({"add-source", "phone", "http://x/"});
    EXPECT_EQ(r.exit_status, 0) << c.answer;
    EXPECT_EQ(r.out, c.out) << c.answer;
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(SourcesTest, FlagsMayStandBetweenTheOperands) {
  fake.add(json_reply(200, R"({"added":"phone","sources":2})"));
  RunResult r = run({"add-source", "phone", "--json", "http://x/"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "{\n  \"added\": \"phone\",\n  \"sources\": 2\n}\n");
  ASSERT_EQ(fake.requests().size(), 1u);
  EXPECT_EQ(fake.requests()[0], post("/api/sources", R"({"name":"phone","url":"http://x/"})"));
}

TEST_F(SourcesTest, ForgetSourceSendsTheNameAndReportsWhatWasRemoved) {
  struct Case {
    std::string answer;
    std::string out;
  };
  for (const Case& c : std::vector<Case>{
           {R"({"removed":"phone"})", "removed \"phone\"\n"},
           {R"({"removed":true})", "removed true\n"},
           {R"({"removed":["a",1]})", "removed [\"a\",1]\n"},
           {"{}", "removed null\n"},
           {"", "removed null\n"},
       }) {
    fake.add(json_reply(200, c.answer));
    RunResult r = run({"forget-source", "a", "b"});
    EXPECT_EQ(r.exit_status, 0) << c.answer;
    EXPECT_EQ(r.out, c.out) << c.answer;
    EXPECT_EQ(r.err, "");
  }
  for (const std::string& request : fake.requests()) {
    EXPECT_EQ(request, post("/api/sources/remove", R"({"name":"a"})"));
  }
  fake.add(json_reply(200, R"({"removed":"net \"x\""})"));
  RunResult r = run({"--json", "forget-source", "net \"x\""});
  EXPECT_EQ(r.out, "{\n  \"removed\": \"net \\\"x\\\"\"\n}\n");
  EXPECT_EQ(fake.requests().back(), post("/api/sources/remove", R"({"name":"net \"x\""})"));
}

TEST_F(SourcesTest, RefusalsEndWithTheServiceTextAndPrintNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string request;
  };
  for (const Case& c : std::vector<Case>{
           {{"sources"}, get("/api/sources")},
           {{"add-source", "phone", "x"}, post("/api/sources", R"({"name":"phone","url":"x"})")},
           {{"forget-source", "phone"}, post("/api/sources/remove", R"({"name":"phone"})")},
       }) {
    fake.add(json_reply(409, R"({"error":"no source named phone"})"));
    RunResult r = run(c.args);
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.exit_status, 1) << what;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(r.err, "error: no source named phone\n") << what;
    ASSERT_FALSE(fake.requests().empty());
    EXPECT_EQ(fake.requests().back(), c.request) << what;
  }
  EXPECT_EQ(fake.requests().size(), 3u);
}

}  // namespace
}  // namespace testing_support
