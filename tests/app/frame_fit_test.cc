// Pictures for readers that see them scaled, through real HTTP: GET /frame.jpg with `region` and
// `max_side` (cut in the device's own pixels, then fitted with the aspect kept), the size headers
// on every frame, and the stills of a finished screen recording.
#include <nlohmann/json.hpp>

#include "client_fixture.h"
#include "raw_http.h"
#include "service_fixture.h"
#include "xvfb.h"

namespace service_test {
namespace {

std::string size_of(const app::Image& image) {
  return std::to_string(image.width) + "x" + std::to_string(image.height);
}

class FrameFitTest : public ServiceTest {};

TEST_F(FrameFitTest, PlainFramesKeepTheirSizesAndStateThem) {
  // Without region or max_side a camera still gives exactly the asked size, aspect or not.
  const Answer asked = get("/api/frame.jpg?_=&device=test&width=640&height=480");
  ASSERT_EQ(asked.status, 200) << asked.body;
  EXPECT_EQ(size_of(decoded(asked)), "640x480");
  EXPECT_EQ(asked.header("X-Frame-Size"), "640x480");
  EXPECT_EQ(asked.header("X-Source-Size"), "1280x720");
  EXPECT_NE(asked.header("X-Device-Warning").find("synthetic"), std::string::npos);

  const Answer own = get("/api/frame.jpg?_=&device=test");
  ASSERT_EQ(own.status, 200);
  EXPECT_EQ(size_of(decoded(own)), "1280x720");
  EXPECT_EQ(own.header("X-Frame-Size"), "1280x720");
  EXPECT_EQ(own.header("X-Source-Size"), "1280x720");
}

TEST_F(FrameFitTest, FittedFramesKeepTheAspectAndAreNeverEnlarged) {
  struct Case {
    std::string query;
    std::string sent;
  };
  for (const Case& c : std::vector<Case>{
           {"max_side=640", "640x360"},
           {"max_side=5000", "1280x720"},
           {"max_side=1000&height=100", "178x100"},
           {"max_side=1000&width=500&height=500", "500x281"},
           {"region=0,0,400,400", "400x400"},
           {"region=100,50,400,200&max_side=200", "200x100"},
           {"region=1279,719,1,1", "1x1"},
           {"region=0,0,1280,720&width=64", "64x36"},
       }) {
    const Answer answer = get("/api/frame.jpg?device=test&" + c.query);
    ASSERT_EQ(answer.status, 200) << c.query << ": " << answer.body;
    EXPECT_EQ(size_of(decoded(answer)), c.sent) << c.query;
    EXPECT_EQ(answer.header("X-Frame-Size"), c.sent) << c.query;
    EXPECT_EQ(answer.header("X-Tirvane-Size"), c.sent) << c.query;
    EXPECT_EQ(answer.header("X-Source-Size"), "1280x720") << c.query;
    EXPECT_EQ(answer.header("X-Tirvane-Device"), "test");
    EXPECT_NE(answer.header("X-Device-Warning").find("synthetic"), std::string::npos);
  }
  EXPECT_EQ(get("/api/frame.jpg?device=test&region=100,50,400,200").header("X-Region"),
            "100,50,400,200");
}

TEST_F(FrameFitTest, BadRegionsAndSidesAreRefusedWithTheBounds) {
  struct Case {
    std::string query;
    std::string says;
  };
  for (const Case& c : std::vector<Case>{
           {"region=1200,0,100,10", "lies outside the picture of test, which is 1280x720"},
           {"region=0,700,10,21", "y + height at most 720"},
           {"region=0,0,1281,1", "x + width must be at most 1280"},
           {"region=2147483647,0,2147483647,1", "lies outside"},
           {"region=1,2,3", "region must be x,y,width,height"},
           {"region=0,0,0,10", "region must be x,y,width,height"},
           {"region=-1,0,10,10", "region must be x,y,width,height"},
           {"region=0,0,10,10,", "region must be x,y,width,height"},
           {"region=", "region must be x,y,width,height"},
           {"max_side=0", "max_side must be a whole number from 16"},
           {"max_side=big", "max_side must be a whole number"},
           {"max_side=100&width=9", "width must be a whole number from 16"},
       }) {
    const Answer answer = get("/api/frame.jpg?device=test&" + c.query);
    EXPECT_EQ(answer.status, 400) << c.query;
    EXPECT_NE(answer.error().find(c.says), std::string::npos) << c.query << ": " << answer.error();
  }
  const Answer unknown = get("/api/frame.jpg?device=nosuch&max_side=100");
  EXPECT_EQ(unknown.status, 404) << unknown.body;
}

class ScreenFitTest : public ClientTest {
 protected:
  ScreenFitTest() {
    screen_testing::paint(xvfb.display(), screen_testing::test_scene());
    service_env["DISPLAY"] = xvfb.display();
  }
  Answer get(const std::string& target) { return service_test::get(service->port(), target); }

  screen_testing::Xvfb xvfb;
};

TEST_F(ScreenFitTest, ARegionShowsThatPartOfTheScreenAtItsOwnPixels) {
  const Answer whole = get("/api/frame.jpg?device=screen&max_side=1568");
  ASSERT_EQ(whole.status, 200) << whole.body;
  EXPECT_EQ(size_of(decoded(whole)), "1568x882");
  EXPECT_EQ(whole.header("X-Source-Size"), "1920x1080");

  // A 200x200 box around each labelled place shows that place's colour at its centre.
  for (const auto& place : screen_testing::test_scene_places()) {
    const std::string region = std::to_string(place.x - 100) + "," + std::to_string(place.y - 100) +
                               ",200,200";
    const Answer part = get("/api/frame.jpg?device=screen&region=" + region);
    ASSERT_EQ(part.status, 200) << part.body;
    const app::Image picture = decoded(part);
    ASSERT_EQ(size_of(picture), "200x200");
    const auto seen = screen_testing::pixel_at(picture, 100, 100);
    EXPECT_TRUE(screen_testing::near(seen, screen_testing::rgb_of(place.rgb), 20))
        << place.name << " shows " << screen_testing::describe(seen);
  }
  const Answer outside = get("/api/frame.jpg?device=screen&region=1900,0,100,100");
  EXPECT_EQ(outside.status, 400);
  EXPECT_NE(outside.error().find("which is 1920x1080"), std::string::npos) << outside.error();
}

TEST_F(ScreenFitTest, AFinishedRecordingLeavesItsFirstMiddleAndLastStills) {
  const Answer none = get("/api/screen/record/still.jpg?recording=1&at=first");
  EXPECT_EQ(none.status, 404);
  EXPECT_NE(none.error().find("no screen recording has finished"), std::string::npos);

  const Answer video = post(service->port(), "/api/screen/record", R"({"format":null,"secs":1})");
  ASSERT_EQ(video.status, 200) << video.body;
  EXPECT_EQ(video.header("Content-Type"), "video/webm");
  const std::string id = video.header("X-Recording-Id");
  ASSERT_FALSE(id.empty());

  for (const std::string at : {"first", "middle", "last"}) {
    const Answer still = get("/api/screen/record/still.jpg?recording=" + id + "&at=" + at +
                             "&max_side=960");
    ASSERT_EQ(still.status, 200) << at << ": " << still.body;
    const app::Image picture = decoded(still);
    EXPECT_EQ(size_of(picture), "960x540") << at;
    EXPECT_EQ(still.header("X-Source-Size"), "1920x1080");
    const auto seen = screen_testing::pixel_at(picture, 480, 270);
    EXPECT_TRUE(screen_testing::near(seen, screen_testing::rgb_of(0xFFFF00), 20))
        << at << " shows " << screen_testing::describe(seen);
  }
  const Answer bad_moment = get("/api/screen/record/still.jpg?recording=" + id + "&at=end");
  EXPECT_EQ(bad_moment.status, 400);
  EXPECT_NE(bad_moment.error().find("first, middle or last"), std::string::npos);
  const Answer old = get("/api/screen/record/still.jpg?recording=" + id + "0&at=first");
  EXPECT_EQ(old.status, 404);
  EXPECT_NE(old.error().find("only the latest recording's are kept"), std::string::npos);
}

}  // namespace
}  // namespace service_test
