// The registered phone and IP cameras: a list of NetworkCameraEntry kept in a JSON file,
// <config folder>/sources.json, that survives restarts.
//
// Every change is written to a temporary file, flushed to disk and renamed over the old file, so
// a crash leaves either the old list or the new one, never a torn or empty file. A file that
// cannot be understood is moved aside (sources.json.corrupt-...) and reported, never erased; a
// file that cannot be read at all is left alone and changes are refused until it is fixed.
//
// Safe to use from many threads at once.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/failure.h"
#include "app/network_camera_entry.h"

namespace app {

struct SourceChange {
  NetworkCameraEntry source;
  std::optional<std::string> was;  // the URL it replaced, for a name already registered
};

class SourceRegistry {
 public:
  // Reads the file in `folder` (which need not exist yet). An empty folder means there is
  // nowhere to keep the list: it stays empty and changes are refused.
  explicit SourceRegistry(std::string folder);

  std::vector<NetworkCameraEntry> list() const;
  std::optional<NetworkCameraEntry> find(std::string_view name) const;

  // Registers a source, or gives a new URL to a name already registered (keeping its place in
  // the list). Nothing changes unless the file was written.
  Result<SourceChange> add(const NetworkCameraEntry& source);
  // Forgets a source (404 when no source has that name).
  Result<NetworkCameraEntry> remove(std::string_view name);

  const std::string& file() const { return file_; }
  // What was wrong with the file at start, for the log and for /health.
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  void load();
  std::optional<Failure> save(const std::vector<NetworkCameraEntry>& sources) const;

  mutable std::mutex mutex_;
  std::string folder_;
  std::string file_;
  std::vector<NetworkCameraEntry> sources_;
  std::vector<std::string> problems_;
  std::optional<std::string> refuse_changes_;  // why changes cannot be saved
};

}  // namespace app
