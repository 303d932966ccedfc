// The screen through the desktop portal, measured on the scripted stack the tests use (the real
// portal frontend and PipeWire; a scripted backend; a 1920x1080 moving-picture source at 30 fps):
// the first shot of a freshly started service with a kept permission, warm shots, and the CPU the
// service spends per recorded frame (all of it, and its PipeWire thread alone).
//
//   portal_bench [--shots N] [--secs S]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "portal_stack.h"
#include "raw_http.h"
#include "run_program.h"
#include "fake_service.h"
#include "service_process.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU seconds (user + system) of a process, or of one of its threads, from /proc.
double cpu_seconds(const std::string& stat_path) {
  std::ifstream in(stat_path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  std::vector<std::string> all;
  while (fields >> field) all.push_back(field);
  if (all.size() < 13) return 0;
  return static_cast<double>(std::stoll(all[11]) + std::stoll(all[12])) /
         static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The stat file of the service's thread that receives the PipeWire frames.
std::string pipewire_thread(pid_t pid) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name.find("tirvane-screen") != std::string::npos || name.find("pw-") == 0) {
      return (task.path() / "stat").string();
    }
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  int shots = 30;
  int secs = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--shots") shots = std::atoi(argv[i + 1]);
    if (key == "--secs") secs = std::atoi(argv[i + 1]);
  }
  portal_testing::PortalStack stack;
  portal_testing::Monitor monitor;
  monitor.width = 1920;
  monitor.height = 1080;
  stack.add_monitor(monitor);
  const std::string config = testing_support::make_temp_dir();
  testing_support::RunOptions options;
  options.env = stack.session_env();
  options.env["XDG_CONFIG_HOME"] = config;
  const auto allowed = testing_support::run_program({service_test::app_path(), "--allow-screen"}, options);
  if (allowed.exit_status != 0) {
    std::fprintf(stderr, "--allow-screen failed: %s\n", allowed.err.c_str());
    return 1;
  }

  std::vector<double> first;
  for (int i = 0; i < 5; ++i) {
    service_test::ServiceProcess service(config, {}, stack.session_env());
    const auto start = Clock::now();
    const auto answer = service_test::get(service.port(), "/api/frame.jpg?device=screen");
    first.push_back(ms_since(start));
    if (answer.status != 200) {
      std::fprintf(stderr, "shot failed: %s\n", answer.body.c_str());
      return 1;
    }
  }

  service_test::ServiceProcess service(config, {}, stack.session_env());
  std::vector<double> warm;
  std::size_t bytes = 0;
  service_test::get(service.port(), "/api/frame.jpg?device=screen");
  for (int i = 0; i < shots; ++i) {
    const auto start = Clock::now();
    const auto answer = service_test::get(service.port(), "/api/frame.jpg?device=screen");
    warm.push_back(ms_since(start));
    bytes = answer.body.size();
  }

  const double cpu_before = cpu_seconds("/proc/" + std::to_string(service.pid()) + "/stat");
  double thread_cpu = 0;
  std::thread watcher([&] {
    // The recording's own PipeWire thread exists only while it runs: sample it near the end.
    std::this_thread::sleep_for(std::chrono::milliseconds(secs * 1000 - 300));
    const std::string path = pipewire_thread(service.pid());
    if (!path.empty()) thread_cpu = cpu_seconds(path);
  });
  const auto start = Clock::now();
  const auto recording = service_test::post(
      service.port(), "/api/screen/record", "{\"format\": \"webm\", \"secs\": " + std::to_string(secs) + "}");
  const double wall = ms_since(start);
  watcher.join();
  const double cpu = cpu_seconds("/proc/" + std::to_string(service.pid()) + "/stat") - cpu_before;
  const int recorded = std::atoi(recording.header("X-Frames-Recorded").c_str());
  const int dropped = std::atoi(recording.header("X-Frames-Dropped").c_str());

  std::printf("screen through the desktop portal, 1920x1080 source at 30 fps\n");
  std::printf("  first shot of a new service, kept permission  median of %zu  %7.1f ms\n",
              first.size(), median(first));
  std::printf("  warm shot (session kept open)                 median of %d  %7.1f ms  (%zu bytes)\n",
              shots, median(warm), bytes);
  std::printf("  %d-second WebM recording: status %d, %d recorded, %d dropped, %.0f ms\n", secs,
              recording.status, recorded, dropped, wall);
  if (recorded > 0) {
    std::printf("  service CPU per recorded frame (capture + VP9)        %7.2f ms\n",
                1000 * cpu / recorded);
    std::printf("  its PipeWire thread per recorded frame (receive+copy) %7.2f ms\n",
                1000 * thread_cpu / recorded);
  }
  std::filesystem::remove_all(config);
  return 0;
}
