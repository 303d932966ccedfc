#include "headless_weston.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "child_processes.h"
#include "file_text.h"
#include "start_process.h"

namespace screen_testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::read_file;

}  // namespace

HeadlessWeston::HeadlessWeston() {
  // weston ends its helpers and XWayland without waiting for them: as the test's subreaper this
  // process inherits them when weston has gone, and waits for them itself (see stop()).
  become_subreaper();
  char folder[] = "/tmp/tirvane-weston-XXXXXX";
  if (::mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp");
  folder_ = folder;
  runtime_dir_ = folder_ + "/run";
  fs::create_directory(runtime_dir_);
  ::chmod(runtime_dir_.c_str(), 0700);

  const std::string log = folder_ + "/weston.log";
  std::vector<std::string> argv = {"env", "XDG_RUNTIME_DIR=" + runtime_dir_, "weston",
                                   "--backend=headless-backend.so", "--socket=" + wayland_display_,
                                   "--xwayland", "--idle-time=0", "--log=" + log};
  pid_ = testing_support::spawn_process(std::move(argv));
  if (pid_ < 0) {
    fs::remove_all(folder_);
    throw std::runtime_error("cannot start weston");
  }
  // Ready once its socket is there and it has said which display XWayland answers on.
  const std::string marker = "xserver listening on display ";
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = read_file(log);
    const auto at = text.find(marker);
    if (at != std::string::npos && fs::exists(runtime_dir_ + "/" + wayland_display_)) {
      const auto start = at + marker.size();
      x_display_ = text.substr(start, text.find_first_of("\n ", start) - start);
      return;
    }
    std::this_thread::sleep_for(10ms);
  }
  const std::string said = read_file(log);
  stop();
  fs::remove_all(folder_);
  throw std::runtime_error("weston did not start (is the weston package installed?): " + said);
}

HeadlessWeston::~HeadlessWeston() {
  stop();
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

void HeadlessWeston::stop() {
  const std::vector<pid_t> helpers = pid_ > 0 ? children_of(pid_) : std::vector<pid_t>{};
  end_process(pid_);
  pid_ = -1;
  for (pid_t helper : helpers) end_process(helper);
}

}  // namespace screen_testing
