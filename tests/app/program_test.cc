// tirvane-app as a program: its command line, its port, its signals, its registry file across
// restarts, and the real tirvane client talking to it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "file_text.h"
#include "run_program.h"
#include "service_fixture.h"

namespace service_test {
namespace {

namespace fs = std::filesystem;
using testing_support::make_temp_dir;
using testing_support::read_file;
using testing_support::run_client;
using testing_support::run_program;
using testing_support::RunOptions;
using testing_support::RunResult;

void write_file(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

RunResult run_app(const std::vector<std::string>& args,
                  std::map<std::string, std::optional<std::string>> env = {}) {
  RunOptions options;
  options.env = std::move(env);
  options.env["XDG_CONFIG_HOME"] = make_temp_dir();
  std::vector<std::string> argv{app_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, options);
}

TEST(ProgramTest, BadCommandLinesEndWithAMessageAndStatusOne) {
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> port_variable;
    std::string first_line;
  };
  const std::string range = ": give a whole number from 1 to 65535 (0 picks a free port)";
  for (const Case& c : std::vector<Case>{
           {{"--port", "abc"}, std::nullopt, "invalid port \"abc\"" + range},
           {{"--port=70000"}, std::nullopt, "invalid port \"70000\"" + range},
           {{"--port", "-1"}, std::nullopt, "invalid port \"-1\"" + range},
           {{"--port="}, std::nullopt, "invalid port \"\"" + range},
           {{"--port"}, std::nullopt, "--port needs a value"},
           {{}, "x7777", "invalid port \"x7777\" in TIRVANE_PORT" + range},
           {{}, "", "invalid port \"\" in TIRVANE_PORT" + range},
           {{"--size", "1280"}, std::nullopt,
            "invalid size \"1280\": give WxH, e.g. 1280x720, from 16x16 to 7680x4320"},
           {{"--request-timeout", "0"}, std::nullopt,
            "invalid --request-timeout \"0\": give whole seconds from 1 to 300"},
           {{"--camera-timeout", "301"}, std::nullopt,
            "invalid --camera-timeout \"301\": give whole seconds from 1 to 300"},
           {{"--camera-idle", "-1"}, std::nullopt,
            "invalid --camera-idle \"-1\": give whole seconds from 0 to 3600"},
           {{"--camera-idle=3601"}, std::nullopt,
            "invalid --camera-idle \"3601\": give whole seconds from 0 to 3600"},
           {{"--frobnicate"}, std::nullopt, "unknown argument \"--frobnicate\""},
       }) {
    RunResult r = run_app(c.args, {{"TIRVANE_PORT", c.port_variable}});
    EXPECT_EQ(r.exit_status, 1) << c.first_line;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "tirvane-app: " + c.first_line);
    EXPECT_NE(r.err.find("usage: tirvane-app [--port N]"), std::string::npos);
    EXPECT_EQ(r.out, "");
  }
  RunResult help = run_app({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("usage: tirvane-app [--port N] [--device ID] [--size WxH]\n", 0), 0u);
  EXPECT_NE(help.out.find("  --camera-idle S\n"), std::string::npos);
  EXPECT_EQ(run_app({"--version"}).out, "tirvane-app 0.1.0\n");
}

TEST(ProgramTest, ATakenPortIsReportedAndEndsWithStatusOne) {
  ServiceProcess first(make_temp_dir());
  ASSERT_TRUE(first.started());
  RunResult second = run_app({"--port", first.port_text()});
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_EQ(second.err, "tirvane-app: cannot listen on 127.0.0.1:" + first.port_text() +
                            ": Address already in use (is tirvane-app running already? --port N "
                            "picks another port)\n");
  EXPECT_EQ(get(first.port(), "/api/health").status, 200);
}

TEST(ProgramTest, PortComesFromTheOptionElseTheEnvironment) {
  const int from_env = static_cast<int>(testing_support::unused_port());
  ServiceProcess by_env(make_temp_dir(), {}, {{"TIRVANE_PORT", std::to_string(from_env)}});
  ASSERT_TRUE(by_env.started()) << by_env.log();
  EXPECT_EQ(by_env.port(), from_env);
  EXPECT_EQ(get(from_env, "/api/health").json()["port"], from_env);

  const int from_option = static_cast<int>(testing_support::unused_port());
  ServiceProcess by_option(make_temp_dir(), {"--port", std::to_string(from_option)},
                           {{"TIRVANE_PORT", "1"}});
  ASSERT_TRUE(by_option.started()) << by_option.log();
  EXPECT_EQ(by_option.port(), from_option);
}

TEST(ProgramTest, StopsCleanlyOnSigintSigtermAndSighup) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    ServiceProcess service(make_temp_dir());
    ASSERT_TRUE(service.started());
    EXPECT_EQ(get(service.port(), "/api/health").status, 200);
    // A client that is still sending when the signal comes does not hold the service up, and is
    // told why it gets no answer.
    RawConnection stalled(service.port());
    stalled.send("GET /api/health HTTP/1.1\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(service.stop(signal), 0);
    Answer cut = stalled.read_answer();
    EXPECT_EQ(cut.status, 503);
    EXPECT_EQ(cut.error(), "the service is stopping");
    const std::string name =
        signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
    const std::string log = service.log();
    const auto stopping = log.find("tirvane-app: stopping (" + name + ")\n");
    EXPECT_NE(stopping, std::string::npos) << log;
    EXPECT_NE(log.find("tirvane-app: stopped\n", stopping), std::string::npos) << log;
  }
}

TEST(ProgramTest, RegisteredSourcesSurviveARestart) {
  const std::string config = make_temp_dir();
  const std::string file = config + "/tirvane/sources.json";
  {
    ServiceProcess service(config);
    ASSERT_TRUE(service.started());
    EXPECT_EQ(post(service.port(), "/api/sources", R"({"name":"phone","url":"http://192.168.1.50:8080/shot.jpg"})").status, 200);
    EXPECT_EQ(post(service.port(), "/api/sources", R"({"name":"door","url":"https://door.local/snap.jpg"})").status, 200);
    EXPECT_EQ(post(service.port(), "/api/sources/remove", R"({"name":"door"})").status, 200);
    EXPECT_EQ(post(service.port(), "/api/sources", R"({"name":"gate","url":"http://gate/x.jpg"})").status, 200);
    EXPECT_EQ(get(service.port(), "/api/sources").json()["file"], file);
    EXPECT_EQ(service.stop(SIGTERM), 0);
  }
  EXPECT_EQ(nlohmann::json::parse(read_file(file)),
            nlohmann::json::parse(R"({"sources":[{"name":"phone","url":"http://192.168.1.50:8080/shot.jpg"},
                                                 {"name":"gate","url":"http://gate/x.jpg"}]})"));
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  // Only the file itself is left: every temporary file was renamed into place.
  EXPECT_EQ(std::distance(fs::directory_iterator(config + "/tirvane"), fs::directory_iterator()), 1);

  ServiceProcess restarted(config);
  ASSERT_TRUE(restarted.started());
  const nlohmann::json sources = get(restarted.port(), "/api/sources").json();
  EXPECT_EQ(sources["sources"].size(), 2u);
  EXPECT_EQ(sources["sources"][0]["name"], "phone");
  EXPECT_FALSE(sources.contains("warnings"));
  EXPECT_EQ(get(restarted.port(), "/api/devices").json()["devices"][1]["id"], "net:gate");
}

TEST(ProgramTest, ACorruptRegistryIsMovedAsideAndReported) {
  struct Case {
    std::string text;
    std::string why;
  };
  for (const Case& c : std::vector<Case>{
           {"{\"sources\": [{\"name\": \"phone\", \"url\": \"http://a/\"}", "it is not valid JSON"},
           {"", "it is empty"},
           {"[]", "it has no \"sources\" list"},
           {R"({"sources":[{"name":"phone"}]})", "an entry lacks a name or a url"},
           {R"({"sources":[{"name":"my phone","url":"http://a/"}]})",
            "a source name is 1 to 32 letters, digits, - and _ (e.g. phone), not \"my phone\""},
           {R"({"sources":[{"name":"a","url":"http://a/"},{"name":"a","url":"http://b/"}]})",
            "the name a appears twice"},
       }) {
    const std::string config = make_temp_dir();
    const std::string file = config + "/tirvane/sources.json";
    write_file(file, c.text);
    ServiceProcess service(config);
    ASSERT_TRUE(service.started()) << service.log();

    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(config + "/tirvane")) aside.push_back(entry.path());
    ASSERT_EQ(aside.size(), 1u) << c.text;
    EXPECT_TRUE(std::regex_match(aside[0].filename().string(),
                                 std::regex(R"(sources\.json\.corrupt-\d{8}-\d{6})")));
    EXPECT_EQ(read_file(aside[0]), c.text) << "the bad file is kept as it was";

    const std::string report = "the sources file " + file + " could not be used (" + c.why +
                               "); it was moved to " + aside[0].string() + " and the list starts empty";
    EXPECT_NE(service.log().find("tirvane-app: warning: " + report + "\n"), std::string::npos)
        << service.log();
    EXPECT_EQ(get(service.port(), "/api/health").json()["warnings"], nlohmann::json::array({report}));
    EXPECT_EQ(get(service.port(), "/api/sources").json()["sources"], nlohmann::json::array());

    // The next change writes a fresh file beside the kept one.
    EXPECT_EQ(post(service.port(), "/api/sources", R"({"name":"phone","url":"http://a/"})").status, 200);
    EXPECT_EQ(nlohmann::json::parse(read_file(file))["sources"].size(), 1u);
    EXPECT_EQ(read_file(aside[0]), c.text);
  }
}

TEST(ProgramTest, ChangesThatCannotBeSavedAreRefusedAndNothingChanges) {
  // A config folder below a plain file cannot be created, whoever runs the test.
  const std::string blocked = make_temp_dir() + "/plain-file";
  write_file(blocked, "x");
  ServiceProcess service(blocked);
  ASSERT_TRUE(service.started());
  Answer answer = post(service.port(), "/api/sources", R"({"name":"phone","url":"http://a/"})");
  EXPECT_EQ(answer.status, 500);
  EXPECT_EQ(answer.error().rfind("cannot save the sources in " + blocked + "/tirvane/sources.json: ", 0), 0u)
      << answer.error();
  EXPECT_EQ(get(service.port(), "/api/sources").json()["sources"], nlohmann::json::array());
}

TEST(ProgramTest, TheRegistryNeverWritesAFileItWouldRefuseToLoad) {
  const std::string config = make_temp_dir();
  const std::string file = config + "/tirvane/sources.json";
  // Just below the 1 MiB a start reads: 500 sources with URLs of 2 KB.
  nlohmann::json list = nlohmann::json::array();
  const std::string long_path(2000, 'p');
  for (int i = 0; i < 500; ++i) {
    list.push_back({{"name", "cam" + std::to_string(i)}, {"url", "http://a/" + long_path}});
  }
  write_file(file, nlohmann::json{{"sources", list}}.dump(2) + "\n");
  ASSERT_LT(fs::file_size(file), 1u << 20);
  std::size_t registered = 500;
  {
    ServiceProcess service(config);
    ASSERT_TRUE(service.started()) << service.log();
    ASSERT_EQ(get(service.port(), "/api/sources").json()["sources"].size(), 500u);
    Answer refused;
    for (int i = 0; i < 40 && refused.status == 0; ++i) {
      Answer answer = post(service.port(), "/api/sources",
                           R"({"name":"more)" + std::to_string(i) + R"(","url":"http://a/)" +
                               long_path + R"("})");
      if (answer.status == 200) {
        ++registered;
      } else {
        refused = answer;
      }
    }
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.error(), "the sources file would grow beyond 1 MiB; remove a source or use a shorter URL");
    EXPECT_LE(fs::file_size(file), 1u << 20);
    EXPECT_EQ(service.stop(SIGTERM), 0);
  }
  ServiceProcess restarted(config);
  ASSERT_TRUE(restarted.started());
  EXPECT_EQ(get(restarted.port(), "/api/sources").json()["sources"].size(), registered);
  EXPECT_EQ(get(restarted.port(), "/api/health").json().contains("warnings"), false);
}

TEST(ProgramTest, ARegistryPathThatIsNotAFileIsRefusedWithAMessage) {
  const std::string config = make_temp_dir();
  const std::string file = config + "/tirvane/sources.json";
  fs::create_directories(config + "/tirvane");
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  ServiceProcess service(config);
  ASSERT_TRUE(service.started()) << "the start waits on the named pipe\n" << service.log();
  const std::string report = "cannot read " + file +
                             ": it is a named pipe, not a regular file; sources cannot be changed "
                             "until it is replaced";
  EXPECT_NE(service.log().find("tirvane-app: warning: " + report + "\n"), std::string::npos)
      << service.log();
  EXPECT_EQ(get(service.port(), "/api/health").json()["warnings"], nlohmann::json::array({report}));
  Answer refused = post(service.port(), "/api/sources", R"({"name":"phone","url":"http://a/"})");
  EXPECT_EQ(refused.status, 500);
  EXPECT_EQ(refused.error(), report);
  EXPECT_TRUE(fs::is_fifo(file));
  EXPECT_EQ(service.stop(SIGTERM), 0);
}

TEST(ProgramTest, ASymlinkedRegistryIsWrittenThroughTheLink) {
  const std::string config = make_temp_dir();
  const std::string kept = make_temp_dir() + "/dotfiles/sources.json";
  write_file(kept, R"({"sources":[{"name":"door","url":"http://door/"}]})");
  fs::create_directories(config + "/tirvane");
  const std::string link = config + "/tirvane/sources.json";
  fs::create_symlink(kept, link);

  ServiceProcess service(config);
  ASSERT_TRUE(service.started());
  EXPECT_EQ(post(service.port(), "/api/sources", R"({"name":"phone","url":"http://a/"})").status, 200);
  EXPECT_EQ(post(service.port(), "/api/sources/remove", R"({"name":"door"})").status, 200);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), kept);
  EXPECT_EQ(nlohmann::json::parse(read_file(kept)),
            nlohmann::json::parse(R"({"sources":[{"name":"phone","url":"http://a/"}]})"));
  EXPECT_EQ(std::distance(fs::directory_iterator(config + "/tirvane"), fs::directory_iterator()), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(kept).parent_path()), fs::directory_iterator()), 1);
}

TEST(ProgramTest, ConfigFolderFallsBackToHomeConfig) {
  // Unset, or relative (which the XDG rules say to ignore): ~/.config is used.
  for (const std::optional<std::string>& xdg :
       {std::optional<std::string>(), std::optional<std::string>("relative/dir")}) {
    const std::string home = make_temp_dir();
    ServiceProcess service("", {}, {{"XDG_CONFIG_HOME", xdg}, {"HOME", home}});
    ASSERT_TRUE(service.started());
    EXPECT_EQ(get(service.port(), "/api/sources").json()["file"], home + "/.config/tirvane/sources.json");
    EXPECT_EQ(post(service.port(), "/api/sources", R"({"name":"phone","url":"http://a/"})").status, 200);
    EXPECT_TRUE(fs::exists(home + "/.config/tirvane/sources.json"));
  }
}

TEST(ProgramTest, TheClientReportsTheServiceStatus) {
  for (const auto& [args, camera, size] :
       std::vector<std::tuple<std::vector<std::string>, std::string, std::string>>{
           {{}, "(best available)", "1280x720"},
           {{"--device", "test", "--size", "640x480"}, "test", "640x480"}}) {
    ServiceProcess service(make_temp_dir(), args);
    ASSERT_TRUE(service.started());
    RunOptions options;
    options.env["TIRVANE_PORT"] = service.port_text();
    RunResult r = run_client({"status"}, options);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "tirvane \"0.1.0\" on port " + service.port_text() + "\n  camera  " + camera +
                         "\n  size    " + size + "\n");
    if (!args.empty()) {
      EXPECT_EQ(decoded(get(service.port(), "/api/frame.jpg?_=")).width, 640);
    }
  }
}

}  // namespace
}  // namespace service_test
