#include "mcp/files.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"

namespace mcp {
namespace {

// std::filesystem takes a narrow string in the system's code page on Windows; UTF-8 text goes
// in and out through char8_t, the same on every platform.
std::filesystem::path path_of(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string text_of(const std::filesystem::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

std::optional<std::string> save_file(const std::string& path, std::string_view bytes) {
  std::error_code error;
  const std::filesystem::path folder = path_of(path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, error);
  auto opened = platform::OutputFile::create(path);
  if (auto* failure = std::get_if<platform::OsError>(&opened)) {
    return "cannot create " + path + ": " + platform::describe(*failure);
  }
  platform::OutputFile& file = std::get<platform::OutputFile>(opened);
  while (!bytes.empty()) {
    auto written = file.write_some(bytes);
    if (auto* failure = std::get_if<platform::OsError>(&written)) {
      return "cannot write " + path + ": " + platform::describe(*failure);
    }
    bytes.remove_prefix(std::get<std::size_t>(written));
  }
  if (auto failure = file.close()) return "cannot write " + path + ": " + platform::describe(*failure);
  return std::nullopt;
}

std::string absolute_path(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path_of(path), error);
  if (error) absolute = path_of(path);
  return text_of(absolute.lexically_normal());
}

std::string file_uri(const std::string& absolute) {
  static const char* const kHex = "0123456789ABCDEF";
  // A Windows path ("C:/...") gets the slash that a POSIX path already starts with.
  std::string uri = absolute.starts_with("/") ? "file://" : "file:///";
  for (const char c : absolute) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
        c == '/' || c == '-' || c == '_' || c == '.' || c == '~' || c == ':') {
      uri += c;
    } else {
      uri += '%';
      uri += kHex[byte >> 4];
      uri += kHex[byte & 0xF];
    }
  }
  return uri;
}

std::string new_recording_path(std::string_view extension) {
  static std::atomic<int> count{0};
  std::error_code error;
  std::filesystem::path folder = std::filesystem::temp_directory_path(error);
  if (error) folder = std::filesystem::current_path(error);
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  char stamp[32] = "";
  const std::tm* parts = std::gmtime(&now);
  if (parts != nullptr) local = *parts;
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  // The clock's fine ticks keep two servers started in the same second apart.
  const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count() % 1000000;
  const std::string name = "screen-" + std::string(stamp) + "-" + std::to_string(ticks) + "-" +
                           std::to_string(++count) + "." +
                           std::string(extension);
  return text_of(folder / "tirvane-mcp" / path_of(name));
}

}  // namespace mcp
