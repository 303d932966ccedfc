// The capture service's speed: frames from the test camera over real HTTP on loopback (request
// to last byte), JPEG encoding, the test camera's rendering, and a whole focus sweep.
//
//   cmake --preset default -DTIRVANE_BUILD_BENCH=ON && cmake --build --preset default
//   build/app_bench
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "app/api.h"
#include "app/device_registry.h"
#include "app/focus_sweep.h"
#include "app/http_service.h"
#include "app/peer_credentials.h"
#include "app/service_setup.h"
#include "app/source_registry.h"
#include "app/test_camera.h"
#include "loopback.h"

namespace {

using namespace app;

// One in-process service on a free port, shared by the HTTP benchmarks.
class Service {
 public:
  Service() {
    char folder[] = "/tmp/tirvane-bench-XXXXXX";
    const std::string config = ::mkdtemp(folder);
    registry_ = std::make_unique<SourceRegistry>(config);
    devices_ = std::make_unique<DeviceRegistry>(
        build_device_providers(*registry_, build_screen(config).provider, 1280, 720,
                               std::chrono::seconds(20), std::chrono::seconds(3)));
    ListeningSocket socket = std::get<ListeningSocket>(listen_on_loopback(0));
    port_ = socket.port;
    api_ = std::make_unique<Api>(ServiceSettings{"", 1280, 720, port_}, *devices_, *registry_, nullptr);
    http_ = std::make_unique<HttpService>(*api_, socket);
    thread_ = std::thread([this] { http_->serve(); });
  }
  ~Service() {
    http_->stop();
    thread_.join();
  }
  int port() const { return port_; }

 private:
  std::unique_ptr<SourceRegistry> registry_;
  std::unique_ptr<DeviceRegistry> devices_;
  std::unique_ptr<Api> api_;
  std::unique_ptr<HttpService> http_;
  std::thread thread_;
  int port_ = 0;
};

Service& service() {
  static Service instance;
  return instance;
}

// What the client does: connect, send the request, read until the service closes.
std::size_t fetch(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::send(fd, request.data(), request.size(), 0);
  std::size_t total = 0;
  char buffer[65536];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) total += static_cast<std::size_t>(n);
  ::close(fd);
  return total;
}

std::string get_request(int port, const std::string& target) {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
}

void post_json(int port, const std::string& target, const std::string& body) {
  fetch(port, "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                  "\r\nContent-Type: application/json\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
}

void BM_FrameOverHttp(benchmark::State& state) {
  const int port = service().port();
  post_json(port, "/api/controls", R"({"name":"focus","value":150})");
  const std::string request = get_request(
      port, "/api/frame.jpg?_=&width=" + std::to_string(state.range(0)) +
                "&height=" + std::to_string(state.range(1)));
  fetch(port, request);  // the chart for this size is drawn once, then kept
  std::size_t bytes = 0;
  for (auto _ : state) bytes = fetch(port, request);
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_FrameOverHttp)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HealthOverHttp(benchmark::State& state) {
  const int port = service().port();
  const std::string request = get_request(port, "/api/health");
  for (auto _ : state) benchmark::DoNotOptimize(fetch(port, request));
}
BENCHMARK(BM_HealthOverHttp)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_EncodeJpeg(benchmark::State& state) {
  TestCamera camera;
  camera.set_control("focus", camera.sharp_focus());
  const Image image = camera.render(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                                    PixelFormat::kRgb);
  std::size_t bytes = 0;
  for (auto _ : state) bytes = std::get<std::string>(encode_jpeg(view_of(image))).size();
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeJpeg)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

// A whole frame from the test camera, in focus (no blur) and out of focus (blurred).
void BM_TestCameraFrame(benchmark::State& state) {
  TestCamera camera;
  const bool sharp = state.range(2) == 1;
  camera.set_control("focus", sharp ? camera.sharp_focus() : 110);
  const FrameRequest request{static_cast<int>(state.range(0)), static_cast<int>(state.range(1))};
  camera.capture_jpeg(request);
  for (auto _ : state) benchmark::DoNotOptimize(camera.capture_jpeg(request));
}
BENCHMARK(BM_TestCameraFrame)
    ->Args({1280, 720, 1})
    ->Args({1280, 720, 0})
    ->Args({1920, 1080, 1})
    ->Args({1920, 1080, 0})
    ->Unit(benchmark::kMillisecond);

void BM_FocusSweep(benchmark::State& state) {
  TestCamera camera;
  sweep_focus(camera);  // draws the measuring chart once
  std::size_t samples = 0;
  for (auto _ : state) {
    camera.set_control("focus", 110);
    samples = std::get<FocusSweep>(sweep_focus(camera)).samples.size();
  }
  state.counters["samples"] = static_cast<double>(samples);
}
BENCHMARK(BM_FocusSweep)->Unit(benchmark::kMillisecond);

void BM_Sharpness(benchmark::State& state) {
  TestCamera camera;
  const Image gray = std::get<Image>(camera.capture_gray());
  for (auto _ : state) benchmark::DoNotOptimize(sharpness(gray));
}
BENCHMARK(BM_Sharpness)->Unit(benchmark::kMicrosecond);

}  // namespace

// What checking a connection's user costs: one sock_diag question to the kernel per accepted
// connection, measured on an open loopback connection.
void BM_PeerUserLookup(benchmark::State& state) {
  const testing_support::LoopbackListener listener = testing_support::listen_on_loopback(1);
  const sockaddr_in address = testing_support::loopback_address(listener.port);
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  ::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int accepted = ::accept(listener.fd, nullptr, nullptr);
  for (auto _ : state) {
    auto owner = loopback_peer_uid(accepted);
    if (!std::holds_alternative<uid_t>(owner)) state.SkipWithError(std::get<std::string>(owner).c_str());
    benchmark::DoNotOptimize(owner);
  }
  ::close(accepted);
  ::close(client);
  ::close(listener.fd);
}
BENCHMARK(BM_PeerUserLookup)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
