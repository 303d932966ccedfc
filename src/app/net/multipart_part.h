// The first picture of a multipart/x-mixed-replace stream (the MJPEG stream of phone camera apps
// and IP cameras), found while the bytes arrive: the stream itself never ends.
//
// Accepts what cameras send: a boundary parameter written with or without its leading "--",
// quoted or not; parts with or without a Content-Length of their own, with or without a CRLF
// before the next boundary.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace app::net {

class FirstPartReader {
 public:
  // `content_type` is the stream's, e.g. "multipart/x-mixed-replace; boundary=frame". Without a
  // boundary parameter, the first line that starts with "--" is taken as the boundary.
  explicit FirstPartReader(std::string_view content_type);

  // Takes the next bytes of the stream; true once the first part is complete.
  bool add(std::string_view bytes);
  // At the end of the stream: true when a part without a Content-Length was under way, which
  // the end then completes.
  bool finish();

  bool complete() const { return complete_; }
  // The first part's bytes and its own Content-Type (empty when it gave none), once complete.
  const std::string& body() const { return body_; }
  const std::string& content_type() const { return part_type_; }
  // How much of the stream is held, for the size limit.
  std::size_t held() const { return buffer_.size(); }

 private:
  enum class Stage { kBoundary, kHeaders, kBody };

  bool advance();
  bool find_boundary();
  bool read_headers();
  bool read_body();
  void take_body(std::size_t end);

  std::string delimiter_;  // "--" and the boundary
  std::string buffer_;
  Stage stage_ = Stage::kBoundary;
  std::size_t headers_start_ = 0;
  std::size_t body_start_ = 0;
  std::size_t search_from_ = 0;
  std::size_t length_ = 0;
  bool has_length_ = false;
  bool complete_ = false;
  std::string body_;
  std::string part_type_;
};

// The boundary parameter of a Content-Type, unquoted and without a leading "--"; empty when none.
std::string multipart_boundary(std::string_view content_type);

}  // namespace app::net
