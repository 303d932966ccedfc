// tirvane snap and tirvane screenshot: the request, the file, the report, and every way they fail.
#include "capture_test.h"

namespace testing_support {
namespace {

using PhotoTest = ClientTest;

const std::string kJpeg("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\xFF\xD9", 15);

TEST_F(PhotoTest, RequestTargetsAndDefaultFiles) {
  struct Case {
    std::vector<std::string> args;
    std::string target;
    std::string file;
  };
  for (const Case& c : std::vector<Case>{
           {{"snap"}, "/api/frame.jpg?_=", "tirvane.jpg"},
           {{"snap", "--device", "2", "--size", "1280x720"},
            "/api/frame.jpg?_=&device=2&width=1280&height=720", "tirvane.jpg"},
           {{"--size=1280x720", "snap", "--device=2"},
            "/api/frame.jpg?_=&device=2&width=1280&height=720", "tirvane.jpg"},
           {{"snap", "--device", "net:phone"}, "/api/frame.jpg?_=&device=net:phone", "tirvane.jpg"},
           {{"snap", "--device="}, "/api/frame.jpg?_=&device=", "tirvane.jpg"},
           {{"snap", "--size", "1280x720x2"}, "/api/frame.jpg?_=&width=1280&height=720x2",
            "tirvane.jpg"},
           {{"snap", "--size", "x"}, "/api/frame.jpg?_=&width=&height=", "tirvane.jpg"},
           {{"snap", "--size", "12X3x4"}, "/api/frame.jpg?_=&width=12&height=3x4", "tirvane.jpg"},
           {{"snap", "--size", "abcxdef"}, "/api/frame.jpg?_=&width=abc&height=def", "tirvane.jpg"},
           {{"snap", "--size"}, "/api/frame.jpg?_=", "tirvane.jpg"},
           {{"snap", "--out", "--json"}, "/api/frame.jpg?_=", "tirvane.jpg"},
           {{"screenshot"}, "/api/frame.jpg?device=screen", "screen.jpg"},
           {{"screenshot", "--size", "640X480"}, "/api/frame.jpg?device=screen&width=640&height=480",
            "screen.jpg"},
           {{"screenshot", "--device", "1"}, "/api/frame.jpg?device=screen", "screen.jpg"},
           {{"snap", "extra", "words", "--out", "pic.jpg"}, "/api/frame.jpg?_=", "pic.jpg"},
           {{"--out", "snap"}, "/api/frame.jpg?_=", "snap"},
           {{"snap", "--out=--json"}, "/api/frame.jpg?_=", "--json"},
       }) {
    const std::string label = ::testing::PrintToString(c.args);
    const std::size_t before = fake.requests().size();
    fake.add(media_reply(200, kJpeg));
    RunResult r = run(c.args);
    EXPECT_EQ(r.exit_status, 0) << label << r.err;
    EXPECT_EQ(r.err, "") << label;
    const bool json = c.args.back() == "--json";
    EXPECT_EQ(r.out, json ? "{\"bytes\":15,\"path\":\"" + c.file + "\"}\n"
                          : c.file + "  15 bytes\n")
        << label;
    EXPECT_EQ(read_file(dir + "/" + c.file), kJpeg) << label;
    ASSERT_EQ(fake.requests().size(), before + 1) << label;
    EXPECT_EQ(fake.requests().back(), get(c.target)) << label;
    std::remove((dir + "/" + c.file).c_str());
  }
}

TEST_F(PhotoTest, SizeWithoutAnXFailsBeforeAnyRequestAndLeavesTheFile) {
  write_file(dir + "/tirvane.jpg", "old photo");
  write_file(dir + "/screen.jpg", "old screen");
  for (std::string command : {"snap", "screenshot"}) {
    for (const std::vector<std::string>& size : std::vector<std::vector<std::string>>{
             {"--size", "1280"}, {"--size", "1280*720"}, {"--size="}, {"--size", "-"},
             {"--size", "\xC3\x97"}}) {
      std::vector<std::string> args{command};
      args.insert(args.end(), size.begin(), size.end());
      args.push_back("--json");
      RunResult r = run(args);
      EXPECT_EQ(r.exit_status, 1) << ::testing::PrintToString(args);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "error: --size wants WxH, e.g. --size 1280x720\n");
    }
  }
  EXPECT_TRUE(fake.requests().empty());
  EXPECT_EQ(read_file(dir + "/tirvane.jpg"), "old photo");
  EXPECT_EQ(read_file(dir + "/screen.jpg"), "old screen");
}

TEST_F(PhotoTest, BodyIsWrittenExactlyAndReplacesALongerFile) {
  // Several megabytes of every byte value: the body crosses many receive blocks.
  std::string big;
  for (std::size_t i = 0; i < 5'000'000; ++i) {
    big.push_back(static_cast<char>((i * 7 + i / 251) & 0xFF));
  }
  write_file(dir + "/out.jpg", std::string(6'000'000, 'o'));
  fake.add(media_reply(200, big));
  RunResult r = run({"snap", "--out", "out.jpg"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "out.jpg  5000000 bytes\n");
  EXPECT_TRUE(read_file(dir + "/out.jpg") == big);
  std::remove((dir + "/out.jpg").c_str());  // the working folder outlives the test

  write_file(dir + "/tirvane.jpg", "a longer old photo");
  fake.add(media_reply(200, "new"));
  r = run({"snap"});
  EXPECT_EQ(r.out, "tirvane.jpg  3 bytes\n");
  EXPECT_EQ(read_file(dir + "/tirvane.jpg"), "new");

  fake.add(media_reply(200, ""));
  r = run({"snap"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "tirvane.jpg  0 bytes\n");
  EXPECT_EQ(read_file(dir + "/tirvane.jpg"), "");
}

// A body of every byte value, the same for the same size.
std::string patterned(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

// An image answer that states the body's length and sends head and body in pieces of the given
// sizes, in order, with a pause before each (a size of 0 only pauses); what is left of the body
// goes last.
Reply stated_in_pieces(const std::string& body, std::size_t stated,
                       const std::vector<std::size_t>& sizes) {
  Reply answer;
  answer.pause = std::chrono::milliseconds(30);
  answer.pieces.push_back("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                          std::to_string(stated) + "\r\n\r\n");
  std::size_t at = 0;
  for (std::size_t size : sizes) {
    answer.pieces.push_back(body.substr(std::min(at, body.size()), size));
    at += size;
  }
  if (at < body.size()) answer.pieces.push_back(body.substr(at));
  return answer;
}

TEST_F(PhotoTest, ALargeBodyOfStatedLengthInOddPiecesWithPausesIsWrittenWhole) {
  // Larger than the room made ahead of the arriving bytes, so that making room waits for the
  // bytes and goes on again; pieces of odd sizes, the first ones smaller than a page.
  const std::string big = patterned((41u << 20) + 3);
  write_file(dir + "/out.jpg", std::string((42u << 20), 'o'));
  fake.add(stated_in_pieces(big, big.size(), {1, 4095, 4097, (1u << 20) + 1, 20u << 20, 7}));
  RunResult r = run({"snap", "--out", "out.jpg"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "out.jpg  " + std::to_string(big.size()) + " bytes\n");
  EXPECT_TRUE(read_file(dir + "/out.jpg") == big);

  // The same in one stream as fast as it goes, where the bytes may overtake the room being made.
  Reply fast = stated_in_pieces(big, big.size(), {});
  fast.pause = std::chrono::milliseconds(0);
  fake.add(fast);
  r = run({"snap", "--out", "out.jpg"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(read_file(dir + "/out.jpg") == big);
}

TEST_F(PhotoTest, StatusBelow400AndNoStatusAtAllAreSuccess) {
  struct Case {
    std::string response;
    std::string body;
  };
  for (const Case& c : std::vector<Case>{
           {"HTTP/1.1 399 X\r\n\r\nimg", "img"},
           {"HTTP/1.1 204 No Content\r\n\r\n", ""},
           {"garbage\r\n\r\nimg", "img"},
           // A body longer than the answer's own length is taken whole.
           {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nimg", "img"},
       }) {
    write_file(dir + "/tirvane.jpg", "old");
    fake.add(reply(c.response));
    RunResult r = run({"snap"});
    EXPECT_EQ(r.exit_status, 0) << c.response << r.err;
    EXPECT_EQ(r.out, "tirvane.jpg  " + std::to_string(c.body.size()) + " bytes\n");
    EXPECT_EQ(read_file(dir + "/tirvane.jpg"), c.body) << c.response;
  }
}

TEST_F(PhotoTest, JsonReportEscapesThePathWhileTheHumanLineKeepsIt) {
  // A double quote cannot stand in a Windows file name, and a backslash is its folder separator.
  const bool windows = client_is_windows();
  if (windows) std::filesystem::create_directory(dir + "/a");
  const std::string path = windows ? "a\\c \xC3\xA9.jpg" : "a\\b\"c \xC3\xA9.jpg";
  const std::string stored = windows ? "a/c \xC3\xA9.jpg" : path;
  fake.add(media_reply(200, "12345"));
  RunResult r = run({"--json", "snap", "--out=" + path});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, windows ? "{\"bytes\":5,\"path\":\"a\\\\c \xC3\xA9.jpg\"}\n"
                           : "{\"bytes\":5,\"path\":\"a\\\\b\\\"c \xC3\xA9.jpg\"}\n");
  EXPECT_EQ(read_file(dir + "/" + stored), "12345");

  fake.add(media_reply(200, "123"));
  r = run({"screenshot", "--out", path});
  EXPECT_EQ(r.out, path + "  3 bytes\n");
  EXPECT_EQ(read_file(dir + "/" + stored), "123");
}

TEST_F(PhotoTest, RefusalsReportTheServiceTextAndLeaveTheFile) {
  struct Case {
    std::string command;
    std::string response;
    std::string err;
  };
  const std::string no_camera = R"({"error":"no such camera"})";
  for (const Case& c : std::vector<Case>{
           {"snap", "HTTP/1.1 404 X\r\n\r\n" + no_camera, "error: no such camera\n"},
           {"screenshot", "HTTP/1.1 404 X\r\n\r\n" + no_camera, "error: no such camera\n"},
           {"snap", "HTTP/1.1 500 X\r\n\r\n<html>oops</html>", "error: could not take a photo\n"},
           {"snap", "HTTP/1.1 400 X\r\n\r\n{\"error\":7}", "error: could not take a photo\n"},
           {"snap", "HTTP/1.1 400 X\r\n\r\n", "error: could not take a photo\n"},
           {"screenshot", "HTTP/1.1 500 X\r\n\r\nnot json", "error: could not capture the screen\n"},
           {"screenshot", "HTTP/1.1 503 X\r\n\r\n{}", "error: could not capture the screen\n"},
           {"screenshot", "HTTP/1.1 400 X\r\n\r\n{\"error\":\"no display\\nat all\"}",
            "error: no display\nat all\n"},
       }) {
    write_file(dir + "/out.jpg", "keep me");
    fake.add(reply(c.response));
    RunResult r = run({c.command, "--out", "out.jpg", "--json"});
    EXPECT_EQ(r.exit_status, 1) << c.response;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err) << c.response;
    EXPECT_EQ(read_file(dir + "/out.jpg"), "keep me") << c.response;
  }
}

TEST_F(PhotoTest, UnreachableServiceLeavesTheFile) {
  write_file(dir + "/tirvane.jpg", "keep me");
  const std::string port = std::to_string(unused_port());
  for (std::string command : {"snap", "screenshot"}) {
    RunResult r = run({command, "--out", "tirvane.jpg", "--port", port});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("error: cannot reach Tirvane at http://127.0.0.1:" + port +
                                  "/api ("))
        << r.err;
  }
  // An answer that breaks off inside its header block is no answer either.
  fake.add(reply("HTTP/1.1 200 OK\r\nX: \xFF\r\n\r\nimage"));
  RunResult r = run({"snap"});
  EXPECT_EQ(r.err, cannot_reach("http://127.0.0.1:" + fake.port_text() + "/api",
                                "stream did not contain valid UTF-8"));
  EXPECT_EQ(read_file(dir + "/tirvane.jpg"), "keep me");
}

TEST_F(PhotoTest, AnswerThatBreaksOffIsAnUnreachableReportAndLeavesTheFile) {
  struct Case {
    std::string command;
    Reply answer;
    std::string reason;
  };
  const std::string no_answer = "no answer: the connection was closed before any byte arrived";
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: ";
  for (const Case& c : std::vector<Case>{
           {"snap", Reply{}, no_answer},
           {"screenshot", Reply{}, no_answer},
           {"record", Reply{}, no_answer},
           {"snap", reply(head + "15\r\n\r\n" + kJpeg.substr(0, 6)),
            "the answer was cut short: 6 of 15 body bytes"},
           {"screenshot", reply(head + "15\r\n"), "the answer was cut short: 0 of 15 body bytes"},
           {"record", reply(head + "300000\r\n\r\n" + std::string(200000, 'v')),
            "the answer was cut short: 200000 of 300000 body bytes"},
           // Cut off, after a pause, in the middle of a large body that was arriving in pieces,
           // far before the length it stated.
           {"snap", stated_in_pieces(patterned(20u << 20), 1u << 30, {3, 5u << 20, 15u << 20, 0}),
            "the answer was cut short: 20971520 of 1073741824 body bytes"},
       }) {
    for (std::string json : {"--json", "--out=keep.jpg"}) {
      write_file(dir + "/keep.jpg", "keep me");
      fake.add(c.answer);
      RunResult r = run({c.command, "--out", "keep.jpg", json});
      EXPECT_EQ(r.exit_status, 1) << c.command << " " << c.reason;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, cannot_reach("http://127.0.0.1:" + fake.port_text() + "/api", c.reason));
      EXPECT_EQ(read_file(dir + "/keep.jpg"), "keep me") << c.command << " " << c.reason;
    }
  }
  EXPECT_FALSE(read_file(dir + "/screen.webm"));
}

TEST_F(PhotoTest, RunningOutOfMemoryForAnEndlessAnswerIsAReportNotACrash) {
  if (!client_takes_memory_limit()) {
    GTEST_SKIP() << "the client under test cannot run under an address space limit";
  }
  RunOptions options;
  options.env["TIRVANE_PORT"] = fake.port_text();
  options.working_dir = dir;
  options.address_space_limit = kClientMemoryLimit;
  const std::string prefix = "error: out of memory while receiving the app's answer, after ";
  for (std::string command : {"snap", "status"}) {
    write_file(dir + "/keep.jpg", "keep me");
    fake.add_endless(media_reply(200, ""), std::string(1 << 16, 'b'));
    RunResult r = run_client({command, "--out", "keep.jpg"}, options);
    EXPECT_EQ(r.exit_status, 1) << command;
    EXPECT_EQ(r.out, "");
    ASSERT_TRUE(r.err.starts_with(prefix) && r.err.ends_with(" body bytes\n")) << r.err;
    // The count is what was held when memory ran out: most of the limit.
    const std::string count = r.err.substr(prefix.size(), r.err.size() - prefix.size() - 12);
    EXPECT_GT(std::stoull(count), kClientMemoryLimit / 4) << r.err;
    EXPECT_LT(std::stoull(count), kClientMemoryLimit) << r.err;
    EXPECT_EQ(read_file(dir + "/keep.jpg"), "keep me");
  }

  // A body that fits, but whose document does not: the report still says what happened.
  std::string many = "[";
  while (many.size() < 16'000'000) many += "{},{},{},{},{},{},{},{},";
  many += "{}]";
  fake.add(media_reply(200, many));
  RunResult r = run_client({"status", "--json"}, options);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: out of memory\n");
}

TEST_F(PhotoTest, FilesThatCannotBeWrittenAreReportedWithTheSystemReason) {
  struct Case {
    std::vector<std::string> args;
    std::string path;
    std::string reason;
  };
  ASSERT_EQ(::mkdir((dir + "/folder").c_str(), 0755), 0);
  for (const Case& c : std::vector<Case>{
           {{"snap", "--out", "d/x.jpg"}, "d/x.jpg", "No such file or directory (os error 2)"},
           {{"snap", "--out="}, "", "No such file or directory (os error 2)"},
           {{"screenshot", "--out="}, "", "No such file or directory (os error 2)"},
           {{"snap", "--out", "folder"}, "folder", "Is a directory (os error 21)"},
       }) {
    fake.add(media_reply(200, kJpeg));
    expect_cannot_write(run(c.args), c.path, c.reason);
  }
  EXPECT_EQ(fake.requests().size(), 4u);
  EXPECT_FALSE(read_file(dir + "/tirvane.jpg"));
}

TEST_F(PhotoTest, AFailedWriteIsReportedNotTakenForSuccess) {
  if (client_is_windows()) GTEST_SKIP() << "no full device to write to";
  fake.add(media_reply(200, std::string(100000, 'j')));
  RunResult r = run({"snap", "--out", "/dev/full", "--json"});
  expect_cannot_write(r, "/dev/full", "No space left on device (os error 28)");
}

}  // namespace
}  // namespace testing_support
