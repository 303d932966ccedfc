// The server's line reader: lines cut the same however the bytes arrive, a line over the limit
// reported once as soon as it passes it and skipped to its line break, and the base64 of the
// platform layer against the RFC's own examples.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mcp/line_reader.h"
#include "platform/base64.h"

namespace {

struct Read {
  std::vector<std::string> lines;  // "<too long>" for a refusal
};

Read read_in_pieces(const std::string& input, std::size_t piece, std::size_t limit, bool finish = true) {
  mcp::LineReader reader(limit);
  Read read;
  const auto drain = [&] {
    while (auto line = reader.next()) read.lines.push_back(line->too_long ? "<too long>" : line->text);
  };
  for (std::size_t at = 0; at < input.size(); at += piece) {
    reader.feed(std::string_view(input).substr(at, piece));
    drain();
  }
  if (finish) reader.finish();
  drain();
  return read;
}

TEST(LineReader, CutsLinesTheSameWhateverThePieces) {
  const std::string input = "{\"a\":1}\n\r\n  \n{\"b\":2}\r\n{\"c\":3}";
  const std::vector<std::string> expected{"{\"a\":1}", "{\"b\":2}", "{\"c\":3}"};
  for (std::size_t piece : {1u, 2u, 3u, 7u, 100u}) {
    EXPECT_EQ(read_in_pieces(input, piece, 64).lines, expected) << "pieces of " << piece;
  }
  // Without the end of the input a last line without a break is not yet a line.
  EXPECT_EQ(read_in_pieces(input, 5, 64, false).lines,
            (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}"}));
}

TEST(LineReader, ALineOverTheLimitIsReportedOnceAndSkippedToItsBreak) {
  struct Case {
    std::string input;
    std::vector<std::string> lines;
  };
  const std::string over(11, 'x');
  for (const Case& c : std::vector<Case>{
           {"1234567890\n" + over + "\nafter\n", {"1234567890", "<too long>", "after"}},
           {over + over + over + "\nafter", {"<too long>", "after"}},
           {"ok\n" + over, {"ok", "<too long>"}},
           {over + "\n" + over + "\n", {"<too long>", "<too long>"}},
       }) {
    for (std::size_t piece : {1u, 4u, 64u}) {
      EXPECT_EQ(read_in_pieces(c.input, piece, 10).lines, c.lines)
          << c.input << " in pieces of " << piece;
    }
  }
}

TEST(LineReader, TheRefusalComesBeforeTheLongLineEnds) {
  mcp::LineReader reader(10);
  reader.feed("0123456789");
  EXPECT_FALSE(reader.next());
  reader.feed("a");
  auto refused = reader.next();
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->too_long);
  reader.feed(std::string(1000, 'z'));
  EXPECT_FALSE(reader.next());
  reader.feed("\nnext\n");
  auto line = reader.next();
  ASSERT_TRUE(line);
  EXPECT_EQ(line->text, "next");
}

TEST(Base64, MatchesTheStandardsExamples) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {std::string("\xff\xd8\xff\x00", 4), "/9j/AA=="},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(platform::base64_encode(bytes), text) << text;
  // Larger than one piece of the encoder: the pieces join without padding in between.
  const std::string big(3 * (1u << 20) + 2, 'a');
  const std::string encoded = platform::base64_encode(big);
  EXPECT_EQ(encoded.size(), (big.size() + 2) / 3 * 4);
  EXPECT_EQ(encoded.find('='), encoded.size() - 1);
  EXPECT_EQ(encoded.substr(0, 8), "YWFhYWFh");
}

}  // namespace
