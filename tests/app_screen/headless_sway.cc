#include "headless_sway.h"

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

#include "child_processes.h"
#include "file_text.h"
#include "run_program.h"
#include "start_process.h"
#include "test_user.h"

namespace screen_testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::read_file;

void own(const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
  if (::chown(path.c_str(), uid, gid) != 0 || ::chmod(path.c_str(), mode) != 0) {
    throw std::runtime_error("cannot hand " + path + " to the sway user");
  }
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

// Waits up to `limit` for `ready`, checking every few milliseconds.
template <class Ready>
bool wait_for(Ready ready, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

}  // namespace

HeadlessSway::HeadlessSway(SwayOptions options) : options_(std::move(options)) {
  const TestUser user = desktop_test_user();
  uid_ = user.uid;
  gid_ = user.gid;
  char folder[] = "/tmp/tirvane-sway-XXXXXX";
  if (::mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp");
  folder_ = folder;
  runtime_dir_ = folder_ + "/run";
  fs::create_directory(runtime_dir_);
  own(folder_, uid_, gid_, 0755);
  own(runtime_dir_, uid_, gid_, 0700);
  std::ostringstream config;
  config << "output HEADLESS-1 mode " << options_.width << "x" << options_.height << " bg "
         << options_.background << " solid_color\n"
         << "default_border none\n"
         << "default_floating_border none\n"
         << "focus_follows_mouse no\n"
         << "xwayland " << (options_.xwayland ? "force" : "disable") << "\n";
  write_file(folder_ + "/config", config.str());
  try {
    start();
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    throw;
  }
}

HeadlessSway::~HeadlessSway() {
  stop();
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

void HeadlessSway::start() {
  if (pid_ > 0) return;
  become_subreaper();
  std::vector<std::string> argv;
  if (::geteuid() == 0) {
    argv = {"setpriv", "--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(gid_),
            "--clear-groups"};
  }
  argv.insert(argv.end(), {"env", "-i", "PATH=/usr/bin:/bin", "HOME=" + folder_,
                           "XDG_RUNTIME_DIR=" + runtime_dir_, "WLR_BACKENDS=headless",
                           "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman", "sway", "-c",
                           folder_ + "/config"});
  const std::string log = folder_ + "/sway.log";
  testing_support::SpawnOptions spawn_options;
  spawn_options.output = log;
  spawn_options.output_mode = 0644;
  pid_ = testing_support::spawn_process(std::move(argv), spawn_options);
  if (pid_ < 0) throw std::runtime_error("cannot start sway (is the sway package installed?)");

  // Ready once both its Wayland socket and its IPC socket are there.
  const std::string ipc_prefix = "sway-ipc.";
  const bool ready = wait_for(
      [&] {
        wayland_display_.clear();
        ipc_socket_.clear();
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(runtime_dir_, error)) {
          const std::string name = entry.path().filename().string();
          if (!entry.is_socket()) continue;
          if (name.starts_with("wayland-")) wayland_display_ = name;
          if (name.starts_with(ipc_prefix)) ipc_socket_ = entry.path().string();
        }
        return !wayland_display_.empty() && !ipc_socket_.empty();
      },
      10000ms);
  if (!ready) {
    const std::string said = read_file(log);
    stop();
    throw std::runtime_error("sway did not start: " + said);
  }
  if (options_.xwayland) {
    // Xwayland announces itself to sway's children through DISPLAY once it is ready.
    const std::string file = folder_ + "/display";
    const std::string script = write_script("display", "echo \"$DISPLAY\" > " + file);
    const bool announced = wait_for(
        [&] {
          command("exec " + script);
          std::this_thread::sleep_for(20ms);
          std::string text = read_file(file);
          while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
          x_display_ = text;
          return !x_display_.empty();
        },
        10000ms);
    if (!announced) {
      stop();
      throw std::runtime_error("Xwayland did not start under sway");
    }
    // Xwayland admits only its own user; tests running as root are let in too.
    if (::geteuid() == 0) {
      const std::string done = folder_ + "/xhost.done";
      command("exec " + write_script("xhost", "xhost +si:localuser:root && touch " + done));
      if (!wait_for([&] { return fs::exists(done); }, 10000ms)) {
        stop();
        throw std::runtime_error("cannot let root into Xwayland (is xhost installed?)");
      }
    }
  }
}

void HeadlessSway::stop() {
  // Everything sway ran for us (windows, scripts), then sway, then what sway itself started
  // (swaybg, Xwayland), each by its process id.
  const std::vector<pid_t> helpers = pid_ > 0 ? children_of(pid_) : std::vector<pid_t>{};
  std::istringstream started(read_file(started_file()));
  for (pid_t pid; started >> pid;) end_process(pid);
  std::ofstream(started_file(), std::ios::trunc);
  end_process(pid_);
  pid_ = -1;
  for (pid_t helper : helpers) end_process(helper);
  // The sway user runs nothing else of this process's: the rest sway left behind.
  if (::geteuid() == 0) reap_children_of_user(uid_);
}

std::map<std::string, std::optional<std::string>> HeadlessSway::client_env() const {
  return {{"XDG_RUNTIME_DIR", runtime_dir_}, {"WAYLAND_DISPLAY", wayland_display_}};
}

void HeadlessSway::command(const std::string& sway_command) {
  auto r = testing_support::run_program({"swaymsg", "-s", ipc_socket_, sway_command});
  if (r.exit_status != 0) {
    throw std::runtime_error("swaymsg " + sway_command + ": " + r.out + r.err);
  }
}

std::vector<std::string> HeadlessSway::output_names() {
  auto r = testing_support::run_program({"swaymsg", "-s", ipc_socket_, "-t", "get_outputs", "-r"});
  std::vector<std::string> names;
  const std::string key = "\"name\": \"";
  for (auto at = r.out.find(key); at != std::string::npos; at = r.out.find(key, at)) {
    at += key.size();
    names.push_back(r.out.substr(at, r.out.find('"', at) - at));
  }
  return names;
}

pid_t HeadlessSway::open_window(const std::string& rgb) {
  ++windows_opened_;
  return start_window("-o colors.background=" + rgb + " -o colors.foreground=" + rgb);
}

pid_t HeadlessSway::open_floating_window(const std::string& rgb, int x, int y, int width,
                                         int height) {
  // The window floats from the start, at the size it asks for itself.
  const std::string app_id = "tirvane-" + std::to_string(++windows_opened_);
  command("for_window [app_id=\"" + app_id + "\"] \"floating enable, move position " +
          std::to_string(x) + " " + std::to_string(y) + "\"");
  return start_window("--app-id=" + app_id + " --window-size-pixels=" + std::to_string(width) +
                      "x" + std::to_string(height) + " -o pad=0x0 -o colors.background=" + rgb +
                      " -o colors.foreground=" + rgb);
}

std::string HeadlessSway::started_file() const { return folder_ + "/started.pids"; }

std::string HeadlessSway::write_script(const std::string& name, const std::string& body) {
  const std::string path = folder_ + "/" + name + ".sh";
  write_file(path, "#!/bin/sh\necho $$ >> " + started_file() + "\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

pid_t HeadlessSway::start_window(const std::string& foot_options) {
  const std::string n = std::to_string(windows_opened_);
  const std::string pid_file = folder_ + "/window-" + n + ".pid";
  // The terminal runs a long sleep (the test user has no login shell); its text colour is the
  // fill colour too, so the whole window is one colour.
  command("exec " + write_script("window-" + n, "echo $$ > " + pid_file + "\nexec foot " +
                                                   foot_options + " sleep 100000"));
  pid_t pid = -1;
  if (!wait_for(
          [&] {
            const std::string text = read_file(pid_file);
            if (text.empty() || text.back() != '\n') return false;
            pid = std::stoi(text);
            return true;
          },
          10000ms)) {
    throw std::runtime_error("the terminal window did not start");
  }
  const std::string shown = "\"pid\": " + std::to_string(pid) + ",";
  if (!wait_for(
          [&] {
            return testing_support::run_program(
                       {"swaymsg", "-s", ipc_socket_, "-t", "get_tree", "-r"})
                       .out.find(shown) != std::string::npos;
          },
          10000ms)) {
    throw std::runtime_error("sway does not show the terminal window");
  }
  return pid;
}

}  // namespace screen_testing
