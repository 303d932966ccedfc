// The document model and its two printed forms.
#include <gtest/gtest.h>

#include "protocol/json.h"

namespace {

JsonValue parse(std::string_view text) {
  std::optional<JsonValue> v = parse_json_document(text);
  EXPECT_TRUE(v.has_value()) << text;
  return v.value_or(JsonValue());
}

TEST(JsonText, NumbersKeepTheirKind) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : std::vector<Case>{
           {"1280", "1280"},
           {"1280.0", "1280.0"},
           {"-5", "-5"},
           {"18446744073709551615", "18446744073709551615"},
           {"-9223372036854775808", "-9223372036854775808"},
           {"1e2", "100.0"},
           {"0.1", "0.1"},
           {"18446744073709551616", "1.8446744073709552e+19"},
           {"[1,-1,1.5]", "[1,-1,1.5]"},
       }) {
    EXPECT_EQ(json_text(parse(c.in)), c.out) << c.in;
  }
  EXPECT_TRUE(parse("18446744073709551615").is_number_unsigned());
  EXPECT_TRUE(parse("-1").is_number_integer() && !parse("-1").is_number_unsigned());
  EXPECT_TRUE(parse("1e2").is_number_float());
  EXPECT_EQ(json_text(JsonValue(std::numeric_limits<double>::infinity())), "null");
}

TEST(JsonText, MembersInAscendingByteOrderAndNoWhiteSpace) {
  EXPECT_EQ(json_text(parse(R"({ "version" : 1, "port": 2, "alpha": 3, "Zeta": 4, "\u00e9": 5 })")),
            "{\"Zeta\":4,\"alpha\":3,\"port\":2,\"version\":1,\"\xC3\xA9\":5}");
}

TEST(JsonText, Escapes) {
  EXPECT_EQ(json_text(JsonValue(std::string("a\tb\"c\\d\b\f\n\r\x1B\x01\x7F/\xC3\xA9\xE2\x80\x94"))),
            "\"a\\tb\\\"c\\\\d\\b\\f\\n\\r\\u001b\\u0001\x7F/\xC3\xA9\xE2\x80\x94\"");
}

TEST(JsonText, InvalidUtf8FromArgumentsIsReplacedNotFatal) {
  EXPECT_EQ(json_text(json_string("caf\xE9!")), "\"caf\xEF\xBF\xBD!\"");
}

TEST(PrettyJson, Layout) {
  EXPECT_EQ(pretty_json_text(parse(R"({"b":[],"a":1})")), "{\n  \"a\": 1,\n  \"b\": []\n}");
  EXPECT_EQ(pretty_json_text(parse(R"([{"k":[1,{}]}])")),
            "[\n  {\n    \"k\": [\n      1,\n      {}\n    ]\n  }\n]");
  EXPECT_EQ(pretty_json_text(parse("\"x\"")), "\"x\"");
}

TEST(ParseJsonDocument, RejectsAnythingButOneDocument) {
  for (std::string_view bad : {"", " ", "{", "{} {}", "1 2", "[1,]", "\xEF\xBB\xBF{}", "nul",
                               "\"\xFF\"", "{\"a\":1}x", "// c\n{}", "'a'", "1e400",
                               "[-1e999]"}) {
    EXPECT_FALSE(parse_json_document(bad).has_value()) << bad;
  }
  EXPECT_EQ(json_text(parse(" \t\r\n{\"a\":[true,false,null]}\r\n")),
            "{\"a\":[true,false,null]}");
}

TEST(ParseJsonDocument, ANulByteAnywhereIsNoDocument) {
  using namespace std::string_view_literals;
  for (std::string_view bad : {"{}\0"sv, "{\"a\":1}\0{\"b\":2}"sv, "1\0"sv, "\"x\"\r\n\0"sv, "\0{}"sv,
                               "[1,\0 2]"sv, "\"a\0b\""sv, "\0"sv}) {
    EXPECT_FALSE(parse_json_document(bad).has_value()) << ::testing::PrintToString(std::string(bad));
  }
  // Escaped, the character is an ordinary part of a string.
  EXPECT_EQ(parse("\"a\\u0000b\"").get<std::string>(), std::string("a\0b", 3));
}

TEST(ParseJsonDocument, NestingIsBounded) {
  std::string ok(kMaxJsonDepth, '[');
  ok += std::string(kMaxJsonDepth, ']');
  EXPECT_TRUE(parse_json_document(ok).has_value());
  std::string deep(100000, '[');
  deep += std::string(100000, ']');
  EXPECT_FALSE(parse_json_document(deep).has_value());
}

TEST(MemberReading, NeverFails) {
  const JsonValue doc = parse(R"({"name":"x","list":[1],"flag":true,"n":1})");
  EXPECT_EQ(text_or(member(doc, "name"), "?"), "x");
  EXPECT_EQ(text_or(member(doc, "n"), "?"), "?");
  EXPECT_TRUE(member(doc, "missing").is_null());
  EXPECT_TRUE(member(parse("[1]"), "name").is_null());
  EXPECT_TRUE(member(JsonValue(), "name").is_null());
  EXPECT_TRUE(member(parse("\"s\""), "name").is_null());
  EXPECT_EQ(list_of(member(doc, "list")).size(), 1u);
  EXPECT_TRUE(list_of(member(doc, "name")).empty());
  EXPECT_TRUE(is_true(member(doc, "flag")));
  EXPECT_FALSE(is_true(member(doc, "n")));
}

}  // namespace
