// `look` and bursts of snaps on a webcam with a real camera's timing: the fake camera of the tests
// (tests/app_v4l2, camera_timing.h: 30 fps, a driver queue of 4 buffers, a lens that travels)
// behind the service's own V4L2 camera, focus sweep and JPEG path. Everything but HTTP and the
// client's start (a few milliseconds, bench/README.md) is in the measured time.
//
//   bench/camera/run.sh            builds and runs it; see bench/camera/README.md
//   camera_bench [--runs N] [--only look|burst]
//
// look: finding the camera, the sweep and a 1280x720 snap, from a closed camera, on a fast
// (voice-coil) and a slow (motor) lens, with the sharpest position at three places in the
// 0-250 range. Before: the sweep with a fixed 250 ms wait after each move, streaming started at
// the camera's own size. After: the sweep that waits for the picture to hold still, streaming
// started at the size the snap asks for.
// burst: 10 snaps in a row, each from a closed camera (the camera given back after every
// request: --camera-idle 0) against a camera kept streaming (--camera-idle 3), where only the
// first snap opens it: the first snap and the nine after it are shown apart.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/focus_sweep.h"
#include "app/v4l2/webcam_provider.h"
#include "fake_camera.h"
#include "fixed_wait_sweep.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One webcam at /dev-like folder/video0 on a fresh fake layer.
class Rig {
 public:
  Rig(fake_v4l2::Camera camera, app::v4l2::WebcamOptions options) {
    std::string pattern = (std::filesystem::temp_directory_path() / "camera-bench-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    std::ofstream(root_ / "video0").put('\0');
    layer_->add((root_ / "video0").string(), std::move(camera));
    options.root = root_;
    source_ = std::make_unique<app::v4l2::WebcamProvider>(layer_, options);
  }
  ~Rig() {
    source_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::shared_ptr<app::Device> find() {
    auto found = source_->find("0");
    return std::get<std::shared_ptr<app::Device>>(*found);
  }
  int open_fds() const { return layer_->state((root_ / "video0").string()).open_fds; }

 private:
  std::filesystem::path root_;
  std::shared_ptr<fake_v4l2::FakeDeviceLayer> layer_ = std::make_shared<fake_v4l2::FakeDeviceLayer>();
  std::unique_ptr<app::v4l2::WebcamProvider> source_;
};

fake_v4l2::Camera webcam(fake_v4l2::Timing timing, std::optional<int> sharpest) {
  fake_v4l2::Camera camera = fake_v4l2::uvc_webcam();
  camera.timing = timing;
  camera.sharpest_focus = sharpest;
  camera.gradual_defocus = true;
  return camera;
}

struct LookResult {
  double seconds = 0;
  std::int64_t locked = 0;
  std::size_t samples = 0;
};

LookResult look(fake_v4l2::Timing timing, int sharpest, bool after) {
  app::v4l2::WebcamOptions options;
  options.camera.idle_close = 3s;
  if (after) options.camera.first_request = app::FrameRequest{1280, 720};
  Rig rig(webcam(timing, sharpest), options);
  const auto start = Clock::now();
  std::shared_ptr<app::Device> camera = rig.find();
  const app::Result<app::FocusSweep> swept =
      after ? app::sweep_focus(*camera)
            : camera->with_lens([](app::FocusLens& lens) { return bench::fixed_wait_sweep(lens, 250ms); });
  camera = rig.find();
  if (app::failed(camera->capture_jpeg({1280, 720}))) std::abort();
  const double took = seconds_since(start);
  if (app::failed(swept)) {
    std::fprintf(stderr, "sweep failed: %s\n", std::get<app::Failure>(swept).message.c_str());
    std::exit(1);
  }
  const app::FocusSweep& sweep = std::get<app::FocusSweep>(swept);
  return {took, sweep.focus, sweep.samples.size()};
}

// 10 snaps in a row: the time of each snap itself.
std::vector<double> burst(fake_v4l2::Timing timing, std::chrono::seconds idle) {
  app::v4l2::WebcamOptions options;
  options.camera.idle_close = idle;
  Rig rig(webcam(timing, std::nullopt), options);
  std::vector<double> snaps;
  for (int i = 0; i < 10; ++i) {
    if (idle.count() == 0) {
      // The camera given back after the last request, as the service does with
      // --camera-idle 0; the wait for that is not counted.
      const auto deadline = Clock::now() + 5s;
      while (rig.open_fds() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
    }
    const auto start = Clock::now();
    std::shared_ptr<app::Device> camera = rig.find();
    if (app::failed(camera->capture_jpeg({1280, 720}))) std::abort();
    snaps.push_back(seconds_since(start));
  }
  return snaps;
}

void look_table(int runs) {
  struct Lens {
    const char* name;
    fake_v4l2::Timing timing;
  };
  const std::vector<Lens> lenses{{"fast lens (full range 100 ms)", fake_v4l2::fast_lens_timing()},
                                 {"slow lens (full range 1.2 s)", fake_v4l2::slow_lens_timing()}};
  std::printf("look (find, focus sweep, 1280x720 snap), 30 fps camera, focus 0-250 in steps of 5;\n"
              "median of %d runs per position; locked: where the sweep locked, per run\n\n",
              runs);
  std::printf("| lens | sweep | sharpest at | look time | samples | locked | within a step |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const Lens& lens : lenses) {
    for (const int sharpest : {40, 125, 210}) {
      // Before and after alternate, so that a change of load affects both.
      std::vector<double> times[2];
      std::string locked[2];
      std::size_t samples[2] = {0, 0};
      bool all_within[2] = {true, true};
      for (int run = 0; run < runs; ++run) {
        for (int after = 0; after < 2; ++after) {
          const LookResult result = look(lens.timing, sharpest, after == 1);
          times[after].push_back(result.seconds);
          locked[after] += (locked[after].empty() ? "" : " ") + std::to_string(result.locked);
          samples[after] = result.samples;
          all_within[after] = all_within[after] && std::abs(result.locked - sharpest) <= 5;
        }
      }
      for (int after = 0; after < 2; ++after) {
        std::printf("| %s | %s | %d | %.2f s | %zu | %s | %s |\n", lens.name,
                    after ? "waits for the lens" : "fixed 250 ms wait", sharpest,
                    median(times[after]), samples[after], locked[after].c_str(),
                    all_within[after] ? "yes" : "NO");
        std::fflush(stdout);
      }
    }
  }
}

void burst_table(int runs) {
  std::printf("\nburst: 10 snaps in a row at 1280x720, fast lens camera; %d runs, medians over\n"
              "the runs (the first snap, and each of snaps 2-10, from all runs pooled)\n\n", runs);
  std::printf("| camera between snaps | 10 snaps | first snap | snaps 2-10: median | max |\n"
              "|---|---|---|---|---|\n");
  struct Burst {
    std::vector<double> totals, firsts, rest;
  };
  Burst cold, warm;
  auto add = [](Burst& into, const std::vector<double>& snaps) {
    double total = 0;
    for (double snap : snaps) total += snap;
    into.totals.push_back(total);
    into.firsts.push_back(snaps.front());
    into.rest.insert(into.rest.end(), snaps.begin() + 1, snaps.end());
  };
  for (int run = 0; run < runs; ++run) {
    add(cold, burst(fake_v4l2::fast_lens_timing(), 0s));
    add(warm, burst(fake_v4l2::fast_lens_timing(), 3s));
  }
  auto row = [](const char* name, const Burst& b) {
    std::printf("| %s | %.3f s | %.1f ms | %.1f ms | %.1f ms |\n", name, median(b.totals),
                median(b.firsts) * 1000, median(b.rest) * 1000,
                *std::max_element(b.rest.begin(), b.rest.end()) * 1000);
  };
  row("given back (--camera-idle 0)", cold);
  row("kept streaming (--camera-idle 3)", warm);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  std::string only;  // "look" or "burst": that part alone
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--runs") {
      runs = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--only" && (std::string(argv[i + 1]) == "look" ||
                                      std::string(argv[i + 1]) == "burst")) {
      only = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: camera_bench [--runs N] [--only look|burst]\n");
      return 2;
    }
  }

  std::ifstream loadavg("/proc/loadavg");
  std::string load;
  std::getline(loadavg, load);
  std::printf("load average before the run: %s\n\n", load.c_str());

  if (only != "burst") look_table(runs);
  if (only != "look") burst_table(runs);
  return 0;
}
