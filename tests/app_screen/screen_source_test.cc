// The screen as a device: what /devices lists, what a shot shows and at which size, and every way
// of having no display. Each test that needs a display runs its own Xvfb.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/screen/screen_provider.h"
#include "app/screen/x11_screen.h"
#include "xvfb.h"

namespace {

using app::FrameRequest;
using app::ShotSize;
using screen_testing::Xvfb;
using screen_testing::XvfbOptions;

app::DisplayEnvironment environment_for(const Xvfb& xvfb) { return {xvfb.display(), false, std::nullopt}; }

std::shared_ptr<app::Device> find_screen(app::ScreenProvider& source) {
  auto found = source.find("screen");
  if (!found) throw std::runtime_error("the screen source does not know \"screen\"");
  if (app::failed(*found)) {
    throw std::runtime_error("no screen: " + std::get<app::Failure>(*found).message);
  }
  return std::get<std::shared_ptr<app::Device>>(*found);
}

app::Image decoded(const app::JpegFrame& frame) {
  auto image = app::decode_jpeg(frame.bytes);
  if (app::failed(image)) throw std::runtime_error(std::get<app::Failure>(image).message);
  return std::get<app::Image>(image);
}

// Every place of the test scene shows its colour, in a shot scaled from 1920x1080.
void expect_test_scene(const app::Image& image) {
  const double sx = image.width / 1920.0;
  const double sy = image.height / 1080.0;
  for (const auto& place : screen_testing::test_scene_places()) {
    const auto seen = screen_testing::pixel_at(image, static_cast<int>(place.x * sx),
                                               static_cast<int>(place.y * sy));
    EXPECT_TRUE(screen_testing::near(seen, screen_testing::rgb_of(place.rgb), 12))
        << place.name << " shows " << screen_testing::describe(seen) << " in a " << image.width
        << "x" << image.height << " shot";
  }
}

TEST(ShotSize, FitsInsideTheAskedSizeKeepingTheAspectAndNeverEnlarges) {
  struct Case {
    std::optional<int> width, height;
    ShotSize expected;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, {1920, 1080}},  // the screen's own size
      {960, 540, {960, 540}},                      // the same aspect: exactly as asked
      {1000, 1000, {1000, 563}},                   // the width binds
      {1920, 100, {178, 100}},                     // the height binds
      {640, std::nullopt, {640, 360}},             // one side given: the other follows
      {std::nullopt, 270, {480, 270}},
      {1920, 1080, {1920, 1080}},
      {4000, 4000, {1920, 1080}},  // a shot gains nothing from enlarging
      {3840, std::nullopt, {1920, 1080}},
      {1, 1, {1, 1}},
  };
  for (const Case& c : cases) {
    auto size = app::shot_size(FrameRequest{c.width, c.height}, 1920, 1080);
    ASSERT_FALSE(app::failed(size)) << c.width.value_or(-1) << "x" << c.height.value_or(-1);
    EXPECT_EQ(std::get<ShotSize>(size), c.expected)
        << c.width.value_or(-1) << "x" << c.height.value_or(-1);
  }
}

TEST(ShotSize, RefusesSidesBelowOne) {
  for (const FrameRequest& request : {FrameRequest{0, 100}, FrameRequest{100, -5},
                                      FrameRequest{std::nullopt, 0}, FrameRequest{-1, std::nullopt}}) {
    auto size = app::shot_size(request, 1920, 1080);
    ASSERT_TRUE(app::failed(size));
    EXPECT_EQ(std::get<app::Failure>(size).status, 400);
    EXPECT_EQ(std::get<app::Failure>(size).message, "width and height must be at least 1");
  }
}

TEST(NoDisplay, EveryWayOfHavingNoDisplayIsRefusedWithTheReason) {
  // A display number no server can have: the unix socket of :65000 does not exist; nor does any
  // Wayland socket in a runtime folder that does not exist.
  ::setenv("XDG_RUNTIME_DIR", "/nonexistent/tirvane-runtime", 1);
  const std::string what_would_work =
      "; start the service inside your desktop session, with its WAYLAND_DISPLAY and "
      "XDG_RUNTIME_DIR, on a compositor that offers wlr-screencopy (sway, Hyprland, river, "
      "Wayfire, labwc, niri)";
  struct Case {
    const char* display;  // null: DISPLAY unset
    bool wayland_session;
    const char* wayland_display;  // null: WAYLAND_DISPLAY unset
    std::string message;
  };
  const Case cases[] = {
      {nullptr, false, nullptr, app::kNoDisplayMessage},
      {"", false, nullptr, app::kNoDisplayMessage},
      {":65000", false, nullptr,
       "no X display: cannot open \":65000\"; set DISPLAY or start the service inside your "
       "desktop session"},
      // A session announced by XDG_SESSION_TYPE alone: its compositor's default socket.
      {nullptr, true, nullptr,
       "no screen to capture in this Wayland session: cannot reach the Wayland display "
       "\"wayland-0\" (no compositor answers on it for this user)" + what_would_work},
      {":65000", true, "/nonexistent/wayland-9",
       "no screen to capture in this Wayland session: cannot reach the Wayland display "
       "\"/nonexistent/wayland-9\" (no compositor answers on it for this user)" +
           what_would_work},
  };
  for (const Case& c : cases) {
    app::DisplayEnvironment environment;
    if (c.display != nullptr) environment.display = c.display;
    environment.wayland_session = c.wayland_session;
    if (c.wayland_display != nullptr) environment.wayland_display = c.wayland_display;
    app::ScreenProvider source(environment);
    EXPECT_TRUE(source.devices().empty()) << c.message;
    auto found = source.find("screen");
    ASSERT_TRUE(found.has_value());
    ASSERT_TRUE(app::failed(*found));
    EXPECT_EQ(std::get<app::Failure>(*found).status, 503);
    EXPECT_EQ(std::get<app::Failure>(*found).message, c.message);
  }
}

TEST(NoDisplay, OtherIdsAreNotTheScreenSourcesToAnswer) {
  app::ScreenProvider source({std::nullopt, false, std::nullopt});
  for (const char* id : {"0", "test", "net:phone", "Screen", "screen ", ""}) {
    EXPECT_FALSE(source.find(id).has_value()) << id;
  }
}

class ScreenShot : public ::testing::TestWithParam<bool> {
 protected:
  static XvfbOptions options() {
    XvfbOptions options;
    options.shared_memory = GetParam();
    return options;
  }
  ScreenShot() : xvfb(options()) {
    screen_testing::paint(xvfb.display(), screen_testing::test_scene());
  }
  Xvfb xvfb;
};

TEST_P(ScreenShot, GrabsThroughSharedMemoryOnlyWhenTheServerOffersIt) {
  auto opened = app::X11Screen::open(environment_for(xvfb));
  ASSERT_FALSE(app::failed(opened)) << std::get<app::Failure>(opened).message;
  auto& screen = *std::get<std::unique_ptr<app::X11Screen>>(opened);
  EXPECT_EQ(screen.method(),
            GetParam() ? app::GrabMethod::kSharedMemory : app::GrabMethod::kGetImage);
  auto grabbed = screen.grab();
  ASSERT_FALSE(app::failed(grabbed)) << std::get<app::Failure>(grabbed).message;
  const app::PixelView& view = std::get<app::PixelView>(grabbed);
  ASSERT_EQ(view.width, 1920);
  ASSERT_EQ(view.height, 1080);
  ASSERT_EQ(view.format, app::PixelFormat::kBgrx);
  // BGRX in memory: blue first. The red corner's pixel, exactly.
  const std::uint8_t* red = view.pixels + 10 * view.stride + 10 * 4;
  EXPECT_EQ((std::vector<int>{red[0], red[1], red[2]}), (std::vector<int>{0, 0, 255}));
  const std::uint8_t* blue = view.pixels + 1000 * view.stride + 10 * 4;
  EXPECT_EQ((std::vector<int>{blue[0], blue[1], blue[2]}), (std::vector<int>{255, 0, 0}));
}

TEST_P(ScreenShot, ShowsWhatIsOnTheScreenAtItsFullSize) {
  app::ScreenProvider source(environment_for(xvfb));
  auto screen = find_screen(source);
  auto frame = screen->capture_jpeg({});
  ASSERT_FALSE(app::failed(frame)) << std::get<app::Failure>(frame).message;
  const auto& jpeg = std::get<app::JpegFrame>(frame);
  EXPECT_EQ(jpeg.width, 1920);
  EXPECT_EQ(jpeg.height, 1080);
  EXPECT_TRUE(jpeg.headers.empty());
  const app::Image image = decoded(jpeg);
  EXPECT_EQ(image.width, 1920);
  EXPECT_EQ(image.height, 1080);
  expect_test_scene(image);
}

INSTANTIATE_TEST_SUITE_P(Grab, ScreenShot, ::testing::Values(true, false),
                         [](const auto& param_info) {
                           return param_info.param ? "SharedMemory" : "GetImage";
                         });

class ScreenDevice : public ::testing::Test {
 protected:
  ScreenDevice() { screen_testing::paint(xvfb.display(), screen_testing::test_scene()); }
  Xvfb xvfb;
};

TEST_F(ScreenDevice, IsListedWithItsSizeAndNeitherFocusableNorControllable) {
  app::ScreenProvider source(environment_for(xvfb));
  const auto devices = source.devices();
  // The screen, and its one monitor by the name RandR gives it.
  ASSERT_EQ(devices.size(), 2u);
  const app::DeviceInfo monitor = devices[1]->info();
  EXPECT_EQ(monitor.id, "screen:screen");
  EXPECT_EQ(monitor.name, "Screen screen of display " + xvfb.display());
  EXPECT_EQ(monitor.width, 1920);
  EXPECT_EQ(monitor.height, 1080);
  const app::DeviceInfo info = devices[0]->info();
  EXPECT_EQ(info.id, "screen");
  EXPECT_EQ(info.name, "Screen of display " + xvfb.display());
  EXPECT_FALSE(info.focusable);
  EXPECT_EQ(info.width, 1920);
  EXPECT_EQ(info.height, 1080);
  EXPECT_EQ(find_screen(source), devices[0]);

  auto controls = devices[0]->controls();
  ASSERT_FALSE(app::failed(controls));
  EXPECT_TRUE(std::get<std::vector<app::ControlInfo>>(controls).empty());
  auto set = devices[0]->set_control("brightness", 10);
  ASSERT_TRUE(app::failed(set));
  EXPECT_EQ(std::get<app::Failure>(set).status, 400);
  EXPECT_EQ(std::get<app::Failure>(set).message, "the screen has no controls (no brightness to set)");
  auto gray = devices[0]->capture_gray();
  ASSERT_TRUE(app::failed(gray));
  EXPECT_EQ(std::get<app::Failure>(gray).status, 400);
}

TEST_F(ScreenDevice, ScalesShotsToTheAskedSizeKeepingTheAspect) {
  app::ScreenProvider source(environment_for(xvfb));
  auto screen = find_screen(source);
  struct Case {
    FrameRequest request;
    int width, height;
  };
  const Case cases[] = {
      {{1280, 720}, 1280, 720}, {{1000, 1000}, 1000, 563}, {{std::nullopt, 270}, 480, 270},
      {{4000, 3000}, 1920, 1080}, {{1280, 720}, 1280, 720},  // the cached scaler, again
  };
  for (const Case& c : cases) {
    auto frame = screen->capture_jpeg(c.request);
    ASSERT_FALSE(app::failed(frame)) << std::get<app::Failure>(frame).message;
    const auto& jpeg = std::get<app::JpegFrame>(frame);
    EXPECT_EQ(jpeg.width, c.width);
    EXPECT_EQ(jpeg.height, c.height);
    const app::Image image = decoded(jpeg);
    EXPECT_EQ(image.width, c.width);
    EXPECT_EQ(image.height, c.height);
    expect_test_scene(image);
  }
  auto refused = screen->capture_jpeg({0, 0});
  ASSERT_TRUE(app::failed(refused));
  EXPECT_EQ(std::get<app::Failure>(refused).status, 400);
}

TEST_F(ScreenDevice, EachShotIsFresh) {
  app::ScreenProvider source(environment_for(xvfb));
  auto screen = find_screen(source);
  ASSERT_FALSE(app::failed(screen->capture_jpeg({})));
  screen_testing::paint(xvfb.display(), {{800, 450, 320, 180, 0xFF00FF}});
  auto frame = screen->capture_jpeg({});
  ASSERT_FALSE(app::failed(frame));
  const auto seen = screen_testing::pixel_at(decoded(std::get<app::JpegFrame>(frame)), 960, 540);
  EXPECT_TRUE(screen_testing::near(seen, {255, 0, 255}, 12)) << screen_testing::describe(seen);
}

TEST_F(ScreenDevice, EachRandrMonitorIsADeviceWithItsOwnPicture) {
  // Two monitors side by side, the right one primary: "screen" is the right half.
  screen_testing::add_monitor(xvfb.display(), {"LEFT", 0, 0, 960, 1080, false});
  screen_testing::add_monitor(xvfb.display(), {"RIGHT", 960, 0, 960, 1080, true});
  app::ScreenProvider source(environment_for(xvfb));
  std::vector<std::string> ids;
  for (const auto& device : source.devices()) {
    const app::DeviceInfo info = device->info();
    ids.push_back(info.id);
    EXPECT_EQ(info.width, info.id == "screen:screen" ? 1920 : 960) << info.id;
    EXPECT_EQ(info.height, 1080) << info.id;
  }
  // The screen first, then the primary, then the others in RandR's order.
  ASSERT_EQ(ids.size(), 4u);
  EXPECT_EQ(ids[0], "screen");
  EXPECT_EQ(ids[1], "screen:RIGHT");
  EXPECT_EQ(std::set<std::string>(ids.begin() + 2, ids.end()),
            (std::set<std::string>{"screen:LEFT", "screen:screen"}));

  struct Case {
    const char* id;
    int width;
    int x, y;  // a place in the shot
    std::uint32_t rgb;
  };
  for (const Case& c : {Case{"screen:LEFT", 960, 320, 180, 0xFF0000},
                        Case{"screen:LEFT", 960, 320, 900, 0x0000FF},
                        Case{"screen:RIGHT", 960, 640, 180, 0x00FF00},
                        Case{"screen:RIGHT", 960, 640, 900, 0xFFFFFF},
                        Case{"screen", 960, 640, 180, 0x00FF00},
                        Case{"screen:screen", 1920, 1600, 180, 0x00FF00}}) {
    auto found = source.find(c.id);
    ASSERT_TRUE(found && !app::failed(*found)) << c.id;
    auto frame = std::get<std::shared_ptr<app::Device>>(*found)->capture_jpeg({});
    ASSERT_FALSE(app::failed(frame)) << c.id << ": " << std::get<app::Failure>(frame).message;
    const app::Image image = decoded(std::get<app::JpegFrame>(frame));
    EXPECT_EQ(image.width, c.width) << c.id;
    EXPECT_EQ(image.height, 1080) << c.id;
    const auto seen = screen_testing::pixel_at(image, c.x, c.y);
    EXPECT_TRUE(screen_testing::near(seen, screen_testing::rgb_of(c.rgb), 12))
        << c.id << " at " << c.x << "," << c.y << " shows " << screen_testing::describe(seen);
  }

  auto unknown = source.find("screen:HDMI-9");
  ASSERT_TRUE(unknown && app::failed(*unknown));
  EXPECT_EQ(std::get<app::Failure>(*unknown).status, 404);
  EXPECT_EQ(std::get<app::Failure>(*unknown).message,
            "no monitor named \"HDMI-9\" on display " + xvfb.display() + " (its monitors: " +
                ids[1].substr(7) + ", " + ids[2].substr(7) + ", " + ids[3].substr(7) + ")");
}

TEST(ScreenServer, OneGoneAwayIsRefusedAndOneStartedAgainIsPickedUp) {
  // A display number of its own, far above the ones Xvfb picks for the other tests, so that no
  // test running meanwhile can take it while the server is down.
  XvfbOptions options;
  options.display_number = 1000 + static_cast<int>(getpid() % 20000);
  auto xvfb = std::make_unique<Xvfb>(options);
  const std::string display = xvfb->display();
  screen_testing::paint(display, screen_testing::test_scene());
  app::ScreenProvider source({display, false, std::nullopt});
  auto screen = find_screen(source);
  ASSERT_FALSE(app::failed(screen->capture_jpeg({})));

  xvfb.reset();
  auto frame = screen->capture_jpeg({});
  ASSERT_TRUE(app::failed(frame));
  EXPECT_EQ(std::get<app::Failure>(frame).status, 503);
  EXPECT_EQ(std::get<app::Failure>(frame).message,
            "no X display: cannot open \"" + display +
                "\"; set DISPLAY or start the service inside your desktop session");
  EXPECT_TRUE(source.devices().empty());
  ASSERT_TRUE(source.find("screen").has_value());
  EXPECT_TRUE(app::failed(*source.find("screen")));

  xvfb = std::make_unique<Xvfb>(options);
  screen_testing::paint(display, screen_testing::test_scene());
  EXPECT_EQ(source.devices().size(), 2u);
  frame = screen->capture_jpeg({});
  ASSERT_FALSE(app::failed(frame)) << std::get<app::Failure>(frame).message;
  expect_test_scene(decoded(std::get<app::JpegFrame>(frame)));
}

}  // namespace
