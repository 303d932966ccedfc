// The user that desktops started by the tests run as: compositors refuse root (sway), or show a
// notice in every picture as root (GNOME Shell).
#pragma once

#include <sys/types.h>

namespace screen_testing {

struct TestUser {
  uid_t uid = 0;
  gid_t gid = 0;
};

// Tests run as root get "tirvane-test", a system user made on first use; others run the
// desktop as themselves.
TestUser desktop_test_user();

}  // namespace screen_testing
