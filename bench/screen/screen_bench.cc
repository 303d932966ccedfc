// How long a 1920x1080 screenshot takes through the screen device, beside scrot on the same
// Xvfb screen, and whether a recording keeps real time while the whole screen scrolls.
// A screenshot through the client costs the device shot plus the client's own start and one
// local HTTP request; the client's start is measured here too.
//
//   screen_bench [--shots N] [--secs S]
//
// Starts its own Xvfb. Prints medians; the figures vary with the machine's load, so compare the
// rows of one run with each other.
#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/recording_request.h"
#include "app/screen/screen_provider.h"
#include "app/screen/screen_recorder.h"
#include "app/screen/x11_screen.h"
#include "desktop.h"
#include "xvfb.h"

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double median_ms(int runs, const std::function<void()>& run) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    run();
    times.push_back(milliseconds_since(start));
  }
  return median(times);
}

template <class T>
T must(app::Result<T> result, const char* what) {
  if (app::failed(result)) {
    std::fprintf(stderr, "%s: %s\n", what, std::get<app::Failure>(result).message.c_str());
    std::exit(1);
  }
  return std::move(std::get<T>(result));
}

enum class Motion { kWindow, kScroll, kNoise };

const char* motion_name(Motion motion) {
  switch (motion) {
    case Motion::kWindow: return "a window moving";
    case Motion::kScroll: return "whole screen scrolling";
    case Motion::kNoise: return "whole screen noise";
  }
  return "?";
}

// Animates the screen 30 times a second in a process of its own, so that its work is not counted
// as the recorder's. kWindow drags a 640x400 window across the still desktop, as when a window is
// moved; kScroll scrolls the whole screen by 6 rows and draws fresh "text" into the rows that come
// in, so every pixel changes every frame, as when a long page is scrolled. kNoise repaints the
// whole screen in 16x16 blocks of random colours every frame: the worst a video encoder meets
// (a game, a video playing full screen), for the size a recording reaches at its rate ceiling.
pid_t start_motion(const std::string& display_name, Motion motion) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  Display* display = XOpenDisplay(display_name.c_str());
  if (display == nullptr) _exit(1);
  const Window root = DefaultRootWindow(display);
  GC gc = XCreateGC(display, root, 0, nullptr);
  const Pixmap desktop = XCreatePixmap(display, root, 1920, 1080, 24);
  XCopyArea(display, root, desktop, gc, 0, 0, 1920, 1080, 0, 0);
  std::uint32_t colour = 0xABCDEF;
  int x = 0, y = 100;
  for (auto next = Clock::now();; next += std::chrono::milliseconds(33)) {
    if (motion == Motion::kWindow) {
      XCopyArea(display, desktop, root, gc, x, y, 640, 400, x, y);
      x = (x + 12) % 1280;
      y = 100 + (x / 4) % 500;
      XSetForeground(display, gc, 0xF4F4F4);
      XFillRectangle(display, root, gc, x, y, 640, 400);
      XSetForeground(display, gc, 0x3465A4);
      XFillRectangle(display, root, gc, x, y, 640, 28);
      for (int line = y + 40; line < y + 390; line += 14) {
        XSetForeground(display, gc, 0x303030);
        XFillRectangle(display, root, gc, x + 16, line, 200u + static_cast<unsigned>(line * 37) % 400u, 7);
      }
    } else if (motion == Motion::kNoise) {
      for (int top = 0; top < 1080; top += 16) {
        for (int left = 0; left < 1920; left += 16) {
          colour = colour * 1103515245u + 12345u;
          XSetForeground(display, gc, (colour >> 8) & 0xFFFFFF);
          XFillRectangle(display, root, gc, left, top, 16, 16);
        }
      }
    } else {
      XCopyArea(display, root, root, gc, 0, 6, 1920, 1074, 0, 0);
      XSetForeground(display, gc, 0xE0E0E0);
      XFillRectangle(display, root, gc, 0, 1074, 1920, 6);
      for (int column = 10; column < 1900; column += 90) {
        colour = colour * 1103515245u + 12345u;
        XSetForeground(display, gc, colour & 0x7F7F7F);
        XFillRectangle(display, root, gc, column, 1075, 20 + colour % 60, 4);
      }
    }
    XSync(display, False);
    std::this_thread::sleep_until(next);
  }
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int run_process(const std::vector<std::string>& argv) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    std::vector<char*> c_argv;
    for (const std::string& word : argv) c_argv.push_back(const_cast<char*>(word.c_str()));
    c_argv.push_back(nullptr);
    execvp(c_argv[0], c_argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The duration ffprobe reads from the file, in seconds.
std::string probed_duration(const std::string& path) {
  const std::string command =
      "ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "?";
  char text[64] = {};
  const bool read = std::fgets(text, sizeof text, pipe) != nullptr;
  pclose(pipe);
  std::string duration = read ? text : "?";
  if (!duration.empty() && duration.back() == '\n') duration.pop_back();
  return duration;
}

void report_recording(const app::DisplayEnvironment& environment, const std::string& folder,
                      const char* format, int secs, Motion motion) {
  app::ScreenVideoRecorder recorder(environment);
  const double cpu_before = cpu_seconds();
  const auto start = Clock::now();
  const std::string body =
      std::string(R"({"format":")") + format + R"(","secs":)" + std::to_string(secs) + "}";
  const app::Recording recording =
      must(app::record_screen(recorder, *parse_json_document(body)), "recording");
  const double wall = milliseconds_since(start) / 1000;
  const double cpu = cpu_seconds() - cpu_before;
  std::string recorded, dropped;
  for (const auto& [name, value] : recording.headers) {
    if (name == "X-Frames-Recorded") recorded = value;
    if (name == "X-Frames-Dropped") dropped = value;
  }
  const std::string path = folder + "/screen." + format;
  const std::string bytes = must(recording.file->read_all(), "reading the recording back");
  std::ofstream(path, std::ios::binary) << bytes;
  std::printf(
      "record %-4s %d s, %s: %.2f s wall, %.2f cores busy, %s frames, %s dropped, %.1f MB, "
      "duration %s s\n",
      format, secs, motion_name(motion), wall, cpu / wall, recorded.c_str(), dropped.c_str(),
      static_cast<double>(bytes.size()) / 1e6, probed_duration(path).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int shots = 30;
  int secs = 5;
  // --busy: only the recordings of the noisy screen, for their sizes.
  bool busy_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--busy") == 0) busy_only = true;
    if (i + 1 >= argc) continue;
    if (std::strcmp(argv[i], "--shots") == 0) shots = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--secs") == 0) secs = std::atoi(argv[i + 1]);
  }

  screen_testing::Xvfb xvfb;
  setenv("DISPLAY", xvfb.display().c_str(), 1);
  screen_bench::paint_desktop(xvfb.display());
  const app::DisplayEnvironment environment{xvfb.display(), false, std::nullopt};
  const std::string folder = "/tmp/tirvane-screen-bench-" + std::to_string(getpid());
  std::filesystem::create_directories(folder);

  if (busy_only) {
    const pid_t animation = start_motion(xvfb.display(), Motion::kNoise);
    report_recording(environment, folder, "webm", secs, Motion::kNoise);
    report_recording(environment, folder, "mp4", secs, Motion::kNoise);
    kill(animation, SIGKILL);
    waitpid(animation, nullptr, 0);
    std::filesystem::remove_all(folder);
    return 0;
  }

  // In the service: a warm connection, one grab and one encode per request.
  app::ScreenProvider source(environment);
  auto screen = must(*source.find("screen"), "screen");
  auto screen_open = must(app::X11Screen::open(environment), "screen");
  app::PixelView grabbed;
  const double grab = median_ms(shots, [&] { grabbed = must(screen_open->grab(), "grab"); });
  const double encode =
      median_ms(shots, [&] { must(app::encode_jpeg(grabbed), "encode"); });
  std::size_t bytes = 0;
  const double shot = median_ms(shots, [&] {
    bytes = must(screen->capture_jpeg({}), "shot").bytes.size();
  });
  const double scaled =
      median_ms(shots, [&] { must(screen->capture_jpeg({1280, 720}), "scaled shot"); });

  // As separate processes, the way a person runs a screenshot tool.
  const std::string theirs = folder + "/scrot.jpg";
  // What `tirvane screenshot` adds to the device shot: its own start and one local request.
  const double client = median_ms(shots, [&] { run_process({TIRVANE_CLIENT_PATH}); });
  const double scrot = median_ms(shots, [&] {
    if (run_process({"scrot", "--overwrite", "--quality", "90", theirs}) != 0) {
      std::fprintf(stderr, "scrot failed (is the scrot package installed?)\n");
      std::exit(1);
    }
  });

  std::printf("1920x1080 screenshot, median of %d (ms):\n", shots);
  std::printf("  grab (%s)                 %7.2f\n",
              screen_open->method() == app::GrabMethod::kSharedMemory ? "MIT-SHM" : "XGetImage",
              grab);
  std::printf("  JPEG encode q90 4:2:0             %7.2f\n", encode);
  std::printf("  device shot (grab + encode)       %7.2f  (%zu bytes)\n", shot, bytes);
  std::printf("  device shot scaled to 1280x720    %7.2f\n", scaled);
  std::printf("  tirvane client start (help text)  %7.2f\n", client);
  std::printf("  scrot process (JPEG q90)          %7.2f\n", scrot);
  std::printf("  scrot / device shot               %7.1fx\n", scrot / shot);
  std::printf("  scrot / (device shot + client)    %7.1fx\n", scrot / (shot + client));

  for (Motion motion : {Motion::kWindow, Motion::kScroll, Motion::kNoise}) {
    screen_bench::paint_desktop(xvfb.display());
    const pid_t animation = start_motion(xvfb.display(), motion);
    report_recording(environment, folder, "webm", secs, motion);
    report_recording(environment, folder, "mp4", secs, motion);
    kill(animation, SIGKILL);
    waitpid(animation, nullptr, 0);
  }
  std::filesystem::remove_all(folder);
  return 0;
}
