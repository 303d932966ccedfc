#include "app_client/http_exchange.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <vector>

#include "app_client/pages_ahead.h"
#include "app_client/utf8.h"
#include "platform/platform.h"
#include "protocol/decimal.h"

namespace {

constexpr std::size_t kReceiveBuffer = 8192;
// Large body reads go straight into the body's blocks, in steps of this size at most.
constexpr std::size_t kBodyReadStep = 4 * 1024 * 1024;

// The status line, the header lines and the empty line after them, line ends included. A real
// answer's head is a few hundred bytes; the cap keeps an endless header line from taking memory.
constexpr std::size_t kMaxHeaderBlock = 64 * 1024;

const char kNotUtf8[] = "stream did not contain valid UTF-8";
const char kNoAnswer[] = "no answer: the connection was closed before any byte arrived";
const char kHeaderBlockTooLarge[] = "the answer's header block is larger than 64 KiB";

// The literal forms "a.b.c.d:port" and "[v6]:port", or nothing.
std::optional<platform::SocketAddress> literal_socket_address(std::string_view authority) {
  std::string_view host;
  std::string_view port;
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find("]:");
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    port = authority.substr(close + 2);
    if (host.find(':') == std::string_view::npos) return std::nullopt;
  } else {
    const std::size_t colon = authority.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) return std::nullopt;
  }
  const std::optional<std::uint16_t> number =
      parse_decimal<std::uint16_t>(port, LeadingPlus::kRefused);
  if (!number) return std::nullopt;
  return platform::literal_address(std::string(host), *number);
}

std::variant<std::vector<platform::SocketAddress>, ExchangeError> addresses_for(
    std::string_view authority) {
  if (auto literal = literal_socket_address(authority)) {
    return std::vector<platform::SocketAddress>{*literal};
  }
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos) return ExchangeError{"invalid socket address"};
  const std::optional<std::uint16_t> port =
      parse_decimal<std::uint16_t>(authority.substr(colon + 1), LeadingPlus::kAllowed);
  if (!port) return ExchangeError{"invalid port value"};
  auto resolved = platform::resolve(std::string(authority.substr(0, colon)), *port);
  if (auto* error = std::get_if<std::string>(&resolved)) return ExchangeError{*error};
  return std::get<std::vector<platform::SocketAddress>>(std::move(resolved));
}

std::optional<ExchangeError> send_all(platform::TcpStream& stream, std::string_view bytes) {
  while (!bytes.empty()) {
    auto sent = stream.send_some(bytes);
    if (auto* error = std::get_if<platform::OsError>(&sent)) {
      return ExchangeError{platform::describe(*error)};
    }
    const std::size_t n = std::get<std::size_t>(sent);
    if (n == 0) return ExchangeError{"failed to write whole buffer"};
    bytes.remove_prefix(n);
  }
  return std::nullopt;
}

class StreamSource : public ByteSource {
 public:
  explicit StreamSource(platform::TcpStream& stream) : stream_(stream) {}
  std::variant<std::size_t, std::string> read(char* buffer, std::size_t capacity) override {
    auto got = stream_.receive_some(buffer, capacity);
    if (auto* error = std::get_if<platform::OsError>(&got)) return platform::describe(*error);
    return std::get<std::size_t>(got);
  }

 private:
  platform::TcpStream& stream_;
};

// Lines through a fixed receive buffer, then whatever is left as the body.
class LineReader {
 public:
  explicit LineReader(ByteSource& source) : source_(source) {}

  // The next line of the header block, LF included, or what is left when the stream ends first
  // (empty at the end). Fails as soon as the lines read so far exceed kMaxHeaderBlock.
  std::optional<ExchangeError> next_line(std::string& line) {
    line.clear();
    for (;;) {
      if (start_ == end_) {
        if (auto error = fill()) return error;
        if (start_ == end_) return std::nullopt;
      }
      const char* begin = buffer_ + start_;
      const void* lf = std::memchr(begin, '\n', end_ - start_);
      const std::size_t take =
          lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) + 1 : end_ - start_;
      if (take > head_room_) return ExchangeError{kHeaderBlockTooLarge};
      head_room_ -= take;
      line.append(begin, take);
      start_ += take;
      if (lf) return std::nullopt;
    }
  }

  std::optional<ExchangeError> rest_into(Body& body) {
    body.append(std::string_view(buffer_ + start_, end_ - start_));
    start_ = end_;
    // The room made for a large stated length has its pages made while the bytes arrive.
    PagesAhead ahead(body.free_space());
    std::size_t received = 0;
    for (;;) {
      std::span<char> room = body.free_space();
      auto got = source_.read(room.data(), std::min(room.size(), kBodyReadStep));
      if (auto* error = std::get_if<std::string>(&got)) return ExchangeError{*error};
      const std::size_t n = std::get<std::size_t>(got);
      if (n == 0) return std::nullopt;
      body.commit(n);
      received += n;
      ahead.filled(received);
    }
  }

 private:
  std::optional<ExchangeError> fill() {
    auto got = source_.read(buffer_, sizeof buffer_);
    if (auto* error = std::get_if<std::string>(&got)) return ExchangeError{*error};
    start_ = 0;
    end_ = std::get<std::size_t>(got);
    return std::nullopt;
  }

  ByteSource& source_;
  char buffer_[kReceiveBuffer];
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  std::size_t head_room_ = kMaxHeaderBlock;
};

std::uint16_t status_code(std::string_view status_line) {
  const std::vector<std::string_view> tokens = utf8::split_white_space(status_line);
  if (tokens.size() < 2) return 0;
  return parse_decimal<std::uint16_t>(tokens[1], LeadingPlus::kAllowed).value_or(0);
}

// "Name: value" as a header, or nothing when the line has no name before a colon. The line end
// goes, and the spaces and tabs around the value.
std::optional<HttpHeader> header_of(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
  const std::string_view name = line.substr(0, colon);
  if (std::any_of(name.begin(), name.end(), [](char c) { return c <= ' ' || c == 0x7F; })) {
    return std::nullopt;
  }
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.remove_suffix(1);
  const std::size_t first = value.find_first_not_of(" \t");
  if (first == std::string_view::npos) return HttpHeader{std::string(name), std::string()};
  value = value.substr(first, value.find_last_not_of(" \t") - first + 1);
  return HttpHeader{std::string(name), std::string(value)};
}

// The answer's own Content-Length as its decimal digits without leading zeros, or nothing when it
// has none or the value is not a decimal number. Kept as digits, so no value is too large.
std::optional<std::string> declared_length(const HttpResponse& response) {
  const std::optional<std::string> value = header_value(response, "Content-Length");
  if (!value || value->empty()) return std::nullopt;
  if (!std::all_of(value->begin(), value->end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const std::size_t first = std::min(value->find_first_not_of('0'), value->size() - 1);
  return value->substr(first);
}

// The largest buffer set aside before any body byte has arrived. A stated length is the peer's
// word, not a fact: beyond this the buffer grows with what really arrives, so a wrong or hostile
// length costs nothing up front, and the cut-short check still holds the answer to it.
inline constexpr std::size_t kLargestReservation = std::size_t{1} << 30;

// The declared length as a size worth reserving at once, when it is one.
std::optional<std::size_t> reservable_length(const HttpResponse& response) {
  const std::optional<std::string> digits = declared_length(response);
  if (!digits) return std::nullopt;
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(digits->data(), digits->data() + digits->size(), value);
  if (error != std::errc() || end != digits->data() + digits->size()) return std::nullopt;
  if (value > kLargestReservation) return std::nullopt;
  return value;
}

// Whether `count` is less than the number written as `digits` (no leading zeros).
bool less_than(std::size_t count, std::string_view digits) {
  const std::string have = std::to_string(count);
  return have.size() != digits.size() ? have.size() < digits.size() : have < digits;
}

// An answer that announced more body than arrived was cut off: the service went away while
// sending. A longer body than announced is taken whole.
std::optional<ExchangeError> cut_short(const HttpResponse& response) {
  const std::optional<std::string> declared = declared_length(response);
  if (!declared || !less_than(response.body.size(), *declared)) return std::nullopt;
  return ExchangeError{"the answer was cut short: " + std::to_string(response.body.size()) +
                       " of " + *declared + " body bytes"};
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return ascii_lower(x) == ascii_lower(y);
         });
}

}  // namespace

std::optional<std::string> header_value(const HttpResponse& response, std::string_view name) {
  for (const HttpHeader& header : response.headers) {
    if (same_name(header.name, name)) return header.value;
  }
  return std::nullopt;
}

std::string request_head(std::string_view method, std::string_view path,
                         std::string_view authority, std::size_t body_length) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string head;
  head.reserve(96 + path.size() + authority.size());
  head.append(method).append(" ");
  for (char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) {
      head.push_back('%');
      head.push_back(kHex[byte >> 4]);
      head.push_back(kHex[byte & 0x0F]);
    } else {
      head.push_back(c);
    }
  }
  head.append(" HTTP/1.1\r\nHost: ").append(authority).append("\r\nConnection: close\r\n");
  if (body_length > 0) head.append("Content-Type: application/json\r\n");
  head.append("Content-Length: ").append(std::to_string(body_length)).append("\r\n\r\n");
  return head;
}

namespace {

// The status line, the header block and the body, or the first failure.
std::optional<ExchangeError> read_into(LineReader& reader, HttpResponse& response) {
  std::string line;
  if (auto error = reader.next_line(line)) return error;
  if (line.empty()) return ExchangeError{kNoAnswer};
  if (!utf8::is_valid(line)) return ExchangeError{kNotUtf8};
  response.status = status_code(line);
  for (;;) {
    if (auto error = reader.next_line(line)) return error;
    if (line.empty()) return std::nullopt;  // the stream ended inside the header block
    if (!utf8::is_valid(line)) return ExchangeError{kNotUtf8};
    if (utf8::trim_white_space(line).empty()) break;
    if (auto header = header_of(line)) response.headers.push_back(std::move(*header));
  }
  // The stated length sizes the buffer once, before the body arrives; the body is still every
  // byte to the end of the stream. A length that memory cannot hold ends as the out-of-memory
  // report; one beyond the largest reservation grows with the bytes and is left to the
  // cut-short check.
  if (auto length = reservable_length(response)) response.body.reserve(*length);
  return reader.rest_into(response.body);
}

}  // namespace

ExchangeResult read_response(ByteSource& source) {
  LineReader reader(source);
  HttpResponse response;
  try {
    if (auto error = read_into(reader, response)) return *error;
  } catch (const std::bad_alloc&) {
    // What was held goes first, so that there is memory again for the report.
    const std::size_t held = response.body.size();
    response.body = Body();
    return ExchangeError{"out of memory while receiving the app's answer, after " +
                             std::to_string(held) + " body bytes",
                         ExchangeError::Kind::kOutOfMemory};
  }
  if (auto error = cut_short(response)) return *error;
  return response;
}

ExchangeResult http_exchange(std::string_view method, std::string_view url,
                             std::optional<std::string_view> body) {
  std::string_view rest = url;
  if (rest.starts_with("http://")) rest.remove_prefix(7);
  const std::size_t slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  const std::string path =
      slash == std::string_view::npos ? std::string("/") : std::string(rest.substr(slash));

  auto found = addresses_for(authority);
  if (auto* error = std::get_if<ExchangeError>(&found)) return *error;
  const auto& addresses = std::get<std::vector<platform::SocketAddress>>(found);
  if (addresses.empty()) return ExchangeError{"could not resolve to any addresses"};

  std::optional<platform::TcpStream> stream;
  platform::OsError last_error;
  for (const platform::SocketAddress& address : addresses) {
    auto connected = platform::TcpStream::connect(address);
    if (auto* error = std::get_if<platform::OsError>(&connected)) {
      last_error = *error;
      continue;
    }
    stream.emplace(std::get<platform::TcpStream>(std::move(connected)));
    break;
  }
  if (!stream) return ExchangeError{platform::describe(last_error)};

  if (auto error = stream->set_receive_timeout(kReceiveTimeoutMs)) {
    return ExchangeError{platform::describe(*error)};
  }
  const std::string_view payload = body.value_or(std::string_view());
  if (auto error = send_all(*stream, request_head(method, path, authority, payload.size()))) {
    return *error;
  }
  if (auto error = send_all(*stream, payload)) return *error;

  StreamSource source(*stream);
  return read_response(source);
}
