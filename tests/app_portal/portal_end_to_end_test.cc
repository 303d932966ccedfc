// The screen of a desktop that shares it through its portal, end to end: the real tirvane client
// and tirvane-app against the real portal frontend, a scripted portal backend, PipeWire and video
// sources with a known moving picture (portal_stack.h). KWin's screenshot interface against a
// scripted stand-in and against KWin itself. And GNOME as its users have it: GNOME Shell with
// GNOME's own portal backend, consent given once in its dialog.
#include <gmock/gmock.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "client_fixture.h"
#include "portal_stack.h"
#include "raw_http.h"
#include "xvfb.h"

namespace service_test {
namespace {

using nlohmann::json;
using portal_testing::Desktop;
using portal_testing::Monitor;
using portal_testing::PortalStack;
using ::testing::HasSubstr;

constexpr std::uint32_t kBlue = 0x336699;
constexpr std::uint32_t kBrown = 0x994433;

class PortalDesktop : public ClientTest {
 protected:
  explicit PortalDesktop(Desktop desktop = Desktop::kPortal) : stack(desktop) {
    service_env = stack.session_env();
  }
  ~PortalDesktop() override { service.reset(); }  // before the desktop goes

  std::string consent_file() const { return config + "/tirvane/screen-consent"; }

  // `tirvane-app --allow-screen`, run as the user would in the desktop session.
  testing_support::RunResult allow_screen() const {
    testing_support::RunOptions options;
    options.env = stack.session_env();
    options.env["XDG_CONFIG_HOME"] = config;
    std::vector<std::string> argv{app_path(), "--allow-screen"};
    if (service_user) {
      const passwd* entry = ::getpwuid(*service_user);
      argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(*service_user),
              "--regid=" + std::to_string(entry != nullptr ? entry->pw_gid : *service_user),
              "--clear-groups", service_program, "--allow-screen"};
    }
    return testing_support::run_program(argv, options);
  }

  // A desktop run by its own user (GNOME's): the service, and --allow-screen, run as that user
  // too, from a copy it can reach, with a configuration folder of its own.
  void run_service_as_desktop_user() {
    if (::geteuid() != 0) return;
    service_user = stack.user();
    service_program = stack.user_copy(app_path());
    const passwd* entry = ::getpwuid(stack.user());
    if (entry == nullptr || ::chown(config.c_str(), entry->pw_uid, entry->pw_gid) != 0) {
      throw std::runtime_error("cannot hand the configuration folder to the desktop's user");
    }
  }

  void give_consent() {
    auto allowed = allow_screen();
    ASSERT_EQ(allowed.exit_status, 0) << allowed.err;
  }

  json health() const { return json::parse(tirvane({"status", "--json"}).out, nullptr, false); }

  // A shot of `device` through the API, decoded to RGB.
  app::Image shot(const std::string& device) const {
    const Answer answer = get(service->port(), "/api/frame.jpg?device=" + device);
    EXPECT_EQ(answer.status, 200) << device << ": " << answer.body.substr(0, 300);
    auto decoded = app::decode_jpeg(answer.body);
    return failed(decoded) ? app::Image{} : std::get<app::Image>(decoded);
  }

  // A 2-second recording through the API, kept in the client's folder.
  Answer record(const std::string& name, int secs = 2) const {
    Answer answer = post(service->port(), "/api/screen/record",
                         "{\"format\": \"webm\", \"secs\": " + std::to_string(secs) + "}");
    if (answer.status == 200) std::ofstream(path(name), std::ios::binary) << answer.body;
    return answer;
  }

  // Every frame of a video the client folder holds, as RGB.
  std::vector<std::vector<std::uint8_t>> frames(const std::string& name, int width,
                                                int height) const {
    auto r = testing_support::run_program({"ffmpeg", "-v", "error", "-i", path(name), "-f",
                                           "rawvideo", "-pix_fmt", "rgb24", "-"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
    std::vector<std::vector<std::uint8_t>> all;
    for (std::size_t at = 0; at + size <= r.out.size(); at += size) {
      all.emplace_back(r.out.begin() + static_cast<std::ptrdiff_t>(at),
                       r.out.begin() + static_cast<std::ptrdiff_t>(at + size));
    }
    return all;
  }

  std::string file_text(const std::string& name) const {
    std::ifstream in(name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  PortalStack stack;
};

// True when the background of a monitor's RGB picture, away from its moving bar, is `colour`.
bool shows(const std::vector<std::uint8_t>& rgb, int width, std::uint32_t colour) {
  constexpr int kRow = 240;
  const int bar = portal_testing::bar_column(rgb, width, kRow);
  const int x = bar < 0 ? 5 : (bar + width / 3) % width;
  const std::size_t at = (static_cast<std::size_t>(kRow) * static_cast<std::size_t>(width) +
                          static_cast<std::size_t>(x)) * 3;
  const screen_testing::Rgb seen{rgb[at], rgb[at + 1], rgb[at + 2]};
  return screen_testing::near(seen, screen_testing::rgb_of(colour), 24);
}

bool shows(const app::Image& image, std::uint32_t colour) {
  return image.width > 0 && shows(image.pixels, image.width, colour);
}

int number(const Answer& answer, const std::string& header) {
  const std::string text = answer.header(header);
  return text.empty() ? -1 : std::stoi(text);
}

TEST_F(PortalDesktop, ConsentIsAskedOnceThenShotsShowTheScreenWithoutAnyDialog) {
  stack.add_monitor({});

  // Before consent: refused at once with what to do, and the portal is not even asked.
  json before = health();
  // No screenshots can be had yet; recordings would go through the portal, which needs consent.
  EXPECT_TRUE(before["screen"]["method"].is_null()) << before;
  EXPECT_THAT(before["screen"].value("problem", ""), HasSubstr("--allow-screen")) << before;
  EXPECT_EQ(before["screen"]["recording"], "portal") << before;
  EXPECT_EQ(before["screen"]["consent"], "missing") << before;
  auto refused = tirvane({"screenshot"});
  EXPECT_NE(refused.exit_status, 0);
  EXPECT_THAT(refused.err, HasSubstr("tirvane-app --allow-screen")) << refused.err;
  EXPECT_TRUE(stack.calls("CreateSession").empty());

  auto allowed = allow_screen();
  ASSERT_EQ(allowed.exit_status, 0) << allowed.err;
  EXPECT_THAT(allowed.err, HasSubstr(consent_file()));
  struct stat info {};
  ASSERT_EQ(::stat(consent_file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const auto asked = stack.calls("SelectSources");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0]["persist_mode"], 2);
  EXPECT_EQ(asked[0]["types"], 1);
  EXPECT_EQ(asked[0]["multiple"], true);
  EXPECT_TRUE(asked[0]["restore_data"].is_null());
  EXPECT_EQ(health()["screen"]["consent"], "given");

  auto r = tirvane({"screenshot"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const app::Image first = picture("screen.jpg");
  ASSERT_EQ(first.width, 640);
  ASSERT_EQ(first.height, 480);
  EXPECT_TRUE(shows(first, kBlue));
  const int bar = portal_testing::bar_column(first.pixels, first.width, 240);
  EXPECT_GE(bar, 0) << "no moving bar in the shot";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const app::Image later = shot("screen");
  EXPECT_NE(portal_testing::bar_column(later.pixels, later.width, 240), bar) << "the picture is not live";

  // Every session of the service was restored from the kept permission: no dialog.
  const auto starts = stack.calls("Start");
  ASSERT_GE(starts.size(), 2u);
  for (std::size_t i = 1; i < starts.size(); ++i) EXPECT_EQ(starts[i]["restored"], true) << i;

  // The permission outlives the service.
  restart();
  const std::size_t starts_before = stack.calls("Start").size();
  auto again = tirvane({"screenshot"});
  ASSERT_EQ(again.exit_status, 0) << again.err;
  const auto after = stack.calls("Start");
  ASSERT_GT(after.size(), starts_before);
  EXPECT_EQ(after.back()["restored"], true);
}

TEST_F(PortalDesktop, RecordingsFollowTheMovingPicture) {
  stack.add_monitor({});
  give_consent();
  const Answer answer = record("screen.webm");
  ASSERT_EQ(answer.status, 200) << answer.body.substr(0, 300);
  EXPECT_EQ(number(answer, "X-Frames-Recorded") + number(answer, "X-Frames-Dropped"), 60);
  const auto video = frames("screen.webm", 640, 480);
  ASSERT_GE(video.size(), 50u);
  std::set<int> places;
  for (const auto& frame : video) {
    EXPECT_TRUE(shows(frame, 640, kBlue));
    places.insert(portal_testing::bar_column(frame, 640, 240));
  }
  EXPECT_EQ(places.count(-1), 0u) << "a frame without the bar";
  EXPECT_GE(places.size(), 30u) << "the bar should move from frame to frame";
}

TEST_F(PortalDesktop, ARecordingSharesTheShotsSessionAndShotsGoOnBesideIt) {
  stack.add_monitor({});
  give_consent();
  const std::size_t consent_starts = stack.calls("Start").size();
  ASSERT_TRUE(shows(shot("screen"), kBlue));

  // Shots while the recording runs: from the same session, without taking its frames.
  std::vector<int> bars;
  std::thread shooter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; i < 5; ++i) {
      const app::Image picture = shot("screen");
      if (picture.width > 0) bars.push_back(portal_testing::bar_column(picture.pixels, picture.width, 240));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  const Answer answer = record("shared.webm");
  shooter.join();
  ASSERT_EQ(answer.status, 200) << answer.body.substr(0, 300);
  EXPECT_EQ(number(answer, "X-Frames-Recorded") + number(answer, "X-Frames-Dropped"), 60);
  EXPECT_GT(number(answer, "X-Frames-Recorded"), 45);
  const auto video = frames("shared.webm", 640, 480);
  ASSERT_GE(video.size(), 45u);
  std::set<int> places;
  for (const auto& frame : video) places.insert(portal_testing::bar_column(frame, 640, 240));
  EXPECT_EQ(places.count(-1), 0u) << "a frame without the bar";
  EXPECT_GE(places.size(), 30u) << "the shots took frames from the recording";
  ASSERT_EQ(bars.size(), 5u);
  EXPECT_EQ(std::set<int>(bars.begin(), bars.end()).size(), 5u) << "the shots beside the recording are not live";
  EXPECT_EQ(std::count(bars.begin(), bars.end(), -1), 0);
  EXPECT_EQ(stack.calls("Start").size(), consent_starts + 1)
      << "the recording or the shots beside it opened a second portal session";
}

TEST_F(PortalDesktop, ASlowDesktopHasItsFramesRepeatedAndDamagedFramesNeverShow) {
  // Five frames a second, every third one damaged: the recorder fills the 30 fps clock with the
  // previous good picture.
  Monitor slow;
  slow.fps = 5;
  slow.bad_every = 3;
  stack.add_monitor(slow);
  give_consent();
  const Answer answer = record("slow.webm");
  ASSERT_EQ(answer.status, 200) << answer.body.substr(0, 300);
  const int recorded = number(answer, "X-Frames-Recorded");
  EXPECT_EQ(recorded + number(answer, "X-Frames-Dropped"), 60);
  EXPECT_GT(recorded, 20) << "frames the desktop did not send are repeated, not dropped";
  const auto video = frames("slow.webm", 640, 480);
  ASSERT_GE(video.size(), 20u);
  std::set<int> places;
  for (std::size_t i = 0; i < video.size(); ++i) {
    EXPECT_TRUE(shows(video[i], 640, kBlue)) << "frame " << i << " shows a damaged picture";
    places.insert(portal_testing::bar_column(video[i], 640, 240));
  }
  EXPECT_GE(places.size(), 3u);
  EXPECT_LE(places.size(), 12u) << "more pictures than the desktop sent";
}

TEST_F(PortalDesktop, CancelledOrRefusedConsentIsReportedAndNothingIsKept) {
  stack.add_monitor({});
  for (const auto& [answer, words] : std::vector<std::pair<std::string, std::string>>{
           {"cancel", "cancelled"}, {"refuse", "refused"}}) {
    stack.script(answer);
    auto allowed = allow_screen();
    EXPECT_EQ(allowed.exit_status, 1) << answer;
    EXPECT_THAT(allowed.err, HasSubstr(words)) << answer;
    EXPECT_FALSE(std::filesystem::exists(consent_file())) << answer;
    auto refused = tirvane({"screenshot"});
    EXPECT_NE(refused.exit_status, 0);
    EXPECT_THAT(refused.err, HasSubstr("tirvane-app --allow-screen")) << answer;
  }
  EXPECT_EQ(health()["screen"]["consent"], "missing");
}

TEST_F(PortalDesktop, ADialogNobodyAnswersIsClosedAndTheRequestRefused) {
  stack.add_monitor({});
  give_consent();
  // The desktop has forgotten the permission and shows its dialog again; nobody is there.
  stack.script("never", false);
  auto r = tirvane({"screenshot"});
  EXPECT_NE(r.exit_status, 0);
  EXPECT_THAT(r.err, HasSubstr("nobody answered")) << r.err;
  EXPECT_THAT(r.err, HasSubstr("tirvane-app --allow-screen")) << r.err;
  EXPECT_EQ(stack.calls("Request.Close").size(), 1u) << "the dialog must not stay on the screen";

  // The permission is no longer taken: later requests are refused at once, without a dialog.
  EXPECT_FALSE(std::filesystem::exists(consent_file()));
  const std::size_t sessions = stack.calls("CreateSession").size();
  auto next = tirvane({"screenshot"});
  EXPECT_NE(next.exit_status, 0);
  EXPECT_THAT(next.err, HasSubstr("needs your consent once")) << next.err;
  EXPECT_EQ(stack.calls("CreateSession").size(), sessions);
  EXPECT_EQ(health()["screen"]["consent"], "missing");
}

TEST_F(PortalDesktop, AStreamThatStopsMidRecordingIsRefusedAndTheServiceGoesOn) {
  stack.add_monitor({});
  give_consent();
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    stack.stop_monitor(0);
  });
  const Answer answer = record("cut.webm", 3);
  stopper.join();
  EXPECT_EQ(answer.status, 503);
  EXPECT_THAT(answer.error(), HasSubstr("stopped")) << answer.body;
  EXPECT_EQ(health()["screen"]["recording"], "portal");

  // A new monitor is picked up by the next request, without a restart.
  Monitor brown;
  brown.colour = kBrown;
  stack.add_monitor(brown);
  const app::Image picture = shot("screen");
  EXPECT_TRUE(shows(picture, kBrown));
}

TEST_F(PortalDesktop, EachMonitorIsADevice) {
  // Added right one first: the desktop's order is not the left-to-right order of the names.
  Monitor right;
  right.colour = kBrown;
  right.x = 640;
  right.width = 800;
  right.height = 600;
  Monitor left;
  left.colour = kBlue;
  stack.add_monitor(right);
  stack.add_monitor(left);
  give_consent();

  const json devices = json::parse(tirvane({"devices", "--json"}).out)["devices"];
  std::map<std::string, std::pair<int, int>> sizes;
  for (const json& device : devices) {
    sizes[device["id"]] = {device.value("width", 0), device.value("height", 0)};
  }
  EXPECT_EQ(sizes["screen"], std::make_pair(800, 600)) << devices;
  EXPECT_EQ(sizes["screen:1"], std::make_pair(640, 480)) << devices;
  EXPECT_EQ(sizes["screen:2"], std::make_pair(800, 600)) << devices;
  EXPECT_TRUE(shows(shot("screen:1"), kBlue));
  EXPECT_TRUE(shows(shot("screen:2"), kBrown));
  EXPECT_TRUE(shows(shot("screen"), kBrown));
  const Answer unknown = get(service->port(), "/api/frame.jpg?device=screen:3");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_THAT(unknown.error(), HasSubstr("no monitor named \"3\""));
}

TEST_F(PortalDesktop, APortalThatGoesAwayIsNamed) {
  stack.add_monitor({});
  give_consent();
  ASSERT_EQ(tirvane({"screenshot"}).exit_status, 0);
  stack.stop_portal();
  auto r = tirvane({"screenshot"});
  EXPECT_NE(r.exit_status, 0);
  EXPECT_THAT(r.err, HasSubstr("no desktop portal")) << r.err;
  const json status = health();
  EXPECT_TRUE(status["screen"]["method"].is_null()) << status;
}

class BareWaylandSession : public PortalDesktop {
 protected:
  BareWaylandSession() : PortalDesktop(Desktop::kBusOnly) {}
};

TEST_F(BareWaylandSession, WithoutAPortalEverythingSaysSo) {
  auto allowed = allow_screen();
  EXPECT_EQ(allowed.exit_status, 1);
  EXPECT_THAT(allowed.err, HasSubstr("no desktop portal")) << allowed.err;
  auto shot_refused = tirvane({"screenshot"});
  EXPECT_NE(shot_refused.exit_status, 0);
  EXPECT_THAT(shot_refused.err, HasSubstr("no desktop portal")) << shot_refused.err;
  const Answer recording = record("none.webm");
  EXPECT_EQ(recording.status, 503);
  EXPECT_THAT(recording.error(), HasSubstr("no desktop portal"));
  const json status = health();
  EXPECT_TRUE(status["screen"]["method"].is_null()) << status;
  EXPECT_THAT(status["screen"].value("problem", ""), HasSubstr("no desktop portal"));
}

class KdeSession : public PortalDesktop {
 protected:
  KdeSession() : PortalDesktop(Desktop::kKwin) {}
};

TEST_F(KdeSession, ShotsComeFromKWinWithoutAnyDialog) {
  const json status = health();
  EXPECT_EQ(status["screen"]["method"], "kwin") << status;

  auto r = tirvane({"screenshot"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const app::Image whole = picture("screen.jpg");
  ASSERT_EQ(whole.width, 320);
  ASSERT_EQ(whole.height, 200);
  for (const auto& [x, colour] : {std::pair(40, 0x2a9d8fu), std::pair(280, 0xe76f51u)}) {
    const auto seen = screen_testing::pixel_at(whole, x, 100);
    EXPECT_TRUE(screen_testing::near(seen, screen_testing::rgb_of(colour), 24))
        << x << ": " << screen_testing::describe(seen);
  }
  EXPECT_EQ(stack.calls("CaptureActiveScreen").size(), 1u);

  const app::Image named = shot("screen:HDMI-A-1");
  EXPECT_EQ(named.width, 320);
  const auto by_name = stack.calls("CaptureScreen");
  ASSERT_EQ(by_name.size(), 1u);
  EXPECT_EQ(by_name[0]["name"], "HDMI-A-1");

  stack.script_kwin("unauthorised");
  const Answer refused = get(service->port(), "/api/frame.jpg?device=screen");
  EXPECT_EQ(refused.status, 503);
  EXPECT_THAT(refused.error(), HasSubstr(".desktop file"));
}

class KdePlasma : public PortalDesktop {
 protected:
  explicit KdePlasma(Desktop desktop = Desktop::kRealKwin) : PortalDesktop(desktop) {}
};

TEST_F(KdePlasma, TheInstalledServiceTakesScreenshotsUnattended) {
  EXPECT_EQ(health()["screen"]["method"], "kwin");
  constexpr std::uint32_t kRed = 0xcc2222;
  stack.show_window(kRed, 100, 100, 600, 400);
  // The window takes a moment to be mapped and drawn.
  app::Image picture;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    picture = shot("screen");
    if (picture.width == 1280 &&
        screen_testing::near(screen_testing::pixel_at(picture, 400, 300), screen_testing::rgb_of(kRed), 24)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(picture.width, 1280);
  EXPECT_EQ(picture.height, 720);
  EXPECT_TRUE(screen_testing::near(screen_testing::pixel_at(picture, 400, 300), screen_testing::rgb_of(kRed), 24))
      << screen_testing::describe(screen_testing::pixel_at(picture, 400, 300));
  EXPECT_FALSE(screen_testing::near(screen_testing::pixel_at(picture, 1000, 600), screen_testing::rgb_of(kRed), 60))
      << "the window is where it was put, not everywhere";
  // The virtual output by its connector name, and a name KWin does not have.
  EXPECT_EQ(shot("screen:Virtual-0").width, 1280);
  const Answer unknown = get(service->port(), "/api/frame.jpg?device=screen:HDMI-A-9");
  EXPECT_EQ(unknown.status, 503);
  EXPECT_THAT(unknown.error(), HasSubstr("no screen of that name"));
}

class KdePlasmaWithoutTheDesktopFile : public KdePlasma {
 protected:
  KdePlasmaWithoutTheDesktopFile() : KdePlasma(Desktop::kRealKwinWithoutDesktopFile) {}
};

TEST_F(KdePlasmaWithoutTheDesktopFile, KWinRefusesAndTheRefusalSaysWhatToInstall) {
  const Answer refused = get(service->port(), "/api/frame.jpg?device=screen");
  EXPECT_EQ(refused.status, 503);
  EXPECT_THAT(refused.error(), HasSubstr("cmake --install")) << refused.body;
  EXPECT_EQ(get(service->port(), "/api/health").status, 200);
}

class GnomeDesktop : public PortalDesktop {
 protected:
  GnomeDesktop() : PortalDesktop(Desktop::kGnome) { run_service_as_desktop_user(); }
};

// The darkest and brightest of a picture's pixels, as the sum of their channels.
std::pair<int, int> contrast(const std::vector<std::uint8_t>& rgb) {
  int darkest = 3 * 255, brightest = 0;
  for (std::size_t at = 0; at + 2 < rgb.size(); at += 3 * 7) {
    const int sum = rgb[at] + rgb[at + 1] + rgb[at + 2];
    darkest = std::min(darkest, sum);
    brightest = std::max(brightest, sum);
  }
  return {darkest, brightest};
}

TEST_F(GnomeDesktop, ShotsAndRecordingsShowTheCompositorsPicture) {
  give_consent();
  EXPECT_EQ(health()["screen"]["method"], "portal");
  auto r = tirvane({"screenshot"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const app::Image desktop = picture("screen.jpg");
  EXPECT_EQ(desktop.width, portal_testing::kCompositorWidth);
  EXPECT_EQ(desktop.height, portal_testing::kCompositorHeight);
  // The shell's panel, overview and text: a picture with light and dark parts, not a blank.
  const auto [darkest, brightest] = contrast(desktop.pixels);
  EXPECT_GT(brightest - darkest, 200) << darkest << ".." << brightest;

  // A recording right after the shot, from the shot's session: GNOME sends frames only when the
  // screen changes, so most of them are repeats; the clock still gets all of its frames.
  const Answer answer = record("gnome.webm");
  ASSERT_EQ(answer.status, 200) << answer.body.substr(0, 300);
  EXPECT_EQ(number(answer, "X-Frames-Recorded") + number(answer, "X-Frames-Dropped"), 60);
  const auto video = frames("gnome.webm", portal_testing::kCompositorWidth,
                            portal_testing::kCompositorHeight);
  ASSERT_GE(video.size(), 50u);
  const auto [dark, bright] = contrast(video.back());
  EXPECT_GT(bright - dark, 200);
  // The consent's session and the one of the shot and the recording, restored: no dialog.
  const auto starts = stack.calls("Start");
  ASSERT_EQ(starts.size(), 2u) << "the recording opened a session of its own beside the shot's";
  EXPECT_EQ(starts[1]["restored"], true);
}


// GNOME as its users have it: the shell with GNOME's own portal backend, everything run as the
// desktop's user, and consent given in GNOME's own "Screen Share" dialog by pointer clicks
// (gnome_user.py).
class GnomeWithItsPortal : public PortalDesktop {
 protected:
  GnomeWithItsPortal() : PortalDesktop(Desktop::kGnomeWithItsPortal) { run_service_as_desktop_user(); }

  // `tirvane-app --allow-screen`, started by the user in the desktop session.
  std::size_t ask_for_consent() {
    return stack.launch("tirvane-app --allow-screen",
                        {service_program.empty() ? app_path() : service_program, "--allow-screen"},
                        {{"XDG_CONFIG_HOME", config}, {"XDG_SESSION_TYPE", "wayland"}});
  }

  // Starts listing the shell's windows, to see whether a consent dialog ever shows up; returns
  // once the first list is in.
  std::size_t watch_for_dialogs() {
    const std::size_t watch = stack.launch_gnome_user({"watch"});
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (stack.output(watch).find("watching") == std::string::npos) {
      if (std::chrono::steady_clock::now() > until) throw std::runtime_error("the window watch did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return watch;
  }

  // What the window watch saw: {"polls": N, "dialogs": [...]}, its last line. A dialog would stay
  // for seconds (the service waits 3 s for an answer before it gives up), far longer than the
  // watch's 50 ms between looks.
  json dialogs_seen(std::size_t watch) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stack.end(watch);
    std::string said = stack.output(watch);
    while (!said.empty() && said.back() == '\n') said.pop_back();
    const json seen = json::parse(said.substr(said.rfind('\n') + 1), nullptr, false);
    EXPECT_TRUE(seen.is_object()) << "the window watch said: " << said;
    return seen.is_object() ? seen : json::object();
  }

  // A shot of the screen once `ready` holds for it (a window takes a moment to be drawn), or
  // the last one tried after 15 s.
  template <class Ready>
  app::Image shot_once(Ready ready) {
    app::Image image;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    do {
      image = shot("screen");
      if (ready(image)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < until);
    return image;
  }

  // The CPU time the service has used so far, in milliseconds.
  double service_cpu_ms() const {
    std::istringstream stat(file_text("/proc/" + std::to_string(service->pid()) + "/stat"));
    std::string skip;
    long user = 0, system = 0;
    std::getline(stat, skip, ')');
    for (int field = 3; field <= 13; ++field) stat >> skip;
    stat >> user >> system;
    return 1000.0 * static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
};

constexpr std::uint32_t kRed = 0xcc2222;
constexpr std::uint32_t kGreen = 0x22aa44;

// How many pixels of an RGB picture are within a small distance of `colour`.
std::size_t pixels_of(const std::vector<std::uint8_t>& rgb, std::uint32_t colour) {
  const screen_testing::Rgb want = screen_testing::rgb_of(colour);
  std::size_t count = 0;
  for (std::size_t at = 0; at + 2 < rgb.size(); at += 3) {
    if (screen_testing::near({rgb[at], rgb[at + 1], rgb[at + 2]}, want, 24)) ++count;
  }
  return count;
}

// A 600x400 window shows as more than this many of its pixels (its title bar aside).
constexpr std::size_t kWindowPixels = 180000;

// The shell's top bar: black across the top of the picture, under its clock and buttons.
bool shows_top_bar(const app::Image& image) {
  const auto seen = screen_testing::pixel_at(image, 400, 4);
  return screen_testing::near(seen, {0, 0, 0}, 24);
}

double ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(GnomeWithItsPortal, ConsentGivenOnceInGnomesDialogHoldsAfterTheServiceAndTheDesktopRestart) {
  const std::size_t asking = ask_for_consent();
  const auto [answered, how] = stack.gnome_user({"grant"}, std::chrono::seconds(60));
  ASSERT_EQ(answered, 0) << how << stack.output(asking);
  ASSERT_EQ(stack.wait(asking, std::chrono::seconds(30)), 0) << stack.output(asking);
  EXPECT_THAT(stack.output(asking), HasSubstr("permission kept in " + consent_file()));
  struct stat info {};
  ASSERT_EQ(::stat(consent_file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_uid, stack.user());
  EXPECT_FALSE(file_text(consent_file()).empty());

  // The service, started afresh, sees the desktop with the window on it, and no dialog comes.
  stack.open_gnome_window(kRed);
  restart();
  std::size_t watch = watch_for_dialogs();
  const auto asked = std::chrono::steady_clock::now();
  const Answer first = get(service->port(), "/api/frame.jpg?device=screen");
  const double first_ms = ms_since(asked);
  ASSERT_EQ(first.status, 200) << first.body.substr(0, 300) << service->log();
  auto r = tirvane({"screenshot"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(picture("screen.jpg").width, portal_testing::kCompositorWidth);
  const app::Image desktop =
      shot_once([](const app::Image& image) { return pixels_of(image.pixels, kRed) > kWindowPixels; });
  ASSERT_EQ(desktop.width, portal_testing::kCompositorWidth);
  ASSERT_EQ(desktop.height, portal_testing::kCompositorHeight);
  EXPECT_GT(pixels_of(desktop.pixels, kRed), kWindowPixels) << "the red window is not in the shot";
  EXPECT_LT(pixels_of(desktop.pixels, kRed), 3 * kWindowPixels) << "more red than the window";
  EXPECT_TRUE(shows_top_bar(desktop));
  // The monitor under the name of its connector, as GNOME's compositor calls it.
  const json devices = json::parse(tirvane({"devices", "--json"}).out)["devices"];
  std::set<std::string> ids;
  for (const json& device : devices) ids.insert(device.value("id", ""));
  EXPECT_EQ(ids.count("screen:Meta-0"), 1u) << devices;
  EXPECT_EQ(ids.count("screen:1"), 0u) << devices;
  EXPECT_EQ(shot("screen:Meta-0").width, portal_testing::kCompositorWidth);
  std::vector<double> warm;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get(service->port(), "/api/frame.jpg?device=screen").status, 200);
    warm.push_back(ms_since(start));
  }

  const double cpu_before = service_cpu_ms();
  const Answer answer = record("gnome.webm");
  const double cpu_ms = service_cpu_ms() - cpu_before;
  ASSERT_EQ(answer.status, 200) << answer.body.substr(0, 300);
  const int recorded = number(answer, "X-Frames-Recorded");
  EXPECT_EQ(recorded + number(answer, "X-Frames-Dropped"), 60);
  const auto video = frames("gnome.webm", portal_testing::kCompositorWidth,
                            portal_testing::kCompositorHeight);
  ASSERT_GE(video.size(), 50u);
  EXPECT_GT(pixels_of(video.front(), kRed), kWindowPixels);
  EXPECT_GT(pixels_of(video.back(), kRed), kWindowPixels);

  json seen = dialogs_seen(watch);
  EXPECT_GE(seen.value("polls", 0), 20) << "the window watch did not keep looking";
  EXPECT_EQ(seen["dialogs"], json::array()) << "a consent dialog showed up";
  std::sort(warm.begin(), warm.end());
  std::printf("GNOME, stored token: first shot %.0f ms; warm shots %.1f-%.1f ms; "
              "recording: %d frames, %.2f ms of the service's CPU a recorded frame\n",
              first_ms, warm.front(), warm.back(), recorded,
              recorded > 0 ? cpu_ms / recorded : 0.0);

  // The desktop restarts: the shell, its portal backend, the frontend and the permission store.
  stack.restart_gnome();
  stack.open_gnome_window(kGreen);
  watch = watch_for_dialogs();
  const app::Image restarted =
      shot_once([](const app::Image& image) { return pixels_of(image.pixels, kGreen) > kWindowPixels; });
  EXPECT_GT(pixels_of(restarted.pixels, kGreen), kWindowPixels) << "the new desktop is not in the shot";
  EXPECT_EQ(pixels_of(restarted.pixels, kRed), 0u) << "a picture of the desktop before the restart";
  EXPECT_TRUE(shows_top_bar(restarted));
  seen = dialogs_seen(watch);
  EXPECT_GE(seen.value("polls", 0), 5) << "the window watch did not keep looking";
  EXPECT_EQ(seen["dialogs"], json::array()) << "a consent dialog showed up after the restart";
  EXPECT_EQ(health()["screen"]["consent"], "given");
}

TEST_F(GnomeWithItsPortal, ClosingGnomesDialogRefusesAndNothingIsKept) {
  const std::size_t asking = ask_for_consent();
  const auto [answered, how] = stack.gnome_user({"cancel"}, std::chrono::seconds(60));
  ASSERT_EQ(answered, 0) << how << stack.output(asking);
  EXPECT_EQ(stack.wait(asking, std::chrono::seconds(30)), 1) << stack.output(asking);
  EXPECT_THAT(stack.output(asking), HasSubstr("cancelled at the desktop's dialog"));
  EXPECT_FALSE(std::filesystem::exists(consent_file()));
  auto refused = tirvane({"screenshot"});
  EXPECT_NE(refused.exit_status, 0);
  EXPECT_THAT(refused.err, HasSubstr("tirvane-app --allow-screen")) << refused.err;
  EXPECT_EQ(health()["screen"]["consent"], "missing");
}

}  // namespace
}  // namespace service_test
