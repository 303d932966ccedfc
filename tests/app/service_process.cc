#include "service_process.h"

#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "fake_service.h"
#include "start_process.h"

extern char** environ;

namespace service_test {

std::string app_path() {
  // Another build may be put under the same tests (an older one, to see a test fail on it).
  const char* other = std::getenv("TIRVANE_APP_UNDER_TEST");
  return other != nullptr && *other != '\0' ? other : TIRVANE_APP_PATH;
}

ServiceProcess::ServiceProcess(std::string config_home, std::vector<std::string> args,
                               std::map<std::string, std::optional<std::string>> env,
                               std::optional<uid_t> run_as, std::string program) {
  if (program.empty()) program = app_path();
  log_path_ = testing_support::make_temp_dir() + "/service.log";
  std::vector<std::string> argv;
  if (run_as) {
    // The user's own group where it has a passwd entry, else the group of the same number.
    const passwd* entry = ::getpwuid(*run_as);
    const std::string group = std::to_string(entry != nullptr ? entry->pw_gid : *run_as);
    argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(*run_as), "--regid=" + group,
            "--clear-groups"};
  }
  argv.insert(argv.end(), {program, "--request-timeout", "1"});
  const bool port_given = std::find(args.begin(), args.end(), "--port") != args.end() ||
                          (env.count("TIRVANE_PORT") && env["TIRVANE_PORT"]);
  if (!port_given) argv.insert(argv.end(), {"--port", "0"});
  argv.insert(argv.end(), args.begin(), args.end());

  if (!env.count("XDG_CONFIG_HOME")) env["XDG_CONFIG_HOME"] = config_home;
  if (!env.count("TIRVANE_PORT")) env["TIRVANE_PORT"] = std::nullopt;
  // No display unless a test brings its own: the service then has no screen to offer.
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"}) {
    if (!env.count(name)) env[name] = std::nullopt;
  }
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (!env.count(text.substr(0, text.find('=')))) environment.push_back(text);
  }
  for (const auto& [name, value] : env) {
    if (value) environment.push_back(name + "=" + *value);
  }

  testing_support::SpawnOptions options;
  options.output = log_path_;
  options.environment = std::move(environment);
  pid_ = testing_support::spawn_process(std::move(argv), options);
  if (pid_ < 0) throw std::runtime_error("cannot start " + program);

  const std::regex listening(R"(listening on http://127\.0\.0\.1:(\d+)/api)");
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    std::smatch match;
    const std::string text = log();
    if (std::regex_search(text, match, listening)) {
      port_ = std::stoi(match[1]);
      return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) stop(SIGKILL);
}

std::string ServiceProcess::log() const {
  std::ifstream in(log_path_, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int ServiceProcess::stop(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace service_test
