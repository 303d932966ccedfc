// tirvane devices: the aligned listing, its fallbacks, and --json.
#include "client_test.h"

namespace testing_support {
namespace {

using DevicesTest = ClientTest;

std::string spaces(std::size_t n) { return std::string(n, ' '); }

const std::string kNoCameras = "no cameras found \xE2\x80\x94 plug one in; any UVC webcam works\n";

TEST_F(DevicesTest, LinesAlignIdentifierNameAndFocus) {
  struct Case {
    std::string devices;  // the "devices" member
    std::string out;
  };
  const std::string name17 = "HD Pro Webcam C92";
  const std::string name40 = "A very long camera name of forty letters";
  // Ten characters in twelve bytes.
  const std::string accented = "Cam\xC3\xA9ra \xC3\xA9lu";
  for (const Case& c : std::vector<Case>{
           {R"([{"id":"0","name":")" + name17 + R"(","focusable":true}])",
            "    0  " + name17 + spaces(17) + " focusable\n"},
           {R"([{"id":"screen","name":"Screen","focusable":false}])",
            "  screen  Screen" + spaces(28) + " fixed focus\n"},
           {R"([{"id":"net:phone","name":"phone","focusable":true}])",
            "  net:phone  phone" + spaces(29) + " focusable\n"},
           {R"([{"id":"abc","name":")" + name40 + R"(","focusable":true}])",
            "  abc  " + name40 + " focusable\n"},
           {R"([{"id":"12","name":")" + accented + R"("}])",
            "   12  " + accented + spaces(24) + " fixed focus\n"},
           {R"([{"id":"\u00e91","name":"x"}])",
            "   \xC3\xA9" "1  x" + spaces(33) + " fixed focus\n"},
           // Members of another type, missing members and elements that are no objects.
           {R"([{"id":0,"name":["x"],"focusable":"true"}])",
            "    ?  ?" + spaces(33) + " fixed focus\n"},
           {R"([{"focusable":1},5,null,"cam"])",
            std::string("    ?  ?") + spaces(33) + " fixed focus\n" + "    ?  ?" + spaces(33) +
                " fixed focus\n" + "    ?  ?" + spaces(33) + " fixed focus\n" + "    ?  ?" +
                spaces(33) + " fixed focus\n"},
           // In the order sent, written verbatim.
           {R"([{"id":"2","name":"b \"q\" \\","focusable":true},{"id":"1","name":"a"}])",
            "    2  b \"q\" \\" + spaces(27) + " focusable\n    1  a" + spaces(33) +
                " fixed focus\n"},
       }) {
    fake.add(json_reply(200, R"({"devices":)" + c.devices + "}"));
    RunResult r = run({"devices", "extra", "--device=3"});
    EXPECT_EQ(r.exit_status, 0) << c.devices << r.err;
    EXPECT_EQ(r.out, c.out) << c.devices;
    EXPECT_EQ(r.err, "");
  }
  for (const std::string& request : fake.requests()) EXPECT_EQ(request, get("/api/devices"));
}

TEST_F(DevicesTest, NoListPrintsTheNoCamerasLine) {
  for (const std::string body :
       {"{}", R"({"devices":null})", R"({"devices":{}})", R"({"devices":[]})",
        R"({"devices":"0"})", "[]", "not json", ""}) {
    fake.add(json_reply(200, body));
    RunResult r = run({"devices"});
    EXPECT_EQ(r.exit_status, 0) << body;
    EXPECT_EQ(r.out, kNoCameras) << body;
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(DevicesTest, JsonPrintsTheDocumentAndNoLines) {
  fake.add(json_reply(200, R"({"devices":[{"name":"cam","id":"0","focusable":true}],"more":1})"));
  RunResult r = run({"devices", "--json"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out,
            "{\n  \"devices\": [\n    {\n      \"focusable\": true,\n      \"id\": \"0\",\n"
            "      \"name\": \"cam\"\n    }\n  ],\n  \"more\": 1\n}\n");
  fake.add(json_reply(200, R"({"devices":[]})"));
  r = run({"--json", "devices"});
  EXPECT_EQ(r.out, "{\n  \"devices\": []\n}\n");
  EXPECT_EQ(fake.requests().size(), 2u);
}

TEST_F(DevicesTest, RefusalEndsWithTheServiceTextAndPrintsNothing) {
  fake.add(json_reply(503, R"({"error":"camera subsystem is starting"})"));
  RunResult r = run({"devices"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: camera subsystem is starting\n");
  ASSERT_EQ(fake.requests().size(), 1u);
  EXPECT_EQ(fake.requests()[0], get("/api/devices"));
}

}  // namespace
}  // namespace testing_support
