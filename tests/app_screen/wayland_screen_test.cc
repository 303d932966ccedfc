// The Wayland capture against a private headless sway: outputs with their names and sizes, what a
// picture shows (background, windows, a turned output), pipelined pictures, and a compositor that
// goes away and comes back.
#include "app/wayland/wayland_screen.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <thread>

#include "headless_sway.h"
#include "xvfb.h"

namespace {

using app::wayland::WaylandScreen;
using screen_testing::HeadlessSway;
using screen_testing::Rgb;

Rgb pixel(const app::PixelView& view, int x, int y) {
  const std::uint8_t* p = view.pixels + static_cast<std::size_t>(y) * view.stride +
                          static_cast<std::size_t>(x) * 4;
  return {p[2], p[1], p[0]};
}

// The client connects the way the service does: through XDG_RUNTIME_DIR and WAYLAND_DISPLAY.
std::unique_ptr<WaylandScreen> connect(const HeadlessSway& sway) {
  ::setenv("XDG_RUNTIME_DIR", sway.runtime_dir().c_str(), 1);
  auto connected = WaylandScreen::connect(sway.wayland_display());
  if (app::failed(connected)) {
    throw std::runtime_error(std::get<app::Failure>(connected).message);
  }
  return std::move(std::get<std::unique_ptr<WaylandScreen>>(connected));
}

std::vector<app::wayland::OutputInfo> listed(WaylandScreen& screen) {
  auto outputs = screen.outputs();
  if (app::failed(outputs)) throw std::runtime_error(std::get<app::Failure>(outputs).message);
  return std::get<std::vector<app::wayland::OutputInfo>>(outputs);
}

app::PixelView grab(WaylandScreen& screen, std::string_view output = {}) {
  auto grabbed = screen.grab(output);
  if (app::failed(grabbed)) throw std::runtime_error(std::get<app::Failure>(grabbed).message);
  return std::get<app::PixelView>(grabbed);
}

// sway paints its background and lays out new windows a moment after it says they are there:
// grabs again (for up to 5 seconds) until `shows` holds, and gives the last grab.
template <class Shows>
app::PixelView grab_showing(WaylandScreen& screen, std::string_view output, Shows shows) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  app::PixelView view = grab(screen, output);
  while (!shows(view) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    view = grab(screen, output);
  }
  return view;
}

void expect_colour(const app::PixelView& view, int x, int y, Rgb expected, const char* what) {
  const Rgb seen = pixel(view, x, y);
  EXPECT_TRUE(screen_testing::near(seen, expected, 4))
      << what << " at " << x << "," << y << " shows " << screen_testing::describe(seen);
}

const Rgb kBackground{0x33, 0x66, 0x99};
const Rgb kRed{255, 0, 0};
const Rgb kGreen{0, 255, 0};
const Rgb kBlue{0, 0, 255};

bool shows(const app::PixelView& view, int x, int y, Rgb colour) {
  return x < view.width && y < view.height && screen_testing::near(pixel(view, x, y), colour, 4);
}

app::PixelView grab_background(WaylandScreen& screen, std::string_view output = {}) {
  return grab_showing(screen, output, [](const app::PixelView& view) {
    return shows(view, view.width / 2, view.height / 2, kBackground);
  });
}

TEST(WaylandScreen, ListsTheOutputAndShowsTheBackground) {
  HeadlessSway sway;
  auto screen = connect(sway);
  EXPECT_TRUE(screen->can_capture());
  EXPECT_EQ(screen->display_name(), sway.wayland_display());
  const auto outputs = listed(*screen);
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].name, "HEADLESS-1");
  EXPECT_EQ(outputs[0].width, 1920);
  EXPECT_EQ(outputs[0].height, 1080);
  for (std::string_view name : {"", "HEADLESS-1"}) {
    const app::PixelView view = grab_background(*screen, name);
    EXPECT_EQ(view.width, 1920);
    EXPECT_EQ(view.height, 1080);
    EXPECT_EQ(view.format, app::PixelFormat::kBgrx);
    for (auto [x, y] : {std::pair{0, 0}, {1919, 1079}, {960, 540}}) {
      expect_colour(view, x, y, kBackground, "background");
    }
  }
  auto unknown = screen->grab("HDMI-A-9");
  ASSERT_TRUE(app::failed(unknown));
  EXPECT_EQ(std::get<app::Failure>(unknown).status, 503);
}

// Three windows: red on the left half, green over blue on the right. Each turn of the output
// must still give this picture upright, at the turned size.
TEST(WaylandScreen, TurnedOutputsGiveUprightPictures) {
  HeadlessSway sway;
  sway.open_window("ff0000");
  sway.open_window("00ff00");
  sway.command("splitv");
  sway.open_window("0000ff");
  auto screen = connect(sway);
  for (const char* turn : {"normal", "90", "180", "270", "flipped", "flipped-90"}) {
    sway.command(std::string("output HEADLESS-1 transform ") + turn);
    const bool sideways =
        std::string_view(turn).ends_with("90") || std::string_view(turn).ends_with("270");
    const int width = sideways ? 1080 : 1920;
    const int height = sideways ? 1920 : 1080;
    const auto outputs = listed(*screen);
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0].width, width) << turn;
    EXPECT_EQ(outputs[0].height, height) << turn;
    const app::PixelView view = grab_showing(*screen, "", [&](const app::PixelView& v) {
      return shows(v, width / 4, height / 2, kRed) && shows(v, width * 3 / 4, height / 4, kGreen) &&
             shows(v, width * 3 / 4, height * 3 / 4, kBlue);
    });
    ASSERT_EQ(view.width, width) << turn;
    ASSERT_EQ(view.height, height) << turn;
    SCOPED_TRACE(turn);
    expect_colour(view, width / 4, height / 2, kRed, "left window");
    expect_colour(view, width * 3 / 4, height / 4, kGreen, "top right window");
    expect_colour(view, width * 3 / 4, height * 3 / 4, kBlue, "bottom right window");
  }
}

TEST(WaylandScreen, FollowsModeChangesAndNewOutputs) {
  HeadlessSway sway;
  auto screen = connect(sway);
  ASSERT_EQ(grab(*screen).width, 1920);
  sway.command("output HEADLESS-1 mode 1280x720");
  auto view = grab(*screen);
  EXPECT_EQ(view.width, 1280);
  EXPECT_EQ(view.height, 720);
  EXPECT_EQ(listed(*screen).at(0).width, 1280);

  sway.command("create_output");
  const auto names = sway.output_names();
  ASSERT_EQ(names.size(), 2u);
  sway.command("output " + names[1] + " mode 800x600 bg #804020 solid_color");
  const auto outputs = listed(*screen);
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[1].name, names[1]);
  EXPECT_EQ(outputs[1].width, 800);
  EXPECT_EQ(outputs[1].height, 600);
  // Each output its own picture: the second shows its own colour at its own size.
  view = grab_showing(*screen, names[1], [](const app::PixelView& v) {
    return shows(v, 400, 300, {0x80, 0x40, 0x20});
  });
  EXPECT_EQ(view.width, 800);
  EXPECT_EQ(view.height, 600);
  expect_colour(view, 400, 300, {0x80, 0x40, 0x20}, "second output");
  expect_colour(grab_background(*screen, "HEADLESS-1"), 640, 360, kBackground, "first output");
}

TEST(WaylandScreen, StreamsTheNewestPictureWithoutWaiting) {
  HeadlessSway sway;
  auto screen = connect(sway);
  grab_background(*screen);
  ASSERT_FALSE(screen->start_stream("").has_value());
  const auto start = std::chrono::steady_clock::now();
  int fresh = 0;
  const std::uint8_t* last = nullptr;
  for (int tick = 0; tick < 30; ++tick) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(tick * 1000 / 30));
    auto frame = screen->newest_frame();
    ASSERT_FALSE(app::failed(frame)) << std::get<app::Failure>(frame).message;
    const auto& view = std::get<app::PixelView>(frame);
    ASSERT_EQ(view.width, 1920);
    expect_colour(view, 100, 100, kBackground, "streamed background");
    if (view.pixels != last) ++fresh;
    last = view.pixels;
  }
  // One copy is always in flight, so nearly every tick finds a newly finished picture.
  EXPECT_GT(fresh, 20);
  screen->stop_stream();
}

TEST(WaylandScreen, ACompositorThatGoesAwayIsReportedAndANewOneCanBeReached) {
  HeadlessSway sway;
  auto screen = connect(sway);
  grab(*screen);
  sway.stop();
  auto grabbed = screen->grab("");
  ASSERT_TRUE(app::failed(grabbed));
  EXPECT_EQ(std::get<app::Failure>(grabbed).status, 503);
  EXPECT_NE(std::get<app::Failure>(grabbed).message.find(sway.wayland_display()), std::string::npos)
      << std::get<app::Failure>(grabbed).message;
  EXPECT_TRUE(screen->lost());
  auto refused = WaylandScreen::connect(sway.wayland_display());
  ASSERT_TRUE(app::failed(refused));
  EXPECT_NE(std::get<app::Failure>(refused).message.find(sway.wayland_display()),
            std::string::npos);

  sway.start();
  screen = connect(sway);
  expect_colour(grab_background(*screen), 10, 10, kBackground, "background after the restart");
}

}  // namespace
