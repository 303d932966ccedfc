// tirvane focus and tirvane look: the sweep request, the header and chart, look's two reports,
// and the order in which look's requests and failures happen.
#include "capture_test.h"

namespace testing_support {
namespace {

using FocusTest = ClientTest;

std::string bar(std::size_t n) { return std::string(n, '#'); }

const std::string kDot = " \xC2\xB7 ";

TEST_F(FocusTest, HeaderAndChart) {
  struct Case {
    std::string name;
    std::string document;
    std::string out;
  };
  for (const Case& c : std::vector<Case>{
           {"sorted by focus, bars relative to the sharpest",
            R"({"sweep":{"focus":120,"sharpness":873.4,"samples":[
                {"focus":40,"sharpness":436.7},{"focus":20,"sharpness":873.4},
                {"focus":30,"sharpness":0}]}})",
            "locked focus 120" + kDot + "sharpness 873" + kDot + "3 samples\n" +
                "     20 " + bar(46) + "\n" +
                "     30 \n" +
                "     40 " + bar(23) + "\n"},
           {"keys that are not signed integers sort as 0, ties keep the service's order",
            R"({"sweep":{"focus":"5","sharpness":2.5,"samples":[
                {"focus":5,"sharpness":10},{"focus":25.0,"sharpness":5},{"focus":-3,"sharpness":1},
                {"focus":"x"},{"sharpness":2},{"focus":5,"sharpness":0},
                {"focus":9223372036854775808,"sharpness":-4},
                {"focus":9223372036854775807,"sharpness":"high"},{"focus":123456,"sharpness":true},
                7]}})",
            "locked focus \"5\"" + kDot + "sharpness 2" + kDot + "10 samples\n" +
                "     -3 " + bar(4) + "\n" +
                "   25.0 " + bar(23) + "\n" +
                "    \"x\" \n" +
                "   null " + bar(9) + "\n" +
                "  9223372036854775808 \n" +
                "   null \n" +
                "      5 " + bar(46) + "\n" +
                "      5 \n" +
                "  123456 \n" +
                "  9223372036854775807 \n"},
           {"faint sweeps are measured against 1.0",
            R"({"sweep":{"focus":3,"sharpness":0.5,"samples":[
                {"focus":1,"sharpness":0.5},{"focus":2,"sharpness":0.25},{"focus":3,"sharpness":-0.5}]}})",
            "locked focus 3" + kDot + "sharpness 0" + kDot + "3 samples\n" +
                "      1 " + bar(23) + "\n" +
                "      2 " + bar(11) + "\n" +
                "      3 \n"},
           {"integer sharpness, text counted in characters",
            R"({"sweep":{"focus":7,"sharpness":46,"samples":[
                {"focus":7,"sharpness":10},{"focus":"\u00e9","sharpness":46}]}})",
            "locked focus 7" + kDot + "sharpness 46" + kDot + "2 samples\n" +
                "    \"\xC3\xA9\" " + bar(46) + "\n" +
                "      7 " + bar(10) + "\n"},
           {"one sample", R"({"sweep":{"focus":1,"sharpness":1,"samples":[{"focus":1,"sharpness":1}]}})",
            "locked focus 1" + kDot + "sharpness 1" + kDot + "1 samples\n" +
                "      1 " + bar(46) + "\n"},
           {"samples empty", R"({"sweep":{"focus":1,"sharpness":3.5,"samples":[]}})",
            "locked focus 1" + kDot + "sharpness 4" + kDot + "0 samples\n"},
           {"samples not a list", R"({"sweep":{"focus":[1,2],"sharpness":1e20,"samples":{"a":1}}})",
            "locked focus [1,2]" + kDot + "sharpness 100000000000000000000" + kDot + "0 samples\n"},
           {"negative sharpness", R"({"sweep":{"focus":0,"sharpness":-2.5}})",
            "locked focus 0" + kDot + "sharpness -2" + kDot + "0 samples\n"},
           {"rounding away from a half", R"({"sweep":{"focus":0,"sharpness":-873.6}})",
            "locked focus 0" + kDot + "sharpness -874" + kDot + "0 samples\n"},
           {"largest unsigned", R"({"sweep":{"sharpness":18446744073709551615}})",
            "locked focus null" + kDot + "sharpness 18446744073709551616" + kDot + "0 samples\n"},
           {"sharpness as text", R"({"sweep":{"focus":null,"sharpness":"9"}})",
            "locked focus null" + kDot + "sharpness 0" + kDot + "0 samples\n"},
           {"no sweep", R"({"samples":[{"focus":1}]})",
            "locked focus null" + kDot + "sharpness 0" + kDot + "0 samples\n"},
           {"not JSON", "<html>", "locked focus null" + kDot + "sharpness 0" + kDot + "0 samples\n"},
       }) {
    fake.add(json_reply(200, c.document));
    RunResult r = run({"focus"});
    EXPECT_EQ(r.exit_status, 0) << c.name << r.err;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
  }
}

TEST_F(FocusTest, SweepRequestNamesTheDeviceOrNull) {
  struct Case {
    std::vector<std::string> args;
    std::string body;
  };
  for (const Case& c : std::vector<Case>{
           {{"focus"}, R"({"device":null})"},
           {{"focus", "--device", "1"}, R"({"device":"1"})"},
           {{"focus", "--device="}, R"({"device":""})"},
           {{"focus", "--device", "net:a\"b"}, R"({"device":"net:a\"b"})"},
           // focus reads neither --size nor --out.
           {{"focus", "--size", "1280", "--out="}, R"({"device":null})"},
       }) {
    fake.add(json_reply(200, "{}"));
    RunResult r = run(c.args);
    EXPECT_EQ(r.exit_status, 0) << ::testing::PrintToString(c.args) << r.err;
    EXPECT_EQ(fake.requests().back(), post("/api/focus", c.body));
  }
}

TEST_F(FocusTest, JsonPrintsTheWholeDocumentPretty) {
  fake.add(json_reply(200, R"({"sweep":{"samples":[{"sharpness":1.5,"focus":2}],"focus":2},"took":3})"));
  RunResult r = run({"focus", "--json"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\n  \"sweep\": {\n    \"focus\": 2,\n    \"samples\": [\n      {\n"
            "        \"focus\": 2,\n        \"sharpness\": 1.5\n      }\n    ]\n  },\n"
            "  \"took\": 3\n}\n");
}

TEST_F(FocusTest, RefusedSweepEndsWithTheServiceText) {
  fake.add(json_reply(409, R"({"error":"camera busy"})"));
  RunResult r = run({"focus"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: camera busy\n");

  fake.add(json_reply(500, "busy"));
  r = run({"focus", "--json"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: the app rejected the request\n");
}

using LookTest = ClientTest;

const std::string kSweep = R"({"sweep":{"focus":120,"sharpness":2.5,"samples":[{"focus":120,"sharpness":2.5}]}})";

TEST_F(LookTest, SweepsThenTakesThePhotoAndReportsBoth) {
  fake.add(json_reply(200, kSweep));
  fake.add(media_reply(200, "image"));
  RunResult r = run({"look", "--device", "2", "--size", "640x480", "--out", "l.jpg"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "focus 120 (sharpness 2)\nl.jpg  5 bytes\n");
  EXPECT_EQ(read_file(dir + "/l.jpg"), "image");
  const std::vector<std::string> requests = fake.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], post("/api/focus", R"({"device":"2"})"));
  EXPECT_EQ(requests[1], get("/api/frame.jpg?_=&device=2&width=640&height=480"));

  fake.add(json_reply(200, R"({"sweep":{"focus":"near","sharpness":3.5}})"));
  fake.add(media_reply(200, ""));
  r = run({"look"});
  EXPECT_EQ(r.out, "focus \"near\" (sharpness 4)\ntirvane.jpg  0 bytes\n");
  EXPECT_EQ(fake.requests()[2], post("/api/focus", R"({"device":null})"));
  EXPECT_EQ(fake.requests()[3], get("/api/frame.jpg?_="));
}

TEST_F(LookTest, JsonIsOneCompactLineWithTheSweep) {
  fake.add(json_reply(200, kSweep));
  fake.add(media_reply(200, "image"));
  RunResult r = run({"look", "--json"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"bytes\":5,\"path\":\"tirvane.jpg\",\"sweep\":{\"focus\":120,\"samples\":"
            "[{\"focus\":120,\"sharpness\":2.5}],\"sharpness\":2.5}}\n");

  for (const std::string& document : {std::string("{}"), std::string("not json")}) {
    fake.add(json_reply(200, document));
    fake.add(media_reply(200, "ab"));
    r = run({"look", "--json"});
    EXPECT_EQ(r.out, "{\"bytes\":2,\"path\":\"tirvane.jpg\",\"sweep\":null}\n") << document;
  }
}

TEST_F(LookTest, RefusedSweepRequestsNoPhotoAndLeavesTheFile) {
  write_file(dir + "/tirvane.jpg", "keep me");
  fake.add(json_reply(409, R"({"error":"camera busy"})"));
  fake.add(media_reply(200, "image"));
  RunResult r = run({"look"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: camera busy\n");
  EXPECT_EQ(fake.requests().size(), 1u);
  EXPECT_EQ(read_file(dir + "/tirvane.jpg"), "keep me");
}

TEST_F(LookTest, BadSizeFailsAfterTheSweepWithoutAFrameRequest) {
  fake.add(json_reply(200, kSweep));
  fake.add(media_reply(200, "image"));
  RunResult r = run({"look", "--size", "640", "--json"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: --size wants WxH, e.g. --size 1280x720\n");
  ASSERT_EQ(fake.requests().size(), 1u);
  EXPECT_EQ(fake.requests()[0], post("/api/focus", R"({"device":null})"));
  EXPECT_FALSE(read_file(dir + "/tirvane.jpg"));
}

TEST_F(LookTest, FailedPhotoPrintsNothingAfterTheSweep) {
  struct Case {
    std::vector<std::string> args;
    Reply frame;
    std::string err;
  };
  write_file(dir + "/tirvane.jpg", "keep me");
  for (Case& c : std::vector<Case>{
           {{"look"}, json_reply(500, "oops"), "error: could not take a photo\n"},
           {{"look", "--json"}, json_reply(404, R"({"error":"no such camera"})"),
            "error: no such camera\n"},
       }) {
    fake.add(json_reply(200, kSweep));
    fake.add(c.frame);
    RunResult r = run(c.args);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(read_file(dir + "/tirvane.jpg"), "keep me");
  }
  EXPECT_EQ(fake.requests().size(), 4u);

  fake.add(json_reply(200, kSweep));
  fake.add(media_reply(200, "image"));
  expect_cannot_write(run({"look", "--out", "no/such.jpg"}), "no/such.jpg",
                      "No such file or directory (os error 2)");
}

TEST_F(LookTest, UnreachableServiceForTheSweepDoesNothingElse) {
  write_file(dir + "/tirvane.jpg", "keep me");
  const std::string port = std::to_string(unused_port());
  RunResult r = run({"look", "--port=" + port});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("error: cannot reach Tirvane at http://127.0.0.1:" + port +
                                "/api ("))
      << r.err;
  EXPECT_EQ(read_file(dir + "/tirvane.jpg"), "keep me");
}

}  // namespace
}  // namespace testing_support
