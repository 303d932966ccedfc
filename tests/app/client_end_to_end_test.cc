// The real tirvane client through the real service, as a user would use them, with the built-in
// test camera: what each command prints, its exit status, and the files it leaves.
#include <nlohmann/json.hpp>
#include <regex>

#include "app/focus_sweep.h"
#include "client_fixture.h"

namespace service_test {
namespace {

using nlohmann::json;
using ClientEndToEnd = ClientTest;

const std::string kTestCamera = "  test  Test camera (built-in test chart)  focusable\n";

std::string controls_text(int focus, int zoom) {
  return "  focus          0..255  now " + std::to_string(focus) +
         "\n"
         "  zoom           100..400  now " +
         std::to_string(zoom) +
         "\n"
         "  exposure       3..2047  now 250\n"
         "  brightness     -64..64  now 0\n";
}

TEST_F(ClientEndToEnd, StatusAndDevicesDescribeTheService) {
  auto status = tirvane({"status"});
  EXPECT_EQ(status.exit_status, 0) << status.err;
  EXPECT_EQ(status.out, "tirvane \"0.1.0\" on port " + service->port_text() +
                            "\n  camera  (best available)\n  size    1280x720\n");

  auto status_json = tirvane({"status", "--json"});
  EXPECT_EQ(status_json.exit_status, 0) << status_json.err;
  EXPECT_EQ(json::parse(status_json.out),
            json::parse(R"({"version":"0.1.0","port":)" + service->port_text() +
                        R"(,"settings":{"device":"","width":1280,"height":720},)" +
                        R"("screen":{"method":null,"problem":"no X display: set DISPLAY or start )" +
                        R"(the service inside your desktop session"}})"));

  auto devices = tirvane({"devices"});
  EXPECT_EQ(devices.exit_status, 0) << devices.err;
  EXPECT_EQ(devices.out, kTestCamera);
  auto devices_json = tirvane({"devices", "--json"});
  EXPECT_EQ(devices_json.exit_status, 0) << devices_json.err;
  const json listed = json::parse(devices_json.out);
  EXPECT_EQ(listed["default"], "test");
  ASSERT_EQ(listed["devices"].size(), 1u);
  EXPECT_EQ(listed["devices"][0]["id"], "test");
  EXPECT_EQ(listed["devices"][0]["focusable"], true);
}

TEST_F(ClientEndToEnd, SetChangesAControlAndRefusesWhatTheCameraCannotTake) {
  auto before = tirvane({"controls"});
  EXPECT_EQ(before.exit_status, 0) << before.err;
  EXPECT_EQ(before.out, controls_text(110, 100));

  auto set = tirvane({"set", "zoom", "150"});
  EXPECT_EQ(set.exit_status, 0) << set.err;
  EXPECT_EQ(set.out, "\"zoom\" = 150 (was 100)\n");
  EXPECT_EQ(tirvane({"controls"}).out, controls_text(110, 150));

  struct Refused {
    std::vector<std::string> args;
    std::string error;
  };
  for (const Refused& c : std::vector<Refused>{
           {{"set", "focus", "999"}, "error: focus must be between 0 and 255\n"},
           {{"set", "focus", "-1"}, "error: focus must be between 0 and 255\n"},
           {{"set", "iris", "3"}, "error: camera test has no control named iris\n"},
           {{"set", "zoom", "150", "--device", "7"}, "error: no such camera: 7\n"},
       }) {
    auto r = tirvane(c.args);
    EXPECT_EQ(r.exit_status, 1) << c.args[1];
    EXPECT_EQ(r.out, "") << c.args[1];
    EXPECT_EQ(r.err, c.error) << c.args[1];
  }
  EXPECT_EQ(tirvane({"controls"}).out, controls_text(110, 150)) << "nothing refused was set";
}

TEST_F(ClientEndToEnd, SnapWritesAJpegOfTheAskedSize) {
  struct Case {
    std::vector<std::string> args;
    std::string file;
    int width, height;
  };
  for (const Case& c : std::vector<Case>{
           {{"snap"}, "tirvane.jpg", 1280, 720},
           {{"snap", "--size", "640x480", "--out", "small.jpg"}, "small.jpg", 640, 480},
           {{"snap", "--device", "test", "--size", "1920x1080"}, "tirvane.jpg", 1920, 1080},
       }) {
    auto r = tirvane(c.args);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, written(c.file));
    const app::Image image = picture(c.file);
    EXPECT_EQ(image.width, c.width) << c.file;
    EXPECT_EQ(image.height, c.height) << c.file;
  }
  auto bad = tirvane({"snap", "--size", "640x480", "--device", "7", "--out", "none.jpg"});
  EXPECT_EQ(bad.exit_status, 1);
  EXPECT_EQ(bad.err, "error: no such camera: 7\n");
  EXPECT_FALSE(exists("none.jpg"));
}

TEST_F(ClientEndToEnd, FocusLocksTheTestCamerasSharpPosition) {
  // The test camera's lens is sharp at 150 at zoom 100 and shifts down by 1 for every 5 of zoom.
  for (const auto& [zoom, sharp] : std::vector<std::pair<int, int>>{{100, 150}, {300, 110}}) {
    ASSERT_EQ(tirvane({"set", "zoom", std::to_string(zoom)}).exit_status, 0);
    auto r = tirvane({"focus"});
    ASSERT_EQ(r.exit_status, 0) << r.err;

    std::smatch header;
    const std::string first_line = r.out.substr(0, r.out.find('\n'));
    ASSERT_TRUE(std::regex_match(first_line, header,
                                 std::regex(R"(locked focus (\d+) · sharpness (\d+) · (\d+) samples)")))
        << r.out;
    const int locked = std::stoi(header[1]);
    EXPECT_LE(std::abs(locked - sharp), 1) << "zoom " << zoom << ": locked " << locked;

    // The chart below: one line per sample, by position, the longest bar at the locked one.
    std::vector<std::pair<int, std::size_t>> bars;
    std::istringstream lines(r.out.substr(first_line.size() + 1));
    for (std::string line; std::getline(lines, line);) {
      std::smatch bar;
      ASSERT_TRUE(std::regex_match(line, bar, std::regex(R"( *(\d+) (#*))"))) << line;
      bars.emplace_back(std::stoi(bar[1]), bar[2].length());
    }
    EXPECT_EQ(bars.size(), std::stoul(header[3]));
    EXPECT_TRUE(std::is_sorted(bars.begin(), bars.end()));
    ASSERT_FALSE(bars.empty());
    EXPECT_TRUE(bars.front().first == 0 || bars.back().first == 255) << "it starts at an end";
    EXPECT_TRUE(std::any_of(bars.begin(), bars.end(),
                            [&](const auto& bar) { return bar.first == locked + 1; }))
        << "the position beside the locked one was measured";
    const auto longest = std::max_element(bars.begin(), bars.end(),
                                          [](auto& a, auto& b) { return a.second < b.second; });
    EXPECT_EQ(longest->first, locked);

    EXPECT_EQ(tirvane({"controls"}).out, controls_text(locked, zoom)) << "the lens stays there";
  }
}

TEST_F(ClientEndToEnd, LookFocusesThenWritesASharpPicture) {
  ASSERT_EQ(tirvane({"set", "focus", "30"}).exit_status, 0);
  ASSERT_EQ(tirvane({"snap", "--out", "blurred.jpg"}).exit_status, 0);

  auto r = tirvane({"look"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  std::smatch lines;
  ASSERT_TRUE(std::regex_match(r.out, lines, std::regex(R"(focus (\d+) \(sharpness \d+\)\n(.*\n))")))
      << r.out;
  EXPECT_LE(std::abs(std::stoi(lines[1]) - 150), 1);
  EXPECT_EQ(lines[2], written("tirvane.jpg"));

  const app::Image sharp = picture("tirvane.jpg", app::PixelFormat::kGray);
  const app::Image blurred = picture("blurred.jpg", app::PixelFormat::kGray);
  EXPECT_EQ(sharp.width, 1280);
  EXPECT_EQ(sharp.height, 720);
  EXPECT_GT(app::sharpness(sharp), 10 * app::sharpness(blurred));
}

TEST_F(ClientEndToEnd, SourcesAreRegisteredListedForgottenAndKeptAcrossARestart) {
  const std::string no_sources =
      "no phone / IP cameras registered\n"
      "  add one: tirvane add-source phone http://<phone-ip>:8080/shot.jpg\n";
  EXPECT_EQ(tirvane({"sources"}).out, no_sources);

  // Nothing is fetched here; the addresses are on this machine all the same.
  for (const std::string name : {"phone", "door"}) {
    auto added = tirvane({"add-source", name, "http://127.0.0.1:9/" + name + ".jpg"});
    EXPECT_EQ(added.exit_status, 0) << added.err;
    EXPECT_EQ(added.out, "added \"" + name + "\" \xE2\x80\x94 use it with --device net:" + name + "\n");
  }
  auto refused = tirvane({"add-source", "my phone", "http://127.0.0.1:9/x.jpg"});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_NE(refused.err.find("my phone"), std::string::npos) << refused.err;

  const std::string both =
      "  net:phone            http://127.0.0.1:9/phone.jpg\n"
      "  net:door             http://127.0.0.1:9/door.jpg\n";
  EXPECT_EQ(tirvane({"sources"}).out, both);
  const std::string devices = tirvane({"devices"}).out;
  EXPECT_NE(devices.find("net:door"), std::string::npos) << devices;
  EXPECT_NE(devices.find(kTestCamera), std::string::npos) << devices;

  ASSERT_NO_FATAL_FAILURE(restart());
  EXPECT_EQ(tirvane({"sources"}).out, both);

  auto forgotten = tirvane({"forget-source", "door"});
  EXPECT_EQ(forgotten.exit_status, 0) << forgotten.err;
  EXPECT_EQ(forgotten.out, "removed \"door\"\n");
  auto again = tirvane({"forget-source", "door"});
  EXPECT_EQ(again.exit_status, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "error: no source named door\n");

  ASSERT_NO_FATAL_FAILURE(restart());
  EXPECT_EQ(tirvane({"sources"}).out, "  net:phone            http://127.0.0.1:9/phone.jpg\n");
  EXPECT_EQ(tirvane({"forget-source", "phone"}).exit_status, 0);
  ASSERT_NO_FATAL_FAILURE(restart());
  EXPECT_EQ(tirvane({"sources"}).out, no_sources);
}

}  // namespace
}  // namespace service_test
