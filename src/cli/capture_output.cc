#include "cli/capture_output.h"

#include <variant>

#include "app_client/api.h"
#include "cli/fail.h"
#include "cli/options.h"
#include "platform/platform.h"

namespace {

// The most handed to the system in one write. One write of a whole large body lets the kernel
// build the file's cache from blocks of up to 2 MiB, which a host may have taken back from a
// virtual machine and must then fault in again: on the test machine a single 1 GiB write took
// 0.3 to 4 s, while 256 KiB steps took 0.25 to 0.4 s, at 4,096 calls a gigabyte.
constexpr std::size_t kWriteStep = 256 * 1024;

[[noreturn]] void fail_write(const std::string& path, std::string_view reason) {
  fail("cannot write " + path + ": " + std::string(reason));
}

}  // namespace

const Body& captured_body(const HttpResponse& response, std::string_view fallback) {
  if (auto refusal = refusal_of(response, fallback)) fail(refusal->message);
  return response.body;
}

std::string device_query() {
  const std::optional<std::string> device = option_value("device");
  return device ? "&device=" + *device : std::string();
}

std::optional<std::string> size_fragment(std::string_view size) {
  const std::size_t split = size.find_first_of("xX");
  if (split == std::string_view::npos) return std::nullopt;
  std::string fragment = "&width=";
  fragment.append(size.substr(0, split)).append("&height=").append(size.substr(split + 1));
  return fragment;
}

std::string size_query() {
  const std::optional<std::string> size = option_value("size");
  if (!size) return std::string();
  std::optional<std::string> fragment = size_fragment(*size);
  if (!fragment) fail(kSizeUsage);
  return std::move(*fragment);
}

std::string write_output(const Body& body, std::string_view default_name) {
  const std::string path = option_value("out").value_or(std::string(default_name));
  auto created = platform::OutputFile::create(path);
  if (auto* error = std::get_if<platform::OsError>(&created)) {
    fail_write(path, platform::describe(*error));
  }
  platform::OutputFile& file = std::get<platform::OutputFile>(created);
  // The body is written straight from where it was received, never joined, so a large video is
  // held once.
  for (std::string_view piece : body.pieces()) {
    while (!piece.empty()) {
      auto written = file.write_some(piece.substr(0, kWriteStep));
      if (auto* error = std::get_if<platform::OsError>(&written)) {
        fail_write(path, platform::describe(*error));
      }
      const std::size_t n = std::get<std::size_t>(written);
      if (n == 0) fail_write(path, "failed to write whole buffer");
      piece.remove_prefix(n);
    }
  }
  // Some file systems report a failed write only when the file is closed.
  if (auto error = file.close()) fail_write(path, platform::describe(*error));
  return path;
}

JsonValue saved_document(const SavedFile& saved) {
  JsonValue document = JsonValue::object();
  document["bytes"] = saved.bytes;
  document["path"] = json_string(saved.path);
  return document;
}

std::string saved_line(const SavedFile& saved) {
  return saved.path + "  " + std::to_string(saved.bytes) + " bytes\n";
}

void print_saved(const SavedFile& saved) {
  if (wants_json()) {
    platform::write_stdout(json_text(saved_document(saved)) + "\n");
  } else {
    platform::write_stdout(saved_line(saved));
  }
}
