// A 1920x1080 screenshot of a headless sway through the service, beside grim (PPM, its fastest
// form) on the same screen, both as processes the way a person runs them, timed by hyperfine in
// one run; then 5-second recordings in both containers, with the frames recorded and dropped.
//
//   wayland_bench [--runs N] [--secs S]
//
// Starts its own sway (as a test user when run as root) and its own tirvane-app. The figures
// vary with the machine's load, so compare the rows of one run with each other.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/wayland/wayland_screen.h"
#include "fake_service.h"
#include "headless_sway.h"
#include "raw_http.h"
#include "run_program.h"
#include "service_process.h"

namespace {

std::string argument(int argc, char** argv, const std::string& name, const std::string& fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] == name) return argv[i + 1];
  }
  return fallback;
}

double median_ms(int runs, const std::function<void()>& run) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// The parts of a shot inside the service: the screencopy of the output, and the JPEG.
void report_parts(const screen_testing::HeadlessSway& sway, int runs) {
  ::setenv("XDG_RUNTIME_DIR", sway.runtime_dir().c_str(), 1);
  auto connected = app::wayland::WaylandScreen::connect(sway.wayland_display());
  if (app::failed(connected)) return;
  auto& screen = *std::get<std::unique_ptr<app::wayland::WaylandScreen>>(connected);
  app::PixelView view;
  const double grab = median_ms(runs, [&] { view = std::get<app::PixelView>(screen.grab("")); });
  const double jpeg = median_ms(runs, [&] { (void)app::encode_jpeg(view); });
  std::printf("\nInside the service, median of %d (ms):\n", runs);
  std::printf("  screencopy of the output         %6.2f\n", grab);
  std::printf("  JPEG encode q90 4:2:0            %6.2f\n", jpeg);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string runs = argument(argc, argv, "--runs", "30");
  const int secs = std::stoi(argument(argc, argv, "--secs", "5"));

  screen_testing::HeadlessSway sway;
  // Something to see: a terminal window over the background.
  sway.open_floating_window("204080", 200, 150, 1200, 700);
  auto env = sway.client_env();
  const std::string config = testing_support::make_temp_dir();
  service_test::ServiceProcess service(config, {}, env);
  if (!service.started()) {
    std::fprintf(stderr, "the service did not start: %s\n", service.log().c_str());
    return 1;
  }
  const std::string folder = testing_support::make_temp_dir();
  const std::string port = service.port_text();
  const std::string client = TIRVANE_CLIENT_PATH;
  const std::string wayland = "XDG_RUNTIME_DIR=" + sway.runtime_dir() +
                              " WAYLAND_DISPLAY=" + sway.wayland_display();
  const std::string report = folder + "/hyperfine.json";

  // Both as processes: the client's start, its request and the service's capture and JPEG;
  // grim's connection, capture and PPM file.
  const std::string command =
      "cd " + folder + " && hyperfine -N -w 5 -r " + runs + " --export-json " + report +
      " -n 'tirvane screenshot' 'env TIRVANE_PORT=" + port + " " + client + " screenshot'" +
      " -n 'grim -t ppm' 'env " + wayland + " grim -t ppm " + folder + "/grim.ppm'";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "hyperfine failed (is it installed?)\n");
    return 1;
  }
  std::ifstream in(report);
  const nlohmann::json results = nlohmann::json::parse(in, nullptr, false)["results"];
  if (results.size() == 2) {
    const double ours = results[0]["median"].get<double>() * 1000;
    const double grim = results[1]["median"].get<double>() * 1000;
    std::printf("\n1920x1080 screenshot, median of %s (ms):\n", runs.c_str());
    std::printf("  tirvane screenshot (JPEG q90)   %6.2f\n", ours);
    std::printf("  grim -t ppm                     %6.2f\n", grim);
    std::printf("  tirvane / grim                  %6.2f\n", ours / grim);
  }

  report_parts(sway, std::stoi(runs));

  for (const char* format : {"webm", "mp4"}) {
    const std::string body =
        std::string("{\"format\":\"") + format + "\",\"secs\":" + std::to_string(secs) + "}";
    const auto start = std::chrono::steady_clock::now();
    const service_test::Answer answer = service_test::round_trip(
        service.port(), service_test::post_request(service.port(), "/api/screen/record", body),
        std::chrono::seconds(secs + 60));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (answer.status != 200) {
      std::printf("record %s: %d %s\n", format, answer.status, answer.error().c_str());
      continue;
    }
    std::printf("record %-4s %d s: %.2f s wall, %s frames, %s dropped, %.1f MB\n", format, secs,
                wall, answer.header("X-Frames-Recorded").c_str(),
                answer.header("X-Frames-Dropped").c_str(),
                static_cast<double>(answer.body.size()) / 1e6);
  }
  return 0;
}
