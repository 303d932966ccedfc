// tirvane-app: the capture service. Listens on 127.0.0.1, serves the API under /api, and stops
// cleanly on SIGINT, SIGTERM or SIGHUP after answering the requests it is working on; a running
// recording is cut short so that stopping takes a moment, not the rest of the recording.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/api.h"
#include "app/config_folder.h"
#include "app/desktop/allow_screen.h"
#include "app/device_registry.h"
#include "app/http_service.h"
#include "app/service_options.h"
#include "app/service_setup.h"
#include "app/source_registry.h"
#include "app/text.h"

namespace {

void say(const std::string& line) {
  const std::string text = "tirvane-app: " + line + "\n";
  [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
}

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  // A closed terminal: the user is gone, but what runs is still finished and answered.
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace app;
  // Signals are taken by one thread that waits for them, so no work happens in a handler; the
  // mask is set before any other thread starts, and every thread inherits it.
  const sigset_t signals = stop_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // Pictures are buffers of many megabytes. Each goes back to the system when it is freed, so
  // one large request does not leave the heap holding what it needed (by default the allocator
  // raises this threshold to the largest buffer freed, up to 32 MiB, and keeps those in the heap).
  mallopt(M_MMAP_THRESHOLD, 1 << 20);

  const char* port_variable = std::getenv("TIRVANE_PORT");
  auto parsed = parse_service_options(
      std::vector<std::string>(argv + 1, argv + argc),
      port_variable ? std::optional<std::string>(port_variable) : std::nullopt);
  if (auto* problem = std::get_if<std::string>(&parsed)) {
    say(*problem + "\n" + kServiceUsage);
    return 1;
  }
  const ServiceOptions& options = std::get<ServiceOptions>(parsed);
  if (options.help) {
    std::fputs(kServiceUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("tirvane-app %s\n", TIRVANE_VERSION);
    return 0;
  }
  if (options.allow_screen) {
    // Run by the user at the desktop, who may stop it with Ctrl-C while the dialog is up.
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    return desktop::allow_screen(default_config_folder());
  }

  SourceRegistry registry(default_config_folder());
  for (const std::string& problem : registry.problems()) say("warning: " + escape_controls(problem));

  Result<ListeningSocket> listening = listen_on_loopback(options.port);
  if (auto* failure = std::get_if<Failure>(&listening)) {
    say(failure->message);
    return 1;
  }
  const ListeningSocket socket = std::get<ListeningSocket>(listening);

  ScreenParts screen = build_screen(default_config_folder());
  DeviceRegistry devices(build_device_providers(registry, screen.provider, options.width,
                                                options.height,
                                                std::chrono::seconds(options.camera_timeout),
                                                std::chrono::seconds(options.camera_idle),
                                                socket.port));
  if (!options.device.empty()) {
    const Result<std::shared_ptr<Device>> found = devices.find(options.device);
    if (const auto* failure = std::get_if<Failure>(&found)) {
      say("warning: the camera given with --device is not available now: " +
          escape_controls(failure->message));
    }
  }
  Api api(ServiceSettings{options.device, options.width, options.height, socket.port}, devices,
          registry, screen.recorder.get(), screen.status);
  HttpLimits limits;
  limits.head_time = limits.body_time = std::chrono::seconds(options.request_timeout);
  HttpService http(api, socket, limits);

  if (!registry.file().empty()) say("network cameras are registered in " + registry.file());
  say(std::string(TIRVANE_VERSION) + " listening on http://127.0.0.1:" +
      std::to_string(socket.port) + "/api (camera: " +
      (options.device.empty() ? "best available" : options.device) + ", size " +
      std::to_string(options.width) + "x" + std::to_string(options.height) + ")");

  std::atomic<bool> served{false};
  std::thread waiter([&] {
    const timespec tick{0, 200'000'000};
    while (!served) {
      const int signal = sigtimedwait(&signals, nullptr, &tick);
      if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) {
        say(std::string("stopping (") +
            (signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP") + ")");
        if (screen.recorder) screen.recorder->cut_short();
        http.stop();
        return;
      }
    }
  });
  const bool ok = http.serve();
  served = true;
  waiter.join();
  say(ok ? "stopped" : "stopped: accepting connections failed");
  return ok ? 0 : 1;
}
