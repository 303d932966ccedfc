// tirvane controls and tirvane set: the query, the listing, the whole-number test, the body and
// the report.
#include "client_test.h"

namespace testing_support {
namespace {

using ControlsTest = ClientTest;
using SetTest = ClientTest;

std::string spaces(std::size_t n) { return std::string(n, ' '); }

const std::string kSetAnswer = R"({"control":"focus","value":60,"was":40})";

TEST_F(ControlsTest, QueryStartsWithAnEmptyParameterAndAddsTheDeviceVerbatim) {
  struct Case {
    std::vector<std::string> args;
    std::string target;
  };
  for (const Case& c : std::vector<Case>{
           {{"controls"}, "/api/controls?_="},
           {{"controls", "extra", "words"}, "/api/controls?_="},
           {{"controls", "--device=net:phone"}, "/api/controls?_=&device=net:phone"},
           {{"controls", "--device", "0"}, "/api/controls?_=&device=0"},
           {{"--device=0", "controls"}, "/api/controls?_=&device=0"},
           {{"controls", "--device="}, "/api/controls?_=&device="},
           {{"controls", "--device=a=b&c"}, "/api/controls?_=&device=a=b&c"},
           {{"controls", "--device", "--json"}, "/api/controls?_="},
       }) {
    fake.add(json_reply(200, "{}"));
    RunResult r = run(c.args);
    EXPECT_EQ(r.exit_status, 0) << ::testing::PrintToString(c.args) << r.err;
    ASSERT_FALSE(fake.requests().empty());
    EXPECT_EQ(fake.requests().back(), get(c.target)) << ::testing::PrintToString(c.args);
  }
}

TEST_F(ControlsTest, LinesShowTheNameColumnAndCompactValues) {
  struct Case {
    std::string controls;  // the "controls" member
    std::string out;
  };
  const std::string accented = "Sch\xC3\xA4rfe";  // seven characters, eight bytes
  for (const Case& c : std::vector<Case>{
           {R"([{"name":"focus","min":0,"max":255,"value":60}])",
            "  focus" + spaces(9) + " 0..255  now 60\n"},
           {R"([{"name":"exposure_absolute","min":-5,"max":2047.5,"value":-1}])",
            "  exposure_absolute -5..2047.5  now -1\n"},
           {R"([{"name":")" + accented + R"(","min":1,"max":2,"value":1}])",
            "  " + accented + spaces(7) + " 1..2  now 1\n"},
           {R"([{"name":"white balance!","min":0,"max":1,"value":true}])",
            "  white balance! 0..1  now true\n"},
           {R"([{"name":"mode"}])", "  mode" + spaces(10) + " null..null  now null\n"},
           {R"([{"name":7,"min":"low","max":[1,2],"value":{"b":1,"a":"x"}}])",
            "  ?" + spaces(13) + R"( "low"..[1,2]  now {"a":"x","b":1})" "\n"},
           {R"([3,{"name":"zoom","min":100,"max":500,"value":18446744073709551615}])",
            "  ?" + spaces(13) + " null..null  now null\n  zoom" + spaces(10) +
                " 100..500  now 18446744073709551615\n"},
       }) {
    fake.add(json_reply(200, R"({"controls":)" + c.controls + "}"));
    RunResult r = run({"controls"});
    EXPECT_EQ(r.exit_status, 0) << c.controls << r.err;
    EXPECT_EQ(r.out, c.out) << c.controls;
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(ControlsTest, NoListPrintsNothing) {
  for (const std::string body :
       {"{}", R"({"controls":[]})", R"({"controls":{}})", R"({"controls":null})", "[1]", "x"}) {
    fake.add(json_reply(200, body));
    RunResult r = run({"controls"});
    EXPECT_EQ(r.exit_status, 0) << body;
    EXPECT_EQ(r.out, "") << body;
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(ControlsTest, JsonPrintsTheDocument) {
  fake.add(json_reply(200, R"({"controls":[]})"));
  RunResult r = run({"controls", "--json"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "{\n  \"controls\": []\n}\n");
  fake.add(json_reply(200, R"({"controls":[{"value":60,"name":"focus"}]})"));
  r = run({"controls", "--json"});
  EXPECT_EQ(r.out,
            "{\n  \"controls\": [\n    {\n      \"name\": \"focus\",\n      \"value\": 60\n"
            "    }\n  ]\n}\n");
}

TEST_F(SetTest, ValueMustBeASigned64BitWholeNumber) {
  struct Case {
    std::string word;
    std::string sent;  // the JSON integer in the body; empty: refused before any request
  };
  for (const Case& c : std::vector<Case>{
           {"60", "60"},
           {"+060", "60"},
           {"-5", "-5"},
           {"-0", "0"},
           {"+0", "0"},
           {"000", "0"},
           {"0000000000000000000000000009", "9"},
           {"9223372036854775807", "9223372036854775807"},
           {"-9223372036854775808", "-9223372036854775808"},
           {"-09223372036854775808", "-9223372036854775808"},
           {"9223372036854775808", ""},
           {"-9223372036854775809", ""},
           {"18446744073709551616", ""},
           {"6.5", ""},
           {"1e3", ""},
           {"0x10", ""},
           {"", ""},
           {"+", ""},
           {"-", ""},
           {"+-5", ""},
           {"-+5", ""},
           {"++5", ""},
           {" 5", ""},
           {"5 ", ""},
           {"1_000", ""},
           {"1,000", ""},
           {"60abc", ""},
           {"focus", ""},
           {"\xD9\xA3", ""},      // ARABIC-INDIC DIGIT THREE
           {"\xEF\xBC\x95", ""},  // FULLWIDTH DIGIT FIVE
       }) {
    const std::size_t before = fake.requests().size();
    if (!c.sent.empty()) fake.add(json_reply(200, kSetAnswer));
    RunResult r = run({"set", "focus", c.word});
    const std::string what = ::testing::PrintToString(c.word);
    if (c.sent.empty()) {
      EXPECT_EQ(r.exit_status, 1) << what;
      EXPECT_EQ(r.out, "") << what;
      EXPECT_EQ(r.err, "error: value must be a whole number\n") << what;
      EXPECT_EQ(fake.requests().size(), before) << what;
    } else {
      EXPECT_EQ(r.exit_status, 0) << what << r.err;
      ASSERT_EQ(fake.requests().size(), before + 1) << what;
      EXPECT_EQ(fake.requests().back(),
                post("/api/controls", R"({"device":null,"name":"focus","value":)" + c.sent + "}"))
          << what;
    }
  }
}

TEST_F(SetTest, OperandsAndDeviceFollowTheCommandLine) {
  struct Case {
    std::vector<std::string> args;
    std::string body;  // empty: refused before any request
  };
  for (const Case& c : std::vector<Case>{
           {{"set", "focus", "60"}, R"({"device":null,"name":"focus","value":60})"},
           {{"set", "focus", "60", "--device=1"}, R"({"device":"1","name":"focus","value":60})"},
           {{"set", "focus", "60", "--device", "1"}, R"({"device":"1","name":"focus","value":60})"},
           {{"set", "--device=1", "focus", "60"}, R"({"device":"1","name":"focus","value":60})"},
           {{"--device=net:phone", "set", "zoom", "2"},
            R"({"device":"net:phone","name":"zoom","value":2})"},
           {{"set", "--device=", "focus", "60"}, R"({"device":"","name":"focus","value":60})"},
           {{"set", "focus", "60", "--device"}, R"({"device":null,"name":"focus","value":60})"},
           {{"set", "exposure", "-5"}, R"({"device":null,"name":"exposure","value":-5})"},
           {{"set", "focus", "60", "extra", "words"}, R"({"device":null,"name":"focus","value":60})"},
           {{"set", "white \"bal\\ance\"", "1", "--device=a\tb"},
            R"({"device":"a\tb","name":"white \"bal\\ance\"","value":1})"},
           {{"set", "sch\xC3\xA4rfe", "1"}, "{\"device\":null,\"name\":\"sch\xC3\xA4rfe\",\"value\":1}"},
           // Bytes that are not UTF-8 reach the service as U+FFFD, never as broken JSON.
           {{"set", "caf\xE9", "1"}, "{\"device\":null,\"name\":\"caf\xEF\xBF\xBD\",\"value\":1}"},
           // The value of a two-word option stays positional: NAME is 1 and VALUE is focus.
           {{"set", "--device", "1", "focus", "60"}, ""},
       }) {
    // Windows passes arguments as UTF-16, so bytes that are not UTF-8 cannot reach its client.
    if (client_is_windows() && !all_utf8(c.args)) continue;
    const std::size_t before = fake.requests().size();
    if (!c.body.empty()) fake.add(json_reply(200, kSetAnswer));
    RunResult r = run(c.args);
    const std::string what = ::testing::PrintToString(c.args);
    if (c.body.empty()) {
      EXPECT_EQ(r.exit_status, 1) << what;
      EXPECT_EQ(r.err, "error: value must be a whole number\n") << what;
      EXPECT_EQ(fake.requests().size(), before) << what;
    } else {
      EXPECT_EQ(r.exit_status, 0) << what << r.err;
      EXPECT_EQ(r.out, "\"focus\" = 60 (was 40)\n") << what;
      ASSERT_EQ(fake.requests().size(), before + 1) << what;
      EXPECT_EQ(fake.requests().back(), post("/api/controls", c.body)) << what;
    }
  }
}

TEST_F(SetTest, ReportShowsEachMemberAsCompactJson) {
  struct Case {
    std::string answer;
    std::string out;
  };
  for (const Case& c : std::vector<Case>{
           {kSetAnswer, "\"focus\" = 60 (was 40)\n"},
           {R"({"control":"focus","value":60})", "\"focus\" = 60 (was null)\n"},
           {R"({"control":"exposure","value":-5,"was":156.25})", "\"exposure\" = -5 (was 156.25)\n"},
           {R"({"control":7,"value":"on","was":[false]})", "7 = \"on\" (was [false])\n"},
           {R"({"control":"a\"b","value":{},"was":null})", "\"a\\\"b\" = {} (was null)\n"},
           {"{}", "null = null (was null)\n"},
           {"[1]", "null = null (was null)\n"},
           {"", "null = null (was null)\n"},
       }) {
    fake.add(json_reply(200, c.answer));
    RunResult r = run({"set", "focus", "60"});
    EXPECT_EQ(r.exit_status, 0) << c.answer;
    EXPECT_EQ(r.out, c.out) << c.answer;
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(SetTest, JsonPrintsTheAnswer) {
  fake.add(json_reply(200, kSetAnswer));
  RunResult r = run({"set", "--json", "focus", "60"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "{\n  \"control\": \"focus\",\n  \"value\": 60,\n  \"was\": 40\n}\n");
}

TEST_F(SetTest, RefusalEndsWithTheServiceTextAndPrintsNothing) {
  fake.add(json_reply(400, R"({"error":"focus is locked while autofocus is on"})"));
  RunResult r = run({"set", "focus", "60000", "--json"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: focus is locked while autofocus is on\n");
  EXPECT_EQ(fake.requests().size(), 1u);
}

TEST_F(ControlsTest, RefusalEndsWithTheFallbackAndPrintsNothing) {
  fake.add(json_reply(404, "no such device"));
  RunResult r = run({"controls", "--device=9"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: the app rejected the request\n");
}

}  // namespace
}  // namespace testing_support
