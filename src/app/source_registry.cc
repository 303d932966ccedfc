#include "app/source_registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <variant>

#include "app/device_registry.h"
#include "app/text.h"

namespace app {
namespace {

constexpr std::size_t kMaxFile = 1 << 20;

std::string os_error(int code) { return std::strerror(code); }

// The sources of a parsed file, or why the file is not a sources file.
std::variant<std::vector<NetworkCameraEntry>, std::string> sources_from(const nlohmann::json& doc) {
  if (!doc.is_object() || !doc.contains("sources") || !doc["sources"].is_array()) {
    return std::string("it has no \"sources\" list");
  }
  std::vector<NetworkCameraEntry> sources;
  for (const nlohmann::json& entry : doc["sources"]) {
    if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string() ||
        !entry.contains("url") || !entry["url"].is_string()) {
      return std::string("an entry lacks a name or a url");
    }
    NetworkCameraEntry source{entry["name"].get<std::string>(), entry["url"].get<std::string>()};
    if (entry.contains("insecure")) {
      if (!entry["insecure"].is_boolean()) return std::string("an entry's insecure is not true or false");
      source.insecure = entry["insecure"].get<bool>();
    }
    if (auto problem = source_name_problem(source.name)) return *problem;
    if (auto problem = source_url_problem(source.url)) return *problem;
    for (const NetworkCameraEntry& seen : sources) {
      if (seen.name == source.name) return "the name " + source.name + " appears twice";
    }
    sources.push_back(std::move(source));
  }
  return sources;
}

// A name beside `file` that does not exist yet, for moving a bad file aside.
std::string aside_name(const std::string& file) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::string base = file + ".corrupt-" + stamp;
  std::string candidate = base;
  for (int n = 1; ::access(candidate.c_str(), F_OK) == 0; ++n) {
    candidate = base + "-" + std::to_string(n);
  }
  return candidate;
}

// Where changes to `file` are written: the file a symbolic link leads to (the link is kept, and
// so is whatever else refers to its target), else `file` itself.
std::string write_target(const std::string& file) {
  namespace fs = std::filesystem;
  fs::path path = file;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(path, error))) break;
    const fs::path next = fs::read_symlink(path, error);
    if (error) break;
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  return path.lexically_normal().string();
}

// What a path that is not a plain file is, for the message refusing it.
std::string file_type_text(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "something else";
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

SourceRegistry::SourceRegistry(std::string folder) : folder_(std::move(folder)) {
  if (folder_.empty()) {
    refuse_changes_ = "there is nowhere to keep sources: neither XDG_CONFIG_HOME nor HOME is set";
    problems_.push_back(*refuse_changes_);
    return;
  }
  file_ = folder_ + "/sources.json";
  load();
}

void SourceRegistry::load() {
  // Not blocking: opening a named pipe would otherwise wait for a writer that never comes.
  const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return;  // nothing registered yet
    refuse_changes_ = "cannot read " + file_ + ": " + os_error(errno) +
                      "; sources cannot be changed until it is readable";
    problems_.push_back(*refuse_changes_);
    return;
  }
  struct stat info {};
  std::optional<std::string> unusable;
  if (::fstat(fd, &info) != 0) {
    unusable = os_error(errno);
  } else if (!S_ISREG(info.st_mode)) {
    unusable = "it is " + file_type_text(info.st_mode) + ", not a regular file";
  }
  if (unusable) {
    ::close(fd);
    refuse_changes_ = "cannot read " + file_ + ": " + *unusable +
                      "; sources cannot be changed until it is replaced";
    problems_.push_back(*refuse_changes_);
    return;
  }
  std::string text;
  char buffer[8192];
  bool read_failed = false;
  int read_error = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      read_failed = true;
      read_error = errno;
      break;
    }
    if (n == 0 || text.size() > kMaxFile) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (read_failed) {
    refuse_changes_ = "cannot read " + file_ + ": " + os_error(read_error) +
                      "; sources cannot be changed until it is readable";
    problems_.push_back(*refuse_changes_);
    return;
  }

  std::string why;
  if (text.size() > kMaxFile) {
    why = "it is larger than 1 MiB";
  } else {
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
      why = text.empty() ? "it is empty" : "it is not valid JSON";
    } else {
      auto parsed = sources_from(doc);
      if (auto* sources = std::get_if<std::vector<NetworkCameraEntry>>(&parsed)) {
        sources_ = std::move(*sources);
        return;
      }
      why = std::get<std::string>(parsed);
    }
  }
  const std::string aside = aside_name(file_);
  if (::rename(file_.c_str(), aside.c_str()) == 0) {
    problems_.push_back("the sources file " + file_ + " could not be used (" + why +
                        "); it was moved to " + aside + " and the list starts empty");
  } else {
    refuse_changes_ = "the sources file " + file_ + " could not be used (" + why +
                      ") nor moved aside (" + os_error(errno) +
                      "); sources cannot be changed until it is fixed or removed";
    problems_.push_back(*refuse_changes_);
  }
}

std::optional<Failure> SourceRegistry::save(const std::vector<NetworkCameraEntry>& sources) const {
  if (refuse_changes_) return Failure{FailureKind::kInternal, *refuse_changes_};
  auto cannot = [&](int code) {
    return Failure{FailureKind::kInternal,
                   "cannot save the sources in " + file_ + ": " + os_error(code)};
  };
  std::error_code made;
  std::filesystem::create_directories(folder_, made);
  if (made) return cannot(made.value());

  nlohmann::json list = nlohmann::json::array();
  for (const NetworkCameraEntry& source : sources) {
    nlohmann::json entry{{"name", source.name}, {"url", source.url}};
    if (source.insecure) entry["insecure"] = true;
    list.push_back(std::move(entry));
  }
  const std::string text = nlohmann::json{{"sources", list}}.dump(2) + "\n";
  // The next start refuses a larger file, so it is never written.
  if (text.size() > kMaxFile) {
    return Failure{FailureKind::kBadRequest,
                   "the sources file would grow beyond 1 MiB; remove a source or use a shorter URL"};
  }

  // Through a symbolic link to the file it leads to: replacing the link would leave its target
  // stale.
  const std::string target = write_target(file_);
  const std::string target_folder = std::filesystem::path(target).parent_path().string();
  std::string temp = target_folder + "/.sources.json.XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return cannot(errno);
  if (!write_all(fd, text) || ::fsync(fd) != 0) {
    const int code = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return cannot(code);
  }
  if (::close(fd) != 0 || ::rename(temp.c_str(), target.c_str()) != 0) {
    const int code = errno;
    ::unlink(temp.c_str());
    return cannot(code);
  }
  // The rename itself lasts only once the folder is on disk too.
  if (const int dir = ::open(target_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return std::nullopt;
}

std::vector<NetworkCameraEntry> SourceRegistry::list() const {
  std::lock_guard lock(mutex_);
  return sources_;
}

std::optional<NetworkCameraEntry> SourceRegistry::find(std::string_view name) const {
  std::lock_guard lock(mutex_);
  for (const NetworkCameraEntry& source : sources_) {
    if (source.name == name) return source;
  }
  return std::nullopt;
}

Result<SourceChange> SourceRegistry::add(const NetworkCameraEntry& source) {
  if (auto problem = source_name_problem(source.name))
    return Failure{FailureKind::kBadRequest, *problem};
  if (auto problem = source_url_problem(source.url))
    return Failure{FailureKind::kBadRequest, *problem};
  std::lock_guard lock(mutex_);
  std::vector<NetworkCameraEntry> next = sources_;
  SourceChange change{source, std::nullopt};
  auto same = std::find_if(next.begin(), next.end(),
                           [&](const NetworkCameraEntry& s) { return s.name == source.name; });
  if (same != next.end()) {
    change.was = same->url;
    *same = source;
  } else {
    next.push_back(source);
  }
  if (auto failure = save(next)) return *failure;
  sources_ = std::move(next);
  return change;
}

Result<NetworkCameraEntry> SourceRegistry::remove(std::string_view name) {
  std::lock_guard lock(mutex_);
  std::vector<NetworkCameraEntry> next = sources_;
  auto same = std::find_if(next.begin(), next.end(),
                           [&](const NetworkCameraEntry& s) { return s.name == name; });
  if (same == next.end()) {
    return Failure{FailureKind::kNotFound, "no source named " + clip_for_message(name, 40)};
  }
  NetworkCameraEntry removed = *same;
  next.erase(same);
  if (auto failure = save(next)) return *failure;
  sources_ = std::move(next);
  return removed;
}

}  // namespace app
