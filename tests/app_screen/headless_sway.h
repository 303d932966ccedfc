// A private headless sway for the tests that need a Wayland compositor: started as a non-root
// user (sway refuses root; the user is created on first use), in a runtime folder of its own,
// with a known background colour; stopped by process id, with every window it was asked to open.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace screen_testing {

struct SwayOptions {
  bool xwayland = false;  // start Xwayland with the compositor
  std::string background = "#336699";
  int width = 1920;
  int height = 1080;
};

class HeadlessSway {
 public:
  // Starts the compositor and waits until it accepts clients; throws when it cannot.
  explicit HeadlessSway(SwayOptions options = {});
  ~HeadlessSway();
  HeadlessSway(const HeadlessSway&) = delete;
  HeadlessSway& operator=(const HeadlessSway&) = delete;

  // The compositor's runtime folder (XDG_RUNTIME_DIR) and socket name (WAYLAND_DISPLAY).
  const std::string& runtime_dir() const { return runtime_dir_; }
  const std::string& wayland_display() const { return wayland_display_; }
  // Xwayland's display (":N"), when started with it.
  const std::string& x_display() const { return x_display_; }
  // The variables a client needs to reach it.
  std::map<std::string, std::optional<std::string>> client_env() const;

  // Runs a sway command (as swaymsg would); throws when sway refuses it.
  void command(const std::string& sway_command);
  // The output names, in sway's order.
  std::vector<std::string> output_names();

  // Opens a terminal window filled with `rgb` ("ff0000"), and waits until sway shows it; its
  // process id, for sway's [pid=N] criteria.
  pid_t open_window(const std::string& rgb);
  // The same as a floating window of width x height pixels with its top left corner at (x, y).
  pid_t open_floating_window(const std::string& rgb, int x, int y, int width, int height);

  // Ends the compositor (its windows too) and waits for it; start() brings it back on the same
  // runtime folder, where it takes the same socket name.
  void stop();
  void start();

 private:
  SwayOptions options_;
  std::string folder_;
  std::string runtime_dir_;
  std::string wayland_display_;
  std::string x_display_;
  std::string ipc_socket_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  pid_t pid_ = -1;
  pid_t start_window(const std::string& foot_options);
  // A script for sway to run, which notes its process id for stop() first.
  std::string write_script(const std::string& name, const std::string& body);
  std::string started_file() const;

  int windows_opened_ = 0;
};

}  // namespace screen_testing
