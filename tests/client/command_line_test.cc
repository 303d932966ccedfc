// The command line: dispatch, help, unknown words, operand checks, option lookups.
#include <string>

#include "cli/help_text.h"
#include "client_test.h"

namespace testing_support {
namespace {

const std::string kHelp = std::string(kHelpText) + "\n";
const std::string kHealth = R"({"version":"0.2.0","port":7777,"settings":{"device":"0","width":1280,"height":720}})";

TEST(HelpText, HasThirtyLinesEndingInALineBreak) {
  std::string text(kHelpText);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 30);
  EXPECT_EQ(text.back(), '\n');
}

using CommandLineTest = ClientTest;

TEST_F(CommandLineTest, HelpWordsPrintTheHelpOnStandardOutput) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"-h"}, {"help"}, {"help", "snap"}, {""}, {"--help"}, {"--json"}, {"--json", "help"}}) {
    RunResult r = run(args);
    EXPECT_EQ(r.exit_status, 0) << ::testing::PrintToString(args);
    EXPECT_EQ(r.out, kHelp) << ::testing::PrintToString(args);
    EXPECT_EQ(r.err, "") << ::testing::PrintToString(args);
  }
  EXPECT_TRUE(fake.requests().empty());
}

TEST_F(CommandLineTest, UnknownWordReportsWithTheHelpOnStandardError) {
  // The last word is Unicode text beyond ASCII, a character beyond 16 bits among it: it comes back
  // byte for byte from a command line of UTF-16 too.
  for (std::string word : {"Snap", "snapshot", "-x", "add_source",
                           "caf\xC3\xA9\xE2\x80\x94\xC2\xB7\xF0\x9F\x93\xB7"}) {
    RunResult r = run({word, "--json"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "unknown command: " + word + "\n\n" + kHelp);
  }
  EXPECT_TRUE(fake.requests().empty());
}

TEST_F(CommandLineTest, TwoWordOptionBeforeTheCommandWordBecomesTheCommandWord) {
  RunResult r = run({"--port", "7999", "status"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "unknown command: 7999\n\n" + kHelp);
  EXPECT_TRUE(fake.requests().empty());
}

TEST_F(CommandLineTest, MissingOperandsFailWithTheUsageBeforeAnyRequest) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string set_usage =
      "error: usage: tirvane set <name> <value>   e.g. tirvane set focus 60\n";
  const std::string add_usage =
      "error: usage: tirvane add-source <name> <url>\n"
      "  e.g. tirvane add-source phone http://192.168.1.50:8080/shot.jpg\n";
  const std::string forget_usage = "error: usage: tirvane forget-source <name>\n";
  for (const Case& c : std::vector<Case>{
           {{"set"}, set_usage},
           {{"set", "focus"}, set_usage},
           {{"set", "focus", "--device=1", "--json"}, set_usage},
           {{"add-source"}, add_usage},
           {{"add-source", "phone"}, add_usage},
           {{"add-source", "phone", "--json"}, add_usage},
           {{"forget-source"}, forget_usage},
           {{"forget-source", "--json"}, forget_usage},
       }) {
    RunResult r = run(c.args);
    EXPECT_EQ(r.exit_status, 1) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err) << ::testing::PrintToString(c.args);
  }
  EXPECT_TRUE(fake.requests().empty());
}

// The port option shows where the lookups of --NAME=VALUE and --NAME VALUE lead: the request
// goes to the port chosen, and the report names it.
TEST_F(CommandLineTest, OptionLookupsFollowTheJoinedThenSeparateRules) {
  const std::string p = fake.port_text();
  struct Case {
    std::vector<std::string> args;
    bool reaches_fake;
    std::string base_port;  // when the request goes elsewhere, the port text of the report
  };
  for (const Case& c : std::vector<Case>{
           {{"status", "--port=" + p}, true, ""},
           {{"status", "--port", p}, true, ""},
           {{"--port=" + p, "status"}, true, ""},
           {{"status", "--port", "1", "--port=" + p}, true, ""},    // joined beats separate
           {{"status", "--port=" + p, "--port=1"}, true, ""},       // first joined wins
           {{"status", "--port=abc", "--port=" + p}, false, "abc"},
           {{"status", "--port=", "--port", p}, false, ""},         // empty, not absent
           {{"status", "--port"}, true, ""},                        // last: absent, env used
           {{"status", "--port", "--json"}, true, ""},              // option word: absent
           {{"status", "--port", "--json", "--port", "1"}, true, ""},  // only the first looked at
           {{"status", "--colour", "never", "--verbose"}, true, ""},
           {{"--", "status"}, true, ""},
       }) {
    const std::size_t before = fake.requests().size();
    if (c.reaches_fake) fake.add(json_reply(200, kHealth));
    RunResult r = run(c.args);
    if (c.reaches_fake) {
      EXPECT_EQ(r.exit_status, 0) << ::testing::PrintToString(c.args) << r.err;
      EXPECT_EQ(fake.requests().size(), before + 1) << ::testing::PrintToString(c.args);
    } else {
      EXPECT_EQ(r.exit_status, 1);
      EXPECT_EQ(r.err, cannot_reach("http://127.0.0.1:" + c.base_port + "/api", "invalid port value"))
          << ::testing::PrintToString(c.args);
      EXPECT_EQ(fake.requests().size(), before);
    }
  }
}

TEST_F(CommandLineTest, JsonFlagCountsOnlyWhenExact) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"status", "--json=1"}, {"status", "--JSON"}}) {
    fake.add(json_reply(200, kHealth));
    RunResult r = run(args);
    EXPECT_TRUE(r.out.starts_with("tirvane \"0.2.0\"")) << ::testing::PrintToString(args) << r.out;
  }
  fake.add(json_reply(200, "7"));
  RunResult r = run({"--json", "status"});
  EXPECT_EQ(r.out, "7\n");
}

}  // namespace
}  // namespace testing_support
