#include "app/net/video_frame.h"

#include <unistd.h>

#include <cstdarg>
#include <mutex>

#include "app/net/source_url.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace app::net {
namespace {

// Every URL in `text` (from "scheme://" to the next space) shown without its password.
std::string mask_urls(std::string text) {
  std::size_t from = 0;
  while ((from = text.find("://", from)) != std::string::npos) {
    std::size_t start = from;
    while (start > 0 && text[start - 1] != ' ' && text[start - 1] != '\'' && text[start - 1] != '"') --start;
    std::size_t end = text.find_first_of(" '\"\n", from);
    if (end == std::string::npos) end = text.size();
    const std::string shown = url_for_display(std::string_view(text).substr(start, end - start));
    text.replace(start, end - start, shown);
    from = start + shown.size();
  }
  return text;
}

void log_line(void* context, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_ERROR) return;
  char line[1024];
  int print_prefix = 1;
  if (av_log_format_line2(context, level, format, arguments, line, sizeof line, &print_prefix) < 0) {
    return;
  }
  std::string text = "tirvane-app: ffmpeg: " + mask_urls(line);
  if (text.back() != '\n') text += '\n';
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

void route_ffmpeg_log() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(log_line); });
}

std::string av_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  std::string out = text;
  if (!out.empty() && out[0] >= 'A' && out[0] <= 'Z' && !(out.size() > 1 && out[1] >= 'A' && out[1] <= 'Z')) {
    out[0] = static_cast<char>(out[0] - 'A' + 'a');
  }
  return out;
}

}  // namespace app::net
