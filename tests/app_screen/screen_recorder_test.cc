// Screen recording: what the request may hold, and what the file holds (container, codec, size,
// duration, frame count, and pictures that follow the screen), checked with ffprobe and ffmpeg.
#include "app/screen/screen_recorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "app/recording_request.h"
#include "app/screen/screen_provider.h"
#include "app/screen/x11_screen.h"
#include "fake_service.h"
#include "run_program.h"
#include "xvfb.h"

namespace {

using app::Failure;
using app::Recording;
using app::RecordingRequest;
using app::VideoFormat;
using screen_testing::Xvfb;

std::string header(const Recording& recording, const std::string& name) {
  for (const auto& [key, value] : recording.headers) {
    if (key == name) return value;
  }
  return "(no " + name + ")";
}

// A recording on disk, looked at the way a player would.
class VideoFile {
 public:
  VideoFile(const std::string& bytes, const std::string& name)
      : folder_(testing_support::make_temp_dir()), path_(folder_ + "/" + name) {
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  ~VideoFile() { std::filesystem::remove_all(folder_); }
  VideoFile(const VideoFile&) = delete;
  VideoFile& operator=(const VideoFile&) = delete;

  // ffprobe's view of the file and of its first video stream, with the frames counted.
  JsonValue probe() const {
    auto run = testing_support::run_program({"ffprobe", "-v", "error", "-count_frames",
                                             "-show_format", "-show_streams", "-of", "json",
                                             path_});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    auto parsed = parse_json_document(run.out);
    return parsed ? *parsed : JsonValue();
  }

  // The picture shown `secs` seconds in, as 1920x1080 RGB.
  app::Image frame_at(double secs) const {
    auto run = testing_support::run_program({"ffmpeg", "-v", "error", "-ss", std::to_string(secs),
                                             "-i", path_, "-frames:v", "1", "-f", "rawvideo",
                                             "-pix_fmt", "rgb24", "-"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    app::Image image = app::make_image(1920, 1080, app::PixelFormat::kRgb);
    EXPECT_EQ(run.out.size(), image.pixels.size()) << "at " << secs << " s";
    if (run.out.size() == image.pixels.size()) {
      std::copy(run.out.begin(), run.out.end(), image.pixels.begin());
    }
    return image;
  }

 private:
  std::string folder_;
  std::string path_;
};

double number(const JsonValue& value) {
  if (value.is_string()) return std::stod(value.get<std::string>());
  return value.is_number() ? value.get<double>() : -1;
}

void expect_colour(const app::Image& image, int x, int y, std::uint32_t rgb, const char* what) {
  const auto seen = screen_testing::pixel_at(image, x, y);
  EXPECT_TRUE(screen_testing::near(seen, screen_testing::rgb_of(rgb), 20))
      << what << " shows " << screen_testing::describe(seen);
}

// The file lasts the asked time within one frame, holds every frame the answer says were
// recorded, and recorded and dropped frames together fill every tick. (How many are dropped
// depends on how busy the machine is; the benchmark measures that.)
void expect_timing(const Recording& recording, const JsonValue& probe, int secs) {
  const JsonValue& stream = list_of(member(probe, "streams")).at(0);
  EXPECT_NEAR(number(member(member(probe, "format"), "duration")), secs, 1.0 / 30);
  const int recorded = std::stoi(header(recording, "X-Frames-Recorded"));
  const int dropped = std::stoi(header(recording, "X-Frames-Dropped"));
  EXPECT_EQ(number(member(stream, "nb_read_frames")), recorded);
  EXPECT_EQ(recorded + dropped, secs * 30);
  EXPECT_EQ(header(recording, "X-Frame-Rate"), "30");
}

TEST(RecordingRequest, NullsTakeTheDefaultsAndOnlyWebmOrMp4AndOneTo120SecondsPass) {
  struct Good {
    const char* body;
    VideoFormat format;
    int secs;
  };
  const Good good[] = {
      {R"({"format":null,"secs":null})", VideoFormat::kWebm, 5},
      {R"({})", VideoFormat::kWebm, 5},
      {R"({"format":"mp4","secs":30})", VideoFormat::kMp4, 30},
      {R"({"format":"webm","secs":1})", VideoFormat::kWebm, 1},
      {R"({"secs":120})", VideoFormat::kWebm, 120},
      {R"({"secs":3.0})", VideoFormat::kWebm, 3},
  };
  for (const Good& c : good) {
    auto read = app::read_recording_request(*parse_json_document(c.body));
    ASSERT_FALSE(app::failed(read)) << c.body << ": " << std::get<Failure>(read).message;
    EXPECT_EQ(std::get<RecordingRequest>(read).format, c.format) << c.body;
    EXPECT_EQ(std::get<RecordingRequest>(read).secs, c.secs) << c.body;
  }

  const std::string formats = ": use \"webm\" or \"mp4\" (null for webm)";
  const std::string secs = "secs must be a whole number from 1 to 120 (null for 5), not ";
  struct Bad {
    const char* body;
    std::string message;
  };
  const Bad bad[] = {
      {R"({"format":"avi","secs":5})", "unknown format \"avi\"" + formats},
      {R"({"format":"MP4"})", "unknown format \"MP4\"" + formats},
      {R"({"format":"mp4 "})", "unknown format \"mp4 \"" + formats},
      {R"({"format":""})", "unknown format \"\"" + formats},
      {R"({"format":5})", "unknown format 5" + formats},
      {R"({"format":["webm"]})", "unknown format [\"webm\"]" + formats},
      {R"({"format":"a very long name that is not echoed back in full"})",
       "unknown format" + formats},
      {R"({"secs":0})", secs + "0"},
      {R"({"secs":121})", secs + "121"},
      {R"({"secs":-1})", secs + "-1"},
      {R"({"secs":2.5})", secs + "2.5"},
      {R"({"secs":"5"})", secs + "\"5\""},
      {R"({"secs":true})", secs + "true"},
      {R"({"secs":18446744073709551615})", secs + "18446744073709551615"},
      {R"({"secs":1e300})", secs + "1e+300"},
      {R"([])", "the recording request must be a JSON object with format and secs"},
      {R"(null)", "the recording request must be a JSON object with format and secs"},
  };
  for (const Bad& c : bad) {
    auto read = app::read_recording_request(*parse_json_document(c.body));
    ASSERT_TRUE(app::failed(read)) << c.body;
    EXPECT_EQ(std::get<Failure>(read).status, 400) << c.body;
    EXPECT_EQ(std::get<Failure>(read).message, c.message) << c.body;
  }
}

TEST(RecordingRequest, DeviceIsTheScreenOrOneOfItsMonitors) {
  struct Good {
    const char* body;
    const char* output;
  };
  for (const Good& c : {Good{R"({})", ""}, Good{R"({"device":null})", ""},
                        Good{R"({"device":"screen"})", ""},
                        Good{R"({"device":"screen:HDMI-A-1"})", "HDMI-A-1"}}) {
    auto read = app::read_recording_request(*parse_json_document(c.body));
    ASSERT_FALSE(app::failed(read)) << c.body << ": " << std::get<Failure>(read).message;
    EXPECT_EQ(std::get<RecordingRequest>(read).output, c.output) << c.body;
  }
  const std::string refusal =
      "only the screen can be recorded: device must be \"screen\" or \"screen:NAME\" (null for "
      "the screen), not ";
  struct Bad {
    const char* body;
    std::string message;
  };
  for (const Bad& c : {Bad{R"({"device":"0"})", refusal + "\"0\""},
                       Bad{R"({"device":"screen:"})", refusal + "\"screen:\""},
                       Bad{R"({"device":"Screen"})", refusal + "\"Screen\""},
                       Bad{R"({"device":"net:phone"})", refusal + "\"net:phone\""},
                       Bad{R"({"device":1})", refusal + "1"}}) {
    auto read = app::read_recording_request(*parse_json_document(c.body));
    ASSERT_TRUE(app::failed(read)) << c.body;
    EXPECT_EQ(std::get<Failure>(read).status, 400) << c.body;
    EXPECT_EQ(std::get<Failure>(read).message, c.message) << c.body;
  }
}

TEST(RecordingRequest, VideoSizeIsTheScreensUpTo1080pInEvenNumbers) {
  struct Case {
    int width, height;
    app::VideoSize expected;
  };
  const Case cases[] = {
      {1920, 1080, {1920, 1080}}, {1921, 1081, {1920, 1080}}, {1080, 1920, {1080, 1920}},
      {3840, 2160, {1920, 1080}}, {3440, 1440, {2224, 930}},  {1, 1, {2, 2}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(app::recording_size(c.width, c.height), c.expected) << c.width << "x" << c.height;
  }
}

TEST(ScreenRecorder, ABadRequestIsRefusedBeforeTheDisplayIsNeeded) {
  app::ScreenVideoRecorder recorder({std::nullopt, false, std::nullopt});
  auto recorded =
      app::record_screen(recorder, *parse_json_document(R"({"format":"gif","secs":null})"));
  ASSERT_TRUE(app::failed(recorded));
  EXPECT_EQ(std::get<Failure>(recorded).status, 400);
  EXPECT_EQ(std::get<Failure>(recorded).message,
            "unknown format \"gif\": use \"webm\" or \"mp4\" (null for webm)");
}

TEST(ScreenRecorder, WithoutADisplayEveryRecordingIsRefusedAndNoneStaysBusy) {
  app::ScreenVideoRecorder recorder({std::nullopt, false, std::nullopt});
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto recorded =
        app::record_screen(recorder, *parse_json_document(R"({"format":null,"secs":1})"));
    ASSERT_TRUE(app::failed(recorded));
    EXPECT_EQ(std::get<Failure>(recorded).status, 503);
    EXPECT_EQ(std::get<Failure>(recorded).message, app::kNoDisplayMessage);
  }
}

class ScreenRecording : public ::testing::Test {
 protected:
  ScreenRecording() { screen_testing::paint(xvfb.display(), screen_testing::test_scene()); }
  app::DisplayEnvironment environment() const { return {xvfb.display(), false, std::nullopt}; }
  Xvfb xvfb;
};

TEST_F(ScreenRecording, WebmIsVp9AtTheScreensSizeAndFollowsTheScreen) {
  app::ScreenVideoRecorder recorder(environment());
  // A second into the recording the middle block turns magenta.
  auto repaint = std::async(std::launch::async, [this] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    screen_testing::paint(xvfb.display(), {{800, 450, 320, 180, 0xFF00FF}});
  });
  auto recorded = app::record_screen(recorder, *parse_json_document(R"({"format":null,"secs":2})"));
  repaint.get();
  ASSERT_FALSE(app::failed(recorded)) << std::get<Failure>(recorded).message;
  const Recording& recording = std::get<Recording>(recorded);
  EXPECT_EQ(recording.content_type, "video/webm");

  VideoFile file(std::get<std::string>(recording.file->read_all()), "screen.webm");
  const JsonValue probe = file.probe();
  EXPECT_EQ(member(member(probe, "format"), "format_name"), "matroska,webm");
  ASSERT_EQ(list_of(member(probe, "streams")).size(), 1u);
  const JsonValue& stream = list_of(member(probe, "streams"))[0];
  EXPECT_EQ(member(stream, "codec_name"), "vp9");
  EXPECT_EQ(member(stream, "pix_fmt"), "yuv420p");
  EXPECT_EQ(member(stream, "width"), 1920);
  EXPECT_EQ(member(stream, "height"), 1080);
  expect_timing(recording, probe, 2);

  const app::Image early = file.frame_at(0.4);
  for (const auto& place : screen_testing::test_scene_places()) {
    expect_colour(early, place.x, place.y, place.rgb, place.name);
  }
  expect_colour(file.frame_at(1.8), 960, 540, 0xFF00FF, "the repainted middle");
}

TEST_F(ScreenRecording, Mp4IsH264ThatCommonPlayersTake) {
  app::ScreenVideoRecorder recorder(environment());
  auto recorded =
      app::record_screen(recorder, *parse_json_document(R"({"format":"mp4","secs":1})"));
  ASSERT_FALSE(app::failed(recorded)) << std::get<Failure>(recorded).message;
  const Recording& recording = std::get<Recording>(recorded);
  EXPECT_EQ(recording.content_type, "video/mp4");

  const std::string bytes = std::get<std::string>(recording.file->read_all());
  VideoFile file(bytes, "screen.mp4");
  const JsonValue probe = file.probe();
  EXPECT_EQ(member(member(probe, "format"), "format_name"), "mov,mp4,m4a,3gp,3g2,mj2");
  ASSERT_EQ(list_of(member(probe, "streams")).size(), 1u);
  const JsonValue& stream = list_of(member(probe, "streams"))[0];
  EXPECT_EQ(member(stream, "codec_name"), "h264");
  EXPECT_EQ(member(stream, "profile"), "High");
  EXPECT_EQ(member(stream, "pix_fmt"), "yuv420p");
  EXPECT_EQ(member(stream, "width"), 1920);
  EXPECT_EQ(member(stream, "height"), 1080);
  expect_timing(recording, probe, 1);
  EXPECT_NEAR(number(member(stream, "duration")), 1, 1.0 / 30);
  // The index comes before the pictures, so playback can start before the download ends.
  EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));

  const app::Image middle = file.frame_at(0.5);
  for (const auto& place : screen_testing::test_scene_places()) {
    expect_colour(middle, place.x, place.y, place.rgb, place.name);
  }
}

TEST_F(ScreenRecording, ASecondRecordingMeanwhileIsRefusedWhileShotsGoOn) {
  app::ScreenVideoRecorder recorder(environment());
  auto first = std::async(std::launch::async, [&recorder] {
    return app::record_screen(recorder, *parse_json_document(R"({"format":null,"secs":2})"));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  auto second = app::record_screen(recorder, *parse_json_document(R"({"format":"mp4","secs":1})"));
  ASSERT_TRUE(app::failed(second));
  EXPECT_EQ(std::get<Failure>(second).status, 409);
  EXPECT_EQ(std::get<Failure>(second).message,
            "a screen recording is already running; try again when it has finished");

  app::ScreenProvider source(environment());
  auto found = source.find("screen");
  ASSERT_TRUE(found && !app::failed(*found));
  auto shot = std::get<std::shared_ptr<app::Device>>(*found)->capture_jpeg({});
  EXPECT_FALSE(app::failed(shot)) << "a screenshot during a recording";

  auto finished = first.get();
  ASSERT_FALSE(app::failed(finished)) << std::get<Failure>(finished).message;
  auto after = app::record_screen(recorder, *parse_json_document(R"({"format":"mp4","secs":1})"));
  EXPECT_FALSE(app::failed(after)) << std::get<Failure>(after).message;
}

}  // namespace
