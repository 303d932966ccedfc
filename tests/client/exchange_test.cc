// The HTTP exchange: the bytes of the request, and how any answer is read.
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include "app_client/http_exchange.h"
#include "client_test.h"

namespace testing_support {
namespace {

// Answers served from a string, `step` bytes per read at most.
class StringSource : public ByteSource {
 public:
  StringSource(std::string data, std::size_t step) : data_(std::move(data)), step_(step) {}
  std::variant<std::size_t, std::string> read(char* buffer, std::size_t capacity) override {
    std::size_t n = std::min({capacity, step_, data_.size() - at_});
    std::copy_n(data_.data() + at_, n, buffer);
    at_ += n;
    return n;
  }

 private:
  std::string data_;
  std::size_t step_;
  std::size_t at_ = 0;
};

struct ReadCase {
  std::string name;
  std::string response;
  int status;         // -1: the exchange fails with `body` as its message
  std::string body;
};

TEST(ReadResponse, StatusHeadersAndBody) {
  const std::string big(20000, 'z');
  for (const ReadCase& c : std::vector<ReadCase>{
           {"plain", "HTTP/1.1 404 Not Found\r\nA: b\r\n\r\n{}", 404, "{}"},
           {"http/1.0", "HTTP/1.0 200\r\n\r\nok", 200, "ok"},
           {"one word", "HTTP/1.1\r\n\r\nbody", 0, "body"},
           {"above 65535", "HTTP/1.1 65536 X\r\n\r\nb", 0, "b"},
           {"65535", "HTTP/1.1 65535 X\r\n\r\nb", 65535, "b"},
           {"plus and zeros", "HTTP/1.1 +0200 OK\r\n\r\n", 200, ""},
           {"minus", "HTTP/1.1 -200 OK\r\n\r\nb", 0, "b"},
           {"lone plus", "HTTP/1.1 + OK\r\n\r\nb", 0, "b"},
           {"leading space and tabs", " \tHTTP/1.1\t\t201 \r\n\r\nb", 201, "b"},
           {"no-break space splits", "HTTP/1.1\xC2\xA0" "202\r\n\r\nb", 202, "b"},
           {"em space splits", "HTTP/1.1\xE2\x80\x83" "203 x\r\n\r\nb", 203, "b"},
           {"empty answer", "", -1, "no answer: the connection was closed before any byte arrived"},
           {"ends in status line", "HTTP/1.1 200 OK", 200, ""},
           {"ends in headers", "HTTP/1.1 200 OK\r\nX: y\r\n", 200, ""},
           {"ends in headers after a length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", -1,
            "the answer was cut short: 0 of 5 body bytes"},
           {"longer than its length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n0123456789",
            200, "0123456789"},
           {"exactly its length", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n0123", 200, "0123"},
           {"shorter than its length", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123", -1,
            "the answer was cut short: 4 of 10 body bytes"},
           {"length in any case, zeros and blanks", "HTTP/1.1 200 OK\r\ncONTENT-lENGTH: \t0010 \r\n\r\n0123",
            -1, "the answer was cut short: 4 of 10 body bytes"},
           {"length beyond 64 bits", "HTTP/1.1 200 OK\r\nContent-Length: 184467440737095516160\r\n\r\nab",
            -1, "the answer was cut short: 2 of 184467440737095516160 body bytes"},
           {"the first length counts", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 9\r\n\r\nabc",
            200, "abc"},
           {"cut short with no status code", "garbage\r\nContent-Length: 3\r\n\r\nab", -1,
            "the answer was cut short: 2 of 3 body bytes"},
           {"refusal cut short", "HTTP/1.1 404 X\r\nContent-Length: 30\r\n\r\n{\"error\"", -1,
            "the answer was cut short: 8 of 30 body bytes"},
           {"length zero", "HTTP/1.1 200 OK\r\nContent-Length: 000\r\n\r\n", 200, ""},
           {"length beyond memory", "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615\r\n\r\nab",
            -1, "out of memory while receiving the app's answer, after 0 body bytes"},
           // Only a header named Content-Length whose value is a decimal number counts.
           {"length with a plus", "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\nab", 200, "ab"},
           {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nab", 200, "ab"},
           {"length with an exponent", "HTTP/1.1 200 OK\r\nContent-Length: 1e3\r\n\r\nab", 200, "ab"},
           {"list of lengths", "HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\n\r\nab", 200, "ab"},
           {"empty length", "HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\nab", 200, "ab"},
           {"other name", "HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\n\r\nab", 200, "ab"},
           {"space before the colon", "HTTP/1.1 200 OK\r\nContent-Length : 5\r\n\r\nab", 200, "ab"},
           {"length in the body", "HTTP/1.1 200 OK\r\n\r\nContent-Length: 50\r\n", 200,
            "Content-Length: 50\r\n"},
           {"chunked kept", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n",
            200, "2\r\nab\r\n0\r\n\r\n"},
           {"spaces line ends headers", "HTTP/1.1 200 OK\r\nA: b\r\n   \r\nC: d\r\n\r\nx", 200,
            "C: d\r\n\r\nx"},
           {"lone LF ends headers", "HTTP/1.1 200 OK\nA: b\n\nx\ny", 200, "x\ny"},
           {"binary body", std::string("HTTP/1.1 200 OK\r\n\r\n\xFF\xD8\x00\x01", 23), 200,
            std::string("\xFF\xD8\x00\x01", 4)},
           {"large body", "HTTP/1.1 200 OK\r\n\r\n" + big, 200, big},
           {"large body of its stated length", "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n" + big,
            200, big},
           {"large body past its stated length", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n" + big,
            200, big},
           {"bad status line", "HTTP/1.1 200 \xFF\r\n\r\n", -1, "stream did not contain valid UTF-8"},
           {"bad header", "HTTP/1.1 200 OK\r\nX: \xC3\x28\r\n\r\nbody", -1,
            "stream did not contain valid UTF-8"},
           {"surrogate in header", "HTTP/1.1 200 OK\r\nX: \xED\xA0\x80\r\n\r\n", -1,
            "stream did not contain valid UTF-8"},
       }) {
    for (std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{1 << 20}}) {
      StringSource source(c.response, step);
      ExchangeResult result = read_response(source);
      if (c.status < 0) {
        ASSERT_TRUE(std::holds_alternative<ExchangeError>(result)) << c.name;
        EXPECT_EQ(std::get<ExchangeError>(result).message, c.body) << c.name;
      } else {
        ASSERT_TRUE(std::holds_alternative<HttpResponse>(result)) << c.name;
        const HttpResponse& r = std::get<HttpResponse>(result);
        EXPECT_EQ(r.status, c.status) << c.name << " step " << step;
        EXPECT_EQ(r.body.to_string(), c.body) << c.name << " step " << step;
      }
    }
  }
}

// Answers without end: the head given, then `filler` for ever.
class EndlessSource : public ByteSource {
 public:
  EndlessSource(std::string head, char filler) : head_(std::move(head)), filler_(filler) {}
  std::variant<std::size_t, std::string> read(char* buffer, std::size_t capacity) override {
    const std::size_t n = std::min(capacity, head_.size() - at_);
    std::copy_n(head_.data() + at_, n, buffer);
    at_ += n;
    std::fill_n(buffer + n, capacity - n, filler_);
    delivered_ += capacity;
    return capacity;
  }
  std::size_t delivered() const { return delivered_; }

 private:
  std::string head_;
  char filler_;
  std::size_t at_ = 0;
  std::size_t delivered_ = 0;
};

TEST(ReadResponse, HeaderBlockIsBoundedAt64KiB) {
  const std::string kTooLarge = "the answer's header block is larger than 64 KiB";
  // Status line, header lines and the empty line, line ends included: 65536 bytes pass.
  const std::string status = "HTTP/1.1 200 OK\r\n";
  const std::string start = "X: ";
  const std::string filler(65536 - status.size() - start.size() - 4, 'h');
  const std::string exact = status + start + filler + "\r\n\r\n";
  ASSERT_EQ(exact.size(), 65536u);
  for (std::size_t step : {std::size_t{1}, std::size_t{8192}, std::size_t{1 << 20}}) {
    StringSource fits(exact + "body", step);
    ExchangeResult result = read_response(fits);
    ASSERT_TRUE(std::holds_alternative<HttpResponse>(result)) << step;
    EXPECT_EQ(std::get<HttpResponse>(result).body.to_string(), "body");

    StringSource over(status + start + "h" + filler + "\r\n\r\nbody", step);
    result = read_response(over);
    ASSERT_TRUE(std::holds_alternative<ExchangeError>(result)) << step;
    EXPECT_EQ(std::get<ExchangeError>(result).message, kTooLarge);
  }
  // Many short lines count together, and a head that breaks off is no exception.
  std::string lines = status;
  while (lines.size() <= 65536) lines += "A: b\r\n";
  StringSource many(lines, 1 << 20);
  ExchangeResult result = read_response(many);
  ASSERT_TRUE(std::holds_alternative<ExchangeError>(result));
  EXPECT_EQ(std::get<ExchangeError>(result).message, kTooLarge);

  // An endless status line or header line stops at the cap instead of filling memory.
  for (const std::string& head : {std::string(), status + "X-Endless: "}) {
    EndlessSource endless(head, 'e');
    result = read_response(endless);
    ASSERT_TRUE(std::holds_alternative<ExchangeError>(result)) << head;
    EXPECT_EQ(std::get<ExchangeError>(result).message, kTooLarge);
    EXPECT_LE(endless.delivered(), 65536u + 8192u);
  }
}

TEST(ReadResponse, HeaderLinesAreKeptInOrderAndLookedUpWithoutRegardToCase) {
  const std::string answer =
      "HTTP/1.1 200 OK\r\n"
      "X-Frame-Size:  1280x720 \t\r\n"
      "Content-Type:image/jpeg\n"
      "not a header\r\n"
      ": no name\r\n"
      "Bad Name: x\r\n"
      "x-frame-size: second\r\n"
      "Empty:   \r\n"
      "\r\n"
      "Late: body\r\n";
  for (std::size_t step : {std::size_t{1}, std::size_t{1 << 20}}) {
    StringSource source(answer, step);
    ExchangeResult result = read_response(source);
    ASSERT_TRUE(std::holds_alternative<HttpResponse>(result));
    const HttpResponse& r = std::get<HttpResponse>(result);
    ASSERT_EQ(r.headers.size(), 4u) << "step " << step;
    EXPECT_EQ(r.headers[0].name, "X-Frame-Size");
    EXPECT_EQ(r.headers[0].value, "1280x720");
    EXPECT_EQ(r.headers[1].name, "Content-Type");
    EXPECT_EQ(r.headers[1].value, "image/jpeg");
    EXPECT_EQ(r.headers[2].name, "x-frame-size");
    EXPECT_EQ(r.headers[3].name, "Empty");
    EXPECT_EQ(r.headers[3].value, "");
    EXPECT_EQ(header_value(r, "X-FRAME-SIZE"), "1280x720");  // the first of two
    EXPECT_EQ(header_value(r, "content-type"), "image/jpeg");
    EXPECT_EQ(header_value(r, "Late"), std::nullopt);  // after the header block: body
    EXPECT_EQ(header_value(r, "X-Frame"), std::nullopt);
    EXPECT_EQ(r.body.to_string(), "Late: body\r\n");
  }
}

TEST(RequestHead, GetAndPostLayout) {
  EXPECT_EQ(request_head("GET", "/api/devices", "127.0.0.1:7777", 0),
            "GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1:7777\r\nConnection: close\r\n"
            "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(request_head("POST", "/api/focus", "127.0.0.1:1", 2),
            "POST /api/focus HTTP/1.1\r\nHost: 127.0.0.1:1\r\nConnection: close\r\n"
            "Content-Type: application/json\r\nContent-Length: 2\r\n\r\n");
}

TEST(RequestHead, BytesThatWouldBreakTheRequestLineArePercentEncoded) {
  EXPECT_EQ(request_head("GET", std::string("/a b\r\nX:\t\x7F\x01\x00", 12), "h:1", 0)
                .substr(0, 34),
            "GET /a%20b%0D%0AX:%09%7F%01%00 HTT");
  // Everything else is sent as it is.
  const std::string kept = "/frame.jpg?_=&device=net:phone&x=%41&\xC3\xA9~!";
  EXPECT_EQ(request_head("GET", kept, "h:1", 0).substr(4, kept.size()), kept);
}

// The wire, through the built client.
using ExchangeTest = ClientTest;

TEST_F(ExchangeTest, GetSendsExactlyTheHeadAndReadsAnAnswerSentInPieces) {
  Reply r{{"HTTP/1.1 2", "00 OK\r\nX: y", "\r\n\r\n{\"version\":", "\"1\"}"}, std::chrono::milliseconds(30)};
  fake.add(r);
  RunResult result = run({"status", "--json"});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "{\n  \"version\": \"1\"\n}\n");
  ASSERT_EQ(fake.requests().size(), 1u);
  EXPECT_EQ(fake.requests()[0], get("/api/health"));
}

TEST_F(ExchangeTest, ServiceThatClosesWithoutAWordIsNoAnswer) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"status"}, {"status", "--json"}}) {
    fake.add(Reply{});
    RunResult result = run(args);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, cannot_reach("http://127.0.0.1:" + fake.port_text() + "/api",
                                       "no answer: the connection was closed before any byte "
                                       "arrived"));
  }
}

TEST_F(ExchangeTest, AnswerCutShortOfItsLengthIsAnUnreachableReport) {
  fake.add(reply("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 40\r\n\r\n"
                 "{\"version\":\"1\""));
  RunResult result = run({"status"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, cannot_reach("http://127.0.0.1:" + fake.port_text() + "/api",
                                     "the answer was cut short: 14 of 40 body bytes"));
}

TEST_F(ExchangeTest, EndlessHeaderLineIsRefusedAt64KiB) {
  fake.add_endless(reply("HTTP/1.1 200 OK\r\nX-Endless: "), std::string(65536, 'e'));
  RunOptions options;
  options.env["TIRVANE_PORT"] = fake.port_text();
  options.working_dir = dir;
  // Under a limit, so that a client that kept the line would fail visibly instead of filling
  // the machine's memory.
  if (client_takes_memory_limit()) options.address_space_limit = kClientMemoryLimit;
  RunResult result = run_client({"status"}, options);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, cannot_reach("http://127.0.0.1:" + fake.port_text() + "/api",
                                     "the answer's header block is larger than 64 KiB"));
}

TEST_F(ExchangeTest, HeaderThatIsNotUtf8IsAnUnreachableReport) {
  fake.add(reply("HTTP/1.1 200 OK\r\nX-Name: caf\xE9\r\n\r\n{}"));
  RunResult result = run({"status"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, cannot_reach("http://127.0.0.1:" + fake.port_text() + "/api",
                                     "stream did not contain valid UTF-8"));
}

TEST_F(ExchangeTest, NothingListeningIsConnectionRefusedWithTheBaseOnly) {
  const std::string port = std::to_string(unused_port());

  RunResult result = run({"status", "--port=" + port});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(reports_os_error(result.err, cannot_reach("http://127.0.0.1:" + port + "/api", "{}"),
                               kConnectionRefused));
}

TEST_F(ExchangeTest, PortTextsThatAreNoPortFailBeforeConnecting) {
  for (std::string port : {"", "abc", "65536", "-1", "7 7", "1\r\nX: y"}) {
    RunResult result = run({"status", "--port=" + port});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, cannot_reach("http://127.0.0.1:" + port + "/api", "invalid port value"))
        << port;
  }
  EXPECT_TRUE(fake.requests().empty());
}

TEST_F(ExchangeTest, PortWithPlusGoesThroughTheResolverToTheSamePlace) {
  fake.add(json_reply(200, "{}"));
  RunResult result = run({"status", "--json", "--port=+" + fake.port_text()});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  ASSERT_EQ(fake.requests().size(), 1u);
  // The Host line carries the authority as written.
  EXPECT_EQ(fake.requests()[0], "GET /api/health HTTP/1.1\r\nHost: 127.0.0.1:+" +
                                    fake.port_text() +
                                    "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
}

}  // namespace
}  // namespace testing_support
