// A private headless weston with XWayland: a Wayland compositor that offers no wlr-screencopy,
// for the tests of a session the service cannot capture. Started and stopped by process id.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>

namespace screen_testing {

class HeadlessWeston {
 public:
  // Starts the compositor and waits until its socket and XWayland's display are there; throws
  // when it cannot.
  HeadlessWeston();
  ~HeadlessWeston();
  HeadlessWeston(const HeadlessWeston&) = delete;
  HeadlessWeston& operator=(const HeadlessWeston&) = delete;

  const std::string& runtime_dir() const { return runtime_dir_; }
  const std::string& wayland_display() const { return wayland_display_; }
  const std::string& x_display() const { return x_display_; }

 private:
  void stop();

  std::string folder_;
  std::string runtime_dir_;
  std::string wayland_display_ = "tirvane-weston";
  std::string x_display_;
  pid_t pid_ = -1;
};

}  // namespace screen_testing
