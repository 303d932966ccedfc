// The real tirvane client through the real service to a fake phone on 127.0.0.1: a registered
// source's photo comes back as the phone sent it, or rescaled, and a phone that answers with
// something else is reported by name.
#include <fstream>

#include "client_fixture.h"
#include "fake_phone.h"

namespace service_test {
namespace {

using testing_support::http_answer;
using testing_support::reply;

class NetworkCameraEndToEnd : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    auto added = tirvane({"add-source", "phone", url});
    ASSERT_EQ(added.exit_status, 0) << added.err;
  }

  testing_support::FakeService phone;
  const std::string url = "http://127.0.0.1:" + phone.port_text() + "/shot.jpg";
  const std::string jpeg = testing_support::test_jpeg(640, 480);
};

TEST_F(NetworkCameraEndToEnd, SnapIsThePhonesOwnJpegOrItRescaled) {
  phone.add(reply(http_answer(200, "image/jpeg", jpeg)));
  auto r = tirvane({"snap", "--device", "net:phone"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, written("tirvane.jpg"));
  EXPECT_TRUE(file("tirvane.jpg") == jpeg) << "the phone's bytes, unchanged";

  phone.add(reply(http_answer(200, "image/jpeg", jpeg)));
  auto small = tirvane({"snap", "--device", "net:phone", "--size", "320x240", "--out", "small.jpg"});
  ASSERT_EQ(small.exit_status, 0) << small.err;
  const app::Image image = picture("small.jpg");
  EXPECT_EQ(image.width, 320);
  EXPECT_EQ(image.height, 240);

  const auto requests = phone.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const std::string& request : requests) {
    EXPECT_TRUE(request.starts_with("GET /shot.jpg HTTP/1.1\r\n")) << request;
  }
}

TEST_F(NetworkCameraEndToEnd, APhoneAnsweringWithAPageIsReportedByName) {
  phone.add(reply(http_answer(200, "text/html; charset=utf-8", "<html><body>Camera settings</body></html>")));
  auto r = tirvane({"snap", "--device", "net:phone"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: net:phone at " + url + " answered with text/html rather than a JPEG\n");
  EXPECT_FALSE(exists("tirvane.jpg"));
  EXPECT_NE(service->log().find("GET /api/frame.jpg?_=&device=net:phone 502 "), std::string::npos) << service->log();

  auto unknown = tirvane({"snap", "--device", "net:door"});
  EXPECT_EQ(unknown.exit_status, 1);
  EXPECT_EQ(unknown.err,
            "error: no source named door: register it with tirvane add-source door URL, or see "
            "tirvane sources\n");
  EXPECT_EQ(phone.requests().size(), 1u);
}

// A line of /proc/<pid>/status in kB ("VmRSS", "VmHWM"), or -1.
long status_kib(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

TEST_F(NetworkCameraEndToEnd, TheLargestPictureScaledCostsAtMost256MiB) {
  // The costliest picture the service decodes: at the pixel limit, progressive and 4:4:4, asked
  // at a size just below its own, so it is decoded whole and rescaled.
  const std::string large = testing_support::progressive_jpeg(6000, 4000);
  ASSERT_FALSE(large.empty());
  phone.add(reply(http_answer(200, "image/jpeg", jpeg)));
  ASSERT_EQ(tirvane({"snap", "--device", "net:phone", "--size", "320x240"}).exit_status, 0);
  const long before = status_kib(service->pid(), "VmRSS");
  ASSERT_GT(before, 0);

  phone.add(reply(http_answer(200, "image/jpeg", large)));
  auto r = tirvane({"snap", "--device", "net:phone", "--size", "5990x4320", "--out", "large.jpg"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const app::Image image = picture("large.jpg");
  EXPECT_EQ(image.width, 5990);
  EXPECT_EQ(image.height, 3993);
  const long grown = status_kib(service->pid(), "VmHWM") - before;
  RecordProperty("peak_growth_kib", std::to_string(grown));
  EXPECT_LT(grown, 256 * 1024) << "the service grew by " << grown / 1024 << " MiB";

  // A bomb declaring 40000x40000 is refused by name before anything is allocated.
  phone.add(reply(http_answer(
      200, "image/jpeg",
      testing_support::declaring_size(testing_support::progressive_jpeg(16, 16), 40000, 40000))));
  auto bomb = tirvane({"snap", "--device", "net:phone", "--size", "640x480", "--out", "bomb.jpg"});
  EXPECT_EQ(bomb.exit_status, 1);
  EXPECT_EQ(bomb.err, "error: net:phone at " + url +
                          " sent a 40000x40000 picture, more than the 24-megapixel limit\n");
  EXPECT_FALSE(exists("bomb.jpg"));
}

}  // namespace
}  // namespace service_test
