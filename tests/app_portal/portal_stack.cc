#include "portal_stack.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "fake_service.h"
#include "file_text.h"
#include "start_process.h"
#include "test_user.h"

extern char** environ;

namespace portal_testing {
namespace {

using Clock = std::chrono::steady_clock;
using testing_support::read_file;
constexpr const char* kBackendName = "org.freedesktop.impl.portal.desktop.tirvanetest";
constexpr const char* kDesktopName = "tirvanetest";
constexpr auto kStartTimeout = std::chrono::seconds(15);

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Waits until `ready` holds, or throws naming `what`.
template <class Ready>
void wait_until(const std::string& what, Ready ready) {
  const auto until = Clock::now() + kStartTimeout;
  while (!ready()) {
    if (Clock::now() > until) throw std::runtime_error("portal stack: " + what + " did not start");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// `allow_root`: a bus run by the desktop's user that the tests (root) may also join.
std::string bus_config(const std::string& socket, bool allow_root = false) {
  return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <type>session</type>\n"
         "  <listen>unix:path=" + socket + "</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
         "    <allow eavesdrop=\"true\"/>\n"
         "    <allow own=\"*\"/>\n" +
         std::string(allow_root ? "    <allow user=\"root\"/>\n" : "") +
         "  </policy>\n"
         "</busconfig>\n";
}

}  // namespace

PortalStack::PortalStack(Desktop desktop) : folder_(testing_support::make_temp_dir()) {
  for (const char* sub : {"/run", "/config", "/data", "/state", "/portals"}) {
    std::filesystem::create_directories(folder_ + sub);
  }
  ::chmod((folder_ + "/run").c_str(), 0700);
  if ((desktop == Desktop::kGnome || desktop == Desktop::kGnomeWithItsPortal) && ::geteuid() == 0) {
    // The whole session belongs to the desktop's user, as a login would have it.
    const screen_testing::TestUser user = screen_testing::desktop_test_user();
    user_ = std::make_pair(user.uid, user.gid);
    ::chmod(folder_.c_str(), 0755);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_)) {
      if (::chown(entry.path().c_str(), user.uid, user.gid) != 0) {
        throw std::runtime_error("portal stack: cannot hand " + entry.path().string() + " to the desktop's user");
      }
    }
    if (::chown(folder_.c_str(), user.uid, user.gid) != 0) {
      throw std::runtime_error("portal stack: cannot hand its folder to the desktop's user");
    }
  }
  write_file(folder_ + "/bus.conf", bus_config(folder_ + "/run/bus", user_.has_value()));
  bus_address_ = "unix:path=" + folder_ + "/run/bus";
  write_script();

  spawn("dbus-daemon", {"dbus-daemon", "--config-file=" + folder_ + "/bus.conf", "--nofork",
                        "--nopidfile"}, {}, folder_ + "/dbus.log");
  wait_until("the session bus", [&] { return std::filesystem::exists(folder_ + "/run/bus"); });
  if (desktop == Desktop::kBusOnly) return;
  if (desktop == Desktop::kRealKwin || desktop == Desktop::kRealKwinWithoutDesktopFile) {
    start_kwin(desktop == Desktop::kRealKwin);
    return;
  }
  if (desktop == Desktop::kKwin) {
    spawn("KWin stand-in", {"/usr/bin/python3", std::string(TIRVANE_PORTAL_SCRIPTS) + "/fake_kwin.py",
                            folder_ + "/kwin.json", folder_ + "/calls.log"},
          {}, folder_ + "/kwin.out");
    wait_for_name("org.kde.KWin");
    return;
  }

  spawn("pipewire", {"pipewire"}, {}, folder_ + "/pipewire.log");
  wait_until("pipewire", [&] { return std::filesystem::exists(folder_ + "/run/pipewire-0"); });
  spawn("wireplumber", {"wireplumber"}, {}, folder_ + "/wireplumber.log");
  if (desktop == Desktop::kGnomeWithItsPortal) {
    start_system_bus();
    start_gnome_with_its_portal();
    return;
  }
  if (desktop == Desktop::kGnome) {
    gnome_ = true;
    write_script();
    start_system_bus();
    spawn("GNOME Shell",
          {"gnome-shell", "--headless", "--wayland", "--no-x11", "--virtual-monitor",
           std::to_string(kCompositorWidth) + "x" + std::to_string(kCompositorHeight)},
          {}, folder_ + "/gnome-shell.log");
    wait_for_name("org.gnome.Mutter.ScreenCast");
  }
  spawn("the permission store", {"/usr/libexec/xdg-permission-store", "--replace"}, {},
        folder_ + "/permission-store.log");
  const std::string backend = std::string(TIRVANE_PORTAL_SCRIPTS) + "/portal_backend.py";
  spawn("the portal backend",
        {"/usr/bin/python3", user_ ? user_copy(backend) : backend,
         kBackendName, folder_ + "/script.json", folder_ + "/calls.log"},
        {}, folder_ + "/backend.log");
  write_file(folder_ + "/portals/" + kDesktopName + ".portal",
             std::string("[portal]\nDBusName=") + kBackendName +
                 "\nInterfaces=org.freedesktop.impl.portal.ScreenCast\nUseIn=" + kDesktopName + "\n");
  wait_for_name("org.freedesktop.impl.portal.PermissionStore");
  wait_for_name(kBackendName);
  spawn("the portal frontend", {"/usr/libexec/xdg-desktop-portal"},
        {{"XDG_DESKTOP_PORTAL_DIR", folder_ + "/portals"}, {"XDG_CURRENT_DESKTOP", kDesktopName}},
        folder_ + "/portal.log");
  portal_child_ = children_.size() - 1;
  wait_for_name("org.freedesktop.portal.Desktop");
}

// The shell looks for the system bus at start and stops without one: an empty one.
void PortalStack::start_system_bus() {
  write_file(folder_ + "/system.conf", bus_config(folder_ + "/run/no-system-bus", user_.has_value()));
  spawn("a system bus", {"dbus-daemon", "--config-file=" + folder_ + "/system.conf", "--nofork",
                         "--nopidfile"}, {}, folder_ + "/system-bus.log");
  wait_until("the system bus", [&] { return std::filesystem::exists(folder_ + "/run/no-system-bus"); });
}

void PortalStack::start_gnome_with_its_portal() {
  // The frontend is told of GNOME's backend only, as on a GNOME desktop without GTK's.
  std::filesystem::copy_file("/usr/share/xdg-desktop-portal/portals/gnome.portal",
                             folder_ + "/portals/gnome.portal",
                             std::filesystem::copy_options::overwrite_existing);
  gnome_children_.clear();
  const std::string display = folder_ + "/run/wayland-0";
  spawn("GNOME Shell",
        {"gnome-shell", "--headless", "--wayland", "--no-x11", "--wayland-display", "wayland-0",
         "--virtual-monitor",
         std::to_string(kCompositorWidth) + "x" + std::to_string(kCompositorHeight)},
        {}, folder_ + "/gnome-shell.log");
  gnome_children_.push_back(last_child());
  wait_for_name("org.gnome.Mutter.ScreenCast");
  wait_for_name("org.gnome.Shell.Introspect");
  wait_until("the shell's Wayland socket", [&] { return std::filesystem::exists(display); });
  // The shell starts in its Overview; a user at the desktop leaves it first.
  const auto [left, said] = gnome_user({"leave-overview"}, std::chrono::seconds(40));
  if (left != 0) throw std::runtime_error("portal stack: the shell stays in its Overview: " + said);

  spawn("the permission store", {"/usr/libexec/xdg-permission-store", "--replace"}, {},
        folder_ + "/permission-store.log");
  gnome_children_.push_back(last_child());
  spawn("GNOME's portal backend", {"/usr/libexec/xdg-desktop-portal-gnome"},
        {{"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_CURRENT_DESKTOP", "GNOME"}},
        folder_ + "/portal-gnome.log");
  gnome_children_.push_back(last_child());
  wait_for_name("org.freedesktop.impl.portal.PermissionStore");
  wait_for_name("org.freedesktop.impl.portal.desktop.gnome");
  spawn("the portal frontend", {"/usr/libexec/xdg-desktop-portal"},
        {{"XDG_DESKTOP_PORTAL_DIR", folder_ + "/portals"}, {"XDG_CURRENT_DESKTOP", "GNOME"}},
        folder_ + "/portal.log");
  portal_child_ = last_child();
  gnome_children_.push_back(last_child());
  wait_for_name("org.freedesktop.portal.Desktop");
}

void PortalStack::restart_gnome() {
  for (auto child = gnome_children_.rbegin(); child != gnome_children_.rend(); ++child) {
    stop(children_[*child]);
  }
  portal_child_.reset();
  start_gnome_with_its_portal();
}

std::size_t PortalStack::launch(const std::string& what, const std::vector<std::string>& argv,
                                const std::map<std::string, std::string>& extra_env) {
  spawn(what, argv, extra_env, folder_ + "/launched-" + std::to_string(children_.size()) + ".out");
  return last_child();
}

std::optional<int> PortalStack::wait(std::size_t handle, std::chrono::seconds limit) {
  Child& child = children_.at(handle);
  const auto until = Clock::now() + limit;
  while (child.pid > 0) {
    int status = 0;
    if (::waitpid(child.pid, &status, WNOHANG) == child.pid) {
      child.pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (Clock::now() > until) {
      stop(child);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

void PortalStack::end(std::size_t handle) { stop(children_.at(handle)); }

std::string PortalStack::output(std::size_t handle) const { return read_file(children_.at(handle).out); }

std::string PortalStack::user_copy(const std::string& program) {
  const std::string copy = folder_ + "/bin/" + std::filesystem::path(program).filename().string();
  std::filesystem::create_directories(folder_ + "/bin");
  std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing);
  ::chmod((folder_ + "/bin").c_str(), 0755);
  ::chmod(copy.c_str(), 0755);
  return copy;
}

std::size_t PortalStack::launch_gnome_user(const std::vector<std::string>& args) {
  const std::string script = folder_ + "/bin/gnome_user.py";
  if (!std::filesystem::exists(script)) user_copy(std::string(TIRVANE_PORTAL_SCRIPTS) + "/gnome_user.py");
  std::vector<std::string> argv{"/usr/bin/python3", script};
  argv.insert(argv.end(), args.begin(), args.end());
  return launch("the GNOME user", argv);
}

std::pair<std::optional<int>, std::string> PortalStack::gnome_user(
    const std::vector<std::string>& args, std::chrono::seconds limit) {
  const std::size_t handle = launch_gnome_user(args);
  const auto status = wait(handle, limit);
  return {status, output(handle)};
}

void PortalStack::open_gnome_window(std::uint32_t colour) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "%06x", colour & 0xffffffu);
  launch("a window", {"foot", "-o", std::string("colors.background=") + hex, "-o",
                      std::string("colors.foreground=") + hex, "-o", "colors.alpha=1.0", "-w",
                      "600x400", "sleep", "600"},
         {{"WAYLAND_DISPLAY", "wayland-0"}, {"LANG", "C.UTF-8"}});
}

PortalStack::~PortalStack() {
  for (auto child = children_.rbegin(); child != children_.rend(); ++child) stop(*child);
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void PortalStack::start_kwin(bool with_desktop_file) {
  // The installed binary carries a file capability that a container may refuse to run: a copy,
  // under the name KWin checks for.
  std::filesystem::create_directories(folder_ + "/bin");
  std::filesystem::copy_file("/usr/bin/kwin_wayland", folder_ + "/bin/kwin_wayland");
  // The service's .desktop file, as `cmake --install` writes it, naming the built program.
  std::filesystem::create_directories(folder_ + "/data/applications");
  if (with_desktop_file) {
    std::string entry = read_file(TIRVANE_DESKTOP_TEMPLATE);
    const std::string field = "@CMAKE_INSTALL_FULL_BINDIR@/tirvane-app";
    entry.replace(entry.find(field), field.size(), TIRVANE_APP_PATH);
    write_file(folder_ + "/data/applications/tirvane-app.desktop", entry);
  }

  spawn("KWin",
        {folder_ + "/bin/kwin_wayland", "--virtual", "--width", "1280", "--height", "720",
         "--no-lockscreen", "--xwayland"},
        {{"KWIN_COMPOSE", "O2"}, {"XDG_CACHE_HOME", folder_ + "/cache"}}, folder_ + "/kwin.log");
  kwin_child_ = children_.size() - 1;
  wait_for_name("org.kde.KWin");
  // The name comes before the screenshot interface: wait until that answers too.
  sd_bus* bus = nullptr;
  sd_bus_new(&bus);
  sd_bus_set_address(bus, bus_address_.c_str());
  sd_bus_set_bus_client(bus, 1);
  sd_bus_start(bus);
  wait_until("KWin's screenshot interface", [&] {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::uint32_t version = 0;
    const int r = sd_bus_get_property_trivial(bus, "org.kde.KWin", "/org/kde/KWin/ScreenShot2",
                                              "org.kde.KWin.ScreenShot2", "Version", &error, 'u',
                                              &version);
    sd_bus_error_free(&error);
    return r >= 0;
  });
  sd_bus_flush_close_unref(bus);
  wait_until("XWayland", [&] { return !xwayland_display().empty(); });
}

// The display of the XWayland that KWin started (its child, run as "Xwayland :N ...").
std::string PortalStack::xwayland_display() const {
  if (!kwin_child_) return "";
  const pid_t kwin = children_[*kwin_child_].pid;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string stat = read_file(entry.path().string() + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || stat.find("(Xwayland)") == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string state;
    pid_t parent = 0;
    fields >> state >> parent;
    if (parent != kwin) continue;
    const std::string cmdline = read_file(entry.path().string() + "/cmdline");
    const auto colon = cmdline.find('\0');
    if (colon == std::string::npos) continue;
    const std::string display = cmdline.substr(colon + 1, cmdline.find('\0', colon + 1) - colon - 1);
    if (!display.empty() && display[0] == ':') return display;
  }
  return "";
}

void PortalStack::show_window(std::uint32_t colour, int x, int y, int width, int height) {
  char name[8];
  std::snprintf(name, sizeof name, "#%06x", colour & 0xffffffu);
  spawn("a window", {"xmessage", "-bg", name, "-fg", name, "-geometry",
                     std::to_string(width) + "x" + std::to_string(height) + "+" +
                         std::to_string(x) + "+" + std::to_string(y),
                     "tirvane"},
        {{"DISPLAY", xwayland_display()}}, folder_ + "/window.log");
}

pid_t PortalStack::spawn(const std::string& what, const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& extra_env,
                         const std::string& out_file) {
  std::map<std::string, std::string> env{
      {"DBUS_SESSION_BUS_ADDRESS", bus_address_},
      {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + folder_ + "/run/no-system-bus"},
      {"XDG_RUNTIME_DIR", folder_ + "/run"},
      {"XDG_CONFIG_HOME", folder_ + "/config"},
      {"XDG_DATA_HOME", folder_ + "/data"},
      {"XDG_STATE_HOME", folder_ + "/state"},
      {"HOME", folder_},
      {"GSETTINGS_BACKEND", "memory"},
      {"GIO_USE_VFS", "local"},
  };
  for (const auto& [name, value] : extra_env) env[name] = value;
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (env.count(name) || name == "DISPLAY" || name == "WAYLAND_DISPLAY" ||
        name == "PIPEWIRE_REMOTE" || name == "PIPEWIRE_RUNTIME_DIR") {
      continue;
    }
    environment.push_back(text);
  }
  for (const auto& [name, value] : env) environment.push_back(name + "=" + value);

  std::vector<std::string> words;
  if (user_) {
    words = {"setpriv", "--reuid=" + std::to_string(user_->first),
             "--regid=" + std::to_string(user_->second), "--clear-groups"};
  }
  words.insert(words.end(), argv.begin(), argv.end());
  testing_support::SpawnOptions options;
  options.output = out_file;
  options.environment = std::move(environment);
  const pid_t pid = testing_support::spawn_process(std::move(words), options);
  if (pid < 0) throw std::runtime_error("portal stack: cannot start " + what);
  children_.push_back({what, pid, out_file});
  return pid;
}

void PortalStack::stop(Child& child) {
  if (child.pid <= 0) return;
  ::kill(child.pid, SIGTERM);
  const auto until = Clock::now() + std::chrono::seconds(3);
  int status = 0;
  while (::waitpid(child.pid, &status, WNOHANG) == 0) {
    if (Clock::now() > until) {
      ::kill(child.pid, SIGKILL);
      ::waitpid(child.pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  child.pid = -1;
}

void PortalStack::wait_for_name(const std::string& name) {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) throw std::runtime_error("portal stack: no sd-bus");
  sd_bus_set_address(bus, bus_address_.c_str());
  sd_bus_set_bus_client(bus, 1);
  if (sd_bus_start(bus) < 0) {
    sd_bus_unref(bus);
    throw std::runtime_error("portal stack: cannot connect to its own bus");
  }
  wait_until(name, [&] {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int has = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                           name.c_str()) >= 0) {
      sd_bus_message_read(reply, "b", &has);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return has != 0;
  });
  sd_bus_flush_close_unref(bus);
}

std::size_t PortalStack::add_monitor(const Monitor& monitor) {
  const std::size_t index = monitors_.size();
  const std::string out = folder_ + "/monitor" + std::to_string(index) + ".out";
  char colour[8];
  std::snprintf(colour, sizeof colour, "%06x", monitor.colour & 0xffffffu);
  spawn("monitor " + monitor.name,
        {TIRVANE_VIDEO_SOURCE, "--name", monitor.name, "--size",
         std::to_string(monitor.width) + "x" + std::to_string(monitor.height), "--fps",
         std::to_string(monitor.fps), "--colour", colour, "--bad-every",
         std::to_string(monitor.bad_every)},
        {}, out);
  monitor_child_.push_back(children_.size() - 1);
  std::uint32_t node = 0;
  wait_until("monitor " + monitor.name, [&] {
    const std::string text = read_file(out);
    const auto at = text.find("node ");
    if (at == std::string::npos || text.find('\n', at) == std::string::npos) return false;
    node = static_cast<std::uint32_t>(std::stoul(text.substr(at + 5)));
    return true;
  });
  monitors_.push_back(monitor);
  nodes_.push_back(node);
  write_script();
  return index;
}

void PortalStack::stop_monitor(std::size_t index) {
  if (index < monitor_child_.size() && monitor_child_[index]) {
    stop(children_[*monitor_child_[index]]);
    monitor_child_[index].reset();
  }
  write_script();
}

void PortalStack::stop_portal() {
  if (portal_child_) stop(children_[*portal_child_]);
  portal_child_.reset();
}

void PortalStack::script(const std::string& answer, bool restore) {
  answer_ = answer;
  restore_ = restore;
  write_script();
}

void PortalStack::script_kwin(const std::string& answer) {
  kwin_answer_ = answer;
  write_script();
}

void PortalStack::write_script() const {
  nlohmann::json streams = nlohmann::json::array();
  for (std::size_t i = 0; i < monitors_.size(); ++i) {
    if (!monitor_child_[i]) continue;
    const Monitor& m = monitors_[i];
    streams.push_back({{"node", nodes_[i]}, {"x", m.x}, {"y", m.y}, {"width", m.width},
                       {"height", m.height}});
  }
  if (gnome_) {
    streams = nlohmann::json::array(
        {{{"node", 0}, {"width", kCompositorWidth}, {"height", kCompositorHeight}}});
  }
  write_file(folder_ + "/script.json.new",
             nlohmann::json{{"answer", answer_}, {"restore", restore_}, {"streams", streams},
                            {"mutter", gnome_}}
                 .dump());
  std::filesystem::rename(folder_ + "/script.json.new", folder_ + "/script.json");
  write_file(folder_ + "/kwin.json.new", nlohmann::json{{"answer", kwin_answer_}}.dump());
  std::filesystem::rename(folder_ + "/kwin.json.new", folder_ + "/kwin.json");
}

std::vector<nlohmann::json> PortalStack::calls() const {
  std::vector<nlohmann::json> calls;
  std::istringstream lines(read_file(folder_ + "/calls.log"));
  for (std::string line; std::getline(lines, line);) {
    auto parsed = nlohmann::json::parse(line, nullptr, false);
    if (!parsed.is_discarded()) calls.push_back(parsed);
  }
  return calls;
}

std::vector<nlohmann::json> PortalStack::calls(const std::string& kind) const {
  std::vector<nlohmann::json> chosen;
  for (auto& call : calls()) {
    if (call.value("call", "") == kind) chosen.push_back(call);
  }
  return chosen;
}

std::map<std::string, std::optional<std::string>> PortalStack::session_env() const {
  return {{"DBUS_SESSION_BUS_ADDRESS", bus_address_},
          {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + folder_ + "/run/no-system-bus"},
          {"XDG_SESSION_TYPE", "wayland"},
          {"XDG_RUNTIME_DIR", folder_ + "/run"},
          {"DISPLAY", std::nullopt},
          {"WAYLAND_DISPLAY", std::nullopt}};
}

int bar_column(const std::vector<std::uint8_t>& rgb, int width, int y) {
  for (int x = 0; x < width; ++x) {
    const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                            static_cast<std::size_t>(x)) * 3;
    if (rgb[at] > 230 && rgb[at + 1] > 230 && rgb[at + 2] > 230) return x;
  }
  return -1;
}

}  // namespace portal_testing
