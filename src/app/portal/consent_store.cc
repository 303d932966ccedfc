#include "app/portal/consent_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace app::portal {
namespace {

constexpr const char* kTokenFile = "screen-consent";
// A token is a short printable word; anything else in the file is not one.
constexpr std::size_t kMaxToken = 512;

bool plausible(const std::string& token) {
  if (token.empty() || token.size() > kMaxToken) return false;
  for (const char c : token) {
    if (c <= ' ' || c >= 0x7f) return false;
  }
  return true;
}

}  // namespace

ConsentStore::ConsentStore(std::string folder) : folder_(std::move(folder)) {
  if (!folder_.empty()) file_ = folder_ + "/" + kTokenFile;
}

std::optional<std::string> ConsentStore::token() const {
  if (file_.empty()) return std::nullopt;
  std::ifstream in(file_);
  if (!in) return std::nullopt;
  std::string token;
  std::getline(in, token);
  if (!plausible(token)) return std::nullopt;
  return token;
}

std::optional<Failure> ConsentStore::store(const std::string& token) const {
  if (file_.empty()) {
    return Failure{FailureKind::kInternal, "cannot keep the screen permission: no configuration folder (set HOME)"};
  }
  if (!plausible(token)) return Failure{FailureKind::kDeviceFailed, "the desktop portal sent an unusable restore token"};
  std::error_code error;
  std::filesystem::create_directories(folder_, error);
  const std::string temporary = file_ + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool written = fd >= 0 && ::fchmod(fd, 0600) == 0;
  const std::string line = token + "\n";
  written = written && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  written = written && ::fsync(fd) == 0;
  const int saved = errno;
  if (fd >= 0) ::close(fd);
  if (!written || ::rename(temporary.c_str(), file_.c_str()) != 0) {
    const int cause = written ? errno : saved;
    ::unlink(temporary.c_str());
    return Failure{FailureKind::kInternal, "cannot keep the screen permission in " + file_ + ": " +
                            std::strerror(cause)};
  }
  return std::nullopt;
}

void ConsentStore::forget() const {
  if (!file_.empty()) ::unlink(file_.c_str());
}

}  // namespace app::portal
