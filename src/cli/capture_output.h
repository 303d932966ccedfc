// The pieces every capture command (snap, screenshot, look, record) shares: the query fragments
// made from --device and --size, the check of an image or video answer, the writing of its body to
// the output file, and the report of what was written.
//
// The functions that read options or end the run on a bad value sit beside pure ones that work
// on text alone, so the parsing and the report texts can be exercised without a service.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app_client/body.h"
#include "app_client/http_exchange.h"
#include "protocol/json.h"

// What a capture command wrote: the path as the user gave it (or the default name), and the
// length of the body, which is the number of bytes in the file.
struct SavedFile {
  std::string path;
  std::uint64_t bytes = 0;
};

inline constexpr std::string_view kPhotoFile = "tirvane.jpg";
inline constexpr std::string_view kScreenFile = "screen.jpg";
inline constexpr std::string_view kSizeUsage = "--size wants WxH, e.g. --size 1280x720";

// "&device=" and the --device value verbatim, or nothing when the option is absent.
std::string device_query();

// "&width=W&height=H" for a --size value split at its first "x" or "X"; nothing when the value
// holds neither. Width and height are passed on as written, each possibly empty.
std::optional<std::string> size_fragment(std::string_view size);
// size_fragment() of --size, or nothing when the option is absent; a value without "x" or "X"
// ends the run with kSizeUsage.
std::string size_query();

// The body of an image or video answer. A status of 400 or more ends the run with the service's
// "error" text, else `fallback`.
const Body& captured_body(const HttpResponse& response, std::string_view fallback);

// Writes `body` to the --out path (when given, even empty) or to `default_name`, creating or
// truncating the file, and returns the path. A failure ends the run with "cannot write PATH: ..."
// and the system's reason.
std::string write_output(const Body& body, std::string_view default_name);

// The compact report object: {"bytes":N,"path":"..."}.
JsonValue saved_document(const SavedFile& saved);
// The human report line: the path, two spaces, the count and " bytes", then a line break.
std::string saved_line(const SavedFile& saved);
// With --json, saved_document() as one compact line; otherwise saved_line().
void print_saved(const SavedFile& saved);
