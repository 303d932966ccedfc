// `tirvane screenshot` through a running `tirvane-app`, against `scrot`, on a private 1920x1080
// Xvfb showing a desktop-like picture: both as processes, alternating, idle and with the machine
// kept busy by CPU-bound processes of its own. Also splits the client's time into its parts.
//
//   screenshot_end_to_end [--shots N] [--busy N]
//
// --busy N (default 4) starts N processes that spin for the busy half of the run. With
// BASELINE_CLIENT=path/to/another/tirvane, that client joins the alternation (before and after
// in the same run). Prints
// medians, the median of the per-pair ratios (each tirvane run against the scrot run beside it)
// and the machine's load average.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "desktop.h"
#include "loopback.h"
#include "xvfb.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

pid_t spawn(const std::vector<std::string>& argv, bool quiet) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (quiet) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
    }
    std::vector<char*> c_argv;
    for (const std::string& word : argv) c_argv.push_back(const_cast<char*>(word.c_str()));
    c_argv.push_back(nullptr);
    execvp(c_argv[0], c_argv.data());
    _exit(127);
  }
  return pid;
}

double timed_run(const std::vector<std::string>& argv) {
  const auto start = Clock::now();
  int status = 0;
  waitpid(spawn(argv, true), &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", argv[0].c_str());
    std::exit(1);
  }
  return ms_since(start);
}

int free_port() {
  const testing_support::LoopbackListener listener = testing_support::listen_on_loopback(1);
  close(listener.fd);
  return listener.port;
}

int connect_to(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = testing_support::loopback_address(static_cast<std::uint16_t>(port));
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One GET of the screenshot from this process: connection, the service's work, the transfer.
double request_ms(int port) {
  const auto start = Clock::now();
  const int fd = connect_to(port);
  const std::string request = "GET /api/frame.jpg?device=screen HTTP/1.1\r\nHost: 127.0.0.1:" +
                              std::to_string(port) + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  if (fd < 0 || send(fd, request.data(), request.size(), 0) < 0) std::exit(1);
  char buffer[65536];
  while (recv(fd, buffer, sizeof buffer, 0) > 0) {
  }
  close(fd);
  return ms_since(start);
}

// CPU time (user + system) a process has used so far, in milliseconds.
double cpu_ms(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU time of the children waited for so far, in milliseconds.
double children_cpu_ms() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1000 + static_cast<double>(t.tv_usec) / 1000; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string text;
  std::getline(file, text);
  return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

struct Processes {
  pid_t service;
  pid_t xvfb;
};

void report(const char* label, int shots, int port, const std::string& folder, Processes processes) {
  const std::string ours = folder + "/tirvane.jpg";
  const std::string theirs = folder + "/scrot.jpg";
  std::vector<double> tirvane, scrot, ratios, start, request, baseline, baseline_ratios;
  const char* baseline_client = std::getenv("BASELINE_CLIENT");
  double client_cpu = 0, scrot_cpu = 0, service_cpu = 0, xvfb_cpu = 0, scrot_xvfb_cpu = 0;
  for (int i = 0; i < shots; ++i) {
    double children = children_cpu_ms();
    double service = cpu_ms(processes.service);
    double xvfb = cpu_ms(processes.xvfb);
    tirvane.push_back(timed_run({TIRVANE_CLIENT_PATH, "screenshot", "--port", std::to_string(port),
                                 "--out", ours}));
    client_cpu += children_cpu_ms() - children;
    service_cpu += cpu_ms(processes.service) - service;
    xvfb_cpu += cpu_ms(processes.xvfb) - xvfb;
    children = children_cpu_ms();
    xvfb = cpu_ms(processes.xvfb);
    scrot.push_back(timed_run({"scrot", "--overwrite", "--quality", "90", theirs}));
    scrot_cpu += children_cpu_ms() - children;
    scrot_xvfb_cpu += cpu_ms(processes.xvfb) - xvfb;
    ratios.push_back(tirvane.back() / scrot.back());
    if (baseline_client) {
      baseline.push_back(timed_run({baseline_client, "screenshot", "--port", std::to_string(port),
                                    "--out", ours}));
      baseline_ratios.push_back(baseline.back() / scrot.back());
    }
    start.push_back(timed_run({TIRVANE_CLIENT_PATH}));
    request.push_back(request_ms(port));
  }
  const double n = shots;
  std::printf("%s (load average %s), median of %d:\n", label, load_average().c_str(), shots);
  std::printf("  tirvane screenshot            %7.2f ms\n", median(tirvane));
  std::printf("  scrot -q 90                   %7.2f ms\n", median(scrot));
  std::printf("  tirvane / scrot, per pair     %7.2fx\n", median(ratios));
  if (baseline_client) {
    std::printf("  baseline client               %7.2f ms, %.2fx scrot per pair\n", median(baseline),
                median(baseline_ratios));
  }
  std::printf("  parts: client start           %7.2f ms\n", median(start));
  std::printf("         one request (connect, grab, encode, transfer) %7.2f ms\n", median(request));
  std::printf("  CPU per shot (mean): tirvane client %.2f ms + service %.2f ms + Xvfb %.2f ms;"
              " scrot %.2f ms + Xvfb %.2f ms\n",
              client_cpu / n, service_cpu / n, xvfb_cpu / n, scrot_cpu / n, scrot_xvfb_cpu / n);
  std::printf("  file size: tirvane %ju, scrot %ju bytes\n",
              static_cast<std::uintmax_t>(std::filesystem::file_size(ours)),
              static_cast<std::uintmax_t>(std::filesystem::file_size(theirs)));
}

}  // namespace

int main(int argc, char** argv) {
  int shots = 30;
  int busy = 4;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--shots") == 0) shots = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--busy") == 0) busy = std::atoi(argv[i + 1]);
  }
  screen_testing::Xvfb xvfb;
  setenv("DISPLAY", xvfb.display().c_str(), 1);
  screen_bench::paint_desktop(xvfb.display());
  const std::string folder = "/tmp/tirvane-screen-e2e-" + std::to_string(getpid());
  std::filesystem::create_directories(folder);
  setenv("XDG_CONFIG_HOME", folder.c_str(), 1);

  const int port = free_port();
  const pid_t service = spawn({TIRVANE_APP_PATH, "--port", std::to_string(port)}, true);
  for (int tries = 0; tries < 200; ++tries) {
    const int fd = connect_to(port);
    if (fd >= 0) {
      close(fd);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  request_ms(port);  // the service opens the display on the first screenshot

  report("idle", shots, port, folder, {service, xvfb.pid()});

  std::vector<pid_t> spinners;
  for (int i = 0; i < busy; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      for (;;) {
        asm volatile("" ::: "memory");
      }
    }
    spinners.push_back(pid);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  char label[64];
  std::snprintf(label, sizeof label, "busy: %d spinning processes", busy);
  report(label, shots, port, folder, {service, xvfb.pid()});
  for (pid_t pid : spinners) kill(pid, SIGKILL);
  for (pid_t pid : spinners) waitpid(pid, nullptr, 0);

  kill(service, SIGTERM);
  waitpid(service, nullptr, 0);
  std::filesystem::remove_all(folder);
  return 0;
}
