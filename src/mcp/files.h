// Files the server writes for a call (a saved picture, a recording) and how it names them to the
// client. Paths are UTF-8 text on every platform.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mcp {

// Creates or replaces the file at `path` with `bytes`, making its folder first when missing.
// Nothing, or what went wrong, naming the path.
std::optional<std::string> save_file(const std::string& path, std::string_view bytes);

// `path` made absolute against the working folder, with "/" between its parts.
std::string absolute_path(const std::string& path);

// "file:///..." for an absolute path, each byte outside the URI's plain characters escaped.
std::string file_uri(const std::string& absolute);

// A new name in the server's folder in the temporary folder, e.g.
// ".../tirvane-mcp/screen-20260101-120000-1.webm".
std::string new_recording_path(std::string_view extension);

}  // namespace mcp
