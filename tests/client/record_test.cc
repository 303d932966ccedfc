// tirvane record: the request body, the default file, the report, and the failures.
#include "capture_test.h"

namespace testing_support {
namespace {

using RecordTest = ClientTest;

TEST_F(RecordTest, BodyAndDefaultFile) {
  struct Case {
    std::vector<std::string> args;
    std::string body;
    std::string file;
  };
  for (const Case& c : std::vector<Case>{
           {{"record"}, R"({"format":null,"secs":null})", "screen.webm"},
           {{"record", "--secs", "30", "--format", "mp4"}, R"({"format":"mp4","secs":30})",
            "screen.mp4"},
           {{"record", "--format=MP4"}, R"({"format":"MP4","secs":null})", "screen.webm"},
           {{"record", "--format", "mp4 "}, R"({"format":"mp4 ","secs":null})", "screen.webm"},
           {{"record", "--format", "webm"}, R"({"format":"webm","secs":null})", "screen.webm"},
           {{"record", "--format="}, R"({"format":"","secs":null})", "screen.webm"},
           {{"record", "--format", "mp4", "--out", "clip.webm"}, R"({"format":"mp4","secs":null})",
            "clip.webm"},
           {{"record", "--secs", "+7"}, R"({"format":null,"secs":7})", "screen.webm"},
           {{"record", "--secs=007"}, R"({"format":null,"secs":7})", "screen.webm"},
           {{"record", "--secs", "0"}, R"({"format":null,"secs":0})", "screen.webm"},
           {{"record", "--secs", "600"}, R"({"format":null,"secs":600})", "screen.webm"},
           {{"record", "--secs", "4294967295"}, R"({"format":null,"secs":4294967295})",
            "screen.webm"},
           {{"record", "--secs", "--format", "mp4"}, R"({"format":"mp4","secs":null})",
            "screen.mp4"},
           {{"record", "--secs"}, R"({"format":null,"secs":null})", "screen.webm"},
           // record reads neither --device nor --size.
           {{"record", "--device", "1", "--size", "bad"}, R"({"format":null,"secs":null})",
            "screen.webm"},
       }) {
    const std::string label = ::testing::PrintToString(c.args);
    fake.add(media_reply(200, "video bytes"));
    RunResult r = run(c.args);
    EXPECT_EQ(r.exit_status, 0) << label << r.err;
    EXPECT_EQ(r.out, c.file + "  11 bytes\n") << label;
    EXPECT_EQ(read_file(dir + "/" + c.file), "video bytes") << label;
    EXPECT_EQ(fake.requests().back(), post("/api/screen/record", c.body)) << label;
    std::remove((dir + "/" + c.file).c_str());
  }
}

TEST_F(RecordTest, JsonReportIsOneCompactLine) {
  // A double quote cannot stand in a Windows file name.
  const std::string name = client_is_windows() ? "x y.webm" : "x\".webm";
  fake.add(media_reply(200, std::string(70000, 'v')));
  RunResult r = run({"record", "--json", "--out", name});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, client_is_windows() ? "{\"bytes\":70000,\"path\":\"x y.webm\"}\n"
                                       : "{\"bytes\":70000,\"path\":\"x\\\".webm\"}\n");
  EXPECT_EQ(read_file(dir + "/" + name), std::string(70000, 'v'));
}

TEST_F(RecordTest, SecsThatAreNoWholeNumberFailBeforeAnyRequest) {
  write_file(dir + "/screen.webm", "old video");
  for (std::string secs : {"-5", "1.5", "5s", "", "4294967296", "99999999999999999999", "+",
                                  "-", "++5", "+-5", " 5", "5 ", "0x10", "\xD9\xA5"}) {
    RunResult r = run({"record", "--secs=" + secs, "--json"});
    EXPECT_EQ(r.exit_status, 1) << secs;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: --secs wants a whole number of seconds\n") << secs;
  }
  // The separate form takes a value with a single leading "-" too.
  RunResult r = run({"record", "--secs", "-5"});
  EXPECT_EQ(r.err, "error: --secs wants a whole number of seconds\n");
  EXPECT_TRUE(fake.requests().empty());
  EXPECT_EQ(read_file(dir + "/screen.webm"), "old video");
}

TEST_F(RecordTest, RefusalsAndUnreachableServiceLeaveTheFile) {
  struct Case {
    std::string response;
    std::string err;
  };
  write_file(dir + "/screen.mp4", "old video");
  for (const Case& c : std::vector<Case>{
           {"HTTP/1.1 400 X\r\n\r\n{\"error\":\"secs must be at most 120\"}",
            "error: secs must be at most 120\n"},
           {"HTTP/1.1 503 X\r\n\r\n", "error: could not record the screen\n"},
           {"HTTP/1.1 500 X\r\n\r\n{\"error\":null}", "error: could not record the screen\n"},
       }) {
    fake.add(reply(c.response));
    RunResult r = run({"record", "--format", "mp4"});
    EXPECT_EQ(r.exit_status, 1) << c.response;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(read_file(dir + "/screen.mp4"), "old video");
  }
  const std::string port = std::to_string(unused_port());
  RunResult r = run({"record", "--format", "mp4", "--port", port});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.err.starts_with("error: cannot reach Tirvane at http://127.0.0.1:" + port +
                                "/api ("))
      << r.err;
  EXPECT_EQ(read_file(dir + "/screen.mp4"), "old video");
}

TEST_F(RecordTest, FileThatCannotBeWrittenIsReported) {
  fake.add(media_reply(200, "video"));
  expect_cannot_write(run({"record", "--out="}), "", "No such file or directory (os error 2)");
  fake.add(media_reply(200, "video"));
  expect_cannot_write(run({"record", "--out", "gone/clip.webm"}), "gone/clip.webm",
                      "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace testing_support
