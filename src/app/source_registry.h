// The registered phone and IP cameras: a list of NetworkSource kept in a JSON file,
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
#include "app/network_source.h"

namespace app {

// $XDG_CONFIG_HOME/tirvane when that is an absolute path, else ~/.config/tirvane; empty when
// there is no home folder either.
std::string default_config_folder();

// Why a name or a URL cannot be registered, or nothing when it can. Names are 1 to 32 letters,
// digits, "-" and "_"; URLs are http://, https://, rtsp:// or rtsps:// with a host and a valid
// port, have no spaces or control characters, and are at most 2048 bytes.
std::optional<std::string> source_name_problem(std::string_view name);
std::optional<std::string> source_url_problem(std::string_view url);

struct SourceChange {
  NetworkSource source;
  std::optional<std::string> was;  // the URL it replaced, for a name already registered
};

class SourceRegistry {
 public:
  // Reads the file in `folder` (which need not exist yet). An empty folder means there is
  // nowhere to keep the list: it stays empty and changes are refused.
  explicit SourceRegistry(std::string folder);

  std::vector<NetworkSource> list() const;
  std::optional<NetworkSource> find(std::string_view name) const;

  // Registers a source, or gives a new URL to a name already registered (keeping its place in
  // the list). Nothing changes unless the file was written.
  Result<SourceChange> add(const NetworkSource& source);
  // Forgets a source (404 when no source has that name).
  Result<NetworkSource> remove(std::string_view name);

  const std::string& file() const { return file_; }
  // What was wrong with the file at start, for the log and for /health.
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  void load();
  std::optional<Failure> save(const std::vector<NetworkSource>& sources) const;

  mutable std::mutex mutex_;
  std::string folder_;
  std::string file_;
  std::vector<NetworkSource> sources_;
  std::vector<std::string> problems_;
  std::optional<std::string> refuse_changes_;  // why changes cannot be saved
};

}  // namespace app
