// The real tirvane client and the real service on a private headless sway: each output listed
// and captured, sizes, a mode change, a turned output, a second output, recordings in both
// containers, the compositor going away and coming back, and sway with XWayland.
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <thread>

#include "client_fixture.h"
#include "headless_sway.h"
#include "headless_weston.h"
#include "raw_http.h"
#include "xvfb.h"

namespace service_test {
namespace {

using nlohmann::json;
using screen_testing::Rgb;

const Rgb kBackground{0x33, 0x66, 0x99};
const Rgb kRed{255, 0, 0};

bool shows(const app::Image& image, int x, int y, Rgb colour, int tolerance = 16) {
  return x < image.width && y < image.height &&
         screen_testing::near(screen_testing::pixel_at(image, x, y), colour, tolerance);
}

class WaylandEndToEnd : public ClientTest {
 protected:
  explicit WaylandEndToEnd(screen_testing::SwayOptions options = {}) : sway(options) {
    service_env = sway.client_env();
    service_env["DISPLAY"] = std::nullopt;
    service_env["XDG_SESSION_TYPE"] = std::nullopt;
  }

  // `tirvane args...` that must write a JPEG, decoded.
  app::Image shot(const std::vector<std::string>& args, const std::string& file) {
    auto r = tirvane(args);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return r.exit_status == 0 ? picture(file) : app::Image{};
  }

  // sway paints its background and places windows a moment after it says they are there: shoots
  // again (for up to 5 seconds) until `ready` holds, and gives the last shot.
  template <class Ready>
  app::Image shot_when(const std::vector<std::string>& args, const std::string& file, Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    app::Image image = shot(args, file);
    while (!ready(image) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      image = shot(args, file);
    }
    return image;
  }

  // A red window of 640x360 floating at (100, 100).
  void open_red_window() { sway.open_floating_window("ff0000", 100, 100, 640, 360); }

  json devices() {
    auto r = tirvane({"devices", "--json"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return json::parse(r.out, nullptr, false)["devices"];
  }

  json health() {
    auto r = tirvane({"status", "--json"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return json::parse(r.out, nullptr, false);
  }

  screen_testing::HeadlessSway sway;
};

// Where a device of `devices` is, by id; -1 when it is not there.
int index_of(const json& devices, const std::string& id) {
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (devices[i]["id"] == id) return static_cast<int>(i);
  }
  return -1;
}

TEST_F(WaylandEndToEnd, ListsTheScreenAndShowsTheBackgroundAndAWindowAtEachSize) {
  open_red_window();
  const json listed = devices();
  ASSERT_GE(index_of(listed, "screen"), 0) << listed;
  ASSERT_GE(index_of(listed, "screen:HEADLESS-1"), 0) << listed;
  for (const char* id : {"screen", "screen:HEADLESS-1"}) {
    const json& device = listed[static_cast<std::size_t>(index_of(listed, id))];
    EXPECT_EQ(device["width"], 1920) << id;
    EXPECT_EQ(device["height"], 1080) << id;
  }
  EXPECT_EQ(listed[static_cast<std::size_t>(index_of(listed, "screen"))]["name"],
            "Screen of display " + sway.wayland_display());
  const json screen = health()["screen"];
  EXPECT_EQ(screen["method"], "wlr-screencopy") << screen;
  EXPECT_EQ(screen["display"], sway.wayland_display()) << screen;

  const app::Image image = shot_when({"screenshot"}, "screen.jpg", [](const app::Image& i) {
    return shows(i, 420, 280, kRed) && shows(i, 1500, 800, kBackground);
  });
  EXPECT_EQ(image.width, 1920);
  EXPECT_EQ(image.height, 1080);
  for (auto [x, y] : {std::pair{20, 20}, {1900, 1060}, {1500, 800}, {50, 700}}) {
    EXPECT_TRUE(shows(image, x, y, kBackground)) << "background at " << x << "," << y;
  }
  // Inside the window, away from its cursor in the top left corner.
  for (auto [x, y] : {std::pair{420, 280}, {720, 440}, {300, 400}}) {
    EXPECT_TRUE(shows(image, x, y, kRed)) << "window at " << x << "," << y;
  }

  // Sizes fit inside the box asked, the aspect kept, never enlarged; by either id.
  struct Case {
    std::vector<std::string> args;
    std::string file;
    int width, height;
  };
  for (const Case& c : std::vector<Case>{
           {{"screenshot", "--size", "960x540"}, "screen.jpg", 960, 540},
           {{"screenshot", "--size", "1000x1000"}, "screen.jpg", 1000, 563},
           {{"screenshot", "--size", "3840x2160"}, "screen.jpg", 1920, 1080},
           {{"snap", "--device", "screen:HEADLESS-1", "--size", "480x270"},
            "tirvane.jpg",
            480,
            270},
       }) {
    const app::Image scaled = shot(c.args, c.file);
    EXPECT_EQ(scaled.width, c.width) << c.args[2];
    EXPECT_EQ(scaled.height, c.height) << c.args[2];
    const double sx = scaled.width / 1920.0, sy = scaled.height / 1080.0;
    EXPECT_TRUE(shows(scaled, static_cast<int>(420 * sx), static_cast<int>(280 * sy), kRed));
    EXPECT_TRUE(
        shows(scaled, static_cast<int>(1500 * sx), static_cast<int>(800 * sy), kBackground));
  }
}

TEST_F(WaylandEndToEnd, FollowsAModeChangeATurnedOutputAndASecondOutputWithoutARestart) {
  open_red_window();
  shot_when({"screenshot"}, "screen.jpg",
            [](const app::Image& i) { return shows(i, 420, 280, kRed); });

  sway.command("output HEADLESS-1 mode 1280x720");
  app::Image image = shot({"screenshot"}, "screen.jpg");
  EXPECT_EQ(image.width, 1280);
  EXPECT_EQ(image.height, 720);
  EXPECT_EQ(devices()[0]["width"], 1280);

  // A monitor turned a quarter: an upright picture of the turned size, the window still where
  // sway shows it.
  sway.command("output HEADLESS-1 mode 1920x1080 transform 90");
  image = shot_when({"screenshot"}, "screen.jpg", [](const app::Image& i) {
    return shows(i, 420, 280, kRed) && shows(i, 900, 1700, kBackground);
  });
  EXPECT_EQ(image.width, 1080);
  EXPECT_EQ(image.height, 1920);
  EXPECT_TRUE(shows(image, 420, 280, kRed));
  EXPECT_TRUE(shows(image, 900, 1700, kBackground));
  EXPECT_TRUE(shows(image, 900, 200, kBackground));
  sway.command("output HEADLESS-1 transform normal");

  // A second monitor with a picture of its own.
  sway.command("create_output");
  const auto names = sway.output_names();
  ASSERT_EQ(names.size(), 2u);
  sway.command("output " + names[1] + " mode 800x600 bg #20a040 solid_color");
  const json listed = devices();
  const int second = index_of(listed, "screen:" + names[1]);
  ASSERT_GE(second, 0) << listed;
  EXPECT_EQ(listed[static_cast<std::size_t>(second)]["width"], 800);
  EXPECT_EQ(listed[static_cast<std::size_t>(second)]["height"], 600);
  image = shot_when({"snap", "--device", "screen:" + names[1]}, "tirvane.jpg",
                    [](const app::Image& i) { return shows(i, 400, 300, {0x20, 0xa0, 0x40}); });
  EXPECT_EQ(image.width, 800);
  EXPECT_EQ(image.height, 600);
  EXPECT_TRUE(shows(image, 400, 300, {0x20, 0xa0, 0x40}));
  image = shot({"screenshot"}, "screen.jpg");
  EXPECT_EQ(image.width, 1920);
  EXPECT_TRUE(shows(image, 420, 280, kRed));

  auto unknown = tirvane({"snap", "--device", "screen:HDMI-A-9"});
  EXPECT_EQ(unknown.exit_status, 1);
  EXPECT_NE(unknown.err.find("no monitor named \"HDMI-A-9\""), std::string::npos) << unknown.err;
}

// A frame of a video file, decoded to RGB by ffmpeg.
app::Image video_frame(const std::string& path, int width, int height, double at) {
  auto r = testing_support::run_program({"ffmpeg", "-v", "error", "-ss", std::to_string(at), "-i",
                                         path, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt",
                                         "rgb24", "-"});
  app::Image image = app::make_image(width, height, app::PixelFormat::kRgb);
  EXPECT_EQ(r.out.size(), image.pixels.size()) << r.err;
  if (r.out.size() == image.pixels.size())
    std::copy(r.out.begin(), r.out.end(), image.pixels.begin());
  return image;
}

TEST_F(WaylandEndToEnd, RecordsTwoSecondsInBothContainers) {
  open_red_window();
  shot_when({"screenshot"}, "screen.jpg", [](const app::Image& i) {
    return shows(i, 420, 280, kRed) && shows(i, 1500, 800, kBackground);
  });
  for (const char* format : {"webm", "mp4"}) {
    SCOPED_TRACE(format);
    const std::string body = std::string("{\"format\":\"") + format + "\",\"secs\":2}";
    const Answer answer = round_trip(
        service->port(), post_request(service->port(), "/api/screen/record", body),
        std::chrono::seconds(60));
    ASSERT_EQ(answer.status, 200) << answer.body.substr(0, 300);
    const int recorded = std::stoi(answer.header("X-Frames-Recorded"));
    const int dropped = std::stoi(answer.header("X-Frames-Dropped"));
    EXPECT_EQ(recorded + dropped, 60);
    EXPECT_GT(recorded, 0);
    EXPECT_EQ(answer.header("X-Frame-Rate"), "30");

    const std::string file = path(std::string("screen.") + format);
    std::ofstream(file, std::ios::binary) << answer.body;
    auto probed =
        testing_support::run_program({"ffprobe", "-v", "error", "-count_frames", "-show_format",
                                      "-show_streams", "-of", "json", file});
    ASSERT_EQ(probed.exit_status, 0) << probed.err;
    const json document = json::parse(probed.out, nullptr, false);
    ASSERT_EQ(document["streams"].size(), 1u) << document;
    const json& stream = document["streams"][0];
    EXPECT_EQ(stream["width"], 1920);
    EXPECT_EQ(stream["height"], 1080);
    EXPECT_EQ(std::stoi(stream["nb_read_frames"].get<std::string>()), recorded);
    EXPECT_NEAR(std::stod(document["format"]["duration"].get<std::string>()), 2.0, 1.0 / 30);

    // A frame from the middle shows the real picture, not a black one.
    const app::Image frame = video_frame(file, 1920, 1080, 1.0);
    EXPECT_TRUE(shows(frame, 420, 280, kRed, 24))
        << screen_testing::describe(screen_testing::pixel_at(frame, 420, 280));
    EXPECT_TRUE(shows(frame, 1500, 800, kBackground, 24))
        << screen_testing::describe(screen_testing::pixel_at(frame, 1500, 800));
  }
}

TEST_F(WaylandEndToEnd, ACompositorThatGoesAwayIsRefusedByNameAndOneThatComesBackIsUsed) {
  shot_when({"screenshot"}, "screen.jpg",
            [](const app::Image& i) { return shows(i, 960, 540, kBackground); });
  sway.stop();
  const auto started = std::chrono::steady_clock::now();
  auto refused = tirvane({"screenshot"});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_NE(refused.err.find("\"" + sway.wayland_display() + "\""), std::string::npos)
      << refused.err;
  // The service stays up, and says why there is no screen.
  const json screen = health()["screen"];
  EXPECT_TRUE(screen["method"].is_null()) << screen;
  EXPECT_NE(screen["problem"].get<std::string>().find(sway.wayland_display()), std::string::npos);
  EXPECT_EQ(index_of(devices(), "screen"), -1);

  sway.start();
  const app::Image image = shot_when({"screenshot"}, "screen.jpg", [](const app::Image& i) {
    return shows(i, 960, 540, kBackground);
  });
  EXPECT_TRUE(shows(image, 960, 540, kBackground));
  EXPECT_EQ(health()["screen"]["method"], "wlr-screencopy");
}

class XwaylandEndToEnd : public WaylandEndToEnd {
 protected:
  static screen_testing::SwayOptions with_xwayland() {
    screen_testing::SwayOptions options;
    options.xwayland = true;
    return options;
  }
  XwaylandEndToEnd() : WaylandEndToEnd(with_xwayland()) {}
};

TEST_F(XwaylandEndToEnd, WithBothDisplaysTheShotIsTheRealPictureThroughWayland) {
  service_env["DISPLAY"] = sway.x_display();
  restart();
  open_red_window();
  const app::Image image = shot_when({"screenshot"}, "screen.jpg", [](const app::Image& i) {
    return shows(i, 420, 280, kRed) && shows(i, 1500, 800, kBackground);
  });
  EXPECT_TRUE(shows(image, 420, 280, kRed));
  EXPECT_TRUE(shows(image, 1500, 800, kBackground));
  EXPECT_EQ(health()["screen"]["method"], "wlr-screencopy");
}

TEST_F(XwaylandEndToEnd, OnlyXwaylandInAWaylandSessionIsRefusedNeverABlackPicture) {
  // The session says Wayland, but the service was given only XWayland's display.
  service_env["DISPLAY"] = sway.x_display();
  service_env["WAYLAND_DISPLAY"] = std::nullopt;
  service_env["XDG_SESSION_TYPE"] = "wayland";
  restart();
  auto refused = tirvane({"screenshot"});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_FALSE(exists("screen.jpg"));
  EXPECT_NE(refused.err.find("Wayland session"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("XWayland's display \"" + sway.x_display() + "\""), std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("WAYLAND_DISPLAY"), std::string::npos) << refused.err;
  auto record = tirvane({"record", "--secs", "1"});
  EXPECT_EQ(record.exit_status, 1);
  EXPECT_EQ(record.err, refused.err);
  EXPECT_TRUE(health()["screen"]["method"].is_null());
}

// A Wayland compositor without wlr-screencopy (weston), with XWayland: nothing this service can
// capture the session with. Refused by name, with or without XWayland's display at hand.
class OtherWaylandEndToEnd : public ClientTest {
 protected:
  OtherWaylandEndToEnd() {
    service_env["XDG_RUNTIME_DIR"] = weston.runtime_dir();
    service_env["WAYLAND_DISPLAY"] = weston.wayland_display();
    service_env["DISPLAY"] = weston.x_display();
  }
  json health() {
    auto r = tirvane({"status", "--json"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return json::parse(r.out, nullptr, false);
  }
  screen_testing::HeadlessWeston weston;
};

TEST_F(OtherWaylandEndToEnd, ACompositorWithoutScreencopyIsRefusedNeverABlackPicture) {
  const std::string refusal = "error: no screen to capture in this Wayland session: the compositor "
                              "of the Wayland display \"" + weston.wayland_display() +
                              "\" offers no capture method this service can use";
  const std::string advice =
      "; start the service inside your desktop session, with its WAYLAND_DISPLAY and "
      "XDG_RUNTIME_DIR, on a compositor that offers wlr-screencopy (sway, Hyprland, river, "
      "Wayfire, labwc, niri)\n";
  struct Case {
    std::optional<std::string> display;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {weston.x_display(), refusal + ", and XWayland's display \"" + weston.x_display() +
                                    "\" would show Wayland windows as black, so it is not used" +
                                    advice},
           {std::nullopt, refusal + advice},
       }) {
    service_env["DISPLAY"] = c.display;
    restart();
    auto shot = tirvane({"screenshot"});
    EXPECT_EQ(shot.exit_status, 1);
    EXPECT_EQ(shot.err, c.message);
    EXPECT_FALSE(exists("screen.jpg"));
    auto record = tirvane({"record", "--secs", "1"});
    EXPECT_EQ(record.exit_status, 1);
    EXPECT_EQ(record.err, c.message);
    EXPECT_FALSE(exists("screen.webm"));
    EXPECT_TRUE(health()["screen"]["method"].is_null());
  }
}

}  // namespace
}  // namespace service_test
