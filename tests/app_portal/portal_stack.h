// A desktop's screen-sharing stack for one test, every part started and stopped here by process
// id: a private session bus, PipeWire and WirePlumber, PipeWire video sources standing in for
// monitors, the permission store, a scripted portal backend (portal_backend.py), and the real
// xdg-desktop-portal frontend in front of it. Or, for KDE, a scripted KWin (fake_kwin.py).
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace portal_testing {

// A monitor: a video source with a solid background and a white bar moving right 4 pixels a
// frame. `bad_every` N > 0 sends every Nth frame damaged (red, flagged corrupted or empty).
struct Monitor {
  std::string name = "monitor";
  int width = 640;
  int height = 480;
  int fps = 30;
  std::uint32_t colour = 0x336699;
  int x = 0;  // its place in the desktop's layout
  int y = 0;
  int bad_every = 0;
};

// What the stack runs besides the bus.
enum class Desktop {
  kPortal,    // PipeWire, WirePlumber, the permission store, the backend and the frontend
  kBusOnly,   // a session bus with no portal on it
  kKwin,      // a scripted KWin screenshot interface
  kRealKwin,  // KWin itself, headless (a 1280x720 virtual output, XWayland), with the service's
              // .desktop file installed for the built tirvane-app
  kRealKwinWithoutDesktopFile,  // the same, the service not installed
  kGnome,  // the portal stack with GNOME's compositor, headless (a 1280x720 virtual monitor):
           // each session the backend grants is a new screen cast of that monitor; all of it
           // run as the desktop's test user (desktop_test_user())
  kGnomeWithItsPortal,  // GNOME as a user has it: the shell, headless, with GNOME's own portal
                        // backend and its consent dialog, all run as the desktop's test user
                        // (desktop_test_user()); the shell is left out of its Overview
};

// The size of the headless compositors' monitor.
inline constexpr int kCompositorWidth = 1280;
inline constexpr int kCompositorHeight = 720;

class PortalStack {
 public:
  explicit PortalStack(Desktop desktop = Desktop::kPortal);
  ~PortalStack();
  PortalStack(const PortalStack&) = delete;
  PortalStack& operator=(const PortalStack&) = delete;

  // Starts a monitor and waits for its PipeWire node; its index.
  std::size_t add_monitor(const Monitor& monitor);
  // Ends a monitor's source, as a desktop does when sharing stops.
  void stop_monitor(std::size_t index);
  // Ends the portal frontend.
  void stop_portal();

  // On real KWin: shows an X11 window filled with `colour` at (x, y), width x height, through
  // KWin's XWayland.
  void show_window(std::uint32_t colour, int x, int y, int width, int height);

  // What the backend does at the next Start: "grant", "cancel", "refuse", or "never" (a dialog
  // nobody answers); `restore` false makes it ignore restore data, as a desktop that has
  // forgotten the permission does. The streams are all running monitors.
  void script(const std::string& answer, bool restore = true);
  // The KWin stand-in's behaviour: "grant" or "unauthorised".
  void script_kwin(const std::string& answer);

  // Every call the backend (or the KWin stand-in) has logged so far, in order.
  std::vector<nlohmann::json> calls() const;
  // Those of one kind, e.g. "Start".
  std::vector<nlohmann::json> calls(const std::string& kind) const;

  // The environment a program of this desktop session gets: the bus, a Wayland session type,
  // no X or Wayland display.
  std::map<std::string, std::optional<std::string>> session_env() const;

  // GNOME with its own portal: the user everything runs as.
  uid_t user() const { return user_ ? user_->first : ::geteuid(); }
  // Starts `argv` as a program of the desktop session (as its user, with the session's
  // environment plus `extra_env`); its output goes to a file of its own. Its handle.
  std::size_t launch(const std::string& what, const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& extra_env = {});
  // Waits up to `limit` for a launched program to end: its exit status (-1 when a signal ended
  // it), or nullopt when it was still running and has now been stopped.
  std::optional<int> wait(std::size_t handle, std::chrono::seconds limit);
  // Stops a launched program with SIGTERM (SIGKILL after 3 s).
  void end(std::size_t handle);
  // Everything a launched program has written.
  std::string output(std::size_t handle) const;
  // Runs the tests' GNOME user (gnome_user.py) with `args`, up to `limit`: the exit status and
  // what it said. launch_gnome_user starts it without waiting: its handle.
  std::pair<std::optional<int>, std::string> gnome_user(const std::vector<std::string>& args,
                                                        std::chrono::seconds limit);
  std::size_t launch_gnome_user(const std::vector<std::string>& args);
  // A copy of `program` in the stack's folder, which the desktop's user can run whatever the
  // permissions on the way to the build's folder.
  std::string user_copy(const std::string& program);
  // Opens a terminal window filled with `colour` (600x400) on GNOME's desktop.
  void open_gnome_window(std::uint32_t colour);
  // Stops the shell, its portal backend, the portal frontend and the permission store, and
  // starts them again, as after logging out and in: only what they keep on disk remains.
  void restart_gnome();

 private:
  struct Child {
    std::string what;
    pid_t pid = -1;
    std::string out;  // where its output goes
  };
  pid_t spawn(const std::string& what, const std::vector<std::string>& argv,
              const std::map<std::string, std::string>& extra_env, const std::string& out_file);
  void stop(Child& child);
  void wait_for_name(const std::string& name);
  void write_script() const;
  void start_kwin(bool with_desktop_file);
  void start_system_bus();
  void start_gnome_with_its_portal();
  std::size_t last_child() const { return children_.size() - 1; }
  std::string xwayland_display() const;

  std::string folder_;
  std::string bus_address_;
  std::vector<Child> children_;  // started in this order, stopped in reverse
  std::vector<Monitor> monitors_;
  std::vector<std::uint32_t> nodes_;
  std::vector<std::optional<std::size_t>> monitor_child_;  // index into children_, while running
  std::optional<std::size_t> portal_child_;
  std::optional<std::size_t> kwin_child_;
  std::string answer_ = "grant";
  bool restore_ = true;
  std::string kwin_answer_ = "grant";
  bool gnome_ = false;
  std::optional<std::pair<uid_t, gid_t>> user_;  // who runs the desktop, when not this process
  std::vector<std::size_t> gnome_children_;      // the parts restart_gnome() restarts
};

// The column where the white bar starts in row `y` of an RGB image, or -1 when there is none.
int bar_column(const std::vector<std::uint8_t>& rgb, int width, int y);

}  // namespace portal_testing
