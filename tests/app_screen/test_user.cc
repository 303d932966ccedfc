#include "test_user.h"

#include <pwd.h>
#include <unistd.h>

#include <stdexcept>

#include "run_program.h"

namespace screen_testing {

TestUser desktop_test_user() {
  constexpr const char* kTestUser = "tirvane-test";
  if (::geteuid() != 0) return {::getuid(), ::getgid()};
  if (::getpwnam(kTestUser) == nullptr) {
    // Tests running side by side may both get here: whoever loses the race finds the user made.
    testing_support::run_program({"useradd", "--system", "--no-create-home", "--home-dir",
                                  "/nonexistent", "--shell", "/usr/sbin/nologin", kTestUser});
  }
  const passwd* user = ::getpwnam(kTestUser);
  if (user == nullptr) throw std::runtime_error("cannot create the desktop's test user");
  return {user->pw_uid, user->pw_gid};
}

}  // namespace screen_testing
